// A dark desktop's palette, as the window tests and the walkthrough use it.
#pragma once

#include <QPalette>

inline QPalette DarkPalette() {
    QPalette p;
    const QColor window(45, 45, 48), base(30, 30, 30), text(230, 230, 230);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
        p.setColor(group, QPalette::Window, window);
        p.setColor(group, QPalette::WindowText, text);
        p.setColor(group, QPalette::Base, base);
        p.setColor(group, QPalette::AlternateBase, window);
        p.setColor(group, QPalette::Text, text);
        p.setColor(group, QPalette::Button, window);
        p.setColor(group, QPalette::ButtonText, text);
        p.setColor(group, QPalette::ToolTipBase, base);
        p.setColor(group, QPalette::ToolTipText, text);
        p.setColor(group, QPalette::PlaceholderText, QColor(160, 160, 160));
        p.setColor(group, QPalette::Highlight, QColor(38, 79, 120));
        p.setColor(group, QPalette::HighlightedText, Qt::white);
        p.setColor(group, QPalette::Light, QColor(80, 80, 84));
        p.setColor(group, QPalette::Midlight, QColor(62, 62, 66));
        p.setColor(group, QPalette::Mid, QColor(38, 38, 40));
        p.setColor(group, QPalette::Dark, QColor(25, 25, 26));
        p.setColor(group, QPalette::Shadow, Qt::black);
    }
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
        p.setColor(QPalette::Disabled, role, QColor(130, 130, 130));
    p.setColor(QPalette::Disabled, QPalette::Window, window);
    p.setColor(QPalette::Disabled, QPalette::Base, window);
    p.setColor(QPalette::Disabled, QPalette::Button, window);
    return p;
}
