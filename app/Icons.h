// The program's own icons, drawn here rather than taken from anywhere.
#pragma once

#include <QIcon>

QIcon CommandIcon(int command);
QIcon ProgramIcon();
