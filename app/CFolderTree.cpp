#include "CFolderTree.h"

#include "Ids.h"

#include <QDir>
#include <QFileIconProvider>
#include <QFileSystemWatcher>
#include <QTimer>

namespace {

constexpr int kPathRole = Qt::UserRole + 1;
constexpr int kReadRole = Qt::UserRole + 2;

bool HasSubfolders(const QString& path) {
    QDir dir(path);
    return !dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty();
}

} // namespace

CFolderTree::CFolderTree(QWidget* parent) : QTreeWidget(parent) {
    setObjectName(ids::Name(ids::kFolderTree));
    setHeaderHidden(true);
    setRootIsDecorated(true);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::SingleSelection);
    setAccessibleName(tr("Browse"));
    setAccessibleDescription(tr("Folders; the selected one's images are shown beside"));
    watcher_ = new QFileSystemWatcher(this);
    // Changes come in bursts (a run saving into a folder): read a little
    // after the first, not after the last, which in a busy folder never comes.
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(250);
    connect(settle_, &QTimer::timeout, this, &CFolderTree::RereadChanged);
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, [this](const QString& path) {
        changed_.insert(path);
        if (!settle_->isActive()) settle_->start();
    });
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (item == root_) return;
        if (item->childCount() == 0) ReadChildren(item);
        else RereadChildren(item);
        Watch(item);
    });
    connect(this, &QTreeWidget::itemCollapsed, this, [this](QTreeWidgetItem* item) { Unwatch(item); });
    connect(this, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (!item) return;
        currentPath_ = PathOf(item);
        // The root itself has no folder: the list then stays empty.
        if (onFolderSelected) onFolderSelected(currentPath_);
    });
}

QString CFolderTree::PathOf(const QTreeWidgetItem* item) {
    return item ? item->data(0, kPathRole).toString() : QString();
}

QTreeWidgetItem* CFolderTree::AddFolder(QTreeWidgetItem* parent, const QString& label, const QString& path) {
    static const QFileIconProvider icons;
    auto* item = parent ? new QTreeWidgetItem(parent, {label}) : new QTreeWidgetItem(QStringList{label});
    item->setData(0, kPathRole, path);
    item->setIcon(0, icons.icon(QFileIconProvider::Folder));
    item->setChildIndicatorPolicy(HasSubfolders(path) ? QTreeWidgetItem::ShowIndicator
                                                      : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    return item;
}

void CFolderTree::Initialize(const QString& home, const QString& fileSystemRoot) {
    if (!watched_.isEmpty()) watcher_->removePaths(watched_.keys());
    watched_.clear();
    clear();
    root_ = new QTreeWidgetItem(this, {tr("Computer")});
    root_->setIcon(0, QFileIconProvider().icon(QFileIconProvider::Computer));
    AddFolder(root_, QDir(home).dirName().isEmpty() ? home : QDir(home).dirName(), home);
    AddFolder(root_, tr("File System"), fileSystemRoot);
    root_->setExpanded(true);
}

void CFolderTree::ReadChildren(QTreeWidgetItem* item) {
    const QString path = PathOf(item);
    QDir dir(path);
    if (!dir.exists() || !dir.isReadable()) {
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        return;
    }
    // Hidden folders are not asked for; names in the platform's collation.
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    for (const QString& name : names) AddFolder(item, name, dir.filePath(name));
    if (item->childCount() == 0) item->setExpanded(false);
}

bool CFolderTree::SelectPath(const QString& path) {
    const QString target = QDir::cleanPath(path);
    for (int r = 0; r < root_->childCount(); ++r) {
        QTreeWidgetItem* item = root_->child(r);
        QString base = QDir::cleanPath(PathOf(item));
        if (!(target == base || target.startsWith(base == "/" ? base : base + '/'))) continue;
        while (QDir::cleanPath(PathOf(item)) != target) {
            if (item->childCount() == 0) ReadChildren(item);
            item->setExpanded(true);
            QTreeWidgetItem* next = nullptr;
            for (int c = 0; c < item->childCount() && !next; ++c) {
                const QString p = QDir::cleanPath(PathOf(item->child(c)));
                if (target == p || target.startsWith(p + '/')) next = item->child(c);
            }
            if (!next) return false;
            item = next;
        }
        setCurrentItem(item);
        return true;
    }
    return false;
}

void CFolderTree::RereadChildren(QTreeWidgetItem* item) {
    const QString path = PathOf(item);
    const QDir dir(path);
    if (!dir.exists() || !dir.isReadable()) {
        Unwatch(item);
        qDeleteAll(item->takeChildren());
        item->setChildIndicatorPolicy(QTreeWidgetItem::DontShowIndicator);
        return;
    }
    const QStringList names = dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name | QDir::IgnoreCase);
    const QSet<QString> now(names.begin(), names.end());
    for (int c = item->childCount() - 1; c >= 0; --c) {
        QTreeWidgetItem* child = item->child(c);
        if (now.contains(child->text(0))) continue;
        Unwatch(child);
        if (currentItem() && (currentItem() == child || PathOf(currentItem()).startsWith(PathOf(child) + '/')))
            setCurrentItem(item);
        delete item->takeChild(c);
    }
    // Both lists are in the same order: walk them together.
    for (int i = 0; i < names.size(); ++i) {
        if (i < item->childCount() && item->child(i)->text(0) == names[i]) continue;
        QTreeWidgetItem* added = AddFolder(nullptr, names[i], dir.filePath(names[i]));
        item->insertChild(i, added);
    }
    item->setChildIndicatorPolicy(item->childCount() ? QTreeWidgetItem::ShowIndicator
                                                     : QTreeWidgetItem::DontShowIndicatorWhenChildless);
}

void CFolderTree::Refresh() {
    if (!root_) return;
    QList<QTreeWidgetItem*> open;
    for (int r = 0; r < root_->childCount(); ++r) open << root_->child(r);
    while (!open.isEmpty()) {
        QTreeWidgetItem* item = open.takeFirst();
        if (!item->isExpanded()) {
            // Closed: read when opened; its button follows the disk now.
            if (item->childCount() == 0)
                item->setChildIndicatorPolicy(HasSubfolders(PathOf(item)) ? QTreeWidgetItem::ShowIndicator
                                                                          : QTreeWidgetItem::DontShowIndicatorWhenChildless);
            continue;
        }
        RereadChildren(item);
        for (int c = 0; c < item->childCount(); ++c) open << item->child(c);
    }
}

QStringList CFolderTree::Watched() const { return watched_.keys(); }

void CFolderTree::Watch(QTreeWidgetItem* item) {
    const QString path = PathOf(item);
    if (path.isEmpty() || watched_.contains(path) || watched_.size() >= kMaxWatched) return;
    if (watcher_->addPath(path)) watched_.insert(path, item);
}

// A closed folder and everything below it stop being watched.
void CFolderTree::Unwatch(QTreeWidgetItem* item) {
    const QString path = PathOf(item);
    QStringList gone;
    for (auto it = watched_.begin(); it != watched_.end(); ++it)
        if (it.key() == path || it.key().startsWith(path == "/" ? path : path + '/')) gone << it.key();
    for (const QString& p : gone) watched_.remove(p);
    if (!gone.isEmpty()) watcher_->removePaths(gone);
}

void CFolderTree::RereadChanged() {
    const QSet<QString> paths = std::exchange(changed_, {});
    for (const QString& path : paths)
        if (QTreeWidgetItem* item = watched_.value(path)) RereadChildren(item);
}
