// The help text and the About box: what the Help menu shows.
#pragma once

#include <QString>

class QDialog;
class QUrl;
class QWidget;

// The help text: beside the program in the build tree, else where it is installed.
QString HelpTextPath();
// Opens a file or folder with the desktop's program for its type; false
// when none takes it.
bool OpenWithDesktop(const QUrl& url);
// The help text in a window of ours, named objectName, child of parent; an
// open one is raised instead.
void ShowHelpText(QWidget* parent, const QString& helpPath, const QString& objectName);
// Name, build, licence, Qt and the image libraries, one a line.
QString ProgramAboutText();
// The About box, deleted when closed.
QDialog* MakeAboutBox(QWidget* parent);
