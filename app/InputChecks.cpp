#include "InputChecks.h"

#include "OutputNaming.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>

#include <cerrno>
#include <cstring>
#include <system_error>
#include <unistd.h>

#include <filesystem>

namespace {

QString Tr(const char* text) { return QCoreApplication::translate("InputChecks", text); }

// The reason access() gives, read before anything else can change errno.
QString AccessProblem(const QString& path) {
    if (::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0) return {};
    const int error = errno;
    return QString::fromLocal8Bit(std::strerror(error));
}

QString WritableProblem(const QString& folder) {
    const QFileInfo info(folder);
    if (!info.isDir()) return Tr("%1 is not a folder").arg(folder);
    if (const QString why = AccessProblem(folder); !why.isEmpty()) return Tr("%1 cannot be written: %2").arg(folder, why);
    return {};
}

} // namespace

QValidator::State PrefixValidator::validate(QString& text, int&) const {
    if (IsValid(text)) return Acceptable;
    return text == "." || text == ".." ? Intermediate : Invalid;
}

bool PrefixValidator::IsValid(const QString& text) { return Problem(text).isEmpty(); }

QString PrefixValidator::Problem(const QString& text) {
    return QString::fromStdString(PrefixProblem(text.toStdString()));
}

QString OutputFolderProblem(const QString& folder) {
    if (folder.isEmpty()) return {};
    QString path = QDir::cleanPath(QDir(folder).absolutePath());
    if (QFileInfo::exists(path)) return WritableProblem(path);
    // The nearest existing folder above decides whether it can be made.
    while (!QFileInfo::exists(path) && path != "/") path = QFileInfo(path).path();
    const QFileInfo above(path);
    if (!above.isDir()) return Tr("%1 cannot be created: %2 is not a folder").arg(folder, path);
    if (const QString why = AccessProblem(path); !why.isEmpty()) return Tr("%1 cannot be created: %2").arg(folder, why);
    return {};
}

QString PrepareOutputFolder(const QString& folder) {
    if (folder.isEmpty()) return {};
    std::error_code ec;
    std::filesystem::create_directories(QFile::encodeName(folder).toStdString(), ec);
    if (ec) return Tr("%1 cannot be created: %2").arg(folder, QString::fromStdString(ec.message()));
    return WritableProblem(folder);
}
