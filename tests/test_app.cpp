// The desktop program on the offscreen platform: panes, commands, the
// operation pane's rules, the batch list, thumbnails and runs through the window.
#include "BrowseTiles.h"
#include "CBatchList.h"
#include "CPreviewPane.h"
#include "Frames.h"
#include "ImageStream.h"
#include "CDialogOperation2.h"
#include "CDockManager.h"
#include "CFolderTree.h"
#include "CGroupLine.h"
#include "CMainFrame.h"
#include "CSpinButton.h"
#include "CTessalineApp.h"
#include "CTessalineDoc.h"
#include "CTessalineView.h"
#include "Ids.h"
#include "DialogFit.h"
#include "InputChecks.h"
#include "OptionsDialog.h"
#include "SettingsFile.h"
#include "Thumbnail.h"
#include "ThumbnailQueue.h"
#include "Transparency.h"
#include "WindowState.h"

#include "CRaster.h"
#include "FormatTable.h"
#include "ImageMetadata.h"
#include "ImageType.h"

#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QLabel>
#include <QColorDialog>
#include <QFontDialog>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QTimer>
#include <QToolTip>
#include <QComboBox>
#include <QDockWidget>
#include <QLineEdit>
#include <QMenuBar>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>
#include <QUrl>

namespace {

template <class T> T* Find(QWidget* root, int id) { return root->findChild<T*>(ids::Name(id)); }

// Writes a small BMP (our own encoder) of the given size.
QString WriteImage(const QString& path, uint32_t w, uint32_t h, uint8_t fill = 0x80) {
    CRaster img(w, h, 24);
    img.FillBytes(fill);
    img.SaveFile(path.toStdString(), kTypeBmp);
    return path;
}

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QTest::qWait(5);
    return done();
}

} // namespace

class TestApp : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString Ini() const { return dir_.filePath("settings.ini"); }
    QString Photos() const { return dir_.filePath("photos"); }

private slots:
    void initTestCase() {
        QVERIFY(dir_.isValid());
        QDir().mkpath(Photos());
        WriteImage(Photos() + "/b.bmp", 300, 100);
        WriteImage(Photos() + "/A.bmp", 100, 300);
        WriteImage(Photos() + "/10.bmp", 20, 20);
        WriteImage(Photos() + "/2.bmp", 40, 30);
        QFile junk(Photos() + "/broken.bmp");
        junk.open(QIODevice::WriteOnly);
        junk.write("not an image at all");
        junk.close();
        QFile notes(Photos() + "/notes.txt");
        notes.open(QIODevice::WriteOnly);
        notes.write("text");
    }

    void init() { QFile::remove(Ini()); }

    void windowPanesMenusAndToolbar() {
        CMainFrame frame(Ini());
        frame.show();
        QCOMPARE(frame.windowTitle(), QString("Quorvel Image Resizer"));
        const std::pair<int, const char*> panes[] = {{ids::kPaneBrowse, "Browse"},
                                                     {ids::kPaneBatchList, "Batch Process List"},
                                                     {ids::kPaneOperation, "Operation"},
                                                     {ids::kPaneReport, "Progress Report"}};
        for (auto [id, title] : panes) QCOMPARE(frame.Docks()->Pane(id)->windowTitle(), QString(title));
        QVERIFY(!frame.Docks()->IsPaneClosed(ids::kPaneBrowse));
        QVERIFY(frame.Docks()->IsPaneCollapsed(ids::kPaneReport));
        QVERIFY(frame.Docks()->CollapsedTab(ids::kPaneReport));
        QCOMPARE(frame.menuBar()->actions().size(), 3);
        QCOMPARE(frame.menuBar()->actions()[0]->text(), QString("&File"));
        QCOMPARE(frame.Command(ids::kCmdStart)->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(frame.Command(ids::kCmdStart)->statusTip(), QString("Resize selected images"));
        QCOMPARE(frame.Command(ids::kCmdStop)->toolTip(), QString("Stop"));
        QStringList tools;
        for (QAction* a : frame.StandardToolBar()->actions()) tools << (a->isSeparator() ? "|" : a->objectName());
        QCOMPARE(tools.join(' '), QString("32771 32781 | 32773 32774 32775 32776 | 57664"));
        QCOMPARE(frame.ProgressBar()->width(), 150);

        // Toggling twice shows the same tree again; restore brings closed panes back.
        CFolderTree* tree = frame.FolderTree();
        frame.TogglePane(ids::kPaneBrowse);
        QVERIFY(frame.Docks()->IsPaneClosed(ids::kPaneBrowse));
        frame.TogglePane(ids::kPaneBrowse);
        QCOMPARE(frame.Docks()->Pane(ids::kPaneBrowse)->widget(), tree);
        frame.TogglePane(ids::kPaneBatchList);
        frame.TogglePane(ids::kPaneOperation);
        frame.RestoreDefaultLayout();
        QVERIFY(!frame.Docks()->IsPaneClosed(ids::kPaneBatchList));
        QVERIFY(!frame.Docks()->IsPaneClosed(ids::kPaneOperation));
        QVERIFY2(frame.Docks()->IsPaneCollapsed(ids::kPaneReport), "the report keeps its state");

        // The collapsed report opens over the centre from its tab and docks back.
        frame.Docks()->TogglePopOut(ids::kPaneReport);
        QVERIFY(frame.Docks()->IsPanePoppedOut(ids::kPaneReport));
        QCOMPARE(frame.Report()->isVisible(), true);
        frame.Docks()->ShowPane(ids::kPaneReport);
        QVERIFY(!frame.Docks()->IsPaneCollapsed(ids::kPaneReport));
        QCOMPARE(frame.Docks()->Pane(ids::kPaneReport)->widget(), frame.Report());
    }

    void firstWindowGeometry_data() {
        QTest::addColumn<QRect>("available");
        QTest::addColumn<QRect>("expected");
        // Frame 4, 30, 4, 4; preferred 1200 x 820 client, 1208 x 854 with the frame.
        QTest::newRow("large screen") << QRect(0, 0, 1920, 1200) << QRect(360, 203, 1200, 820);
        QTest::newRow("1280x800") << QRect(0, 0, 1280, 800) << QRect(40, 30, 1200, 766);
        QTest::newRow("1920x1080 at 150%") << QRect(0, 0, 1280, 720) << QRect(40, 30, 1200, 686);
        QTest::newRow("panel at the top") << QRect(0, 32, 1024, 736) << QRect(4, 62, 1016, 702);
        QTest::newRow("second screen") << QRect(1920, 0, 800, 600) << QRect(1924, 30, 792, 566);
    }

    void firstWindowGeometry() {
        QFETCH(QRect, available);
        QFETCH(QRect, expected);
        const QMargins frame(4, 30, 4, 4);
        const QRect got = FirstWindowGeometry(available, QSize(1200, 820), frame);
        QCOMPARE(got, expected);
        QVERIFY(available.contains(got.marginsAdded(frame)));
    }

    // Also run with QT_SCALE_FACTOR=1.5, where the offscreen screen is 533 x 400.
    void firstWindowFitsTheScreen() {
        CMainFrame frame(Ini());
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        const QRect available = frame.screen()->availableGeometry();
        QVERIFY2(available.contains(frame.frameGeometry()),
                 qPrintable(QString("%1,%2 %3x%4 in %5x%6").arg(frame.x()).arg(frame.y()).arg(frame.width())
                                .arg(frame.height()).arg(available.width()).arg(available.height())));
        QVERIFY(frame.statusBar()->isVisible());
        QVERIFY(available.contains(frame.ProgressBar()->mapToGlobal(frame.ProgressBar()->rect().bottomRight())));
    }

    void restoreDefaultLayoutAfterMovingEveryPane() {
        CMainFrame frame(Ini());
        frame.resize(1200, 800);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        CDockManager* docks = frame.Docks();
        QDockWidget* browse = docks->Pane(ids::kPaneBrowse);
        QDockWidget* list = docks->Pane(ids::kPaneBatchList);
        QDockWidget* report = docks->Pane(ids::kPaneReport);
        QDockWidget* operation = docks->Pane(ids::kPaneOperation);
        docks->ShowPane(ids::kPaneReport);
        browse->setFloating(true);
        frame.addDockWidget(Qt::RightDockWidgetArea, list);
        frame.tabifyDockWidget(operation, report);
        frame.resizeDocks({list}, {500}, Qt::Horizontal);
        docks->HidePane(ids::kPaneReport);
        frame.RestoreDefaultLayout();
        QTest::qWait(50);
        QVERIFY(docks->IsPaneCollapsed(ids::kPaneReport)); // keeps its state
        docks->ShowPane(ids::kPaneReport);
        QTest::qWait(50);
        for (QDockWidget* d : {browse, list, report, operation}) {
            QVERIFY(d->isVisible());
            QVERIFY(!d->isFloating());
            QVERIFY(frame.tabifiedDockWidgets(d).isEmpty());
        }
        QCOMPARE(frame.dockWidgetArea(browse), Qt::LeftDockWidgetArea);
        QVERIFY(qAbs(browse->width() - std::max(200, frame.fontMetrics().averageCharWidth() * 34)) <= 8);
        const QRect centre = frame.centralWidget()->geometry();
        QVERIFY(browse->geometry().right() < centre.left());
        // Full width, one under the other: list, report, operation.
        for (QDockWidget* d : {list, report, operation}) {
            QCOMPARE(frame.dockWidgetArea(d), Qt::BottomDockWidgetArea);
            QCOMPARE(d->width(), list->width());
            QVERIFY(d->width() >= frame.width() - 16);
        }
        QVERIFY(list->geometry().top() > centre.bottom());
        QVERIFY(report->geometry().top() > list->geometry().bottom());
        QVERIFY(operation->geometry().top() > report->geometry().bottom());
        QVERIFY2(qAbs(list->height() - 120) <= 8, qPrintable(QString("%1 %2 %3 %4 centre %5").arg(list->height()).arg(report->height()).arg(operation->height()).arg(operation->widget()->maximumHeight()).arg(centre.height())));
        QVERIFY(qAbs(report->height() - 120) <= 8);
        QVERIFY(operation->height() >= frame.OperationPane()->DesignedSize().height());
    }

    void operationControlsReachableAt640x480() {
        CMainFrame frame(Ini());
        frame.resize(640, 480);
        frame.show();
        QVERIFY(QTest::qWaitForWindowExposed(&frame));
        CDialogOperation2* pane = frame.OperationPane();
        auto* scroll = qobject_cast<QScrollArea*>(frame.Docks()->Pane(ids::kPaneOperation)->widget());
        QVERIFY(scroll);
        QVERIFY(scroll->viewport()->height() > 0);
        int checked = 0;
        for (QWidget* w : pane->findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly)) {
            if (w->isHidden()) continue;
            // Scrolled to as far as the bars go, the whole control shows.
            // The Presets list lies above the pane in the same scroll area.
            const QPoint at = w->mapTo(scroll->widget(), QPoint(0, 0));
            scroll->horizontalScrollBar()->setValue(at.x());
            scroll->verticalScrollBar()->setValue(at.y());
            const QRect inViewport(w->mapTo(scroll->viewport(), QPoint(0, 0)), w->size());
            QVERIFY2(scroll->viewport()->rect().contains(inViewport), qPrintable(w->objectName()));
            ++checked;
        }
        QVERIFY(checked >= 25);
        // At its designed size and above the pane keeps its designed rectangles.
        auto* font = Find<QPushButton>(pane, ids::kFontButton);
        QCOMPARE(font->geometry(), pane->Layout().Recorded(font));
    }

    void windowRememberedBetweenStarts() {
        {
            CMainFrame frame(Ini());
            frame.show();
            QVERIFY(QTest::qWaitForWindowExposed(&frame));
            frame.resize(700, 520);
            frame.TogglePane(ids::kPaneBrowse);
            frame.FolderTree()->SelectPath(Photos());
            frame.close();
        }
        IniFile ini;
        QVERIFY(ini.Load(Ini().toStdString()));
        QVERIFY(ini.Get(kWindowSection, "Geometry").has_value());
        QCOMPARE(QString::fromStdString(ini.Get(kWindowSection, "Folder").value_or("")), Photos());
        CMainFrame again(Ini());
        again.show();
        QVERIFY(QTest::qWaitForWindowExposed(&again));
        QCOMPARE(again.size(), QSize(700, 520));
        QVERIFY(again.Docks()->IsPaneClosed(ids::kPaneBrowse));
        QVERIFY(again.Docks()->IsPaneCollapsed(ids::kPaneReport));
        QCOMPARE(again.FolderTree()->CurrentPath(), Photos());
        QCOMPARE(again.Document()->Folder(), Photos());
    }

    void operationPaneDefaultsAndRules() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        QVERIFY(pane);
        auto* format = Find<QComboBox>(pane, ids::kFormatList);
        QCOMPARE(format->currentText(), QString("Original"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kQualityEdit)->text(), QString("90"));
        QVERIFY(!Find<QLineEdit>(pane, ids::kQualityEdit)->isEnabled());
        QCOMPARE(Find<QComboBox>(pane, ids::kOutputList)->currentText(), QString("Original Folder"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kPrefixEdit)->text(), QString("pic"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kSeriesEdit)->text(), QString("1"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kWidthEdit)->text(), QString("800"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kHeightEdit)->text(), QString("600"));
        QVERIFY(Find<QCheckBox>(pane, ids::kSharpen)->isChecked());
        auto* resize = Find<CGroupLine>(pane, ids::kGroupResize);
        QVERIFY(!resize->GetCheck());
        QVERIFY(!Find<QLineEdit>(pane, ids::kWidthEdit)->isEnabled());

        format->setCurrentIndex(1);
        QVERIFY(Find<QLineEdit>(pane, ids::kQualityEdit)->isEnabled());
        format->setCurrentIndex(2);
        QVERIFY(!Find<CSpinButton>(pane, ids::kQualitySpin)->isEnabled());

        // A click on the group's box: the inside follows, the pane hears 1011.
        QSignalSpy clicks(resize, &CGroupLine::clicked);
        QTest::mouseClick(resize->CheckBox(), Qt::LeftButton, {}, QPoint(4, 8));
        QCOMPARE(clicks.count(), 1);
        QCOMPARE(clicks.at(0).at(0).toInt(), ids::kGroupResize);
        QVERIFY(Find<QLineEdit>(pane, ids::kWidthEdit)->isEnabled());
        QVERIFY(Find<QComboBox>(pane, ids::kResizeModeList)->isEnabled());
        QVERIFY(!Find<QLineEdit>(pane, ids::kHeightEdit)->isEnabled());
        Find<QComboBox>(pane, ids::kResizeModeList)->setCurrentIndex(1);
        QVERIFY(!Find<QLineEdit>(pane, ids::kWidthEdit)->isEnabled());
        QVERIFY(Find<QLineEdit>(pane, ids::kHeightEdit)->isEnabled());

        // Disabled with its box cleared and enabled again: the inside stays off.
        auto* rename = Find<CGroupLine>(pane, ids::kGroupRename);
        rename->setEnabled(false);
        QVERIFY(!rename->CheckBox()->isEnabled());
        rename->setEnabled(true);
        QVERIFY(rename->CheckBox()->isEnabled());
        QVERIFY(!Find<QLineEdit>(pane, ids::kPrefixEdit)->isEnabled());
        rename->SetCheck(true);
        QVERIFY(Find<QLineEdit>(pane, ids::kPrefixEdit)->isEnabled());

        // Out-of-range text keeps the spin's last valid position.
        auto* width = Find<QLineEdit>(pane, ids::kWidthEdit);
        QTest::keyClicks(width, "0");
        OperationSettings s = MakeUnsetSettings();
        pane->CollectSettings(s);
        QCOMPARE(s.targetWidth, 800);
        QCOMPARE(s.resizeEnabled, uint8_t(1));
        QCOMPARE(s.resizeMode, 1);
        QCOMPARE(s.outputFormat, 2);
    }

    void spinTyping_data() {
        QTest::addColumn<QString>("typed");
        QTest::addColumn<QString>("shown");
        QTest::addColumn<int>("position");
        QTest::newRow("150 shows the upper bound") << "150" << "100" << 100;
        QTest::newRow("in range") << "15" << "15" << 15;
        QTest::newRow("far above") << "99999999999999999999" << "100" << 100;
        QTest::newRow("below keeps the last") << "0" << "0" << 90;
    }

    void spinTyping() {
        QFETCH(QString, typed);
        QFETCH(QString, shown);
        QFETCH(int, position);
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(kFormatJpg);
        auto* quality = Find<QLineEdit>(pane, ids::kQualityEdit);
        quality->selectAll();
        QTest::keyClicks(quality, typed);
        QCOMPARE(quality->text(), shown);
        OperationSettings s = MakeUnsetSettings();
        pane->CollectSettings(s);
        QCOMPARE(s.jpegQuality, position);
    }

    void prefixRefusesWhatNamesCannotHold() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        Find<CGroupLine>(pane, ids::kGroupRename)->SetCheck(true);
        auto* prefix = Find<QLineEdit>(pane, ids::kPrefixEdit);
        prefix->clear();
        QTest::keyClicks(prefix, "a/b");
        QKeyEvent bell(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(QChar(0x07)));
        QApplication::sendEvent(prefix, &bell);
        QTest::keyClicks(prefix, "c");
        QCOMPARE(prefix->text(), QString("abc"));
        QVERIFY(QToolTip::isVisible());
        QVERIFY(QToolTip::text().contains("\"/\""));
        // A prefix from a settings file is caught before Start.
        prefix->setText("x/y");
        frame.BatchList()->AddToBatchList({Photos() + "/2.bmp"});
        QVERIFY(frame.CheckBeforeStart().contains("x/y"));
        Find<CGroupLine>(pane, ids::kGroupRename)->SetCheck(false);
        QVERIFY(frame.CheckBeforeStart().isEmpty());
        QVERIFY(!PrefixValidator::IsValid("tab\there"));
        QVERIFY(PrefixValidator::IsValid("ünïcode-ok_1"));
    }

    void outputFolderProblems_data() {
        QTest::addColumn<QString>("folder");
        QTest::addColumn<QString>("problem");
        QTest::newRow("writable") << "photos" << "";
        QTest::newRow("missing, can be made") << "new/deeper" << "";
        QTest::newRow("a file") << "photos/2.bmp" << "is not a folder";
        QTest::newRow("below a file") << "photos/2.bmp/sub" << "cannot be created";
    }

    void outputFolderProblems() {
        QFETCH(QString, folder);
        QFETCH(QString, problem);
        const QString path = dir_.filePath(folder);
        const QString got = OutputFolderProblem(path);
        QVERIFY2(problem.isEmpty() ? got.isEmpty() : got.contains(problem), qPrintable(got));
        QCOMPARE(PrepareOutputFolder(path).isEmpty(), problem.isEmpty());
        if (problem.isEmpty()) QVERIFY(QFileInfo(path).isDir());
    }

    // A row that lost something: its output's name with an amber mark whose
    // tooltip says what, and the summary counts it.
    void rowSavedWithWarningsShowsAMark() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        const QString out = dir_.filePath("out-warned");
        pane->AddOutputFolder(out);
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(kFormatBmp);
        const QString lossy = dir_.filePath("see-through.png");
        CRaster see(6, 5, 24, kTypePng);
        see.AddAlpha();
        see.WriteAlpha(2, 2, 0);
        QVERIFY(see.SaveFile(lossy.toStdString(), kTypePng));
        // A photo cut to 3% of its bytes decodes to mostly nothing: said, not saved as good.
        const QString cut = dir_.filePath("cut.jpg");
        CRaster photo(600, 400, 24, kTypeJpeg);
        for (int y = 0; y < 400; ++y)
            for (int x = 0; x < 600; ++x)
                photo.WriteColor(x, y, RGBQUAD{uint8_t(x * 7 + y), uint8_t(y * 3), uint8_t(x ^ y), 0});
        QVERIFY(photo.SaveFile(cut.toStdString(), kTypeJpeg));
        QFile cutFile(cut);
        QVERIFY(cutFile.open(QIODevice::ReadWrite) && cutFile.resize(cutFile.size() * 3 / 100));
        cutFile.close();
        frame.BatchList()->AddToBatchList({lossy, Photos() + "/b.bmp", cut});
        frame.OnStart();
        frame.WaitForRunDone();
        QTreeWidgetItem* warned = frame.BatchList()->topLevelItem(0);
        QTreeWidgetItem* clean = frame.BatchList()->topLevelItem(1);
        QVERIFY(frame.BatchList()->topLevelItem(2)->toolTip(CBatchList::kStatusColumn).contains("input cut short"));
        QCOMPARE(warned->text(CBatchList::kStatusColumn), QString("see-through.bmp"));
        QVERIFY(!warned->icon(CBatchList::kStatusColumn).isNull());
        QVERIFY(clean->icon(CBatchList::kStatusColumn).isNull());
        QVERIFY(warned->toolTip(CBatchList::kStatusColumn).contains("transparency flattened onto FFFFFF"));
        QCOMPARE(frame.BatchList()->CountRows(RowState::kSavedWithWarnings), 2);
        QCOMPARE(frame.RunSummary(), QString("Done: 3 saved (2 with warnings), 0 failed"));
        // Two lines a row as always, then the summary.
        QCOMPARE(frame.Report()->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 7);
    }

    void startRefusedForAnUnwritableFolder() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        const QString bad = Photos() + "/2.bmp/out";
        pane->AddOutputFolder(bad);
        QVERIFY(pane->OutputProblem().contains("cannot be created"));
        QCOMPARE(Find<QComboBox>(pane, ids::kOutputList)->toolTip(), pane->OutputProblem());
        frame.BatchList()->AddToBatchList({Photos() + "/2.bmp", Photos() + "/b.bmp"});
        frame.Report()->setPlainText("earlier run");
        frame.OnStart();
        QVERIFY(!frame.Run().IsRunning());
        QCOMPARE(frame.Report()->toPlainText(), QString("earlier run"));
        auto* refused = frame.findChild<QMessageBox*>("start-refused");
        QVERIFY(refused && refused->isVisible());
        QVERIFY(refused->text().contains(bad));
        refused->close();
        // A missing folder that can be made is made at Start.
        const QString fresh = dir_.filePath("made/at/start");
        pane->AddOutputFolder(fresh);
        QVERIFY(pane->OutputProblem().isEmpty());
        frame.OnStart();
        frame.WaitForRunDone();
        QCOMPARE(frame.RunSummary(), QString("Done: 2 saved, 0 failed"));
        QVERIFY(QFile::exists(fresh + "/2.bmp"));
    }

    // The colour dialog after a chosen font, cancelled, keeps the font; the
    // pane shows face, size and colour.
    void stampFontThenColourCancelled() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        auto* fontButton = Find<QPushButton>(pane, ids::kFontButton);
        auto* colourButton = Find<QPushButton>(pane, ids::kColourButton);
        QVERIFY(fontButton->toolTip().contains("MS Sans Serif, 8 points"));
        QFont wanted("DejaVu Sans");
        wanted.setPointSize(20);
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QFontDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setCurrentFont(wanted);
            dialog->accept();
        });
        pane->ChooseFont();
        QTimer::singleShot(0, [&] {
            auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
            QVERIFY(dialog);
            dialog->setCurrentColor(Qt::red);
            QTest::keyClick(dialog, Qt::Key_Escape);
        });
        pane->ChooseColour();
        OperationSettings s = MakeUnsetSettings();
        pane->CollectSettings(s);
        QCOMPARE(QString(s.fontFace), QString("DejaVu Sans"));
        QCOMPARE(QString(s.fontSize), QString("20"));
        QCOMPARE(s.stampColour, COLORREF(0));
        QVERIFY(fontButton->text().contains("DejaVu") && fontButton->text().contains("20"));
        QVERIFY(colourButton->toolTip().contains("#000000"));
        // Cancelling the font dialog keeps face and size; a chosen colour shows.
        QTimer::singleShot(0, [] { QApplication::activeModalWidget()->close(); });
        pane->ChooseFont();
        QTimer::singleShot(0, [] {
            auto* dialog = qobject_cast<QColorDialog*>(QApplication::activeModalWidget());
            dialog->setCurrentColor(QColor(0x12, 0x34, 0x56));
            dialog->accept();
        });
        pane->ChooseColour();
        pane->CollectSettings(s);
        QCOMPARE(QString(s.fontFace), QString("DejaVu Sans"));
        QCOMPARE(s.stampColour, MakeColorRef(0x12, 0x34, 0x56));
        QVERIFY(colourButton->toolTip().contains("#123456"));
    }

    // Every option reachable in the window and kept with the settings.
    void optionsDialogKeepsEveryRunOption() {
        RunOptions wanted;
        wanted.resample = ResampleFilter::kSmooth;
        wanted.onlyShrink = true;
        wanted.longestSide = 1234;
        wanted.percent = 37;
        wanted.autoRotate = false;
        wanted.metadata = MetadataMode::kKeepAllButLocation;
        wanted.background = MakeColorRef(0x10, 0x20, 0x30);
        wanted.lossless = true;
        wanted.threads = 3;
        QVERIFY(ParseCropAspect("16:9", wanted.crop));
        wanted.border = BorderOption{3, true, MakeColorRef(1, 2, 3)};
        wanted.watermark = WatermarkOption{true, "/logos/a.png", Anchor::kNorth, 5, 20, 70, true};
        wanted.strict = true;
        {
            CMainFrame frame(Ini());
            frame.show();
            CDialogOperation2* pane = frame.OperationPane();
            // The lists come from the tables, new entries included.
            auto* formats = Find<QComboBox>(pane, ids::kFormatList);
            auto* modes = Find<QComboBox>(pane, ids::kResizeModeList);
            QCOMPARE(formats->count(), int(kFormatCount));
            QCOMPARE(modes->count(), int(kResizeModeCount) + 2);
            for (int i = 0; i < kResizeModeCount; ++i) QCOMPARE(modes->itemText(i), QString(kResizeModeTexts[i]));
            QCOMPARE(modes->itemText(CDialogOperation2::kCoverLine), QString("Cover W x H"));
            for (int i = 0; i < kFormatCount; ++i) QCOMPARE(formats->itemText(i), QString(kOutputFormatTexts[i]));
            // The lists show the texts the settings file's users know.
            QCOMPARE(formats->itemText(kFormatOriginal), QString("Original"));
            QCOMPARE(formats->itemText(kFormatPcx), QString("PCX"));
            QCOMPARE(modes->itemText(kResizeKeepHeight), QString("Keep Aspect Ratio (Height)"));
            QCOMPARE(modes->itemText(kResizeFixed), QString("Fixed Size"));
            Find<CGroupLine>(pane, ids::kGroupResize)->SetCheck(true);
            modes->setCurrentIndex(kResizeLongestSide);
            QVERIFY(!Find<QLineEdit>(pane, ids::kWidthEdit)->isEnabled());
            QVERIFY(!Find<QLineEdit>(pane, ids::kHeightEdit)->isEnabled());
            modes->setCurrentIndex(kResizeFitInside);
            QVERIFY(Find<QLineEdit>(pane, ids::kWidthEdit)->isEnabled());
            QVERIFY(Find<QLineEdit>(pane, ids::kHeightEdit)->isEnabled());
            // Pad is "Fixed Size" in the record and a fit beside it.
            modes->setCurrentIndex(CDialogOperation2::kPadLine);
            QVERIFY(Find<QLineEdit>(pane, ids::kHeightEdit)->isEnabled());
            auto* anchor = Find<QComboBox>(pane, ids::kAnchorList);
            anchor->setCurrentIndex(anchor->findData(int(Anchor::kAttention)));

            QTimer::singleShot(0, [&] {
                auto* dialog = qobject_cast<OptionsDialog*>(QApplication::activeModalWidget());
                QVERIFY(dialog);
                QVERIFY(dialog->width() >= TitleWidth(dialog));
                dialog->Show(wanted);
                dialog->accept();
            });
            QTest::mouseClick(Find<QPushButton>(pane, ids::kOptionsButton), Qt::LeftButton);
            frame.close();
        }
        CMainFrame again(Ini());
        const RunOptions& got = again.Options();
        QCOMPARE(int(got.resample), int(wanted.resample));
        QCOMPARE(got.onlyShrink, wanted.onlyShrink);
        QCOMPARE(got.longestSide, wanted.longestSide);
        QCOMPARE(got.percent, wanted.percent);
        QCOMPARE(got.autoRotate, wanted.autoRotate);
        QCOMPARE(int(got.metadata), int(wanted.metadata));
        QCOMPARE(got.background, wanted.background);
        QCOMPARE(got.lossless, wanted.lossless);
        QCOMPARE(got.threads, wanted.threads);
        QVERIFY(got.crop == wanted.crop);
        QVERIFY(got.border == wanted.border);
        QVERIFY(got.watermark == wanted.watermark);
        QCOMPARE(int(got.fixedSizeFit), int(FixedSizeFit::kPad));
        QCOMPARE(int(got.anchor), int(Anchor::kAttention));
        again.show();
        QVERIFY(again.OperationPane());
        QCOMPARE(Find<QComboBox>(again.OperationPane(), ids::kResizeModeList)->currentIndex(),
                 CDialogOperation2::kPadLine);
        QCOMPARE(got.strict, wanted.strict);
        // The dialog shows them as they are and gives back what it shows.
        OptionsDialog dialog(got, &again);
        const RunOptions round = dialog.Options();
        QCOMPARE(round.longestSide, wanted.longestSide);
        QCOMPARE(int(round.metadata), int(wanted.metadata));
        QCOMPARE(round.background, wanted.background);
        QCOMPARE(round.threads, wanted.threads);
        QVERIFY(round.crop == wanted.crop && round.border == wanted.border && round.watermark == wanted.watermark);
        QCOMPARE(dialog.findChild<QComboBox*>("resample")->count(), 2);
    }

    void folderHistory() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        auto* output = Find<QComboBox>(pane, ids::kOutputList);
        for (int i = 1; i <= 11; ++i) pane->AddOutputFolder(QString("/out/%1").arg(i));
        QCOMPARE(output->count(), 11);
        QCOMPARE(output->itemText(0), QString("Original Folder"));
        QCOMPARE(output->itemText(1), QString("/out/11"));
        QCOMPARE(output->itemText(10), QString("/out/2")); // the oldest folder was dropped
        pane->AddOutputFolder("/out/5");
        QCOMPARE(output->count(), 11);
        QCOMPARE(output->currentText(), QString("/out/5"));
        pane->AddOutputFolder("/OUT/5");
        QCOMPARE(output->itemText(1), QString("/OUT/5")); // paths compare exactly
        pane->folderChooser = [] { return QString(); };
        pane->ChooseOutputFolder();
        QCOMPARE(output->currentText(), QString("/OUT/5")); // cancel changes nothing
    }

    void settingsSavedAtCloseAndShownAtNextStart() {
        {
            CMainFrame frame(Ini());
            frame.show();
            CDialogOperation2* pane = frame.OperationPane();
            pane->AddOutputFolder("/first");
            pane->AddOutputFolder("/second");
            Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(1);
            Find<CSpinButton>(pane, ids::kQualitySpin)->SetPos(75);
            Find<CGroupLine>(pane, ids::kGroupRename)->SetCheck(true);
            Find<QLineEdit>(pane, ids::kPrefixEdit)->setText("x");
            frame.close();
        }
        QVERIFY(QFile::exists(Ini()));
        IniFile ini;
        QVERIFY(ini.Load(Ini().toStdString()));
        QVERIFY(ini.Get("Quorvel Image Resizer", "AppSettings").has_value());
        CMainFrame again(Ini());
        again.show();
        CDialogOperation2* pane = again.OperationPane();
        auto* output = Find<QComboBox>(pane, ids::kOutputList);
        QCOMPARE(output->count(), 3);
        QCOMPARE(output->itemText(1), QString("/second"));
        QCOMPARE(Find<QLineEdit>(pane, ids::kQualityEdit)->text(), QString("75"));
        QVERIFY(Find<CGroupLine>(pane, ids::kGroupRename)->GetCheck());
        QCOMPARE(Find<QLineEdit>(pane, ids::kPrefixEdit)->text(), QString("x"));
    }

    // A settings file that cannot be read (here: too large) is named in the
    // status bar and survives Customize and the close byte for byte.
    void unreadableSettingsAreNeverSavedOver() {
        QFile file(Ini());
        QVERIFY(file.open(QIODevice::WriteOnly));
        const QByteArray big = "[Quorvel Image Resizer]\r\n" + QByteArray((16 << 20) + 1, ';');
        file.write(big);
        file.close();
        {
            CMainFrame frame(Ini());
            frame.show();
            const QString said = frame.statusBar()->currentMessage();
            QVERIFY2(said.contains("Settings not read") && said.contains("Larger than 16 MB"), qPrintable(said));
            QTimer::singleShot(0, [] {
                QVERIFY(QApplication::activeModalWidget());
                qobject_cast<QDialog*>(QApplication::activeModalWidget())->accept();
            });
            frame.Command(ids::kCmdCustomize)->trigger();
            QVERIFY2(frame.statusBar()->currentMessage().contains("not saved"),
                     qPrintable(frame.statusBar()->currentMessage()));
            QVERIFY(file.open(QIODevice::ReadOnly));
            QVERIFY(file.readAll() == big);
            file.close();
            frame.close();
        }
        QVERIFY(file.open(QIODevice::ReadOnly));
        QVERIFY(file.readAll() == big);
    }

    void paneLayoutStretchesSideways() {
        OperationSettings s = MakeUnsetSettings();
        StampFont font;
        CDialogOperation2 pane(s, font, nullptr);
        pane.InitOperationPane();
        auto* button = Find<QPushButton>(&pane, ids::kFontButton);
        const QRect designed = pane.Layout().Recorded(button);
        QCOMPARE(pane.Layout().ReferenceWidth(), pane.DesignedSize().width());
        pane.Layout().Resize(2 * pane.DesignedSize().width(), 100);
        QCOMPARE(button->x(), designed.x() * 2);
        QCOMPARE(button->width(), designed.width() * 2);
        pane.Layout().Resize(500, 100);
        QCOMPARE(button->geometry(), designed);
    }

    void batchListRowsAndDuplicates() {
        CBatchList list;
        const QString a = Photos() + "/A.bmp";
        QCOMPARE(list.AddToBatchList({a, Photos() + "/broken.bmp", Photos() + "/notes.txt", a}), 1);
        QCOMPARE(list.topLevelItemCount(), 1);
        QTreeWidgetItem* row = list.topLevelItem(0);
        QCOMPARE(row->text(0), QString("A.bmp"));
        QCOMPARE(row->text(1), QString("100x300")); // width first
        QCOMPARE(row->text(4), a);
        QVERIFY2(row->text(3).endsWith(" kB"), qPrintable(row->text(3)));
        QCOMPARE(list.headerItem()->text(1), QString("Image Size"));
        // Case matters here: a.bmp is another file.
        QVERIFY(!list.Contains(Photos() + "/a.bmp"));
        list.AddToBatchList({Photos() + "/b.bmp"});
        list.topLevelItem(0)->setSelected(true);
        list.RemoveSelectedRows();
        QCOMPARE(list.topLevelItemCount(), 1);
        QCOMPARE(list.RowPath(0), Photos() + "/b.bmp");
        list.canEdit = [] { return false; };
        list.ClearRows();
        QCOMPARE(list.topLevelItemCount(), 1); // no edits while a run uses the list
    }

    void dropFilesAndFoldersOnBatchList() {
        CBatchList list;
        list.resize(400, 200);
        list.show();
        QMimeData data;
        data.setUrls({QUrl::fromLocalFile(Photos()), QUrl::fromLocalFile(Photos() + "/b.bmp")});
        QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &enter);
        QVERIFY(enter.isAccepted());
        QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &drop);
        QStringList names;
        for (int i = 0; i < list.topLevelItemCount(); ++i) names << list.topLevelItem(i)->text(0);
        QCOMPARE(names.join(' '), QString("10.bmp 2.bmp A.bmp b.bmp")); // folder's images, no duplicate
        list.setEnabled(false);
        QDragEnterEvent refused(QPoint(10, 10), Qt::CopyAction, &data, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(list.viewport(), &refused);
        QVERIFY(!refused.isAccepted());
    }

    void commandLineFilesAndFolders_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("rows");
        QTest::addColumn<QString>("browsed"); // below dir_
        QTest::addColumn<QStringList>("missing");
        QTest::newRow("a file") << QStringList{"photos/2.bmp"} << 1 << "photos" << QStringList{};
        QTest::newRow("a folder: its images") << QStringList{"photos/"} << 4 << "photos" << QStringList{};
        QTest::newRow("missing, then files") << QStringList{"gone.jpg", "photos/A.bmp", "photos/broken.bmp", "photos/b.bmp"}
                                             << 2 << "photos" << QStringList{"gone.jpg"};
        QTest::newRow("nothing there") << QStringList{"gone.jpg"} << 0 << "" << QStringList{"gone.jpg"};
    }

    void commandLineFilesAndFolders() {
        QFETCH(QStringList, args);
        QFETCH(int, rows);
        QFETCH(QString, browsed);
        QFETCH(QStringList, missing);
        const QString before = QDir::currentPath();
        QDir::setCurrent(dir_.path());
        CMainFrame frame(Ini());
        const QStringList gone = frame.OpenPaths(args);
        QDir::setCurrent(before);
        QCOMPARE(gone, missing);
        QCOMPARE(frame.BatchList()->topLevelItemCount(), rows);
        for (int row = 0; row < rows; ++row) QVERIFY(QFileInfo(frame.BatchList()->RowPath(row)).isAbsolute());
        QCOMPARE(frame.Document()->Folder(), browsed.isEmpty() ? QString() : dir_.filePath(browsed));
    }

    // "Open With" offers us for the types we read, and passes every file.
    void desktopFileDeclaresEveryReadableType() {
        QFile file(TESSALINE_DESKTOP_FILE);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QStringList declared;
        QString exec;
        for (const QString& line : QString::fromUtf8(file.readAll()).split('\n')) {
            if (line.startsWith("MimeType=")) declared = line.mid(9).split(';', Qt::SkipEmptyParts);
            if (line.startsWith("Exec=")) exec = line.mid(5);
        }
        QCOMPARE(exec, QString("tessaline %F"));
        const QMimeDatabase db;
        if (db.mimeTypeForName("image/png").suffixes().isEmpty()) QSKIP("no shared MIME database");
        for (const ImageFormat& format : ImageFormats())
            for (std::string_view ext : format.extensions) {
                const QMimeType type =
                    db.mimeTypeForFile("x" + QString::fromLatin1(ext.data(), int(ext.size())), QMimeDatabase::MatchExtension);
                if (!type.isDefault())
                    QVERIFY2(declared.contains(type.name()), qPrintable(type.name() + " for " + ext.data()));
            }
        for (const QString& name : declared) {
            const QMimeType type = db.mimeTypeForName(name);
            QVERIFY2(type.isValid(), qPrintable(name));
            bool readable = type.suffixes().isEmpty(); // known by content only
            for (const QString& suffix : type.suffixes())
                readable = readable || ImageTypeFromExtension(("x." + suffix).toStdString()) != kTypeUnknown;
            QVERIFY2(readable, qPrintable(name + " is not read"));
        }
    }

    void helpWindowAndTitles() {
        CMainFrame frame(Ini());
        frame.show();
        QFile help(dir_.filePath("help.txt"));
        QVERIFY(help.open(QIODevice::WriteOnly));
        help.write("Pick a folder.\n");
        help.close();
        int asked = 0;
        bool associated = true;
        frame.openUrl = [&](const QUrl&) { return ++asked, associated; };
        const auto helpWindow = [&] { return frame.findChild<QDialog*>(CMainFrame::kHelpWindowName); };
        struct Case {
            QString path;
            bool associated;
            QString shows; // empty: no window of ours
        } cases[] = {{help.fileName(), true, ""},
                     {help.fileName(), false, "Pick a folder.\n"},
                     {dir_.filePath("gone.txt"), true, "cannot be read"}};
        for (const Case& c : cases) {
            frame.helpPath = c.path;
            associated = c.associated;
            frame.Command(ids::kCmdOnlineHelp)->trigger();
            QDialog* window = helpWindow();
            QCOMPARE(window != nullptr, !c.shows.isEmpty());
            if (!window) continue;
            QVERIFY(QTest::qWaitForWindowExposed(window));
            QVERIFY(window->findChild<QPlainTextEdit*>()->toPlainText().contains(c.shows));
            QVERIFY(window->width() >= TitleWidth(window));
            delete window;
        }
        QCOMPARE(asked, 2); // a missing help file is not handed on

        frame.Command(ids::kCmdAbout)->trigger();
        auto* about = frame.findChild<QDialog*>(ids::Name(ids::kDialogAbout));
        QVERIFY(about && QTest::qWaitForWindowExposed(about));
        QVERIFY(about->width() >= TitleWidth(about));
        // Name and version, licence, Qt and every image library, and a Copy
        // that puts all of it on the clipboard.
        const QString text = about->findChild<QLabel*>("about-text")->text();
        QVERIFY2(text.startsWith("Quorvel Image Resizer " TESSALINE_VERSION), qPrintable(text));
        for (const char* part : {"Licence: ", "Qt 6.", "libjpeg-turbo 2.", "libpng 1.", "libtiff 4.", "libwebp 1.",
                                 "OpenJPEG 2.", "libheif 1.", "Exiv2 0.", "Little CMS 2."})
            QVERIFY2(text.contains(part), part);
        about->findChild<QPushButton*>("about-copy")->click();
        QCOMPARE(QGuiApplication::clipboard()->text(), text);
        about->accept();
    }

    // A folder dropped with the modifier brings the images of its subfolders,
    // a link back up is not followed for ever, and a drop is never a move.
    void dropFolderTreeOnBatchList() {
        const QString tree = dir_.filePath("tree");
        QDir().mkpath(tree + "/Sub/deeper");
        QDir().mkpath(tree + "/empty");
        for (const char* f : {"/z.bmp", "/Sub/b.bmp", "/Sub/deeper/c.bmp", "/Sub/A.bmp"})
            WriteImage(tree + f, 4, 3);
        QVERIFY(QFile::link(tree, tree + "/Sub/up"));
        const Qt::DropActions any = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
        struct Case {
            Qt::KeyboardModifiers modifiers; // Shift proposes a move
            Qt::DropActions offered;
            const char* rows; // relative to the tree; null: refused
        };
        const Case cases[] = {
            {Qt::NoModifier, any, "z.bmp"},
            {CBatchList::kSubfoldersModifier, any, "z.bmp Sub/A.bmp Sub/b.bmp Sub/deeper/c.bmp"},
            {Qt::ShiftModifier, any, "z.bmp"},
            {Qt::ShiftModifier | CBatchList::kSubfoldersModifier, any,
             "z.bmp Sub/A.bmp Sub/b.bmp Sub/deeper/c.bmp"},
            {Qt::NoModifier, Qt::MoveAction, nullptr},
        };
        for (const Case& c : cases) {
            CBatchList list;
            list.resize(400, 200);
            list.show();
            QMimeData data;
            data.setUrls({QUrl::fromLocalFile(tree)});
            QDragEnterEvent enter(QPoint(10, 10), c.offered, &data, Qt::LeftButton, c.modifiers);
            QApplication::sendEvent(list.viewport(), &enter);
            QCOMPARE(enter.isAccepted(), c.rows != nullptr);
            QDropEvent drop(QPointF(10, 10), c.offered, &data, Qt::LeftButton, c.modifiers);
            QApplication::sendEvent(list.viewport(), &drop);
            QCOMPARE(drop.isAccepted(), c.rows != nullptr);
            if (!c.rows) continue;
            QCOMPARE(drop.dropAction(), Qt::CopyAction);
            QStringList rows;
            for (int i = 0; i < list.topLevelItemCount(); ++i) rows << list.RowPath(i).mid(tree.size() + 1);
            QCOMPARE(rows.join(' '), QString(c.rows));
        }
    }

    void thumbnailArithmeticAndPlaceholder() {
        const TileRect wide = ThumbnailRect(300, 100);
        QCOMPARE(wide.width, 100);
        QCOMPARE(wide.height, 33);
        QCOMPARE(wide.top, 28);
        const TileRect tall = ThumbnailRect(100, 300);
        QCOMPARE(tall.width, 30);
        QCOMPARE(tall.height, 90);
        QCOMPARE(tall.left, 35);
        const TileRect square = ThumbnailRect(50, 50);
        QCOMPARE(square.width, 90);
        QCOMPARE(square.left, 5);
        const QImage placeholder = CTessalineView::PlaceholderTile();
        QCOMPARE(placeholder.size(), QSize(100, 90));
        QCOMPARE(placeholder.pixelColor(0, 0), QColor(Qt::white));
        bool green = false;
        for (int y = 0; y < 90 && !green; ++y)
            for (int x = 0; x < 100 && !green; ++x) green = placeholder.pixelColor(x, y).green() > placeholder.pixelColor(x, y).red() + 60;
        QVERIFY(green);
        CRaster img(300, 100, 24);
        img.FillBytes(0);
        CDeviceBitmap tile = MakeThumbnailTile(img);
        QCOMPARE(tile.GetPixel(0, 0), MakeColorRef(192, 192, 192));
        QCOMPARE(tile.GetPixel(50, 10), MakeColorRef(255, 255, 255));
        QCOMPARE(tile.GetPixel(50, 45), COLORREF(0));
        // Stripes finer than the tile average to grey instead of shimmering.
        CRaster stripes(1000, 900, 24);
        for (uint32_t y = 0; y < 900; ++y)
            for (uint32_t x = 0; x < 1000; x += 2) stripes.WriteColor(x, y, RGBQUAD{255, 255, 255, 0});
        const COLORREF grey = MakeThumbnailTile(stripes).GetPixel(50, 45);
        QVERIFY(qAbs(int(grey & 0xFF) - 128) <= 3);
    }

    // The loader's threads take items in sight first, then the nearest below
    // or above; a scroll moves the front to the new range.
    void thumbnailOrder() {
        struct Case {
            const char* name;
            int count, first, last;
            int taken;         // picked before the scroll (-1: no scroll)
            int first2, last2; // the range in sight after it
            const char* order;
        };
        const Case cases[] = {
            {"top", 6, 0, 2, -1, 0, 0, "0 1 2 3 4 5"},
            {"middle, ties below", 8, 3, 4, -1, 0, 0, "3 4 5 2 6 1 7 0"},
            {"range past the end", 3, 5, 9, -1, 0, 0, "2 1 0"},
            {"scrolled down", 10, 0, 1, 3, 7, 8, "0 1 2 7 8 9 6 5 4 3"},
            {"scrolled back up", 10, 6, 7, 2, 1, 1, "6 7 1 2 0 3 4 5 8 9"},
            {"empty", 0, 0, 0, -1, 0, 0, ""},
        };
        for (const Case& c : cases) {
            ThumbnailQueue queue(c.count);
            queue.SetVisible(c.first, c.last);
            QStringList order;
            for (int i; (i = queue.Next()) >= 0;) {
                order << QString::number(i);
                if (order.size() == c.taken) queue.SetVisible(c.first2, c.last2);
            }
            QCOMPARE(order.join(' ') + " | " + c.name, QString(c.order) + " | " + c.name);
        }
        ThumbnailQueue closed(4);
        QCOMPARE(closed.Next(), 0);
        closed.Close();
        QCOMPARE(closed.Next(), -1);
    }

    // The range the loader draws first, against a scan of every item, at the
    // top, the middle and the end of a long list.
    void browseVisibleRange() {
        const QString many = dir_.filePath("many");
        QDir().mkpath(many);
        for (int i = 0; i < 90; ++i) WriteImage(QString("%1/m%2.bmp").arg(many).arg(i, 2, 10, QChar('0')), 4, 3);
        CMainFrame frame(Ini());
        frame.resize(700, 500);
        frame.show();
        frame.Document()->SetFolder(many);
        CTessalineView* view = frame.View();
        QVERIFY(WaitFor([&] { return !view->IsLoaderRunning(); }));
        QScrollBar* bar = view->verticalScrollBar();
        QVERIFY(bar->maximum() > 0);
        for (int value : {0, bar->maximum() / 2, bar->maximum()}) {
            bar->setValue(value);
            QCoreApplication::processEvents();
            int first = -1, last = -1;
            for (int i = 0; i < view->count(); ++i) {
                if (!view->visualItemRect(view->item(i)).intersects(view->viewport()->rect())) continue;
                if (first < 0) first = i;
                last = i;
            }
            QCOMPARE(view->VisibleRange(), std::make_pair(first, last));
        }
        QCOMPARE(view->VisibleRange().second, 89);
        QVERIFY(view->VisibleRange().first > 0);
    }

    void browseListOrderAndFolderChange() {
        CMainFrame frame(Ini());
        frame.show();
        frame.Document()->SetFolder(Photos());
        const QStringList names = frame.Document()->Names();
        QCOMPARE(names.join(' '), QString("10.bmp 2.bmp A.bmp b.bmp broken.bmp"));
        // A folder change while the loader runs stops it first.
        frame.Document()->SetFolder(dir_.path());
        frame.Document()->SetFolder(Photos());
        QVERIFY(WaitFor([&] { return !frame.View()->IsLoaderRunning(); }));
        QCOMPARE(frame.View()->count(), 5);
        QCOMPARE(frame.View()->ThumbnailsDrawn(), 4);
        QCOMPARE(frame.View()->item(2)->text(), QString("A.bmp"));
        // The file that does not decode says so instead of "Loading ..." for ever.
        const QImage broken = frame.View()->item(4)->icon().pixmap(QSize(kTileWidth, kTileHeight)).toImage();
        QCOMPARE(broken.convertToFormat(QImage::Format_RGB32), BrokenTile());
        QVERIFY(BrokenTile() != CTessalineView::PlaceholderTile());
    }

    // Transparent pixels show the light checkerboard, opaque ones their colour.
    void thumbnailTransparency_data() {
        QTest::addColumn<int>("kind");
        QTest::newRow("alpha plane") << 0;
        QTest::newRow("palette transparent index") << 1;
        QTest::newRow("opaque") << 2;
    }

    void thumbnailTransparency() {
        QFETCH(int, kind);
        // 40 x 40 black; the left half transparent where the image has transparency.
        CRaster img(40, 40, kind == 1 ? 8 : 24);
        img.FillBytes(0);
        if (kind == 0) {
            img.AddAlpha();
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 40; ++x) img.WriteAlpha(x, y, x < 20 ? 0 : 255);
        } else if (kind == 1) {
            img.WritePaletteEntry(1, 0, 0, 0);
            for (int y = 0; y < 40; ++y)
                for (int x = 0; x < 40; ++x) img.WriteIndex(x, y, x < 20 ? 1 : 0);
            img.SetTransparentIndex(1);
        }
        CDeviceBitmap tile = MakeThumbnailTile(img); // drawn 90 x 90 at left 5
        for (int y = 1; y < 89; y += 11) {
            const COLORREF left = tile.GetPixel(20, y), right = tile.GetPixel(80, y);
            QCOMPARE(right, COLORREF(0));
            QCOMPARE(left, kind == 2 ? COLORREF(0) : CheckerColour(20, y));
        }
        QVERIFY(CheckerColour(0, 0) != CheckerColour(8, 0));
    }

    // The preview names the output and gives its size as the run then makes it.
    void previewOutputNameAndSize() {
        CMainFrame frame(Ini());
        frame.show();
        CPreviewPane* preview = frame.Preview();
        auto settle = [&] { return WaitFor([&] { return !preview->IsBusy(); }); };
        CDialogOperation2* pane = frame.OperationPane();
        const QString out = dir_.filePath("out-preview");
        pane->AddOutputFolder(out);
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(kFormatPng);
        Find<CGroupLine>(pane, ids::kGroupRename)->SetCheck(true);
        Find<CGroupLine>(pane, ids::kGroupResize)->SetCheck(true);
        frame.BatchList()->AddToBatchList({Photos() + "/b.bmp", Photos() + "/2.bmp"});
        frame.BatchList()->setCurrentItem(frame.BatchList()->topLevelItem(1));
        QVERIFY(settle());
        QCOMPARE(preview->Path(), Photos() + "/2.bmp");
        QCOMPARE(preview->OutputName(), QString("pic00002.png"));
        QCOMPARE(preview->OutputSize(), QSize(800, 600));
        for (const char* fact : {"Type: BMP", "Size: 40 x 30 pixels", "Depth: 24 bits", "Colour profile: none", "Output: pic00002.png, 800 x 600 pixels"})
            QVERIFY2(preview->InfoText().contains(fact), qPrintable(preview->InfoText()));
        QCOMPARE(preview->Picture().size(), QSize(800, 600)); // as the run would save it
        // A changed setting changes the preview.
        Find<CSpinButton>(pane, ids::kWidthSpin)->SetPos(100);
        Find<QComboBox>(pane, ids::kResizeModeList)->setCurrentIndex(kResizeKeepWidth);
        Find<QLineEdit>(pane, ids::kWidthEdit)->setText("100");
        QVERIFY(settle());
        QCOMPARE(preview->OutputSize(), QSize(100, 75));
        // The run gives exactly that name and size.
        frame.OnStart();
        frame.WaitForRunDone();
        CRaster written;
        QVERIFY(written.LoadFile((out + "/pic00002.png").toStdString(), kTypePng));
        QCOMPARE(QSize(int(written.GetWidth()), int(written.GetHeight())), QSize(100, 75));
        // Another row's preview: the next free name, not the one just taken.
        frame.BatchList()->setCurrentItem(frame.BatchList()->topLevelItem(1));
        preview->SettingsChanged();
        QVERIFY(settle());
        QCOMPARE(preview->OutputName(), QString("pic00002_001.png"));
        // The first picture of an animation does not tell its file's size.
        {
            const std::string gif = dir_.filePath("two.gif").toStdString();
            FileImageStream stream;
            QVERIFY(stream.Open(gif.c_str(), "wb"));
            auto writer = MakeFrameWriter(kTypeGif, &stream, FrameWriterSpec());
            for (uint8_t fill : {0x20, 0xC0}) {
                CRaster frame(40, 30, 24);
                frame.FillBytes(fill);
                QVERIFY(writer->Add(frame, 100));
            }
            QVERIFY(writer->Finish());
            stream.Close();
            Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(kFormatGif);
            preview->ShowFile(QString::fromStdString(gif));
            QVERIFY(settle());
            const QString text = preview->InfoText();
            QVERIFY2(text.contains("2 frames, file size not estimated from the first picture"),
                     qPrintable(text));
        }
        // A file that does not decode says why.
        preview->ShowFile(Photos() + "/broken.bmp");
        QVERIFY(settle());
        QVERIFY(preview->Picture().isNull());
        QVERIFY(preview->OutputName().isEmpty());
    }

    // A pane too low or too narrow for its facts scrolls them: scrolled to
    // either end, the first and the last line are in sight.
    void previewFactsScrollInsteadOfBeingCut() {
        // A child, as in the window, where its place may be below what it asks.
        QWidget window;
        window.resize(1000, 800);
        CPreviewPane preview(&window);
        preview.ShowFile(Photos() + "/2.bmp");
        window.show();
        QVERIFY(WaitFor([&] { return !preview.IsBusy(); }));
        auto* info = preview.findChild<QLabel*>("preview-info");
        QScrollBar* bar = nullptr;
        for (QWidget* w = info; w && !bar; w = w->parentWidget())
            if (auto* area = qobject_cast<QScrollArea*>(w)) bar = area->verticalScrollBar();
        for (const QSize size : {QSize(700, 110), QSize(230, 300), QSize(900, 700)}) {
            preview.setGeometry(QRect(QPoint(0, 0), size));
            QTest::qWait(50);
            const QString at = QString("%1 x %2").arg(size.width()).arg(size.height());
            QVERIFY2(info->height() >= info->heightForWidth(info->width()), qPrintable(at));
            if (bar) bar->setValue(bar->minimum());
            QVERIFY2(info->visibleRegion().boundingRect().top() == 0, qPrintable(at));
            if (bar) bar->setValue(bar->maximum());
            QVERIFY2(info->visibleRegion().boundingRect().bottom() == info->height() - 1, qPrintable(at));
            if (size.height() >= 700) QVERIFY(!bar || bar->maximum() == 0);
        }
    }

    // The stamp goes where the run puts it, placed by the screen's font: a
    // long text runs off the left, a large font off the right.
    void previewMarksTheStamp_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("size");
        QTest::addColumn<QString>("edge");
        QTest::newRow("fits") << "ok" << "8" << "";
        QTest::newRow("long text") << "a stamp far wider than the picture" << "8" << "left";
        QTest::newRow("large font") << "ok" << "40" << "right";
    }

    void previewMarksTheStamp() {
        QFETCH(QString, text);
        QFETCH(QString, size);
        QFETCH(QString, edge);
        OperationSettings s = MakeUnsetSettings();
        ApplySettingsDefaults(s);
        s.useDefaults = 0;
        s.stampEnabled = 1;
        SetFieldText(s.stampText, text.toStdString());
        SetFieldText(s.fontFace, "DejaVu Sans");
        SetFieldText(s.fontSize, size.toStdString());
        s.fontWeight = 400;
        QVERIFY(SaveSettings(Ini().toStdString(), s));
        CMainFrame frame(Ini());
        frame.show();
        frame.Preview()->ShowFile(Photos() + "/b.bmp"); // 300 x 100
        QVERIFY(WaitFor([&] { return !frame.Preview()->IsBusy(); }));
        const QString info = frame.Preview()->InfoText();
        QVERIFY2(info.contains("Stamp: ") && !info.contains("nothing of it"), qPrintable(info));
        QVERIFY2(edge.isEmpty() ? !info.contains("edge") : info.contains("reaches the " + edge + " edge"), qPrintable(info));
    }

    void previewUprightWithProfile() {
        const QString a98 = "/usr/share/color/icc/ghostscript/a98.icc";
        const QString rotated = QString(TESSALINE_CORPUS_DIR) + "/jpeg/orientation_rectangle.jpg";
        if (!QFile::exists(a98) || !QFile::exists(rotated)) QSKIP("needs ghostscript's a98.icc and the corpus");
        QFile profile(a98);
        QVERIFY(profile.open(QIODevice::ReadOnly));
        const QByteArray icc = profile.readAll();
        CRaster img(60, 20, 24);
        img.FillBytes(0x40);
        auto meta = std::make_shared<ImageMetadata>();
        meta->icc.assign(icc.begin(), icc.end());
        img.SetMetadata(meta);
        const QString tagged = dir_.filePath("tagged.jpg");
        QVERIFY(img.SaveFile(tagged.toStdString(), kTypeJpeg));
        CPreviewPane preview;
        preview.SetShowOutput(false);
        preview.ShowFile(tagged);
        QVERIFY(WaitFor([&] { return !preview.IsBusy(); }));
        QVERIFY2(preview.InfoText().contains("Colour profile: Artifex Software A98 ICC Profile"), qPrintable(preview.InfoText()));
        // Stored 2 x 1 with orientation 8: shown 1 x 2.
        preview.ShowFile(rotated);
        QVERIFY(WaitFor([&] { return !preview.IsBusy(); }));
        QVERIFY(preview.InfoText().contains("Size: 1 x 2 pixels"));
        QCOMPARE(preview.Picture().size(), QSize(1, 2));
    }

    void dragImageIsASmallStack() {
        QPixmap tile(kTileWidth, kTileHeight);
        tile.fill(Qt::darkGreen);
        const QPixmap one = DragImage({tile}, 1);
        const QPixmap three = DragImage({tile, tile, tile}, 3);
        const QPixmap many = DragImage({tile, tile, tile}, 40);
        QVERIFY(one.width() < kTileWidth && one.height() < kTileHeight);
        QVERIFY(three.width() > one.width() && three.width() <= 120 && three.height() <= 110);
        QCOMPARE(many.size(), three.size()); // never more than three tiles
    }

    void runThroughTheWindow() {
        CMainFrame frame(Ini());
        frame.show();
        QList<QUrl> opened;
        frame.openUrl = [&](const QUrl& url) { return opened.push_back(url), true; };
        const QString out = dir_.filePath("out-run");
        QDir().mkpath(out);
        CDialogOperation2* pane = frame.OperationPane();
        pane->AddOutputFolder(out);
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(4); // PNG
        const QString spoilt = WriteImage(dir_.filePath("spoilt.bmp"), 8, 8);
        frame.BatchList()->AddToBatchList({Photos() + "/2.bmp", spoilt, Photos() + "/b.bmp"});
        QFile junk(spoilt);
        QVERIFY(junk.open(QIODevice::WriteOnly | QIODevice::Truncate));
        junk.write("no longer an image");
        junk.close();
        QVERIFY(!frame.Command(ids::kCmdOpenOutputFolder)->isEnabled());
        frame.OnStart();
        QVERIFY(frame.Docks()->Pane(ids::kPaneReport)->isVisible());
        QVERIFY(!frame.BatchList()->isEnabled() || !frame.Run().IsRunning());
        frame.WaitForRunDone();
        QVERIFY(frame.BatchList()->isEnabled());
        QVERIFY(Find<QComboBox>(pane, ids::kFormatList)->isEnabled());
        const QStringList lines = frame.Report()->toPlainText().split('\n', Qt::SkipEmptyParts);
        QCOMPARE(lines.size(), 7);
        QCOMPARE(lines[0], "resize image: " + Photos() + "/2.bmp");
        QCOMPARE(lines[1], "save resized image to: " + out + "/2.png");
        QVERIFY(lines[3].startsWith("failed to load image: " + spoilt + ": "));
        QCOMPARE(lines[6], QString("Done: 2 saved, 1 failed"));
        QCOMPARE(frame.RunSummary(), lines[6]);
        QCOMPARE(frame.statusBar()->currentMessage(), lines[6]);
        QCOMPARE(frame.ProgressBar()->value(), 3);
        QCOMPARE(frame.ProgressBar()->maximum(), 3);
        QCOMPARE(frame.ProgressBar()->text(), QString("3 / 3"));
        QVERIFY(QFile::exists(out + "/b.png"));

        // Status column: the output's name, or the reason in a red row.
        CBatchList* list = frame.BatchList();
        QCOMPARE(list->headerItem()->text(CBatchList::kStatusColumn), QString("Status"));
        QCOMPARE(list->topLevelItem(0)->text(CBatchList::kStatusColumn), QString("2.png"));
        QCOMPARE(list->topLevelItem(0)->toolTip(CBatchList::kStatusColumn), out + "/2.png");
        QTreeWidgetItem* bad = list->topLevelItem(1);
        QVERIFY(bad->text(CBatchList::kStatusColumn).startsWith("failed: "));
        QCOMPARE(bad->text(CBatchList::kStatusColumn), "failed: " + lines[3].section(": ", 2));
        for (int c = 0; c < list->columnCount(); ++c) QCOMPARE(bad->foreground(c).color(), QColor(200, 0, 0));
        QCOMPARE(list->topLevelItem(2)->foreground(0).style(), Qt::NoBrush);

        frame.Command(ids::kCmdOpenOutputFolder)->trigger();
        QCOMPARE(opened, QList<QUrl>{QUrl::fromLocalFile(out)});
        frame.OnStop();
        QVERIFY2(frame.Docks()->Pane(ids::kPaneReport)->isVisible(), "the report stays after Stop");
        QCOMPARE(frame.Report()->toPlainText().split('\n', Qt::SkipEmptyParts).size(), 7); // Stop keeps the text
    }

    void stopAndStartDuringARun() {
        CMainFrame frame(Ini());
        frame.show();
        const QString big = dir_.filePath("big");
        QDir().mkpath(big);
        QStringList files;
        for (int i = 0; i < 12; ++i) files << WriteImage(QString("%1/p%2.bmp").arg(big).arg(i, 2, 10, QChar('0')), 2400, 1800);
        frame.BatchList()->AddToBatchList(files);
        CDialogOperation2* pane = frame.OperationPane();
        pane->AddOutputFolder(dir_.filePath("out-stop"));
        QDir().mkpath(dir_.filePath("out-stop"));
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(5); // TIF: slow enough to stop
        frame.OnStart();
        QVERIFY(WaitFor([&] { return frame.ProgressBar()->value() >= 1; }));
        // Again: the run stops after its row and begins anew, report emptied. The
        // bar is reset so that its first step shows the new run has begun.
        frame.ProgressBar()->reset();
        frame.OnStart();
        QVERIFY(WaitFor([&] { return frame.ProgressBar()->value() >= 1; }));
        frame.OnStop();
        QVERIFY(!frame.Run().IsRunning());
        QStringList lines = frame.Report()->toPlainText().split('\n', Qt::SkipEmptyParts);
        const QString summary = lines.takeLast();
        QVERIFY(lines.size() % 2 == 0);
        QVERIFY(lines.size() < 24);
        QCOMPARE(lines[0], "resize image: " + files[0]);
        QCOMPARE(frame.ProgressBar()->value(), lines.size() / 2);
        const int saved = int(lines.size() / 2);
        QCOMPARE(summary, QString("Stopped: %1 saved, 0 failed, %2 not started").arg(saved).arg(12 - saved));
        QCOMPARE(frame.statusBar()->currentMessage(), summary);
        QCOMPARE(frame.BatchList()->CountRows(RowState::kWaiting), 12 - saved);
        QCOMPARE(frame.BatchList()->topLevelItem(11)->text(CBatchList::kStatusColumn), QString("not started"));
        QVERIFY(frame.Docks()->Pane(ids::kPaneReport)->isVisible());
        QVERIFY(frame.BatchList()->isEnabled());
        QVERIFY(Find<CGroupLine>(pane, ids::kGroupResize)->isEnabled());
    }

    // After Stop, Start offers the rows not done; "Show plan" names each
    // row's output without writing; a preset saved from the pane comes back.
    void continuePlanAndPresets() {
        CMainFrame frame(Ini());
        frame.show();
        const QString big = dir_.filePath("big-continue"), out = dir_.filePath("out-continue");
        QDir().mkpath(big);
        QDir().mkpath(out);
        QStringList files;
        for (int i = 0; i < 8; ++i) files << WriteImage(QString("%1/c%2.bmp").arg(big).arg(i), 2400, 1800);
        frame.BatchList()->AddToBatchList(files);
        CDialogOperation2* pane = frame.OperationPane();
        pane->AddOutputFolder(out);
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(5); // TIF: slow enough to stop
        frame.Options().threads = 1;

        frame.ShowPlan();
        QCOMPARE(frame.BatchList()->topLevelItem(0)->text(CBatchList::kStatusColumn), QString("plan: c0.tif (2400 x 1800 TIFF)"));
        QVERIFY(QDir(out).isEmpty());

        frame.OnStart();
        QVERIFY(WaitFor([&] { return frame.BatchList()->CountRows(RowState::kSaved) >= 1; }));
        frame.OnStop();
        const int saved = frame.BatchList()->CountRows(RowState::kSaved);
        QVERIFY(saved < 8);
        frame.OnStart();
        auto* box = frame.findChild<QMessageBox*>("continue-or-again");
        QVERIFY(box);
        QAbstractButton* continueButton = nullptr;
        for (QAbstractButton* b : box->buttons())
            if (b->text() == QString("Continue with the %1 rows not done").arg(8 - saved)) continueButton = b;
        QVERIFY(continueButton);
        continueButton->click();
        frame.WaitForRunDone();
        QCOMPARE(frame.RunSummary(), QString("Done: 8 saved, 0 failed"));
        QCOMPARE(QDir(out).entryList(QDir::Files).size(), 8); // no _001: nothing ran twice

        frame.presetNameAsker = [] { return QString("Mine"); };
        frame.findChild<QPushButton*>("preset-save-as")->click();
        QComboBox* presets = frame.PresetList();
        QCOMPARE(presets->currentText(), QString("Mine"));
        Find<QComboBox>(pane, ids::kFormatList)->setCurrentIndex(1);
        frame.ApplyPresetNamed("Mine");
        QCOMPARE(Find<QComboBox>(pane, ids::kFormatList)->currentIndex(), 5);
        frame.ApplyPresetNamed("Web 1600 px JPG");
        QCOMPARE(Find<QComboBox>(pane, ids::kFormatList)->currentIndex(), 1);
        QCOMPARE(frame.Options().longestSide, 1600);
        QVERIFY(frame.DeletePreset("Mine"));
        QCOMPARE(presets->findText("Mine"), -1);
    }

    // Closing the window while eight rows are in hand: each started row is
    // finished and reported, its file whole; no row starts after the close.
    void closeDuringARun() {
        auto* frame = new CMainFrame(Ini());
        frame->show();
        const QString big = dir_.filePath("big");
        QDir().mkpath(big);
        QStringList files;
        for (int i = 0; i < 24; ++i) {
            const QString first = QString("%1/p%2.bmp").arg(big).arg(i % 12, 2, 10, QChar('0'));
            if (!QFile::exists(first)) WriteImage(first, 2400, 1800);
            files << (i < 12 ? first : QString("%1/q%2.bmp").arg(big).arg(i, 2, 10, QChar('0')));
            if (i >= 12) QVERIFY(QFile::exists(files.back()) || QFile::link(first, files.back()));
        }
        frame->BatchList()->AddToBatchList(files);
        const QString out = dir_.filePath("out-close");
        QDir().mkpath(out);
        frame->OperationPane()->AddOutputFolder(out);
        Find<QComboBox>(frame->OperationPane(), ids::kFormatList)->setCurrentIndex(5);
        frame->Options().threads = 8;
        frame->OnStart();
        QVERIFY(WaitFor([&] { return frame->ProgressBar()->value() >= 1; }));
        frame->close();
        QVERIFY(!frame->Run().IsRunning());
        const int started = 24 - frame->BatchList()->CountRows(RowState::kWaiting);
        QStringList lines = frame->Report()->toPlainText().split('\n', Qt::SkipEmptyParts);
        lines.removeLast(); // the summary
        delete frame;
        QVERIFY(QFile::exists(Ini()));
        QVERIFY2(started >= 1 && started < 24, qPrintable(QString::number(started)));
        QCOMPARE(int(lines.size()), 2 * started);
        for (int i = 0; i < started; ++i) QCOMPARE(lines[2 * i], "resize image: " + files[i]);
        const QStringList written = QDir(out).entryList(QDir::Files);
        QCOMPARE(int(written.size()), started);
        for (const QString& name : written) {
            CRaster back((out + '/' + name).toStdString(), kTypeTiff);
            QVERIFY2(back.GetWidth() == 2400 && back.GetHeight() == 1800, qPrintable(name));
        }
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    CTessalineApp app(argc, argv);
    TestApp test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_app.moc"
