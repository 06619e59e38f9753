#include "CTessalineView.h"

#include "CRaster.h"
#include "BrowseTiles.h"
#include "CTessalineDoc.h"
#include "Colours.h"
#include "ImageType.h"
#include "Ids.h"
#include "Thumbnail.h"
#include "ThumbnailQueue.h"
#include "WorkerPool.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QScrollBar>
#include <QUrl>

#include <algorithm>

namespace {
// Set on an item once its tile is drawn (or known not to decode).
constexpr int kDrawnRole = Qt::UserRole + 1;
} // namespace

#include <sys/resource.h>
#include <unistd.h>

CTessalineView::CTessalineView(CTessalineDoc* doc, QWidget* parent) : QListWidget(parent), doc_(doc) {
    setObjectName("browse-view");
    setAccessibleName(tr("Images"));
    setAccessibleDescription(tr("The images of the folder chosen in Browse; select some and add them to the batch"));
    setViewMode(QListView::IconMode);
    setIconSize(QSize(kTileWidth, kTileHeight));
    setResizeMode(QListView::Adjust);
    setMovement(QListView::Static);
    setSelectionMode(QAbstractItemView::ExtendedSelection);
    setDragEnabled(true);
    setDragDropMode(QAbstractItemView::DragOnly);
    setUniformItemSizes(true);
    setSpacing(4);
    doc_->SetView(this);
    // Scrolling or a new layout moves what is in sight to the queue's front.
    connect(verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { UpdateVisibleRange(); });
    connect(verticalScrollBar(), &QScrollBar::rangeChanged, this, [this] { UpdateVisibleRange(); });
}

CTessalineView::~CTessalineView() {
    StopThumbnailLoader();
    for (std::thread& t : loaderThreads_) t.join();
}

QImage CTessalineView::PlaceholderTile() {
    QImage tile(kTileWidth, kTileHeight, QImage::Format_RGB32);
    tile.fill(Qt::white);
    QPainter p(&tile);
    const QString text = QStringLiteral("Loading ...");
    const QFontMetrics m(p.font());
    const int w = m.horizontalAdvance(text), h = m.height();
    p.setPen(ReadableOn(QColor(0, 153, 0), Qt::white));
    p.drawText(QRect((kTileWidth - w) / 2, (kTileHeight - h) / 2, w, h), Qt::AlignLeft | Qt::AlignTop, text);
    return tile;
}

void CTessalineView::StartThumbnailLoader() { StartLoader({}); }

void CTessalineView::ReloadThumbnails(const QSet<QString>& redraw) {
    QHash<QString, QIcon> kept;
    QSet<QString> selected;
    QString current = currentItem() ? currentItem()->text() : QString();
    for (int i = 0; i < count(); ++i) {
        QListWidgetItem* it = item(i);
        if (it->data(kDrawnRole).toBool() && !redraw.contains(it->text())) kept.insert(it->text(), it->icon());
        if (it->isSelected()) selected.insert(it->text());
    }
    const int scrolled = verticalScrollBar()->value();
    blockSignals(true);
    StartLoader(kept);
    for (int i = 0; i < count(); ++i) {
        QListWidgetItem* it = item(i);
        if (it->text() == current) setCurrentItem(it, QItemSelectionModel::NoUpdate);
        it->setSelected(selected.contains(it->text()));
    }
    blockSignals(false);
    verticalScrollBar()->setValue(scrolled);
}

void CTessalineView::StartLoader(const QHash<QString, QIcon>& kept) {
    StopThumbnailLoader();
    const QString folder = doc_->Folder();
    const QStringList names = doc_->Names();
    const QIcon placeholder(QPixmap::fromImage(PlaceholderTile()));
    std::vector<char> done(size_t(names.size()), 0);
    setUpdatesEnabled(false);
    clear();
    int reused = 0;
    for (int i = 0; i < names.size(); ++i) {
        const auto tile = kept.constFind(names[i]);
        auto* item = new QListWidgetItem(tile == kept.constEnd() ? placeholder : *tile, names[i], this);
        item->setSizeHint(QSize(kTileWidth + 24, kTileHeight + 2 * fontMetrics().height() + 8));
        if (tile != kept.constEnd()) {
            item->setData(kDrawnRole, true);
            done[size_t(i)] = 1;
            ++reused;
        }
    }
    setUpdatesEnabled(true);
    drawn_ = reused;
    loaderRunning_ = true;
    queue_ = std::make_shared<ThumbnailQueue>(int(names.size()));
    UpdateVisibleRange();
    const size_t threads = std::min<size_t>(ThreadsFor(loaderThreads ? loaderThreads() : 0),
                                            std::max<qsizetype>(names.size() - reused, 1));
    threadsRunning_ = int(threads);
    for (size_t t = 0; t < threads; ++t)
        loaderThreads_.emplace_back(&CTessalineView::LoaderThread, this, queue_, generation_, folder, names, done);
}

// An empty folder says so instead of showing a blank view.
void CTessalineView::paintEvent(QPaintEvent* event) {
    QListWidget::paintEvent(event);
    if (count() > 0 || doc_->Folder().isEmpty()) return;
    QPainter p(viewport());
    p.setPen(palette().color(QPalette::Text));
    p.drawText(viewport()->rect().adjusted(8, 8, -8, -8), Qt::AlignCenter | Qt::TextWordWrap, EmptyFolderText());
}

QString CTessalineView::EmptyFolderText() { return tr("No images in this folder"); }

void CTessalineView::StopThumbnailLoader() {
    if (queue_) queue_->Close();
    queue_.reset();
    ++generation_;
    threadsRunning_ = 0;
    loaderRunning_ = false;
}

namespace {
// Niceness of the thumbnail loader threads.
constexpr int kLoaderNice = 10;
} // namespace

// Widgets are only touched on the GUI thread: tiles travel there as queued
// calls, which never wait, so the GUI thread never waits for a decode.
void CTessalineView::LoaderThread(std::shared_ptr<ThumbnailQueue> queue, int generation, QString folder,
                                  QStringList names, std::vector<char> done) {
    // Decoding yields to the GUI thread, which shares the cores with it: a
    // tile may wait a little, the event loop should not.
    setpriority(PRIO_PROCESS, id_t(gettid()), kLoaderNice);
    for (int i; (i = queue->Next()) >= 0;) {
        if (done[size_t(i)]) continue; // kept from before a refresh
        const QString path = folder.endsWith('/') ? folder + names[i] : folder + '/' + names[i];
        CRaster image;
        QImage tile; // null: the file does not decode
        if (LoadThumbnailImage(path.toStdString(), image)) {
            CDeviceBitmap bitmap = MakeThumbnailTile(image);
            tile = QImage(bitmap.Bits(), bitmap.Width(), bitmap.Height(), bitmap.Stride(), QImage::Format_RGB32)
                       .copy();
            DrawFrameBadge(tile, image.GetNumFrames(), image.GetImageType() == kTypeTiff);
        }
        QMetaObject::invokeMethod(this, [this, generation, i, tile] { ShowTile(generation, i, tile); },
                                  Qt::QueuedConnection);
    }
    const std::thread::id id = std::this_thread::get_id();
    QMetaObject::invokeMethod(this, [this, generation, id] { LoaderThreadEnded(generation, id); },
                              Qt::QueuedConnection);
}

void CTessalineView::ShowTile(int generation, int index, const QImage& tile) {
    if (generation != generation_) return;
    QListWidgetItem* it = item(index);
    if (!it) return;
    it->setIcon(QIcon(QPixmap::fromImage(tile.isNull() ? BrokenTile() : tile)));
    it->setData(kDrawnRole, true);
    if (!tile.isNull()) ++drawn_;
}

void CTessalineView::LoaderThreadEnded(int generation, std::thread::id id) {
    const auto ended = std::find_if(loaderThreads_.begin(), loaderThreads_.end(),
                                    [id](const std::thread& t) { return t.get_id() == id; });
    if (ended != loaderThreads_.end()) {
        ended->join(); // it has posted its last call, so this returns at once
        loaderThreads_.erase(ended);
    }
    if (generation != generation_ || --threadsRunning_ > 0) return;
    loaderRunning_ = false;
    emit loaderFinished();
}

// Items are laid out row by row in index order, so the ones in sight are
// found by bisection on their rectangles.
std::pair<int, int> CTessalineView::VisibleRange() const {
    const auto rect = [this](int i) { return visualRect(model()->index(i, 0)); };
    if (count() == 0 || rect(0).isEmpty()) return {-1, -1};
    const int height = viewport()->height();
    int lo = 0, hi = count();
    while (lo < hi) { // first item not wholly above the viewport
        const int mid = (lo + hi) / 2;
        if (rect(mid).bottom() < 0) lo = mid + 1;
        else hi = mid;
    }
    const int first = lo;
    hi = count();
    while (lo < hi) { // first item wholly below it
        const int mid = (lo + hi) / 2;
        if (rect(mid).top() < height) lo = mid + 1;
        else hi = mid;
    }
    return {first, std::max(first, lo - 1)};
}

void CTessalineView::UpdateVisibleRange() {
    const auto [first, last] = VisibleRange();
    if (queue_ && first >= 0) queue_->SetVisible(first, last);
}

QStringList CTessalineView::SelectedPaths() const {
    QStringList paths;
    for (int i = 0; i < count(); ++i)
        if (item(i)->isSelected()) paths.push_back(doc_->PathOf(i));
    return paths;
}

void CTessalineView::contextMenuEvent(QContextMenuEvent* event) {
    if (selectedItems().isEmpty()) return;
    QMenu menu(this);
    QAction* add = menu.addAction(tr("Add to Batch Process List"));
    add->setObjectName(ids::Name(ids::kCmdAddToBatchList));
    if (menu.exec(event->globalPos()) == add && addToBatchList) addToBatchList(SelectedPaths());
}

// Drags carry the selection as file URLs, so the batch list takes them by the
// same rules as drops from the desktop's file manager.
QMimeData* CTessalineView::mimeData(const QList<QListWidgetItem*>&) const {
    auto* data = new QMimeData;
    QList<QUrl> urls;
    for (const QString& p : SelectedPaths()) urls.push_back(QUrl::fromLocalFile(p));
    data->setUrls(urls);
    return data;
}

// A copy, shown as a small stack of the dragged thumbnails so the drop
// target stays in sight.
void CTessalineView::startDrag(Qt::DropActions) {
    QList<QListWidgetItem*> items;
    for (int i = 0; i < count(); ++i)
        if (item(i)->isSelected()) items.push_back(item(i));
    if (items.isEmpty()) return;
    QList<QPixmap> tiles;
    for (int i = 0; i < std::min<int>(int(items.size()), kDragStacked); ++i)
        tiles.push_back(items[i]->icon().pixmap(QSize(kTileWidth, kTileHeight)));
    auto* drag = new QDrag(this);
    drag->setMimeData(mimeData(items));
    const QPixmap image = DragImage(tiles, int(items.size()));
    drag->setPixmap(image);
    drag->setHotSpot(QPoint(image.width() / 3, image.height() - 8));
    drag->exec(Qt::CopyAction, Qt::CopyAction);
}
