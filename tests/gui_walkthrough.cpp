// Walks through a user's first run in the real window (under Xvfb, see
// scripts/walkthrough.sh): picks a folder, adds its images and one that
// fails, sets JPG at quality 75, width 800 and a stamp, presses Start and
// saves screenshots before, during and after the run; with "dark" after the
// arguments, in the Fusion style with a dark palette. A tool for looking,
// not a test.
#include "CBatchList.h"
#include "CDialogOperation2.h"
#include "CFolderTree.h"
#include "CGroupLine.h"
#include "CMainFrame.h"
#include "CSpinButton.h"
#include "CTessalineApp.h"
#include "CTessalineView.h"
#include "Ids.h"
#include "support/DarkPalette.h"

#include "CRaster.h"
#include "ImageType.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QProgressBar>
#include <QScreen>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>

int main(int argc, char** argv) {
    if (argc < 4) {
        fprintf(stderr, "usage: gui_walkthrough PHOTO_DIR OUT_DIR SHOT_PREFIX\n");
        return 2;
    }
    CTessalineApp app(argc, argv);
    const QString photos = argv[1], out = argv[2], shots = argv[3];
    if (argc > 4 && QString(argv[4]) == "dark") {
        QApplication::setStyle("Fusion");
        QApplication::setPalette(DarkPalette());
    }
    CMainFrame frame(out + "/walkthrough.ini");
    frame.show();
    QTest::qWait(500);
    frame.FolderTree()->SelectPath(photos);
    QElapsedTimer t;
    t.start();
    while (frame.View()->IsLoaderRunning() && t.elapsed() < 60000) QTest::qWait(20);
    frame.View()->selectAll();
    // The preview follows the current thumbnail: a photo, with the stamp marked.
    for (int i = 0; i < frame.View()->count(); ++i)
        if (frame.View()->item(i)->text().endsWith("photo-01.jpg")) frame.View()->setCurrentItem(frame.View()->item(i), QItemSelectionModel::NoUpdate);
    frame.BatchList()->AddToBatchList(frame.View()->SelectedPaths());
    // A row that fails: readable when added, spoilt before the run.
    const QString spoilt = out + "/spoilt.bmp";
    CRaster small(16, 16, 24);
    small.SaveFile(spoilt.toStdString(), kTypeBmp);
    frame.BatchList()->AddToBatchList({spoilt});
    QFile(spoilt).resize(20);
    CDialogOperation2* pane = frame.OperationPane();
    pane->AddOutputFolder(out);
    pane->findChild<QComboBox*>(ids::Name(ids::kFormatList))->setCurrentIndex(1);
    pane->findChild<CSpinButton*>(ids::Name(ids::kQualitySpin))->SetPos(75);
    auto* resize = pane->findChild<CGroupLine*>(ids::Name(ids::kGroupResize));
    QTest::mouseClick(resize->CheckBox(), Qt::LeftButton, {}, QPoint(4, 8));
    pane->findChild<CSpinButton*>(ids::Name(ids::kWidthSpin))->SetPos(800);
    auto* stamp = pane->findChild<CGroupLine*>(ids::Name(ids::kGroupStamp));
    QTest::mouseClick(stamp->CheckBox(), Qt::LeftButton, {}, QPoint(4, 8));
    QTest::keyClicks(pane->findChild<QLineEdit*>(ids::Name(ids::kStampEdit)), "Quorvel 2026");
    QTest::qWait(300);
    frame.screen()->grabWindow(0).save(shots + "-before.png");
    // The toolbar's Start button, as a user presses it.
    QWidget* start = frame.StandardToolBar()->widgetForAction(frame.Command(ids::kCmdStart));
    QTest::mouseClick(start, Qt::LeftButton);
    t.restart();
    while (frame.Run().IsRunning() && frame.ProgressBar()->value() < 4 && t.elapsed() < 60000) QTest::qWait(10);
    frame.screen()->grabWindow(0).save(shots + "-during.png");
    frame.WaitForRunDone();
    QTest::qWait(500);
    frame.screen()->grabWindow(0).save(shots + "-after.png");
    printf("%s", frame.Report()->toPlainText().toUtf8().constData());
    frame.close();
    return 0;
}
