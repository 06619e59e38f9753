#include "BrowseTiles.h"

#include "Thumbnail.h"

#include <QCoreApplication>
#include <QPainter>

namespace {

constexpr int kDragTileWidth = 64, kDragTileHeight = 58, kDragOffset = 6;

} // namespace

QImage BrokenTile() {
    QImage tile(kTileWidth, kTileHeight, QImage::Format_RGB32);
    tile.fill(Qt::white);
    QPainter p(&tile);
    p.setRenderHint(QPainter::Antialiasing);
    const QColor red(200, 0, 0);
    p.setPen(QPen(red, 3, Qt::SolidLine, Qt::RoundCap));
    const QPoint c(kTileWidth / 2, kTileHeight / 2 - 10);
    p.drawLine(c + QPoint(-12, -12), c + QPoint(12, 12));
    p.drawLine(c + QPoint(12, -12), c + QPoint(-12, 12));
    p.setPen(red);
    p.drawText(QRect(0, kTileHeight / 2 + 8, kTileWidth, 20), Qt::AlignHCenter | Qt::AlignTop,
               QCoreApplication::translate("BrowseTiles", "cannot read"));
    p.setPen(QColor(192, 192, 192));
    p.drawRect(0, 0, kTileWidth - 1, kTileHeight - 1);
    return tile;
}

QString FrameCountText(int count, bool pages) {
    return pages ? QCoreApplication::translate("BrowseTiles", "%1 pages").arg(count)
                 : QCoreApplication::translate("BrowseTiles", "%1 frames").arg(count);
}

void DrawFrameBadge(QImage& picture, int count, bool pages) {
    if (count <= 1 || picture.isNull()) return;
    QPainter p(&picture);
    QFont f = p.font();
    f.setPixelSize(11);
    f.setBold(true);
    p.setFont(f);
    const QString text = FrameCountText(count, pages);
    const QRect band(0, picture.height() - 16, std::min(picture.width(), p.fontMetrics().horizontalAdvance(text) + 8), 16);
    p.fillRect(band, QColor(40, 110, 200, 220));
    p.setPen(Qt::white);
    p.drawText(band, Qt::AlignCenter, text);
}

QPixmap DragImage(const QList<QPixmap>& tiles, int count) {
    const int shown = std::min<int>(int(tiles.size()), kDragStacked);
    const int badge = count > 1 ? 22 : 0;
    QPixmap image(kDragTileWidth + (shown - 1) * kDragOffset + badge / 2,
                  kDragTileHeight + (shown - 1) * kDragOffset + badge / 2);
    image.fill(Qt::transparent);
    if (shown == 0) return image;
    QPainter p(&image);
    p.setRenderHint(QPainter::SmoothPixmapTransform);
    // The first tile in front, the others peeking out behind it up-right.
    for (int i = shown - 1; i >= 0; --i) {
        const QRect place(i * kDragOffset, badge / 2 + (shown - 1 - i) * kDragOffset, kDragTileWidth, kDragTileHeight);
        p.setOpacity(i == 0 ? 0.9 : 0.75);
        p.drawPixmap(place, tiles[i]);
        p.setOpacity(1);
        p.setPen(QColor(128, 128, 128));
        p.drawRect(place.adjusted(0, 0, -1, -1));
    }
    if (badge) {
        p.setRenderHint(QPainter::Antialiasing);
        p.setBrush(QColor(40, 110, 200));
        p.setPen(Qt::white);
        const QRect circle(image.width() - badge, 0, badge, badge);
        p.drawEllipse(circle.adjusted(1, 1, -1, -1));
        QFont f = p.font();
        f.setBold(true);
        f.setPixelSize(11);
        p.setFont(f);
        p.drawText(circle, Qt::AlignCenter, QString::number(count));
    }
    return image;
}
