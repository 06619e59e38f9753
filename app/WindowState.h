// The window's own memory between starts: size, place, pane layout and the
// last browsed folder, in a section of the settings file of its own (never
// inside the shared record).
#pragma once

#include <QByteArray>
#include <QMargins>
#include <QRect>
#include <QString>

class IniFile;

inline constexpr char kWindowSection[] = "Tessaline Window";

struct WindowRecord {
    QByteArray geometry; // QWidget::saveGeometry
    QByteArray state;    // QMainWindow::saveState
    QByteArray splitter; // thumbnails beside the preview
    QString folder;      // last browsed folder
    bool previewOutput = true;
};

// Keys missing or unreadable keep what record already holds.
void ReadWindowRecord(const IniFile& ini, WindowRecord& record);
void WriteWindowRecord(IniFile& ini, const WindowRecord& record);

// The first window's client rectangle: preferred, shrunk to what the work
// area leaves after the window manager's frame, centred in it.
QRect FirstWindowGeometry(const QRect& available, const QSize& preferred, const QMargins& frame);
