#include "CTessalineApp.h"

#include "CMainFrame.h"
#include "FontSubstitutes.h"
#include "Icons.h"

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
    parser.setApplicationDescription(tr("Resize, rotate, rename and stamp many images at once."));
    parser.addHelpOption();
    parser.addVersionOption();
    parser.addPositionalArgument(tr("FILE|FOLDER"), tr("Images for the batch list; a folder adds its images."),
                                 tr("[FILE|FOLDER...]"));
    parser.process(arguments());

    frame_ = new CMainFrame();
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    frame_->setWindowTitle(tr("Quorvel Image Resizer"));
    for (const QString& path : frame_->OpenPaths(parser.positionalArguments()))
        std::fprintf(stderr, "tessaline: no such file or folder: %s\n", qPrintable(path));
    frame_->show();
    return true;
}
