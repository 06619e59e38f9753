#include "Icons.h"

#include "Ids.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace {

QPixmap Canvas(int size) {
    QPixmap p(size, size);
    p.fill(Qt::transparent);
    return p;
}

// A window outline with one region filled: the pane a command toggles.
QIcon PaneIcon(QRectF filled) {
    QPixmap p = Canvas(16);
    QPainter g(&p);
    g.setPen(QColor(60, 60, 60));
    g.setBrush(Qt::white);
    g.drawRect(1, 2, 13, 11);
    g.fillRect(filled, QColor(40, 110, 200));
    return QIcon(p);
}

} // namespace

QIcon CommandIcon(int command) {
    QPixmap p = Canvas(16);
    QPainter g(&p);
    g.setRenderHint(QPainter::Antialiasing);
    switch (command) {
    case ids::kCmdStart: {
        QPainterPath path;
        path.moveTo(4, 2);
        path.lineTo(14, 8);
        path.lineTo(4, 14);
        path.closeSubpath();
        g.fillPath(path, QColor(30, 150, 60));
        return QIcon(p);
    }
    case ids::kCmdStop: g.fillRect(QRectF(3, 3, 10, 10), QColor(200, 40, 40)); return QIcon(p);
    case ids::kCmdBrowsePane: g.end(); return PaneIcon(QRectF(2, 3, 4, 10));
    case ids::kCmdBatchListPane: g.end(); return PaneIcon(QRectF(2, 9, 12, 4));
    case ids::kCmdOperationPane: g.end(); return PaneIcon(QRectF(8, 9, 6, 4));
    case ids::kCmdRestoreLayout: g.end(); return PaneIcon(QRectF(2, 3, 12, 10));
    case ids::kCmdAbout:
        g.setBrush(QColor(40, 110, 200));
        g.setPen(Qt::NoPen);
        g.drawEllipse(QRectF(1, 1, 14, 14));
        g.setPen(QPen(Qt::white, 2));
        g.drawLine(QPointF(8, 7), QPointF(8, 12));
        g.drawPoint(QPointF(8, 4.5));
        return QIcon(p);
    default: return QIcon();
    }
}

QIcon ProgramIcon() {
    QIcon icon;
    for (int size : {16, 32, 48, 64}) {
        QPixmap p = Canvas(size);
        QPainter g(&p);
        g.setRenderHint(QPainter::Antialiasing);
        const qreal s = size / 16.0;
        g.setPen(QPen(QColor(50, 50, 50), s));
        g.setBrush(QColor(250, 250, 245));
        g.drawRect(QRectF(1.5 * s, 1.5 * s, 11 * s, 9 * s));
        g.fillRect(QRectF(2.5 * s, 6 * s, 9 * s, 4 * s), QColor(70, 150, 90));
        g.setBrush(QColor(240, 180, 40));
        g.setPen(Qt::NoPen);
        g.drawEllipse(QRectF(8.5 * s, 3 * s, 2.5 * s, 2.5 * s));
        g.setPen(QPen(QColor(40, 110, 200), 1.5 * s));
        g.drawLine(QPointF(9 * s, 14.5 * s), QPointF(14.5 * s, 9 * s));
        g.drawLine(QPointF(14.5 * s, 9 * s), QPointF(14.5 * s, 12.5 * s));
        g.drawLine(QPointF(14.5 * s, 9 * s), QPointF(11 * s, 9 * s));
        icon.addPixmap(p);
    }
    return icon;
}
