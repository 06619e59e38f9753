// The folder tree of the "Browse" pane: a root holding the user's home folder
// and the file system root, folders only, each read when first expanded.
#pragma once

#include <QTreeWidget>

#include <functional>

class CFolderTree : public QTreeWidget {
    Q_OBJECT
public:
    explicit CFolderTree(QWidget* parent = nullptr);

    // Builds the root with its two folders and expands it.
    void Initialize(const QString& home, const QString& fileSystemRoot = "/");
    // Reads an item's subfolders (once; a folder without any stays readable).
    void ReadChildren(QTreeWidgetItem* item);
    // Expands the tree down to path and selects it; false when not found.
    bool SelectPath(const QString& path);
    const QString& CurrentPath() const { return currentPath_; }
    QTreeWidgetItem* RootItem() const { return root_; }
    static QString PathOf(const QTreeWidgetItem* item);

    // Called with the folder's path when the selection changes.
    std::function<void(const QString&)> onFolderSelected;

private:
    QTreeWidgetItem* AddFolder(QTreeWidgetItem* parent, const QString& label, const QString& path);

    QTreeWidgetItem* root_ = nullptr;
    QString currentPath_;
};
