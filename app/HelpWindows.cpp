#include "HelpWindows.h"

#include "DialogFit.h"
#include "Icons.h"
#include "Ids.h"
#include "LibraryVersions.h"
#include "SettingsFile.h"

#include <QApplication>
#include <QClipboard>
#include <QDesktopServices>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGridLayout>
#include <QLabel>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>

// Beside the program in the build tree; installed, in share/tessaline, since
// a text file has no place among the programs in bin/.
QString HelpTextPath() {
    const std::string program = QCoreApplication::applicationFilePath().toStdString();
    const QString beside = QString::fromStdString(CompanionFilePath(program, "txt"));
    const QString shared = QCoreApplication::applicationDirPath() + "/../share/tessaline/tessaline.txt";
    return QFileInfo(beside).isFile() || !QFileInfo(shared).isFile() ? beside : QFileInfo(shared).canonicalFilePath();
}

// QDesktopServices reports success as soon as the opener starts, even when no
// program takes the file's type; the desktop's association is asked first.
bool OpenWithDesktop(const QUrl& url) {
    if (url.isLocalFile()) {
        QProcess query;
        query.start("xdg-mime", {"query", "default", QMimeDatabase().mimeTypeForFile(url.toLocalFile()).name()});
        if (query.waitForFinished(3000) && query.exitStatus() == QProcess::NormalExit && query.exitCode() == 0 &&
            query.readAllStandardOutput().trimmed().isEmpty())
            return false;
    }
    return QDesktopServices::openUrl(url);
}

void ShowHelpText(QWidget* parent, const QString& helpPath, const QString& objectName) {
    if (auto* open = parent->findChild<QDialog*>(objectName)) {
        open->raise();
        open->activateWindow();
        return;
    }
    QFile file(helpPath);
    const QString text = file.open(QIODevice::ReadOnly)
                             ? QString::fromUtf8(file.readAll())
                             : QObject::tr("The help text %1 cannot be read: %2").arg(helpPath, file.errorString());
    auto* window = new QDialog(parent);
    window->setObjectName(objectName);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(QObject::tr("Quorvel Image Resizer Help"));
    auto* layout = new QVBoxLayout(window);
    auto* view = new QPlainTextEdit(text, window);
    view->setReadOnly(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, window);
    QObject::connect(buttons, &QDialogButtonBox::rejected, window, &QDialog::close);
    layout->addWidget(buttons);
    // Wide enough for the text's 80 columns, never beyond the screen.
    const QFontMetrics metrics(view->font());
    const QRect available = (parent->screen() ? parent->screen() : QGuiApplication::primaryScreen())->availableGeometry();
    window->resize(std::min(metrics.horizontalAdvance(QString(82, 'm')) + 60, available.width() - 40),
                   std::min(metrics.lineSpacing() * 30 + 80, available.height() - 60));
    FitTitle(window);
    window->show();
}

QString ProgramAboutText() {
    QString version = QStringLiteral(TESSALINE_VERSION);
    if (const QString commit = QStringLiteral(TESSALINE_COMMIT); !commit.isEmpty())
        version += QObject::tr(" (build %1)").arg(commit);
    QStringList lines{QObject::tr("Quorvel Image Resizer %1").arg(version), QObject::tr("Licence: %1").arg(TESSALINE_LICENCE), QString(),
                      QObject::tr("Qt %1 (built with %2)").arg(qVersion(), QT_VERSION_STR)};
    for (const auto& [name, number] : ImageLibraryVersions())
        lines << QString::fromStdString(name) + ' ' + QString::fromStdString(number);
    return lines.join('\n');
}

QDialog* MakeAboutBox(QWidget* parent) {
    auto* box = new QDialog(parent);
    box->setObjectName(ids::Name(ids::kDialogAbout));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(QObject::tr("About Quorvel Image Resizer"));
    auto* layout = new QGridLayout(box);
    auto* icon = new QLabel(box);
    icon->setPixmap(ProgramIcon().pixmap(32, 32));
    layout->addWidget(icon, 0, 0, Qt::AlignTop);
    const QString text = ProgramAboutText();
    auto* facts = new QLabel(text, box);
    facts->setObjectName("about-text");
    facts->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    facts->setAccessibleName(QObject::tr("Program information"));
    facts->setAccessibleDescription(QObject::tr("Version, licence and the libraries in use"));
    layout->addWidget(facts, 0, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, box);
    buttons->button(QDialogButtonBox::Ok)->setAccessibleDescription(QObject::tr("Close this window"));
    QPushButton* copy = buttons->addButton(QObject::tr("Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName("about-copy");
    copy->setAccessibleDescription(QObject::tr("Copy this text to the clipboard, for a bug report"));
    QObject::connect(copy, &QPushButton::clicked, box, [text] { QGuiApplication::clipboard()->setText(text); });
    QObject::connect(buttons, &QDialogButtonBox::accepted, box, &QDialog::accept);
    layout->addWidget(buttons, 1, 0, 1, 2);
    FitTitle(box);
    return box;
}
