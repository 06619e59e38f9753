// Pictures of the browse list beyond the thumbnails themselves: the mark of
// a file that does not decode, and the small stack a drag carries.
#pragma once

#include <QImage>
#include <QList>
#include <QPixmap>

// A tile in place of a thumbnail that cannot be made: a red cross and
// "cannot read", so it is not mistaken for one still loading.
QImage BrokenTile();

// At most three of the tiles, shrunk and stacked, with the count of what is
// dragged when that is more than one.
QPixmap DragImage(const QList<QPixmap>& tiles, int count);
inline constexpr int kDragStacked = 3;
