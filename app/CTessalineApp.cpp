#include "CTessalineApp.h"

#include "CMainFrame.h"
#include "FontSubstitutes.h"
#include "Icons.h"

#include <QFont>

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
    frame_ = new CMainFrame();
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    frame_->setWindowTitle(tr("Quorvel Image Resizer"));
    frame_->show();
    return true;
}
