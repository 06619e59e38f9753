#include "CBatchList.h"

#include "BatchList.h"
#include "CTessalineDoc.h"
#include "FolderWalk.h"
#include "Colours.h"
#include "Ids.h"

#include <QApplication>
#include <QDateTime>
#include <QDir>
#include <QDragEnterEvent>
#include <QFileInfo>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLocale>
#include <QMimeData>
#include <QPainter>
#include <QProgressDialog>
#include <QUrl>

namespace {

constexpr int kStateRole = Qt::UserRole + 1;

} // namespace

CBatchList::CBatchList(QWidget* parent) : QTreeWidget(parent) {
    setObjectName(ids::Name(ids::kBatchList));
    setRootIsDecorated(false);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setSortingEnabled(false);
    setAllColumnsShowFocus(true);
    setAcceptDrops(true);
    setDropIndicatorShown(false);
    setHeaderLabels({tr("File Name"), tr("Image Size"), tr("File Date"), tr("File Size"), tr("Path"), tr("Status")});
    const int widths[] = {150, 90, 80, 80, 260, 200};
    for (int c = 0; c < 6; ++c) setColumnWidth(c, widths[c]);
    // Dates now carry a four-digit year and the time: the column fits one.
    setColumnWidth(2, std::max(widths[2], fontMetrics().horizontalAdvance(
                                              DateText(QDateTime(QDate(2026, 12, 28), QTime(23, 59)))) + 16));
    // Shown beside the name, where it is read at a glance; the long path
    // stays last.
    header()->moveSection(kStatusColumn, 1);
    headerItem()->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
    header()->setSectionsClickable(false);
    ShowGridLines();
    setAccessibleName(tr("Batch Process List"));
    setAccessibleDescription(tr("The images the next run works on, and how each one went"));
}

// Lines between the cells, a little apart from the base colour whether the
// palette is light or dark.
void CBatchList::ShowGridLines() {
    const QColor base = palette().color(QPalette::Base);
    const QColor line = base.lightness() < 128 ? base.lighter(170) : base.darker(120);
    setStyleSheet(QString("QTreeView::item { border-right: 1px solid %1; border-bottom: 1px solid %1; }").arg(line.name()));
}

void CBatchList::changeEvent(QEvent* event) {
    QTreeWidget::changeEvent(event);
    if (event->type() == QEvent::PaletteChange) {
        ShowGridLines();
        for (int row = 0; row < topLevelItemCount(); ++row) {
            const QVariant state = topLevelItem(row)->data(kStatusColumn, kStateRole);
            if (state.isValid() && state.toInt() == int(RowState::kFailed)) PaintRow(topLevelItem(row), true);
        }
    }
}

void CBatchList::PaintRow(QTreeWidgetItem* it, bool failed) {
    const QBrush ink = failed ? QBrush(ErrorText(palette())) : QBrush();
    for (int c = 0; c < columnCount(); ++c) it->setForeground(c, ink);
}

QString CBatchList::SizeText(qint64 bytes) {
    return QLocale().formattedDataSize(bytes, 1, QLocale::DataSizeTraditionalFormat);
}

QString CBatchList::DateText(const QDateTime& when) {
    const QLocale locale;
    if (locale.language() == QLocale::C) return when.toString(Qt::ISODate).replace('T', ' ');
    // Two-digit years read ambiguously; the locale's order is kept.
    QString format = locale.dateTimeFormat(QLocale::ShortFormat);
    if (!format.contains("yyyy")) format.replace("yy", "yyyy");
    return locale.toString(when, format);
}

QString CBatchList::RowPath(int row) const {
    QTreeWidgetItem* it = topLevelItem(row);
    return it ? it->text(kPathColumn) : QString();
}

namespace {

// An amber disc with an exclamation mark: saved, but less than was read.
QIcon WarningMark() {
    static const QIcon mark = [] {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        QPainter paint(&pixmap);
        paint.setRenderHint(QPainter::Antialiasing);
        paint.setPen(Qt::NoPen);
        paint.setBrush(QColor(0xF0, 0xA0, 0x00));
        paint.drawEllipse(QRectF(1, 1, 14, 14));
        paint.setBrush(Qt::white);
        paint.drawRect(QRectF(7, 3.5, 2, 6.5));
        paint.drawRect(QRectF(7, 11, 2, 2));
        return QIcon(pixmap);
    }();
    return mark;
}
constexpr int kDetailRole = Qt::UserRole + 2;
constexpr int kWarningsRole = Qt::UserRole + 3;

} // namespace

void CBatchList::SetRowState(int row, RowState state, const QString& detail) {
    QTreeWidgetItem* it = topLevelItem(row);
    if (!it) return;
    QString text;
    switch (state) {
    case RowState::kWaiting: text = tr("waiting"); break;
    case RowState::kWorking: text = tr("working"); break;
    case RowState::kSaved:
    case RowState::kSavedWithWarnings: text = QFileInfo(detail).fileName(); break;
    case RowState::kFailed: text = tr("failed: %1").arg(detail); break;
    case RowState::kSkipped: text = tr("skipped: %1").arg(detail); break;
    }
    if (state == RowState::kWaiting || state == RowState::kWorking) it->setData(kStatusColumn, kWarningsRole, {});
    const QStringList warnings = it->data(kStatusColumn, kWarningsRole).toStringList();
    const bool finished = state != RowState::kWaiting && state != RowState::kWorking;
    QString tip = finished ? detail : QString();
    if (!warnings.isEmpty())
        tip += (tip.isEmpty() ? "" : "\n") + tr("Saved with warnings:") + "\n" + warnings.join('\n');
    it->setText(kStatusColumn, text);
    it->setIcon(kStatusColumn, state == RowState::kSavedWithWarnings ? WarningMark() : QIcon());
    it->setToolTip(kStatusColumn, tip);
    it->setData(kStatusColumn, kStateRole, int(state));
    it->setData(kStatusColumn, kDetailRole, detail);
    PaintRow(it, state == RowState::kFailed);
    // The run can be followed in a long list.
    if (state == RowState::kWorking) scrollToItem(it);
}

RowState CBatchList::StateOf(int row) const {
    const QTreeWidgetItem* it = topLevelItem(row);
    const QVariant v = it ? it->data(kStatusColumn, kStateRole) : QVariant();
    return v.isValid() ? RowState(v.toInt()) : RowState::kWaiting;
}

// A finished row's warnings, shown with the state it ended in.
void CBatchList::SetRowWarnings(int row, const QStringList& warnings) {
    QTreeWidgetItem* it = topLevelItem(row);
    if (!it || warnings.isEmpty()) return;
    it->setData(kStatusColumn, kWarningsRole, warnings);
    SetRowState(row, StateOf(row), it->data(kStatusColumn, kDetailRole).toString());
}

void CBatchList::SetPlannedState(int row, RowState planned, const QString& detail, const QString& size,
                                 const QString& warnings) {
    SetRowState(row, RowState::kWaiting, {});
    QTreeWidgetItem* it = topLevelItem(row);
    if (!it) return;
    QString text;
    switch (planned) {
    case RowState::kSaved: text = tr("plan: %1 (%2)").arg(QFileInfo(detail).fileName(), size); break;
    case RowState::kSkipped: text = tr("plan: skipped: %1").arg(detail); break;
    default: text = tr("plan: failed: %1").arg(detail); break;
    }
    if (!warnings.isEmpty()) text += tr(" (warning)");
    it->setText(kStatusColumn, text);
    it->setToolTip(kStatusColumn, planned == RowState::kSaved ? detail + (warnings.isEmpty() ? "" : "\n" + warnings) : warnings);
}

void CBatchList::MarkAllWaiting() {
    for (int row = 0; row < topLevelItemCount(); ++row) SetRowState(row, RowState::kWaiting, {});
}

void CBatchList::MarkWaitingNotStarted() {
    for (int row = 0; row < topLevelItemCount(); ++row) {
        QTreeWidgetItem* it = topLevelItem(row);
        const QVariant v = it->data(kStatusColumn, kStateRole);
        if (v.isValid() && v.toInt() == int(RowState::kWaiting)) it->setText(kStatusColumn, tr("not started"));
    }
}

int CBatchList::CountRows(RowState state) const {
    int n = 0;
    for (int row = 0; row < topLevelItemCount(); ++row) {
        const QVariant v = topLevelItem(row)->data(kStatusColumn, kStateRole);
        if (v.isValid() && v.toInt() == int(state)) ++n;
    }
    return n;
}

bool CBatchList::Contains(const QString& path) const { return paths_.contains(path); }

int CBatchList::AddToBatchList(const QStringList& paths) {
    std::unique_ptr<QProgressDialog> progress;
    if (paths.size() > kProgressThreshold) {
        progress = std::make_unique<QProgressDialog>(tr("Adding images to the batch list..."), tr("Cancel"), 0,
                                                     int(paths.size()), window());
        progress->setObjectName("add-progress");
        progress->setWindowModality(Qt::WindowModal);
        progress->setMinimumDuration(300);
    }
    int added = 0;
    QStringList notAdded;
    for (int i = 0; i < paths.size(); ++i) {
        if (progress) {
            progress->setValue(i);
            QApplication::processEvents();
            if (progress->wasCanceled()) break;
        }
        const QString name = QFileInfo(paths[i]).fileName();
        // Checked before the file is read: a repeat costs nothing.
        if (Contains(paths[i])) {
            notAdded << tr("%1 (already in the list)").arg(name);
            continue;
        }
        std::string why;
        const std::optional<BatchItem> row = MakeBatchItem(paths[i].toStdString(), &why);
        if (!row) {
            QString reason = QString::fromStdString(why);
            // Inside a sentence: "Not a PNG file" reads "not a PNG file".
            if (reason.size() > 1 && reason[0].isUpper() && reason[1].isLower()) reason[0] = reason[0].toLower();
            notAdded << tr("%1 (%2)").arg(name, reason);
            continue;
        }
        const QFileInfo info(paths[i]);
        auto* it = new QTreeWidgetItem(this);
        it->setText(0, QString::fromStdString(row->fileName));
        it->setText(1, QString::fromStdString(row->imageSize));
        it->setText(2, DateText(info.lastModified()));
        it->setText(3, SizeText(info.size()));
        it->setTextAlignment(3, Qt::AlignRight | Qt::AlignVCenter);
        it->setText(kPathColumn, QString::fromStdString(row->path));
        paths_.insert(it->text(kPathColumn));
        // A row added during a run is still taken by it.
        if (canEdit && !canEdit()) SetRowState(topLevelItemCount() - 1, RowState::kWaiting, {});
        ++added;
    }
    if (progress) progress->setValue(int(paths.size()));
    emit this->added(added, notAdded);
    return added;
}

QStringList CBatchList::ExpandDroppedPaths(const QList<QUrl>& urls, bool subfolders) {
    QStringList paths;
    FolderWalk walk; // shared, so a folder dropped twice is walked once
    const FolderWalkSink sink{
        [&paths](const std::string& path, const std::string&) { paths.push_back(QString::fromStdString(path)); },
        [](const std::string&, const std::string&, bool) {}};
    for (const QUrl& url : urls) {
        if (!url.isLocalFile()) continue;
        const QString local = url.toLocalFile();
        if (!QFileInfo(local).isDir()) {
            paths.push_back(local);
            continue;
        }
        const QString folder = QDir::cleanPath(local);
        if (subfolders) {
            walk.Walk(folder.toStdString(), true, sink);
            continue;
        }
        for (const QString& name : CTessalineDoc::ListImageFiles(folder))
            paths.push_back(folder == "/" ? "/" + name : folder + '/' + name);
    }
    return paths;
}

void CBatchList::RemoveSelectedRows() {
    if (canEdit && !canEdit()) return;
    for (QTreeWidgetItem* it : selectedItems()) {
        paths_.remove(it->text(kPathColumn));
        delete it;
    }
}

void CBatchList::ClearRows() {
    if (canEdit && !canEdit()) return;
    clear();
    paths_.clear();
}

// Always a copy: a file manager may delete what it sees accepted as moved,
// and the modifiers that ask for a move or link mean nothing to the list.
static bool AcceptAsCopy(QDropEvent* event, bool enabled) {
    if (!enabled || !event->mimeData()->hasUrls() || !(event->possibleActions() & Qt::CopyAction)) {
        event->ignore();
        return false;
    }
    event->setDropAction(Qt::CopyAction);
    event->accept();
    return true;
}

void CBatchList::dragEnterEvent(QDragEnterEvent* event) { AcceptAsCopy(event, isEnabled()); }

void CBatchList::dragMoveEvent(QDragMoveEvent* event) { AcceptAsCopy(event, isEnabled()); }

void CBatchList::dropEvent(QDropEvent* event) {
    if (!AcceptAsCopy(event, isEnabled())) return;
    AddToBatchList(ExpandDroppedPaths(event->mimeData()->urls(),
                                      event->modifiers().testFlag(kSubfoldersModifier)));
}

void CBatchList::keyPressEvent(QKeyEvent* event) {
    if (event->key() == Qt::Key_Delete) {
        RemoveSelectedRows();
        return;
    }
    QTreeWidget::keyPressEvent(event);
}
