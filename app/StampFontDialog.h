// The Font button: Qt's own font dialog (underline and strike-out, no colour),
// then a colour dialog for the stamp colour.
#pragma once

#include "StampFont.h"

#include <QFont>

class QWidget;

// The QFont a stamp font description stands for.
QFont StampFontToQFont(const StampFont& font);
// Takes face, size (whole points, truncated), weight and effects from a font.
void StampFontFromQFont(StampFont& font, const QFont& chosen);
// Returns false when either dialog was cancelled; then nothing changes.
bool ChooseStampFontWithDialog(StampFont& font, QWidget* parent);
