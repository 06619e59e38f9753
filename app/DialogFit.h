// Dialog titles are drawn by the window manager, which cuts a title wider
// than the window; dialogs are made wide enough for theirs.
#pragma once

class QWidget;

// Widens dialog (a QMessageBox too) to hold its window title.
void FitTitle(QWidget* dialog);
// The width a title needs, with room for the frame's icon and buttons.
int TitleWidth(const QWidget* dialog);
