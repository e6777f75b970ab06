// The device page's download part: the three download buttons, the worker's events (progress
// bar, status texts, the rebuilt tree), the record tree and the picture frame.
#include "app/shell/Status.h"
#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "central/CentralSyncWorker.h"
#include "device/core/DownloadWorker.h"
#include "device/core/PictureStore.h"
#include "device/page/FirstPage.h"
#include "device/page/PictureFrame.h"

#include <QAbstractButton>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QStyle>
#include <QTreeWidget>

#include <functional>

namespace {
constexpr int kPathRole = Qt::UserRole;        // full path of the item's folder or file
constexpr int kPictureRole = Qt::UserRole + 1; // true for picture items
} // namespace

// Everything the download part keeps, as one child object of the page. It also filters the
// page's events for the worker's download events.
class CFirstPage::DownloadPart : public QObject {
public:
    explicit DownloadPart(CFirstPage* page) : QObject(page), m_page(page), m_worker(page) {
        if (page->PictureFrame())
            m_view = new CPictureView(page->PictureFrame());
    }

    CFirstPage* m_page;
    Download::CDownloadWorker m_worker;
    QStringList m_saved;
    QString m_selected;
    bool m_pictureSelected = false;
    CPictureView* m_view = nullptr;
    Central::CCentralSyncWorker* m_sync = nullptr; // made on the first sync

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (watched == m_page) {
            if (const Download::DownloadEvent* e = Download::AsDownloadEvent(event)) {
                handle(*e);
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }

public:
    // After each download the stored records go to the central store, when one is set in
    // Language.ini. The sync runs on its own thread; only a failure reaches the status line,
    // and the next download (or the history page's Sync) tries again.
    void StartCentralSync() {
        if (!Central::HasCentral())
            return;
        if (!m_sync) {
            m_sync = new Central::CCentralSyncWorker(this);
            connect(m_sync, &Central::CCentralSyncWorker::Finished, this,
                    [](bool ok, const QString&, const QString& error, int conflicts) {
                        if (ok)
                            return;
                        qWarning("central sync: %s", qPrintable(error));
                        SetStatusText(GetText(conflicts ? QStringLiteral("SyncConflict")
                                                        : QStringLiteral("SyncFail")));
                    });
        }
        m_sync->Start();
    }

    // A new download starts from an empty tree and an empty saved-picture list.
    void EmptyTree();
    // A new download empties the tree: the picture picked from it goes with it.
    void ClearPicture() {
        m_selected.clear();
        m_pictureSelected = false;
        if (m_view)
            m_view->Clear();
        if (QLabel* frame = m_page->PictureFrame())
            frame->hide();
    }

private:
    void handle(const Download::DownloadEvent& e);
    void rebuildTree();
};

void CFirstPage::DownloadPart::handle(const Download::DownloadEvent& e) {
    using namespace Download;
    switch (int(e.type())) {
    case kProgressEvent:
        if (QProgressBar* bar = m_page->Progress())
            bar->setValue(int(qMin<quint32>(e.number, quint32(bar->maximum()))));
        break;
    case kRecordDownloadedEvent:
        m_saved.append(e.pictureName);
        SetStatusText(StatusText(QStringLiteral("DownloadRecordOK"), e.number));
        break;
    case kRecordFailedEvent:
        if (!e.key.isEmpty())
            SetStatusText(StatusText(e.key, e.keyNumber));
        SetStatusText(StatusText(QStringLiteral("DownloadRecordFail"), e.number));
        break;
    case kFinishedEvent:
        if (e.stopped)
            return; // the page is going away or the link was closed: nothing to show
        rebuildTree();
        if (e.failed) {
            SetStatusText(e.key.isEmpty()
                              ? StatusText(QStringLiteral("DownloadRecordFail"), e.number)
                              : StatusText(e.key, e.keyNumber));
        } else {
            SetStatusText(FinishText(e.failedRecords));
        }
        StartCentralSync();
        if (m_page->Session().IsLinked())
            m_page->EnableCommands(true);
        break;
    default:
        break;
    }
}

void CFirstPage::DownloadPart::rebuildTree() {
    QTreeWidget* tree = m_page->Tree();
    if (!tree)
        return;
    const Picture::TreeNode root =
        Picture::BuildPictureTree(GetPicFolder(), m_page->Session().DeviceNumber(), m_saved);
    const QIcon folderIcon = tree->style()->standardIcon(QStyle::SP_DirIcon);
    const QIcon pictureIcon = tree->style()->standardIcon(QStyle::SP_FileIcon);

    std::function<void(QTreeWidgetItem*, const Picture::TreeNode&)> add =
        [&](QTreeWidgetItem* parent, const Picture::TreeNode& node) {
            for (const Picture::TreeNode& child : node.children) {
                auto* item = new QTreeWidgetItem(parent, QStringList(child.text));
                const bool picture = child.children.isEmpty() && !QFileInfo(child.path).isDir();
                item->setData(0, kPathRole, child.path);
                item->setData(0, kPictureRole, picture);
                item->setIcon(0, picture ? pictureIcon : folderIcon);
                add(item, child);
            }
        };

    tree->clear();
    auto* top = new QTreeWidgetItem(tree, QStringList(root.text));
    top->setIcon(0, folderIcon);
    add(top, root);
    tree->expandAll();
    tree->setUpdatesEnabled(true);
    tree->update();
}

void CFirstPage::InitDownload() {
    if (m_downloadPart)
        return;
    m_downloadPart = new DownloadPart(this);
    installEventFilter(m_downloadPart);

    auto hook = [this](int id, void (CFirstPage::*handler)()) {
        if (auto* button = qobject_cast<QAbstractButton*>(Control(id)))
            connect(button, &QAbstractButton::clicked, this, handler);
    };
    hook(IdDownload, &CFirstPage::OnDownload);
    hook(IdDownloadOne, &CFirstPage::OnDownloadOne);
    hook(IdDownloadAll, &CFirstPage::OnDownloadAll);

    if (QTreeWidget* tree = Tree()) {
        auto choose = [this](QTreeWidgetItem* item) {
            // The root and folder items change nothing; a picture item is shown in the frame.
            if (!item || !item->parent() || !item->data(0, kPictureRole).toBool())
                return;
            m_downloadPart->m_selected = item->data(0, kPathRole).toString();
            m_downloadPart->m_pictureSelected = true;
            if (QLabel* frame = PictureFrame())
                frame->show();
            if (m_downloadPart->m_view)
                m_downloadPart->m_view->ShowFile(m_downloadPart->m_selected);
        };
        connect(tree, &QTreeWidget::itemClicked, this,
                [choose](QTreeWidgetItem* item, int) { choose(item); });
        connect(tree, &QTreeWidget::itemActivated, this,
                [choose](QTreeWidgetItem* item, int) { choose(item); });
    }
}

void CFirstPage::ResetDownload() {
    if (!m_downloadPart)
        return;
    // A download still running on a link that was just closed ends with its next record.
    m_downloadPart->m_worker.Stop();
    m_downloadPart->m_saved.clear();
    m_downloadPart->m_selected.clear();
    m_downloadPart->m_pictureSelected = false;
    if (m_downloadPart->m_view)
        m_downloadPart->m_view->Clear();
}

void CFirstPage::StopDownload() {
    if (m_downloadPart)
        m_downloadPart->m_worker.Stop();
}

bool CFirstPage::IsDownloading() const {
    return m_downloadPart && m_downloadPart->m_worker.IsRunning();
}

QStringList CFirstPage::SavedPictures() const {
    return m_downloadPart ? m_downloadPart->m_saved : QStringList();
}

QString CFirstPage::SelectedPicture() const {
    return m_downloadPart && m_downloadPart->m_pictureSelected ? m_downloadPart->m_selected
                                                               : QString();
}

QImage CFirstPage::ShownPicture() const {
    return m_downloadPart && m_downloadPart->m_view ? m_downloadPart->m_view->Image() : QImage();
}

namespace {

void clearTree(QTreeWidget* tree) {
    if (!tree)
        return;
    tree->setUpdatesEnabled(false);
    tree->clear();
}

void clearBox(QWidget* box) {
    if (auto* edit = qobject_cast<QLineEdit*>(box)) {
        edit->setFocus();
        edit->clear();
    }
}

QString boxText(QWidget* box) {
    auto* edit = qobject_cast<QLineEdit*>(box);
    return edit ? edit->text() : QString();
}

} // namespace

void CFirstPage::DownloadPart::EmptyTree() {
    clearTree(m_page->Tree());
    m_saved.clear();
    ClearPicture();
}

// Starts the worker for a plan that passed its checks. The device-command controls stay
// disabled until the worker's Finished event, for all three kinds of download, so no other
// exchange can run on the link meanwhile.
static void startDownload(CFirstPage* page, CFirstPage::DownloadPart* part,
                          const Download::Plan& plan);

void CFirstPage::OnDownloadOne() {
    if (!m_downloadPart || IsDownloading())
        return;
    if (QProgressBar* bar = Progress())
        bar->setValue(0);
    const quint32 total = Session().Total();
    const Download::PlanResult plan = Download::PlanSingle(boxText(Control(IdFrom)), total);
    if (total == 0) {
        if (auto* edit = qobject_cast<QLineEdit*>(Control(IdFrom)))
            edit->clear();
        SetStatusText(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    if (!plan.start) {
        SetStatusText(GetText(plan.key));
        if (QTreeWidget* tree = Tree()) {
            tree->setUpdatesEnabled(true);
            tree->update();
        }
        EnableCommands(true);
        return;
    }
    startDownload(this, m_downloadPart, plan.plan);
}

void CFirstPage::OnDownloadAll() {
    if (!m_downloadPart || IsDownloading())
        return;
    if (QProgressBar* bar = Progress())
        bar->setValue(0);
    const Download::PlanResult plan = Download::PlanAll(Session().Total());
    if (!plan.start) {
        SetStatusText(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    startDownload(this, m_downloadPart, plan.plan);
}

void CFirstPage::OnDownload() {
    if (!m_downloadPart || IsDownloading())
        return;
    const QString from = boxText(Control(IdFrom)).trimmed();
    const QString to = boxText(Control(IdTo)).trimmed();
    if (from.isEmpty() && to.isEmpty()) {
        OnDownloadAll();
        return;
    }
    const Download::PlanResult plan = Download::PlanDownload(from, to, Session().Total());
    if (plan.clearFrom)
        clearBox(Control(IdFrom));
    if (plan.clearTo)
        clearBox(Control(IdTo));
    if (!plan.start) {
        SetStatusText(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    startDownload(this, m_downloadPart, plan.plan);
}

static void startDownload(CFirstPage* page, CFirstPage::DownloadPart* part,
                          const Download::Plan& plan) {
    if (QProgressBar* bar = page->Progress()) {
        if (plan.kind != Download::Kind::Single)
            bar->setRange(0, qMax(1, plan.progressMaximum()));
        bar->setValue(0);
    }
    page->EnableCommands(false);
    Download::Context ctx;
    ctx.db = &page->Session().Database();
    ctx.deviceId = page->Session().DeviceNumber();
    ctx.picRoot = GetPicFolder();
    // Start() refuses only while a download runs; that download's Finished event re-enables
    // the controls.
    part->m_worker.Start(plan, ctx);
}
