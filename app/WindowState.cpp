#include "WindowState.h"

#include "SettingsFile.h"

namespace {

QByteArray ReadHex(const IniFile& ini, const char* key) {
    const auto text = ini.Get(kWindowSection, key);
    return text ? QByteArray::fromHex(QByteArray::fromStdString(*text)) : QByteArray();
}

} // namespace

void ReadWindowRecord(const IniFile& ini, WindowRecord& record) {
    if (QByteArray g = ReadHex(ini, "Geometry"); !g.isEmpty()) record.geometry = g;
    if (QByteArray s = ReadHex(ini, "State"); !s.isEmpty()) record.state = s;
    if (QByteArray s = ReadHex(ini, "Splitter"); !s.isEmpty()) record.splitter = s;
    if (auto folder = ini.Get(kWindowSection, "Folder"); folder && !folder->empty())
        record.folder = QString::fromStdString(*folder);
    if (auto preview = ini.Get(kWindowSection, "PreviewOutput"); preview && (*preview == "0" || *preview == "1"))
        record.previewOutput = *preview == "1";
}

void WriteWindowRecord(IniFile& ini, const WindowRecord& record) {
    ini.Set(kWindowSection, "Geometry", record.geometry.toHex().toStdString());
    ini.Set(kWindowSection, "State", record.state.toHex().toStdString());
    ini.Set(kWindowSection, "Splitter", record.splitter.toHex().toStdString());
    // A line break cannot live in an INI value; such a folder is not kept.
    if (!record.folder.contains('\n') && !record.folder.contains('\r'))
        ini.Set(kWindowSection, "Folder", record.folder.toStdString());
    ini.Set(kWindowSection, "PreviewOutput", record.previewOutput ? "1" : "0");
}

QRect FirstWindowGeometry(const QRect& available, const QSize& preferred, const QMargins& frame) {
    const int w = std::max(1, std::min(preferred.width(), available.width() - frame.left() - frame.right()));
    const int h = std::max(1, std::min(preferred.height(), available.height() - frame.top() - frame.bottom()));
    const int outerW = w + frame.left() + frame.right(), outerH = h + frame.top() + frame.bottom();
    const int x = available.left() + std::max(0, (available.width() - outerW) / 2) + frame.left();
    const int y = available.top() + std::max(0, (available.height() - outerH) / 2) + frame.top();
    return QRect(x, y, w, h);
}
