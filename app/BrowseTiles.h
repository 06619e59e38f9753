// Pictures of the browse list beyond the thumbnails themselves: the mark of
// a file that does not decode, and the small stack a drag carries.
#pragma once

#include <QImage>
#include <QList>
#include <QPixmap>

// A tile in place of a thumbnail that cannot be made: a red cross and
// "cannot read", so it is not mistaken for one still loading.
QImage BrokenTile();

// "12 frames" (or "3 pages") in a band along the bottom of a picture of an
// animation or a TIFF of several pages; nothing for one picture.
QString FrameCountText(int count, bool pages);
void DrawFrameBadge(QImage& picture, int count, bool pages);

// At most three of the tiles, shrunk and stacked, with the count of what is
// dragged when that is more than one.
QPixmap DragImage(const QList<QPixmap>& tiles, int count);
inline constexpr int kDragStacked = 3;
