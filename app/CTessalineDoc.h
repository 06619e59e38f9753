// The single document: the browse folder and the image file names in it.
#pragma once

#include <QHash>
#include <QObject>
#include <QString>
#include <QStringList>

class CTessalineView;
class QFileSystemWatcher;
class QTimer;

class CTessalineDoc : public QObject {
    Q_OBJECT
public:
    explicit CTessalineDoc(QObject* parent = nullptr);

    void SetView(CTessalineView* view) { view_ = view; }
    // Stops the loader, lists the folder's image files, starts a new loader.
    void SetFolder(const QString& folder);
    const QString& Folder() const { return folder_; }
    const QStringList& Names() const { return names_; }
    QString PathOf(int index) const;
    // Lists the folder again; the view keeps the thumbnails of files that
    // did not change. Called when the folder or a file in it changes on disk.
    void Refresh();
    // The folder and up to this many of its image files are watched.
    static constexpr int kMaxWatchedFiles = 1000;

    // The image file names of a folder as spelled on disk, ordered by their
    // lower-cased form (byte order: 10.jpg before 2.jpg).
    static QStringList ListImageFiles(const QString& folder);

signals:
    void folderChanged();
    // After a refresh: the paths that changed or went.
    void refreshed(const QStringList& changedPaths);

private:
    // Modification time and length, to tell which files changed.
    using Stamp = std::pair<qint64, qint64>;
    QHash<QString, Stamp> StampNames() const;
    void WatchFolder();

    QFileSystemWatcher* watcher_ = nullptr;
    QTimer* settle_ = nullptr;
    QHash<QString, Stamp> stamps_;
    CTessalineView* view_ = nullptr;
    QString folder_;
    QStringList names_;
};
