// The history page's central-store controls: the source choice (this computer or the central
// store) and the Sync button, which sends this desk's records on a worker thread while the
// page stays usable; the status line tells the outcome.
#include "base/Language.h"
#include "central/CentralConfig.h"
#include "central/CentralRecordSource.h"
#include "central/CentralSyncWorker.h"
#include "history/core/LocalRecordSource.h"
#include "history/page/History.h"

#include <QComboBox>
#include <QPushButton>

#include <memory>

void CHistory::OnBnClickedSync() {
    if (!m_sync) {
        m_sync = new Central::CCentralSyncWorker(this, m_language);
        connect(m_sync, &Central::CCentralSyncWorker::Finished, this,
                [this](bool ok, const QString&, const QString& error, int conflicts) {
                    m_pSync->setEnabled(true);
                    if (!ok)
                        qWarning("central sync: %s", qPrintable(error));
                    emit statusChanged(GetText(ok          ? QStringLiteral("SyncDone")
                                               : conflicts ? QStringLiteral("SyncConflict")
                                                           : QStringLiteral("SyncFail")));
                });
    }
    if (!m_sync->Start()) {
        emit statusChanged(GetText(QStringLiteral("SyncFail")));
        return;
    }
    m_pSync->setEnabled(false);
    emit statusChanged(GetText(QStringLiteral("SyncRunning")));
}

void CHistory::OnSourceChanged(int index) {
    if (index == 1) {
        SetSource(std::make_shared<CCentralRecordSource>(QString(), QString(), m_language));
        // A password in Language.ini: said once on the status line too.
        if (!Central::TakeCentralUrlWarning().isEmpty())
            emit statusChanged(GetText(QStringLiteral("CentralUrlInIni")));
    } else
        SetSource(std::make_shared<CLocalRecordSource>(QString(), m_language));
}
