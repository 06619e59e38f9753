// The stamp's Font and colour buttons: Qt's own font dialog (underline and
// strike-out, no colour) and a colour dialog, each on its own.
#pragma once

#include "StampFont.h"

#include <QFont>

class QWidget;

// The QFont a stamp font description stands for.
QFont StampFontToQFont(const StampFont& font);
// Takes face, size (whole points, truncated), weight and effects from a font.
void StampFontFromQFont(StampFont& font, const QFont& chosen);
// Face, size, weight and effects; false when cancelled, then nothing changes.
bool ChooseStampFaceWithDialog(StampFont& font, QWidget* parent);
// The colour alone; false when cancelled, then nothing changes.
bool ChooseStampColourWithDialog(StampFont& font, QWidget* parent);
