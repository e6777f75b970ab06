// The device page's download part: the download buttons and Cancel, the worker's reports
// (progress bar, status texts, the rebuilt tree), the record tree and the picture frame.
#include "base/Language.h"
#include "base/Paths.h"
#include "central/CentralConfig.h"
#include "central/CentralSyncWorker.h"
#include "device/core/DownloadWorker.h"
#include "device/core/PictureStore.h"
#include "device/page/FirstPage.h"
#include "device/page/PictureFrame.h"

#include <QAbstractButton>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QStyle>
#include <QTreeWidget>

#include <functional>

namespace {
constexpr int kPathRole = Qt::UserRole;        // full path of the item's folder or file
constexpr int kPictureRole = Qt::UserRole + 1; // true for picture items
} // namespace

// Everything the download part keeps, as one child object of the page.
class CFirstPage::DownloadPart : public QObject {
public:
    explicit DownloadPart(CFirstPage* page) : QObject(page), m_page(page) {
        if (page->PictureFrame())
            m_view = new CPictureView(page->PictureFrame());
    }

    CFirstPage* m_page;
    QStringList m_saved;
    QString m_selected;
    bool m_pictureSelected = false;
    CPictureView* m_view = nullptr;
    Central::CCentralSyncWorker* m_sync = nullptr; // made on the first sync

    // After each download the stored records go to the central store, when one is set in
    // Language.ini. The sync runs on its own thread; only a failure reaches the status line,
    // and the next download (or the history page's Sync) tries again.
    void StartCentralSync() {
        if (!Central::HasCentral(m_page->Texts()))
            return;
        if (!m_sync) {
            m_sync = new Central::CCentralSyncWorker(this, m_page->Texts());
            connect(m_sync, &Central::CCentralSyncWorker::Finished, this,
                    [this](bool ok, const QString&, const QString& error, int conflicts) {
                        if (ok)
                            return;
                        qWarning("central sync: %s", qPrintable(error));
                        emit m_page->statusChanged(
                            m_page->GetText(conflicts ? QStringLiteral("SyncConflict")
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
    void handle(const Download::Update& u);

private:
    void rebuildTree();
};

void CFirstPage::DownloadPart::handle(const Download::Update& u) {
    using Download::Update;
    switch (u.type) {
    case Update::Type::Progress:
        if (QProgressBar* bar = m_page->Progress())
            bar->setValue(int(qMin<quint32>(u.number, quint32(bar->maximum()))));
        return;
    case Update::Type::RecordDownloaded:
        m_saved.append(u.pictureName);
        break;
    case Update::Type::RecordFailed:
        break;
    case Update::Type::Finished:
        rebuildTree();
        if (!u.canceled)
            StartCentralSync();
        break;
    }
    for (const QString& text : Download::UpdateTexts(m_page->Texts(), u))
        emit m_page->statusChanged(text);
}

void CFirstPage::DownloadPart::rebuildTree() {
    QTreeWidget* tree = m_page->Tree();
    if (!tree)
        return;
    const Picture::TreeNode root =
        Picture::BuildPictureTree(GetPicFolder(), m_page->Session().DeviceNumber(), m_saved);
    const QIcon folderIcon = tree->style()->standardIcon(QStyle::SP_DirIcon);
    const QIcon pictureIcon = tree->style()->standardIcon(QStyle::SP_FileIcon);

    // Each level is made without a tree and handed over at once: thousands of pictures after
    // a long download are one insertion, not one each.
    std::function<void(QTreeWidgetItem*, const Picture::TreeNode&)> add =
        [&](QTreeWidgetItem* parent, const Picture::TreeNode& node) {
            QList<QTreeWidgetItem*> items;
            items.reserve(node.children.size());
            for (const Picture::TreeNode& child : node.children) {
                auto* item = new QTreeWidgetItem(QStringList(child.text));
                const bool picture = !child.folder;
                item->setData(0, kPathRole, child.path);
                item->setData(0, kPictureRole, picture);
                item->setIcon(0, picture ? pictureIcon : folderIcon);
                add(item, child);
                items.append(item);
            }
            parent->addChildren(items);
        };

    tree->setUpdatesEnabled(false);
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
    connect(m_exchange->Worker(), &CDeviceWorker::downloadUpdate, m_downloadPart,
            [this](const Download::Update& u) { m_downloadPart->handle(u); });
    connect(m_exchange->Worker(), &CDeviceWorker::downloadFinished, this,
            &CFirstPage::downloadFinished);

    connect(m_download, &QAbstractButton::clicked, this, &CFirstPage::OnDownload);
    connect(m_downloadOne, &QAbstractButton::clicked, this, &CFirstPage::OnDownloadOne);
    connect(m_downloadAll, &QAbstractButton::clicked, this, &CFirstPage::OnDownloadAll);
    connect(m_downloadNew, &QAbstractButton::clicked, this, &CFirstPage::OnDownloadNew);
    connect(m_cancel, &QAbstractButton::clicked, this, &CFirstPage::OnCancel);

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
    m_downloadPart->m_saved.clear();
    m_downloadPart->m_selected.clear();
    m_downloadPart->m_pictureSelected = false;
    if (m_downloadPart->m_view)
        m_downloadPart->m_view->Clear();
}

void CFirstPage::OnCancel() {
    // Nothing running (or a second press while the first works): nothing to do.
    m_exchange->Cancel();
}

bool CFirstPage::IsDownloading() const {
    return m_exchange->IsDownloading();
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
// disabled until the worker has ended, so no other exchange can run on the link meanwhile.
static void startDownload(CFirstPage* page, CFirstPage::DownloadPart* part,
                          const Download::Plan& plan);

void CFirstPage::OnDownloadOne() {
    if (!m_downloadPart || m_exchange->IsBusy())
        return;
    if (QProgressBar* bar = Progress())
        bar->setValue(0);
    const quint32 total = Session().Total();
    const Download::PlanResult plan = Download::PlanSingle(boxText(Control(IdFrom)), total);
    if (total == 0) {
        if (auto* edit = qobject_cast<QLineEdit*>(Control(IdFrom)))
            edit->clear();
        emit statusChanged(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    if (!plan.start) {
        emit statusChanged(GetText(plan.key));
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
    if (!m_downloadPart || m_exchange->IsBusy())
        return;
    if (QProgressBar* bar = Progress())
        bar->setValue(0);
    const Download::PlanResult plan = Download::PlanAll(Session().Total());
    if (!plan.start) {
        emit statusChanged(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    startDownload(this, m_downloadPart, plan.plan);
}

void CFirstPage::OnDownloadNew() {
    if (!m_downloadPart || m_exchange->IsBusy())
        return;
    if (QProgressBar* bar = Progress())
        bar->setValue(0);
    const Download::PlanResult plan =
        Download::PlanNew(Session().NewRecordNumbers(), Session().Total());
    if (!plan.start) {
        emit statusChanged(plan.key == QLatin1String("NewRecords") ? GetTextNumber(plan.key, 0)
                                                                   : GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    startDownload(this, m_downloadPart, plan.plan);
}

void CFirstPage::OnDownload() {
    if (!m_downloadPart || m_exchange->IsBusy())
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
        emit statusChanged(GetText(plan.key));
        return;
    }
    m_downloadPart->EmptyTree();
    startDownload(this, m_downloadPart, plan.plan);
}

static void startDownload(CFirstPage* page, CFirstPage::DownloadPart*, const Download::Plan& plan) {
    if (QProgressBar* bar = page->Progress()) {
        if (plan.kind != Download::Kind::Single)
            bar->setRange(0, qMax(1, plan.progressMaximum()));
        bar->setValue(0);
    }
    page->Exchange().Download(plan, GetPicFolder());
}
