#include "CTessalineApp.h"

#include "CMainFrame.h"
#include "FontSubstitutes.h"
#include "Icons.h"
#include "WindowCommandLine.h"

#include <QCommandLineParser>
#include <QFont>

#include <cstdio>

CTessalineApp::CTessalineApp(int& argc, char** argv) : QApplication(argc, argv) {
    setApplicationName("Tessaline");
    setApplicationDisplayName("Quorvel Image Resizer");
    setApplicationVersion(TESSALINE_VERSION);
    setWindowIcon(ProgramIcon());
    InstallFontSubstitutions();
}

void CTessalineApp::InstallFontSubstitutions() {
    for (const FontSubstitute& s : FontSubstitutes())
        QFont::insertSubstitutions(s.face, {s.installed, s.fallback});
}

bool CTessalineApp::InitInstance() {
    // The file manager's "Open With" passes files and folders (%F).
    QCommandLineParser parser;
    namespace line = window_command_line;
    parser.setApplicationDescription(tr(line::kSummary));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(tr(line::kFilesName), tr(line::kFilesHelp), tr(line::kFilesSyntax));
    parser.process(arguments());

    frame_ = new CMainFrame();
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    frame_->setWindowTitle(tr("Quorvel Image Resizer"));
    for (const QString& path : frame_->OpenPaths(parser.positionalArguments()))
        std::fprintf(stderr, "tessaline: no such file or folder: %s\n", qPrintable(path));
    frame_->show();
    return true;
}
