// The application object: start-up of the single-document program.
#pragma once

#include <QApplication>

class CMainFrame;

class CTessalineApp : public QApplication {
    Q_OBJECT
public:
    CTessalineApp(int& argc, char** argv);
    // Creates and shows the main window; false when the program must end.
    bool InitInstance();
    CMainFrame* MainFrame() const { return frame_; }

    // Windows face names a settings file may carry, mapped to installed faces.
    static void InstallFontSubstitutions();

private:
    CMainFrame* frame_ = nullptr;
};
