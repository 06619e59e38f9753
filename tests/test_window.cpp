// The window as a keyboard and screen-reader user, and a dark desktop, meet
// it: shortcuts, a Browse pane that follows the disk, the Output box, what
// adding files leaves out, the Resize group's values, Tab order and
// accessible names, the run's state and colours that read on any palette.
#include "CBatchList.h"
#include "CDialogOperation2.h"
#include "CDockManager.h"
#include "CFolderTree.h"
#include "CGroupLine.h"
#include "CMainFrame.h"
#include "CSpinButton.h"
#include "CTessalineApp.h"
#include "CTessalineDoc.h"
#include "CTessalineView.h"
#include "Colours.h"
#include "CustomizeDialog.h"
#include "Ids.h"
#include "InputChecks.h"
#include "OptionsDialog.h"
#include "SettingsFile.h"
#include "support/DarkPalette.h"

#include "CRaster.h"
#include "ImageType.h"

#include <array>
#include <climits>

#include <QAbstractSpinBox>
#include <QAccessible>
#include <QAction>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QFormLayout>
#include <QGroupBox>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QLineEdit>
#include <QMenuBar>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalSpy>
#include <QStatusBar>
#include <QTableWidget>
#include <QTemporaryDir>
#include <QTest>
#include <QTextEdit>
#include <QToolBar>
#include <QToolButton>

namespace {

template <class T> T* Find(QWidget* root, int id) { return root->findChild<T*>(ids::Name(id)); }

QString WriteImage(const QString& path, uint32_t w, uint32_t h, uint8_t fill = 0x80) {
    CRaster img(w, h, 24);
    img.FillBytes(fill);
    img.SaveFile(path.toStdString(), kTypeBmp);
    return path;
}

void WriteBytes(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    f.write(bytes);
}

bool WaitFor(const std::function<bool()>& done, int ms = 20000) {
    QElapsedTimer t;
    t.start();
    while (!done() && t.elapsed() < ms) QTest::qWait(5);
    return done();
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* item, const QString& name) {
    for (int c = 0; c < item->childCount(); ++c)
        if (item->child(c)->text(0) == name) return item->child(c);
    return nullptr;
}

// Focusable controls under top whose screen-reader name or description is
// missing, one line each.
QStringList Unnamed(QWidget* top) {
    QStringList unnamed;
    QList<QAccessibleInterface*> todo{QAccessible::queryAccessibleInterface(top)};
    while (!todo.isEmpty()) {
        QAccessibleInterface* a = todo.takeFirst();
        if (!a) continue;
        for (int c = 0; c < a->childCount(); ++c) todo << a->child(c);
        auto* w = qobject_cast<QWidget*>(a->object());
        if (!w || !a->state().focusable || a->state().invisible) continue;
        if (a->text(QAccessible::Name).trimmed().isEmpty())
            unnamed << QString("%1 (%2): no name").arg(w->objectName(), w->metaObject()->className());
        else if (a->text(QAccessible::Description).trimmed().isEmpty())
            unnamed << QString("%1 (%2): no description").arg(a->text(QAccessible::Name), w->metaObject()->className());
    }
    return unnamed;
}

int RowOf(CustomizeDialog& dialog, const QString& command) {
    for (int row = 0; row < dialog.Table()->rowCount(); ++row)
        if (dialog.Table()->item(row, 0)->text() == command) return row;
    return -1;
}

} // namespace

class TestWindow : public QObject {
    Q_OBJECT
private:
    QTemporaryDir dir_;
    QString Ini() const { return dir_.filePath("settings.ini"); }

private slots:
    void init() { QFile::remove(Ini()); }

    // A shortcut already held is refused, naming the holder, until it is
    // moved; Backspace clears a field, Clear and Reset All work per row and
    // for all; a settings file giving one key twice keeps it on the first.
    void customizeRefusesADuplicateShortcut() {
        CMainFrame frame(Ini());
        QList<QAction*> commands{frame.Command(ids::kCmdStart), frame.Command(ids::kCmdStop),
                                 frame.Command(ids::kCmdRefresh)};
        CustomizeDialog dialog(frame.StandardToolBar(), commands, &frame);
        const int start = RowOf(dialog, "Start"), stop = RowOf(dialog, "Stop"), refresh = RowOf(dialog, "Refresh");
        QVERIFY(start >= 0 && stop >= 0 && refresh >= 0);
        QKeySequenceEdit* stopKeys = dialog.ShortcutEdit(stop);
        stopKeys->setKeySequence(QKeySequence("Ctrl+S"));
        QVERIFY2(dialog.Conflict().contains("\"Start\""), qPrintable(dialog.Conflict()));
        auto* ok = dialog.findChild<QDialogButtonBox*>()->button(QDialogButtonBox::Ok);
        QVERIFY(!ok->isEnabled());
        dialog.accept();
        QCOMPARE(frame.Command(ids::kCmdStop)->shortcut(), QKeySequence());

        dialog.MoveConflictingShortcut();
        QVERIFY(dialog.Conflict().isEmpty());
        QVERIFY(ok->isEnabled());
        QCOMPARE(dialog.ShortcutEdit(start)->keySequence(), QKeySequence());
        QCOMPARE(stopKeys->keySequence(), QKeySequence("Ctrl+S"));

        // Backspace and Delete clear, never record themselves.
        for (Qt::Key key : {Qt::Key_Backspace, Qt::Key_Delete}) {
            dialog.ShortcutEdit(refresh)->setKeySequence(QKeySequence("F5"));
            QTest::keyClick(dialog.ShortcutEdit(refresh), key);
            QCOMPARE(dialog.ShortcutEdit(refresh)->keySequence(), QKeySequence());
        }
        qobject_cast<QPushButton*>(dialog.Table()->cellWidget(stop, CustomizeDialog::kClearColumn))->click();
        QCOMPARE(stopKeys->keySequence(), QKeySequence());
        dialog.findChild<QPushButton*>("reset-all")->click();
        QCOMPARE(dialog.ShortcutEdit(start)->keySequence(), QKeySequence("Ctrl+S"));
        QCOMPARE(dialog.ShortcutEdit(refresh)->keySequence(), QKeySequence("F5"));
        QCOMPARE(stopKeys->keySequence(), QKeySequence());

        IniFile ini;
        ini.Set("Command Bars", "Key" + std::to_string(ids::kCmdStop), "Ctrl+S");
        ApplyCommandBarSettings(ini, "Command Bars", frame.StandardToolBar(), commands);
        QCOMPARE(frame.Command(ids::kCmdStart)->shortcut(), QKeySequence("Ctrl+S"));
        QCOMPARE(frame.Command(ids::kCmdStop)->shortcut(), QKeySequence());
    }

    // Folders made after a folder was opened appear, gone ones go; new,
    // changed and deleted images follow in the thumbnails.
    void browseFollowsTheDisk() {
        const QString root = dir_.filePath("watched");
        QDir().mkpath(root + "/first");
        WriteImage(root + "/a.bmp", 40, 30);
        WriteImage(root + "/b.bmp", 40, 30);
        CMainFrame frame(Ini());
        frame.show();
        frame.BrowseFolder(root);
        CFolderTree* tree = frame.FolderTree();
        CTessalineView* view = frame.View();
        QVERIFY(WaitFor([&] { return view->count() == 2 && !view->IsLoaderRunning(); }));
        QTreeWidgetItem* item = tree->currentItem();
        QVERIFY(item);
        item->setExpanded(true);
        QVERIFY(ChildNamed(item, "first"));

        QVERIFY(QDir().mkpath(root + "/made-later"));
        QVERIFY(QDir(root + "/first").removeRecursively());
        QVERIFY(WaitFor([&] { return ChildNamed(item, "made-later") && !ChildNamed(item, "first"); }, 2000));

        WriteImage(root + "/c.bmp", 40, 30);
        QVERIFY(QFile::remove(root + "/a.bmp"));
        QVERIFY(WaitFor([&] { return view->count() == 2 && view->item(1)->text() == "c.bmp"; }, 2000));
        QCOMPARE(view->item(0)->text(), QString("b.bmp"));
        QVERIFY(WaitFor([&] { return !view->IsLoaderRunning(); }));
        // Rewritten in place: its tile is drawn again, the others kept.
        QSignalSpy finished(view, &CTessalineView::loaderFinished);
        WriteBytes(root + "/b.bmp", "no longer an image");
        QVERIFY(WaitFor([&] { return finished.count() > 0; }, 2000));
        QVERIFY(view->item(0)->icon().pixmap(100, 90).toImage() !=
                view->item(1)->icon().pixmap(100, 90).toImage());

        // Refresh, F5, in the View menu, reads a folder no watch covers.
        QAction* refresh = frame.Command(ids::kCmdRefresh);
        QCOMPARE(refresh->shortcut(), QKeySequence(Qt::Key_F5));
        QVERIFY(frame.menuBar()->actions().at(1)->menu()->actions().contains(refresh));
        QVERIFY(tree->Watched().contains(root));

        // An empty folder says so.
        QDir().mkpath(root + "/made-later");
        frame.BrowseFolder(root + "/made-later");
        QCOMPARE(view->count(), 0);
        const QImage shot = view->grab().toImage();
        QVERIFY(!shot.isNull());
        QCOMPARE(CTessalineView::EmptyFolderText(), QString("No images in this folder"));
    }

    // The Output box takes a typed path, with Enter or as typed at Start,
    // and never swaps it for a history entry that looks alike.
    void outputBoxTakesATypedPath() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        auto* output = Find<QComboBox>(pane, ids::kOutputList);
        QVERIFY(output->isEditable());
        const QString older = dir_.filePath("outputs-old"), typed = dir_.filePath("outputs");
        pane->AddOutputFolder(older);
        output->setFocus();
        output->lineEdit()->selectAll();
        QTest::keyClicks(output->lineEdit(), typed);
        OperationSettings s = MakeUnsetSettings();
        pane->CollectSettings(s);
        QCOMPARE(QString::fromStdString(FieldText(s.recentFolders[s.outputFolderIndex - 1])), typed);
        QTest::keyClick(output->lineEdit(), Qt::Key_Return);
        QCOMPARE(output->currentText(), typed);
        QCOMPARE(output->currentIndex(), 1);
        QCOMPARE(output->itemText(2), older);

        // Checked as typed: red, with the reason.
        output->lineEdit()->selectAll();
        QTest::keyClicks(output->lineEdit(), "relative/folder");
        QVERIFY(!pane->OutputProblem().isEmpty());
        QVERIFY(output->toolTip().contains("full path"));
        QVERIFY(ContrastRatio(output->palette().color(QPalette::Text), QColor(200, 0, 0)) < 1.5);
        output->lineEdit()->selectAll();
        QTest::keyClicks(output->lineEdit(), "~/x");
        QVERIFY(pane->OutputProblem().isEmpty());
    }

    // What is not added is said, with the reason, in the status bar.
    void addingFilesReportsWhatWasNotAdded() {
        const QString folder = dir_.filePath("adding");
        QDir().mkpath(folder);
        WriteImage(folder + "/good.bmp", 10, 10);
        WriteBytes(folder + "/empty.jpg", "");
        WriteBytes(folder + "/notimage.png", "plain text, not a picture");
        CMainFrame frame(Ini());
        const int added = frame.BatchList()->AddToBatchList(
            {folder + "/good.bmp", folder + "/empty.jpg", folder + "/notimage.png", folder + "/good.bmp"});
        QCOMPARE(added, 1);
        const QString message = frame.statusBar()->currentMessage();
        QVERIFY2(message.startsWith("1 file added; 3 files not added: empty.jpg (empty file), notimage.png (not a PNG file)"),
                 qPrintable(message));
        QVERIFY2(message.contains("good.bmp (already in the list)"), qPrintable(message));
        QVERIFY(frame.statusBar()->toolTip().contains("empty.jpg (empty file)"));
        // Sizes and dates as people read them.
        QCOMPARE(frame.BatchList()->topLevelItem(0)->text(3), CBatchList::SizeText(QFileInfo(folder + "/good.bmp").size()));
        QCOMPARE(CBatchList::SizeText(822), QString("822 bytes"));
        QCOMPARE(CBatchList::SizeText(2621440), QString("2.5 MB"));
    }

    // "Longest Side" and "Percent" show and edit their one number in the
    // pane, where W and H are for the other kinds.
    void resizeGroupShowsTheValueUsed_data() {
        QTest::addColumn<int>("mode");
        QTest::addColumn<QString>("unit");
        QTest::addColumn<QString>("typed");
        QTest::newRow("longest side") << int(kResizeLongestSide) << "pixels" << "1200";
        QTest::newRow("percent") << int(kResizePercent) << "percent" << "35";
        QTest::newRow("fit inside") << int(kResizeFitInside) << "" << "";
    }

    void resizeGroupShowsTheValueUsed() {
        QFETCH(int, mode);
        QFETCH(QString, unit);
        QFETCH(QString, typed);
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        Find<CGroupLine>(pane, ids::kGroupResize)->SetCheck(true);
        Find<QComboBox>(pane, ids::kResizeModeList)->setCurrentIndex(mode);
        auto* value = Find<QLineEdit>(pane, ids::kResizeValueEdit);
        auto* width = Find<QLineEdit>(pane, ids::kWidthEdit);
        auto* height = Find<QLineEdit>(pane, ids::kHeightEdit);
        if (unit.isEmpty()) {
            QVERIFY(width->isVisible() && width->isEnabled() && height->isVisible() && height->isEnabled());
            QVERIFY(!value->isVisible());
            return;
        }
        QVERIFY(value->isVisible() && value->isEnabled());
        QVERIFY(!width->isVisible() && !height->isVisible());
        QCOMPARE(Find<QLabel>(pane, ids::kResizeValueUnit)->text(), unit);
        const int shown = mode == kResizePercent ? frame.Options().percent : frame.Options().longestSide;
        QCOMPARE(value->text(), QString::number(shown));
        value->selectAll();
        QTest::keyClicks(value, typed);
        QCOMPARE(mode == kResizePercent ? frame.Options().percent : frame.Options().longestSide, typed.toInt());
        QCOMPARE(width->text(), QString("800"));
        // Going to the other one-number kind and back keeps both numbers.
        const RunOptions before = frame.Options();
        Find<QComboBox>(pane, ids::kResizeModeList)->setCurrentIndex(mode == kResizePercent ? kResizeLongestSide : kResizePercent);
        Find<QComboBox>(pane, ids::kResizeModeList)->setCurrentIndex(mode);
        QCOMPARE(frame.Options().percent, before.percent);
        QCOMPARE(frame.Options().longestSide, before.longestSide);
        QCOMPARE(value->text(), typed);
    }

    // Tab goes through every pane and stops only where a focus shows; every
    // focusable control has a name and a description for screen readers,
    // and every command is in the menus.
    void keyboardAndScreenReaders() {
        CMainFrame frame(Ini());
        frame.show();
        frame.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&frame));
        frame.FolderTree()->setFocus();
        QList<QWidget*> stops;
        for (int i = 0; i < 80; ++i) {
            QWidget* w = QApplication::focusWidget();
            QVERIFY(w);
            QVERIFY2(w->isVisible() && !w->visibleRegion().isEmpty(), qPrintable(w->objectName()));
            QVERIFY2(!qobject_cast<CSpinButton*>(w->parentWidget()), "a spin arrow took the focus");
            stops << w;
            QTest::keyClick(w, Qt::Key_Tab);
        }
        // As laid out: folders, images, batch list, then the operation pane.
        const auto at = [&](QWidget* w) { return stops.indexOf(w); };
        QVERIFY(at(frame.FolderTree()) < at(frame.View()));
        QVERIFY(at(frame.View()) < at(frame.BatchList()));
        QVERIFY(at(frame.BatchList()) < at(Find<QWidget>(frame.OperationPane(), ids::kFormatList)));
        // The Presets list heads the Operation pane.
        QVERIFY(at(frame.PresetList()) < at(Find<QWidget>(frame.OperationPane(), ids::kFormatList)));
        for (QWidget* must : std::initializer_list<QWidget*>{
                 frame.FolderTree(), frame.View(), frame.BatchList(), frame.PresetList(),
                 Find<QWidget>(frame.OperationPane(), ids::kFormatList),
                 Find<QComboBox>(frame.OperationPane(), ids::kOutputList),
                 Find<QWidget>(frame.OperationPane(), ids::kOptionsButton)})
            QVERIFY2(stops.contains(must), qPrintable(must->objectName() + " " + must->metaObject()->className()));

        const QStringList unnamed = Unnamed(&frame);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join('\n')));

        QSet<QAction*> inMenus;
        for (QAction* menu : frame.menuBar()->actions())
            for (QAction* a : menu->menu()->actions()) inMenus.insert(a);
        for (int id : {ids::kCmdStart, ids::kCmdStop, ids::kCmdRefresh, ids::kCmdCustomize, ids::kCmdOptions,
                       ids::kCmdAddToBatchList, ids::kCmdRemoveFromBatchList, ids::kCmdClearBatchList})
            QVERIFY2(inMenus.contains(frame.Command(id)), qPrintable(ids::Name(id)));
        // Pane entries show whether their pane is open.
        QVERIFY(frame.Command(ids::kCmdBrowsePane)->isChecked());
        frame.TogglePane(ids::kPaneBrowse);
        QVERIFY(!frame.Command(ids::kCmdBrowsePane)->isChecked());
    }

    // The Options dialog on a screen smaller than it: it stays inside the
    // work area and scrolls; Tab reads it down the left column, then the
    // right, each stop scrolled into sight; every control is named and
    // described; Customize too.
    void dialogsKeyboardAndScreenReaders() {
        CMainFrame frame(Ini());
        frame.show();
        RunOptions options;
        options.keepDates = true; // every control enabled
        OptionsDialog dialog(options, &frame);
        dialog.show();
        dialog.activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QVERIFY(dialog.screen()->availableGeometry().contains(dialog.geometry()));
        auto* content = dialog.findChild<QScrollArea*>("options-scroll")->widget();
        // Where a control is read: its group's column and row, then its own place.
        const auto place = [&](QWidget* w) {
            QWidget* group = w;
            while (group && !qobject_cast<QGroupBox*>(group)) group = group->parentWidget();
            if (!group) return std::array<int, 4>{INT_MAX, INT_MAX, INT_MAX, INT_MAX}; // the buttons below
            auto* form = qobject_cast<QFormLayout*>(group->layout());
            int row = -1;
            QFormLayout::ItemRole role;
            form->getWidgetPosition(w, &row, &role);
            for (int r = 0; row < 0 && r < form->rowCount(); ++r)
                if (QLayoutItem* field = form->itemAt(r, QFormLayout::FieldRole); field && field->layout() && field->layout()->indexOf(w) >= 0) row = r;
            const QPoint g = group->mapTo(content, QPoint());
            return std::array<int, 4>{g.x(), g.y(), row, w->mapTo(group, QPoint()).x()};
        };
        QList<QWidget*> stops;
        dialog.findChild<QComboBox*>("resample")->setFocus();
        for (QWidget* w = QApplication::focusWidget(); w && !stops.contains(w); w = QApplication::focusWidget()) {
            QVERIFY2(w->isVisible() && !w->visibleRegion().isEmpty(), qPrintable(w->objectName()));
            if (!stops.isEmpty())
                QVERIFY2(place(stops.last()) < place(w) || place(w)[0] == INT_MAX,
                         qPrintable(stops.last()->objectName() + " before " + w->objectName()));
            stops << w;
            QTest::keyClick(w, Qt::Key_Tab);
        }
        for (QWidget* w : content->findChildren<QWidget*>()) {
            // A spin box's text field stands for it.
            QWidget* owner = qobject_cast<QAbstractSpinBox*>(w->parentWidget()) ? w->parentWidget() : w;
            if (w->isVisible() && w->isEnabled() && (w->focusPolicy() & Qt::TabFocus))
                QVERIFY2(stops.contains(w) || stops.contains(owner), qPrintable(owner->objectName() + " is not a Tab stop"));
        }
        QStringList unnamed = Unnamed(&dialog);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join('\n')));

        CustomizeDialog customize(frame.StandardToolBar(), {frame.Command(ids::kCmdStart)}, &frame);
        customize.show();
        unnamed = Unnamed(&customize);
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join('\n')));
        customize.close();
        dialog.close();

        // The small ones: every stop Tab reaches shows, and all are named.
        for (QDialog* box : {frame.MakeAboutDialog(), frame.MakePresetNameDialog()}) {
            box->show();
            box->activateWindow();
            QVERIFY(QTest::qWaitForWindowActive(box));
            QSet<QWidget*> seen;
            for (QWidget* w = QApplication::focusWidget(); w && !seen.contains(w); w = QApplication::focusWidget()) {
                QVERIFY2(w->window() == box && w->isVisible() && !w->visibleRegion().isEmpty(),
                         qPrintable(box->objectName() + ": " + w->objectName()));
                seen << w;
                QTest::keyClick(w, Qt::Key_Tab);
            }
            QVERIFY2(seen.size() >= 2, qPrintable(box->objectName()));
            unnamed = Unnamed(box);
            QVERIFY2(unnamed.isEmpty(), qPrintable(box->objectName() + ": " + unnamed.join('\n')));
            delete box;
        }
    }

    // Stop only while running; the status bar counts the run; rows a Stop
    // left say "not started".
    void runStateInTheWindow() {
        CMainFrame frame(Ini());
        frame.show();
        const QString big = dir_.filePath("big");
        QDir().mkpath(big);
        QStringList files;
        for (int i = 0; i < 10; ++i) files << WriteImage(QString("%1/p%2.bmp").arg(big).arg(i), 2400, 1800);
        frame.BatchList()->AddToBatchList(files);
        frame.OperationPane()->AddOutputFolder(dir_.filePath("out-state"));
        Find<QComboBox>(frame.OperationPane(), ids::kFormatList)->setCurrentIndex(5); // TIF: slow enough to stop
        QAction* stop = frame.Command(ids::kCmdStop);
        QVERIFY(!stop->isEnabled());
        frame.OnStart();
        QVERIFY(stop->isEnabled());
        QVERIFY(WaitFor([&] { return frame.ProgressBar()->value() >= 1; }));
        QVERIFY2(frame.statusBar()->currentMessage().startsWith("Running: ") &&
                     frame.statusBar()->currentMessage().endsWith(" / 10"),
                 qPrintable(frame.statusBar()->currentMessage()));
        frame.OnStop();
        QVERIFY(!stop->isEnabled());
        QCOMPARE(frame.BatchList()->topLevelItem(9)->text(CBatchList::kStatusColumn), QString("not started"));
        QVERIFY(frame.statusBar()->currentMessage().startsWith("Stopped: "));
    }

    // "." and ".." as a prefix would make hidden files: shown refused as
    // typed, and Start says why.
    void dotPrefixesRefused() {
        CMainFrame frame(Ini());
        frame.show();
        CDialogOperation2* pane = frame.OperationPane();
        Find<CGroupLine>(pane, ids::kGroupRename)->SetCheck(true);
        auto* prefix = Find<QLineEdit>(pane, ids::kPrefixEdit);
        for (const QString dots : {".", ".."}) {
            prefix->clear();
            QTest::keyClicks(prefix, dots);
            QCOMPARE(prefix->text(), dots);
            QVERIFY(prefix->toolTip().contains("hidden files"));
            QVERIFY2(frame.CheckBeforeStart().contains("hidden files"), qPrintable(frame.CheckBeforeStart()));
        }
        QTest::keyClicks(prefix, "x");
        QVERIFY(frame.CheckBeforeStart().isEmpty());
        QVERIFY(!prefix->toolTip().contains("hidden files"));
    }

    // With a dark palette every text reads against its background at 4.5:1
    // or more, the failed rows and refused fields included.
    void darkPaletteContrast() {
        const QPalette before = QApplication::palette();
        QApplication::setPalette(DarkPalette());
        {
            CMainFrame frame(Ini());
            frame.resize(1280, 800);
            frame.show();
            const QString folder = dir_.filePath("dark");
            QDir().mkpath(folder);
            WriteBytes(folder + "/spoilt.bmp", "BM no longer an image");
            frame.BatchList()->AddToBatchList({WriteImage(folder + "/fine.bmp", 10, 10)});
            frame.BatchList()->SetRowState(0, RowState::kFailed, "damaged");
            Find<QComboBox>(frame.OperationPane(), ids::kOutputList)->setEditText("relative");
            Find<CGroupLine>(frame.OperationPane(), ids::kGroupRename)->SetCheck(true);
            Find<QLineEdit>(frame.OperationPane(), ids::kPrefixEdit)->setText(".");
            QVERIFY(!frame.grab().isNull());

            QStringList faint;
            const auto check = [&](const QString& what, const QColor& ink, const QColor& ground) {
                const double ratio = ContrastRatio(ink, ground);
                if (ratio < 4.5) faint << QString("%1: %2 on %3, %4:1").arg(what, ink.name(), ground.name()).arg(ratio, 0, 'f', 2);
            };
            for (QWidget* w : frame.findChildren<QWidget*>()) {
                if (!w->isVisible() || !w->isEnabled()) continue;
                const QPalette& p = w->palette();
                QString text;
                if (auto* l = qobject_cast<QLabel*>(w)) text = l->text();
                else if (auto* b = qobject_cast<QAbstractButton*>(w)) text = b->text();
                else if (auto* e = qobject_cast<QLineEdit*>(w)) text = e->text();
                else if (auto* c = qobject_cast<QComboBox*>(w)) text = c->currentText();
                if (!text.isEmpty())
                    check(w->objectName() + " " + text, p.color(w->foregroundRole()), p.color(w->backgroundRole()));
                if (auto* tree = qobject_cast<QTreeWidget*>(w))
                    for (int r = 0; r < tree->topLevelItemCount(); ++r)
                        for (int c = 0; c < tree->columnCount(); ++c) {
                            const QBrush ink = tree->topLevelItem(r)->foreground(c);
                            check(tree->topLevelItem(r)->text(c),
                                  ink.style() == Qt::NoBrush ? p.color(QPalette::Text) : ink.color(), p.color(QPalette::Base));
                        }
            }
            check("tooltip", QApplication::palette().color(QPalette::ToolTipText),
                  QApplication::palette().color(QPalette::ToolTipBase));
            QVERIFY2(faint.isEmpty(), qPrintable(faint.join('\n')));
        }
        QApplication::setPalette(before);
    }
};

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    CTessalineApp app(argc, argv);
    TestWindow test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_window.moc"
