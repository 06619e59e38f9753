#include "Colours.h"

#include <cmath>

namespace {

double Channel(double c) { return c <= 0.03928 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4); }

double Luminance(const QColor& c) {
    return 0.2126 * Channel(c.redF()) + 0.7152 * Channel(c.greenF()) + 0.0722 * Channel(c.blueF());
}

const QColor kFailureRed(200, 0, 0);

} // namespace

double ContrastRatio(const QColor& a, const QColor& b) {
    const double la = Luminance(a), lb = Luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

// Steps the HSL lightness away from the background's until it reads.
QColor ReadableOn(const QColor& wanted, const QColor& background, double minRatio) {
    if (ContrastRatio(wanted, background) >= minRatio) return wanted;
    const bool lighter = Luminance(background) < 0.18;
    float h, s, l, a;
    wanted.toHsl().getHslF(&h, &s, &l, &a);
    for (int step = 1; step <= 40; ++step) {
        const float to = lighter ? l + (1 - l) * step / 40.f : l * (1 - step / 40.f);
        const QColor c = QColor::fromHslF(h, s, to, a).toRgb();
        if (ContrastRatio(c, background) >= minRatio) return c;
    }
    return lighter ? QColor(Qt::white) : QColor(Qt::black);
}

QColor ErrorText(const QPalette& palette, QPalette::ColorRole background) {
    return ReadableOn(kFailureRed, palette.color(QPalette::Active, background));
}

QPalette ErrorPalette(QPalette palette) {
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        const QColor base = ReadableOn(kFailureRed, palette.color(group, QPalette::Base));
        const QColor button = ReadableOn(kFailureRed, palette.color(group, QPalette::Button));
        palette.setColor(group, QPalette::Text, base);
        palette.setColor(group, QPalette::ButtonText, button);
        palette.setColor(group, QPalette::WindowText, ReadableOn(kFailureRed, palette.color(group, QPalette::Window)));
    }
    return palette;
}
