// The batch process list: five text columns, rows appended by the browse list
// (context menu or drag) and by drops from the desktop's file manager.
#pragma once

#include "BatchHost.h"

#include <QSet>
#include <QTreeWidget>

#include <functional>

class CBatchList : public QTreeWidget {
    Q_OBJECT
public:
    explicit CBatchList(QWidget* parent = nullptr);

    // Adds each path by the list's rules; shows a cancellable progress dialog
    // when many files are added. Returns the number of rows added; what was
    // not added, and why, goes out with the added signal.
    int AddToBatchList(const QStringList& paths);
    // "822 bytes", "2.5 MB".
    static QString SizeText(qint64 bytes);
    // The locale's short date and time, ISO 8601 where no locale is set.
    static QString DateText(const QDateTime& when);
    // Files as they come from a drop: folders contribute their image files,
    // with subfolders those of every folder below them too (loops skipped).
    static QStringList ExpandDroppedPaths(const QList<QUrl>& urls, bool subfolders = false);
    // Held while dropping a folder, it brings its subfolders' images too.
    static constexpr Qt::KeyboardModifier kSubfoldersModifier = Qt::ControlModifier;
    bool Contains(const QString& path) const;
    QString RowPath(int row) const;
    // The "Status" column: waiting, working, the output's name (with an
    // amber mark when saved with warnings), or "failed: reason" with the row
    // in red.
    void SetRowState(int row, RowState state, const QString& detail);
    // A row saved with warnings: the mark's tooltip says what was lost or
    // how its name fell back.
    void SetRowWarnings(int row, const QStringList& warnings);
    void MarkAllWaiting();
    RowState StateOf(int row) const;
    // What a run would do with the row ("Show plan"); the row stays waiting.
    void SetPlannedState(int row, RowState planned, const QString& detail, const QString& size,
                         const QString& warnings);
    // Rows a stopped run left waiting say so.
    void MarkWaitingNotStarted();
    int CountRows(RowState state) const;
    void RemoveSelectedRows();
    void ClearRows();
    // False while a run uses the list; removing rows is refused then.
    std::function<bool()> canEdit;

    static constexpr int kProgressThreshold = 8;
    static constexpr int kPathColumn = 4;
    static constexpr int kStatusColumn = 5;

signals:
    // After every AddToBatchList: the rows added, and "name (reason)" for
    // each path that was not.
    void added(int count, const QStringList& notAdded);

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragMoveEvent(QDragMoveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void ShowGridLines();
    void PaintRow(QTreeWidgetItem* it, bool failed);

    // The rows' paths, so a repeat is found without walking the list.
    QSet<QString> paths_;
};
