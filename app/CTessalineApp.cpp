#include "CTessalineApp.h"

#include "CMainFrame.h"
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
    QFont::insertSubstitutions("MS Sans Serif", {"Liberation Sans", "DejaVu Sans"});
    QFont::insertSubstitutions("MS Shell Dlg", {"Liberation Sans", "DejaVu Sans"});
    QFont::insertSubstitutions("MS Shell Dlg 2", {"Liberation Sans", "DejaVu Sans"});
    QFont::insertSubstitutions("Arial", {"Liberation Sans", "DejaVu Sans"});
    QFont::insertSubstitutions("Times New Roman", {"Liberation Serif", "DejaVu Serif"});
    QFont::insertSubstitutions("Courier New", {"Liberation Mono", "DejaVu Sans Mono"});
}

bool CTessalineApp::InitInstance() {
    frame_ = new CMainFrame();
    frame_->setAttribute(Qt::WA_DeleteOnClose);
    frame_->setWindowTitle(tr("Quorvel Image Resizer"));
    frame_->show();
    return true;
}
