// The history page's Sync button: sends this desk's records to the central store on a worker
// thread; the page stays usable and the status line tells the outcome.
#include "app/shell/Status.h"
#include "base/Language.h"
#include "central/CentralSyncWorker.h"
#include "history/page/History.h"

#include <QPushButton>

void CHistory::OnBnClickedSync() {
    if (!m_sync) {
        m_sync = new Central::CCentralSyncWorker(this);
        connect(m_sync, &Central::CCentralSyncWorker::Finished, this,
                [this](bool ok, const QString&, const QString& error, int conflicts) {
                    m_pSync->setEnabled(true);
                    if (!ok)
                        qWarning("central sync: %s", qPrintable(error));
                    SetStatusText(GetText(ok          ? QStringLiteral("SyncDone")
                                          : conflicts ? QStringLiteral("SyncConflict")
                                                      : QStringLiteral("SyncFail")));
                });
    }
    if (!m_sync->Start()) {
        SetStatusText(GetText(QStringLiteral("SyncFail")));
        return;
    }
    m_pSync->setEnabled(false);
    SetStatusText(GetText(QStringLiteral("SyncRunning")));
}
