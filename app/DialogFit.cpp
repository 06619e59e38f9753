#include "DialogFit.h"

#include <QApplication>
#include <QFontMetrics>
#include <QGridLayout>
#include <QMessageBox>

namespace {

// The frame's icon and three buttons, with margins, at 100% scale.
constexpr int kFrameButtons = 150;

} // namespace

int TitleWidth(const QWidget* dialog) {
    // Window managers draw titles bold, often a little larger.
    QFont font = QApplication::font("QMdiSubWindowTitleBar");
    font.setBold(true);
    font.setPointSizeF(font.pointSizeF() * 1.2);
    return QFontMetrics(font).horizontalAdvance(dialog->windowTitle()) + kFrameButtons;
}

void FitTitle(QWidget* dialog) {
    const int width = TitleWidth(dialog);
    // A message box sizes itself from its layout, so the room goes there.
    if (auto* box = qobject_cast<QMessageBox*>(dialog)) {
        if (auto* grid = qobject_cast<QGridLayout*>(box->layout()))
            grid->addItem(new QSpacerItem(width, 0, QSizePolicy::Minimum, QSizePolicy::Fixed), grid->rowCount(), 0,
                          1, grid->columnCount());
        return;
    }
    dialog->setMinimumWidth(std::max(dialog->minimumWidth(), width));
}
