// Colours that carry a meaning (failed, refused, a mark on a picture) taken
// from the palette or moved until they read on it, so a dark desktop shows
// them as clearly as a light one.
#pragma once

#include <QColor>
#include <QPalette>

// WCAG contrast ratio of two colours, 1 to 21.
double ContrastRatio(const QColor& a, const QColor& b);

// wanted, or the nearest colour of its hue, lighter or darker, that has at
// least minRatio against background.
QColor ReadableOn(const QColor& wanted, const QColor& background, double minRatio = 4.5);

// Text that reports a failure or a refused value, on the palette's base
// (fields, lists) or window (labels) colour.
QColor ErrorText(const QPalette& palette, QPalette::ColorRole background = QPalette::Base);

// A palette whose text roles in every colour group use the error colour:
// for a field or list entry that shows a refused value.
QPalette ErrorPalette(QPalette palette);
