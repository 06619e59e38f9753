#include "StampFontDialog.h"

#include <QColorDialog>
#include <QFontDialog>

QFont StampFontToQFont(const StampFont& font) {
    QFont f(QString::fromStdString(font.faceName));
    const int points = std::abs(std::atoi(font.pointSize.c_str()));
    if (points > 0) f.setPointSize(points);
    f.setWeight(QFont::Weight(std::clamp(font.weight ? font.weight : 400, 1, 1000)));
    f.setItalic(font.italic);
    f.setUnderline(font.underline);
    f.setStrikeOut(font.strikeOut);
    return f;
}

void StampFontFromQFont(StampFont& font, const QFont& chosen) {
    font.faceName = chosen.family().toStdString().substr(0, 31);
    // Tenths of a point, made positive, divided by 10 and truncated.
    const int tenths = std::abs(int(chosen.pointSizeF() * 10 + 0.5));
    font.pointSize = std::to_string(std::min(tenths / 10, 999));
    font.weight = chosen.weight();
    font.italic = chosen.italic() ? 1 : 0;
    font.underline = chosen.underline() ? 1 : 0;
    font.strikeOut = chosen.strikeOut() ? 1 : 0;
}

bool ChooseStampFaceWithDialog(StampFont& font, QWidget* parent) {
    if (font.faceName.empty()) font.ApplyDefaults();
    bool ok = false;
    const QFont chosen = QFontDialog::getFont(&ok, StampFontToQFont(font), parent, QObject::tr("Stamp Font"),
                                              QFontDialog::DontUseNativeDialog);
    if (!ok) return false;
    StampFontFromQFont(font, chosen);
    return true;
}

bool ChooseStampColourWithDialog(StampFont& font, QWidget* parent) {
    if (font.faceName.empty()) font.ApplyDefaults();
    const QColor colour = QColorDialog::getColor(QColor(RedOf(font.colour), GreenOf(font.colour), BlueOf(font.colour)),
                                                 parent, QObject::tr("Stamp Colour"), QColorDialog::DontUseNativeDialog);
    if (!colour.isValid()) return false;
    font.colour = MakeColorRef(uint8_t(colour.red()), uint8_t(colour.green()), uint8_t(colour.blue()));
    return true;
}
