// The folder tree of the "Browse" pane: a root holding the user's home folder
// and the file system root, folders only, each read when first expanded and
// read again when it changes on disk while it is open.
#pragma once

#include <QHash>
#include <QSet>
#include <QTreeWidget>

#include <functional>

class QFileSystemWatcher;
class QTimer;

class CFolderTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CFolderTree(QWidget* parent = nullptr);

    // Builds the root with its two folders and expands it.
    void Initialize(const QString& home, const QString& fileSystemRoot = "/");
    // Reads an item's subfolders (once; a folder without any stays readable).
    void ReadChildren(QTreeWidgetItem* item);
    // Brings an item's children in line with the disk: new folders added in
    // their place, gone ones removed, the rest (and what is open below them)
    // kept.
    void RereadChildren(QTreeWidgetItem* item);
    // Every open folder read again (View > Refresh).
    void Refresh();
    // Open folders are watched, at most this many at once; beyond that only
    // Refresh and opening a folder again bring its changes in.
    static constexpr int kMaxWatched = 256;
    QStringList Watched() const;
    // Expands the tree down to path and selects it; false when not found.
    bool SelectPath(const QString& path);
    const QString& CurrentPath() const { return currentPath_; }
    QTreeWidgetItem* RootItem() const { return root_; }
    static QString PathOf(const QTreeWidgetItem* item);

    // Called with the folder's path when the selection changes.
    std::function<void(const QString&)> onFolderSelected;

private:
    QTreeWidgetItem* AddFolder(QTreeWidgetItem* parent, const QString& label, const QString& path);
    void Watch(QTreeWidgetItem* item);
    void Unwatch(QTreeWidgetItem* item);
    void RereadChanged();

    QFileSystemWatcher* watcher_ = nullptr;
    QHash<QString, QTreeWidgetItem*> watched_;
    QSet<QString> changed_;
    QTimer* settle_ = nullptr;

    QTreeWidgetItem* root_ = nullptr;
    QString currentPath_;
};
