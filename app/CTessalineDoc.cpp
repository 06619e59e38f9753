#include "CTessalineDoc.h"

#include "CTessalineView.h"
#include "ImageType.h"

#include <QDir>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QSet>
#include <QTimer>

#include <algorithm>

QStringList CTessalineDoc::ListImageFiles(const QString& folder) {
    QStringList names;
    if (folder.isEmpty()) return names;
    const QDir dir(folder);
    for (const QString& name : dir.entryList(QDir::Files | QDir::Hidden | QDir::System, QDir::NoSort))
        if (ImageTypeFromExtension(name.toStdString()) != kTypeUnknown) names.push_back(name);
    // Sorted by the lower-cased bytes, so the order does not depend on case,
    // while each name keeps its spelling for opening the file.
    std::vector<std::pair<std::string, QString>> keyed;
    keyed.reserve(names.size());
    for (const QString& n : names) keyed.emplace_back(n.toLower().toStdString(), n);
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    QStringList sorted;
    for (auto& k : keyed) sorted.push_back(k.second);
    return sorted;
}

CTessalineDoc::CTessalineDoc(QObject* parent) : QObject(parent) {
    watcher_ = new QFileSystemWatcher(this);
    // A run saving into the folder changes it many times: read a little after
    // the first change, not after the last, which in a busy folder never comes.
    settle_ = new QTimer(this);
    settle_->setSingleShot(true);
    settle_->setInterval(300);
    connect(settle_, &QTimer::timeout, this, &CTessalineDoc::Refresh);
    const auto changed = [this] {
        if (!settle_->isActive()) settle_->start();
    };
    connect(watcher_, &QFileSystemWatcher::directoryChanged, this, changed);
    connect(watcher_, &QFileSystemWatcher::fileChanged, this, changed);
}

void CTessalineDoc::SetFolder(const QString& folder) {
    if (view_) view_->StopThumbnailLoader();
    folder_ = folder;
    names_ = ListImageFiles(folder);
    stamps_ = StampNames();
    WatchFolder();
    if (view_) view_->StartThumbnailLoader();
    emit folderChanged();
}

void CTessalineDoc::Refresh() {
    settle_->stop();
    if (folder_.isEmpty()) return;
    const QStringList before = names_;
    const QHash<QString, Stamp> old = stamps_;
    names_ = ListImageFiles(folder_);
    stamps_ = StampNames();
    QStringList changed;
    QSet<QString> redraw;
    for (int i = 0; i < names_.size(); ++i) {
        const auto was = old.constFind(names_[i]);
        if (was != old.constEnd() && *was != stamps_.value(names_[i])) {
            changed << PathOf(i);
            redraw.insert(names_[i]);
        }
    }
    const QSet<QString> now(names_.begin(), names_.end());
    for (const QString& name : before)
        if (!now.contains(name)) changed << (folder_.endsWith('/') ? folder_ + name : folder_ + '/' + name);
    WatchFolder();
    if (before == names_ && redraw.isEmpty()) return;
    if (view_) view_->ReloadThumbnails(redraw);
    emit refreshed(changed);
}

QHash<QString, CTessalineDoc::Stamp> CTessalineDoc::StampNames() const {
    QHash<QString, Stamp> stamps;
    for (int i = 0; i < names_.size(); ++i) {
        const QFileInfo info(PathOf(i));
        stamps.insert(names_[i], {info.lastModified().toMSecsSinceEpoch(), info.size()});
    }
    return stamps;
}

// Files written in place change no folder entry, so the files are watched
// too, up to a bound that keeps huge folders within the system's limits.
void CTessalineDoc::WatchFolder() {
    if (const QStringList old = watcher_->files() + watcher_->directories(); !old.isEmpty())
        watcher_->removePaths(old);
    if (folder_.isEmpty()) return;
    QStringList paths{folder_};
    for (int i = 0; i < names_.size() && i < kMaxWatchedFiles; ++i) paths << PathOf(i);
    watcher_->addPaths(paths);
}

QString CTessalineDoc::PathOf(int index) const {
    if (index < 0 || index >= names_.size()) return {};
    return folder_.endsWith('/') ? folder_ + names_[index] : folder_ + '/' + names_[index];
}
