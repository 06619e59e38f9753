#include "CFolderTree.h"

#include "Ids.h"

#include <QDir>
#include <QFileIconProvider>

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
    connect(this, &QTreeWidget::itemExpanded, this, [this](QTreeWidgetItem* item) {
        if (item != root_ && item->childCount() == 0) ReadChildren(item);
    });
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
    auto* item = new QTreeWidgetItem(parent, {label});
    item->setData(0, kPathRole, path);
    item->setIcon(0, icons.icon(QFileIconProvider::Folder));
    item->setChildIndicatorPolicy(HasSubfolders(path) ? QTreeWidgetItem::ShowIndicator
                                                      : QTreeWidgetItem::DontShowIndicatorWhenChildless);
    return item;
}

void CFolderTree::Initialize(const QString& home, const QString& fileSystemRoot) {
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
