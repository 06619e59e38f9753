#include "CTessalineView.h"

#include "CRaster.h"
#include "BrowseTiles.h"
#include "CTessalineDoc.h"
#include "Ids.h"
#include "Thumbnail.h"

#include <QApplication>
#include <QContextMenuEvent>
#include <QDrag>
#include <QMenu>
#include <QMimeData>
#include <QPainter>
#include <QThread>
#include <QUrl>

CTessalineView::CTessalineView(CTessalineDoc* doc, QWidget* parent) : QListWidget(parent), doc_(doc) {
    setObjectName("browse-view");
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
}

CTessalineView::~CTessalineView() { StopThumbnailLoader(); }

QImage CTessalineView::PlaceholderTile() {
    QImage tile(kTileWidth, kTileHeight, QImage::Format_RGB32);
    tile.fill(Qt::white);
    QPainter p(&tile);
    const QString text = QStringLiteral("Loading ...");
    const QFontMetrics m(p.font());
    const int w = m.horizontalAdvance(text), h = m.height();
    p.setPen(QColor(0, 153, 0));
    p.drawText(QRect((kTileWidth - w) / 2, (kTileHeight - h) / 2, w, h), Qt::AlignLeft | Qt::AlignTop, text);
    return tile;
}

void CTessalineView::Call(const std::function<void()>& fn) {
    QMetaObject::invokeMethod(this, fn, Qt::BlockingQueuedConnection);
}

void CTessalineView::StartThumbnailLoader() {
    StopThumbnailLoader();
    stopLoader_ = false;
    loaderRunning_ = true;
    drawn_ = 0;
    loaderThread_ = std::thread(&CTessalineView::LoaderThread, this, doc_->Folder(), doc_->Names());
}

void CTessalineView::StopThumbnailLoader() {
    if (!loaderThread_.joinable()) return;
    if (loaderRunning_) stopLoader_ = true;
    while (loaderRunning_) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (loaderRunning_) QThread::msleep(1);
    }
    loaderThread_.join();
    stopLoader_ = false;
}

// Every change to the view goes through Call, so widgets are only touched on
// the GUI thread; the decoding happens here.
void CTessalineView::LoaderThread(QString folder, QStringList names) {
    const QIcon placeholder(QPixmap::fromImage(PlaceholderTile()));
    Call([&] {
        setUpdatesEnabled(false);
        clear();
        for (int i = 0; i < names.size() && !stopLoader_; ++i) {
            auto* item = new QListWidgetItem(placeholder, names[i], this);
            item->setSizeHint(QSize(kTileWidth + 24, kTileHeight + 2 * fontMetrics().height() + 8));
        }
        setUpdatesEnabled(true);
    });
    for (int i = 0; i < names.size() && !stopLoader_; ++i) {
        const QString path = folder.endsWith('/') ? folder + names[i] : folder + '/' + names[i];
        CRaster image;
        if (!LoadThumbnailImage(path.toStdString(), image)) {
            Call([&] {
                if (QListWidgetItem* it = item(i)) it->setIcon(QIcon(QPixmap::fromImage(BrokenTile())));
            });
            continue;
        }
        CDeviceBitmap tile = MakeThumbnailTile(image);
        const QImage view(tile.Bits(), tile.Width(), tile.Height(), tile.Stride(), QImage::Format_RGB32);
        const QIcon icon(QPixmap::fromImage(view.copy()));
        Call([&] {
            if (QListWidgetItem* it = item(i)) it->setIcon(icon);
        });
        ++drawn_;
    }
    Call([&] { emit loaderFinished(); });
    loaderRunning_ = false;
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
