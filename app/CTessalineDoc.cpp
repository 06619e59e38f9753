#include "CTessalineDoc.h"

#include "CTessalineView.h"
#include "ImageType.h"

#include <QDir>

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

void CTessalineDoc::SetFolder(const QString& folder) {
    if (view_) view_->StopThumbnailLoader();
    folder_ = folder;
    names_ = ListImageFiles(folder);
    if (view_) view_->StartThumbnailLoader();
}

QString CTessalineDoc::PathOf(int index) const {
    if (index < 0 || index >= names_.size()) return {};
    return folder_.endsWith('/') ? folder_ + names_[index] : folder_ + '/' + names_[index];
}
