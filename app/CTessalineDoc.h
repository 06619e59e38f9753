// The single document: the browse folder and the image file names in it.
#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

class CTessalineView;

class CTessalineDoc : public QObject {
    Q_OBJECT
public:
    explicit CTessalineDoc(QObject* parent = nullptr) : QObject(parent) {}

    void SetView(CTessalineView* view) { view_ = view; }
    // Stops the loader, lists the folder's image files, starts a new loader.
    void SetFolder(const QString& folder);
    const QString& Folder() const { return folder_; }
    const QStringList& Names() const { return names_; }
    QString PathOf(int index) const;

    // The image file names of a folder as spelled on disk, ordered by their
    // lower-cased form (byte order: 10.jpg before 2.jpg).
    static QStringList ListImageFiles(const QString& folder);

private:
    CTessalineView* view_ = nullptr;
    QString folder_;
    QStringList names_;
};
