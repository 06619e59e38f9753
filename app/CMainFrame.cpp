#include "CMainFrame.h"

#include "CBatchList.h"
#include "CDialogOperation2.h"
#include "CDockManager.h"
#include "CFolderTree.h"
#include "CPreviewPane.h"
#include "CTessalineDoc.h"
#include "CTessalineView.h"
#include "CustomizeDialog.h"
#include "DialogFit.h"
#include "HelpWindows.h"
#include "Icons.h"
#include "Ids.h"
#include "InputChecks.h"
#include "LibraryVersions.h"
#include "OptionsDialog.h"
#include "OutputNaming.h"
#include "Presets.h"
#include "RowPlan.h"
#include "SettingsFile.h"
#include "WindowState.h"

#include <QAction>
#include <QComboBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QVBoxLayout>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QGridLayout>
#include <QPushButton>
#include <QDesktopServices>
#include <QDir>
#include <QDialogButtonBox>
#include <QDockWidget>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLabel>
#include <QMenuBar>
#include <QMessageBox>
#include <QMimeDatabase>
#include <QPlainTextEdit>
#include <QProcess>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QSet>
#include <QSplitter>
#include <QScrollArea>
#include <QScrollBar>
#include <QStatusBar>
#include <QTextEdit>
#include <QThread>
#include <QToolBar>
#include <QVBoxLayout>
#include <QUrl>

#include <memory>

namespace {

QString ProgramPath() { return QCoreApplication::applicationFilePath(); }

} // namespace

CMainFrame::CMainFrame(const QString& settingsPath, QWidget* parent)
    : QMainWindow(parent), openUrl(OpenWithDesktop),
      helpPath(HelpTextPath()),
      settings_(MakeUnsetSettings()) {
    setWindowTitle(tr("Quorvel Image Resizer"));
    setObjectName("main-frame");
    runHost_ = std::make_unique<RunHost>(static_cast<IBatchHost&>(*this));
    CreateActions();
    CreateStatusBar();
    CreateMenus();
    CreateToolBar();

    doc_ = new CTessalineDoc(this);
    view_ = new CTessalineView(doc_, this);
    view_->loaderThreads = [this] { return options_.threads; };
    CreateCentre();
    CreatePanes();

    if (settingsPath.isEmpty()) {
        const SettingsLocation where = ResolveSettingsLocation(ProgramPath().toStdString());
        settingsReadPath_ = QString::fromStdString(where.readPath);
        settingsWritePath_ = QString::fromStdString(where.writePath);
    } else {
        settingsReadPath_ = settingsWritePath_ = settingsPath;
    }
    std::string unreadable;
    LoadSettings(settingsReadPath_.toStdString(), settings_, &options_, &unreadable);
    // Saves refuse such a file too, so the defaults shown are never written over it.
    if (!unreadable.empty()) {
        idleText_ = tr("Settings not read from %1: %2. The defaults are shown; the file is left as it is.")
                        .arg(settingsReadPath_, QString::fromStdString(unreadable));
        statusBar()->showMessage(idleText_);
    }
    LoadCommandBarSettings();
    // The operation pane shows now, so its controls exist from the start.
    docks_->ShowPane(ids::kPaneBrowse);
    docks_->ShowPane(ids::kPaneBatchList);
    docks_->ShowPane(ids::kPaneOperation);
    ApplyDefaultLayout();
    LoadWindowState();
    ChainTabOrder();
    connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) { KeepFocusInView(now); });
}

// Tab reads the window as it is laid out: the folders, their images, the
// preview's switch, the batch list, the Presets list and its buttons above
// the operation pane, the pane's controls left to right, then the report.
void CMainFrame::ChainTabOrder() {
    QList<QWidget*> chain{tree_, view_};
    for (QCheckBox* box : preview_->findChildren<QCheckBox*>()) chain << box;
    chain << batchList_;
    if (auto* bar = findChild<QWidget*>("preset-bar"))
        for (QWidget* w : bar->findChildren<QWidget*>())
            if (w->focusPolicy() & Qt::TabFocus) chain << w;
    if (operation_) {
        for (QWidget* w = operation_->nextInFocusChain(); w != operation_; w = w->nextInFocusChain()) {
            if (!operation_->isAncestorOf(w)) break;
            if (w->focusPolicy() & Qt::TabFocus) chain << w;
        }
    }
    chain << report_;
    for (qsizetype i = 1; i < chain.size(); ++i) setTabOrder(chain[i - 1], chain[i]);
}

// Tab from outside into the operation pane does not pass its scroll area,
// which would bring the control into view: done here, for every way in.
void CMainFrame::KeepFocusInView(QWidget* now) {
    auto* scroll = findChild<QScrollArea*>("operation-scroll");
    if (scroll && now && scroll->widget() && scroll->widget()->isAncestorOf(now)) scroll->ensureWidgetVisible(now);
}

CMainFrame::~CMainFrame() {
    // Neither thread may outlive the widgets it calls into.
    runHost_->Stop();
    view_->StopThumbnailLoader();
    // Children dying below move the focus; this frame must not hear of it.
    disconnect(qApp, nullptr, this, nullptr);
}

// The thumbnails with the preview of the selected file beside them.
void CMainFrame::CreateCentre() {
    centre_ = new QSplitter(Qt::Horizontal, this);
    centre_->setObjectName("centre");
    preview_ = new CPreviewPane(centre_);
    centre_->addWidget(view_);
    centre_->addWidget(preview_);
    centre_->setStretchFactor(0, 3);
    centre_->setStretchFactor(1, 2);
    centre_->setCollapsible(0, false);
    setCentralWidget(centre_);
    preview_->inputs = [this](const QString& path) { return PreviewInputsFor(path); };
    connect(view_, &QListWidget::currentItemChanged, this, [this](QListWidgetItem* item) {
        if (item) preview_->ShowFile(doc_->PathOf(view_->row(item)));
    });
    // A picture of another folder, or of a file that went, is not kept.
    connect(doc_, &CTessalineDoc::folderChanged, this, [this] { preview_->ShowFile(QString()); });
    connect(doc_, &CTessalineDoc::refreshed, this, [this](const QStringList& changed) {
        if (!changed.contains(preview_->Path())) return;
        if (QFileInfo::exists(preview_->Path())) preview_->SettingsChanged();
        else preview_->ShowFile(QString());
    });
}

// The pane's values over the record, as Start would collect them, and the
// file's row in the batch list, or the one it would get there.
PreviewInputs CMainFrame::PreviewInputsFor(const QString& path) {
    PreviewInputs in;
    in.settings = settings_;
    if (operation_) operation_->CollectSettings(in.settings);
    in.options = options_;
    if (operation_) operation_->CollectOptions(in.options);
    in.row = batchList_->topLevelItemCount();
    for (int row = 0; row < batchList_->topLevelItemCount(); ++row)
        if (batchList_->RowPath(row) == path) in.row = row;
    return in;
}

void CMainFrame::OnOptions() {
    if (operation_) operation_->CollectOptions(options_);
    OptionsDialog dialog(options_, this);
    if (dialog.exec() != QDialog::Accepted) return;
    options_ = dialog.Options();
    if (operation_) operation_->ShowRunOptions();
    preview_->SettingsChanged();
}

void CMainFrame::CreatePanes() {
    docks_ = new CDockManager(this);
    const QRect initial(0, 0, 200, 120);
    docks_->CreatePane(ids::kPaneBrowse, tr("Browse"), initial, DockSide::Left);
    docks_->CreatePane(ids::kPaneBatchList, tr("Batch Process List"), initial, DockSide::Bottom);
    docks_->CreatePane(ids::kPaneOperation, tr("Operation"), initial, DockSide::Bottom);
    docks_->CreatePane(ids::kPaneReport, tr("Progress Report"), initial, DockSide::Bottom);
    // The View menu's pane entries are ticked while their pane is open.
    const std::pair<int, int> toggles[] = {{ids::kPaneBrowse, ids::kCmdBrowsePane},
                                           {ids::kPaneBatchList, ids::kCmdBatchListPane},
                                           {ids::kPaneOperation, ids::kCmdOperationPane}};
    // Captured, not looked up: docks hide while the frame is destroyed.
    for (auto [pane, command] : toggles)
        connect(docks_->Pane(pane), &QDockWidget::visibilityChanged, commands_[command],
                [docks = docks_, pane, action = commands_[command]] { action->setChecked(!docks->IsPaneClosed(pane)); });
    connect(docks_, &CDockManager::paneAboutToShow, this, [this](int id, bool attached) {
        if (!attached) AttachPane(id);
    });
    // The report takes its room from the centre and gives it back there, not
    // to the batch list and the operation pane around it.
    connect(docks_, &CDockManager::paneAboutToToggle, this, [this](int id) {
        if (id == ids::kPaneReport)
            heightsBeforeReport_ = {docks_->Pane(ids::kPaneBatchList)->height(),
                                    docks_->Pane(ids::kPaneOperation)->height()};
    });
    connect(docks_, &CDockManager::paneToggled, this, [this](int id) {
        if (id == ids::kPaneReport) KeepBottomPaneHeights(heightsBeforeReport_.first, heightsBeforeReport_.second);
    });

    tree_ = new CFolderTree(this);
    tree_->hide();
    tree_->Initialize(QDir::homePath(), "/");
    tree_->onFolderSelected = [this](const QString& path) { doc_->SetFolder(path); };

    batchList_ = new CBatchList(this);
    batchList_->hide();
    connect(batchList_, &QTreeWidget::currentItemChanged, this, [this](QTreeWidgetItem* item) {
        if (item) preview_->ShowFile(item->text(CBatchList::kPathColumn));
    });
    batchList_->canEdit = [this] { return !runHost_->IsRunning(); };
    // What a run would write, without writing anything.
    auto* showPlan = new QAction(tr("Show plan"), batchList_);
    showPlan->setObjectName("show-plan");
    connect(showPlan, &QAction::triggered, this, [this] {
        if (!runHost_->IsRunning()) ShowPlan();
    });
    batchList_->addAction(showPlan);
    batchList_->setContextMenuPolicy(Qt::ActionsContextMenu);
    view_->addToBatchList = [this](const QStringList& paths) { batchList_->AddToBatchList(paths); };
    view_->addAction(commands_[ids::kCmdAddToBatchList]);
    batchList_->addAction(commands_[ids::kCmdRemoveFromBatchList]);
    connect(batchList_, &CBatchList::added, this, &CMainFrame::ReportNotAdded);

    report_ = new QTextEdit(this);
    report_->setObjectName(ids::Name(ids::kReport));
    report_->setReadOnly(true);
    report_->setAcceptRichText(false);
    report_->setLineWrapMode(QTextEdit::NoWrap);
    report_->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    report_->setAccessibleName(tr("Progress Report"));
    report_->setAccessibleDescription(tr("Two lines for every image of the run, and its summary"));
    report_->hide();
    docks_->HidePane(ids::kPaneReport);
}

void CMainFrame::AttachPane(int id) {
    switch (id) {
    case ids::kPaneBrowse: docks_->AttachWindow(id, tree_); break;
    case ids::kPaneBatchList: docks_->AttachWindow(id, batchList_); break;
    case ids::kPaneOperation:
        operation_ = new CDialogOperation2(settings_, stampFont_, this);
        operation_->SetRunOptions(&options_);
        operation_->InitOperationPane();
        operation_->onOptions = [this] { OnOptions(); };
        operation_->SetRunOptions(&options_);
        connect(operation_, &CDialogOperation2::changed, preview_, &CPreviewPane::SettingsChanged);
        docks_->AttachWindow(id, WrapInScrollArea(operation_));
        break;
    case ids::kPaneReport: docks_->AttachWindow(id, report_); break;
    default: break;
    }
}

void CMainFrame::TogglePane(int id) {
    if (docks_->IsPaneClosed(id)) docks_->ShowPane(id);
    else docks_->ClosePane(id);
}

// Below its designed size the pane scrolls, so no control is ever out of reach.
// The pane with the Presets list above it, scrolling together.
QScrollArea* CMainFrame::WrapInScrollArea(QWidget* pane) {
    auto* scroll = new QScrollArea(this);
    scroll->setObjectName("operation-scroll");
    // Tab goes through the pane's controls, never to the area around them.
    scroll->setFocusPolicy(Qt::NoFocus);
    scroll->setFrameShape(QFrame::NoFrame);
    scroll->setWidgetResizable(true);
    auto* holder = new QWidget;
    auto* column = new QVBoxLayout(holder);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    QWidget* bar = MakePresetBar();
    column->addWidget(bar);
    column->addWidget(pane, 1);
    scroll->setWidget(holder);
    // Taller than designed would only add empty space; the rest goes to the
    // other panes and the centre.
    scroll->setMaximumHeight(bar->sizeHint().height() + pane->minimumHeight() +
                             style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    return scroll;
}

void CMainFrame::RestoreDefaultLayout() {
    for (int id : {ids::kPaneBrowse, ids::kPaneBatchList, ids::kPaneOperation})
        if (docks_->IsPaneClosed(id)) docks_->ShowPane(id);
    ApplyDefaultLayout();
}

// Browse at the left; batch list, report and operation pane stacked at the
// bottom, each the full width. The report keeps its shown or collapsed state
// but gets its place back too.
void CMainFrame::ApplyDefaultLayout() {
    QDockWidget* browse = docks_->Pane(ids::kPaneBrowse);
    QDockWidget* list = docks_->Pane(ids::kPaneBatchList);
    QDockWidget* report = docks_->Pane(ids::kPaneReport);
    QDockWidget* operation = docks_->Pane(ids::kPaneOperation);
    QList<QDockWidget*> shown;
    for (QDockWidget* d : {browse, list, report, operation}) {
        if (!d->isHidden()) shown.push_back(d);
        d->setFloating(false);
        removeDockWidget(d);
    }
    // A hidden pane comes back where it was placed, so every pane is placed
    // while shown and the hidden ones hidden again afterwards.
    addDockWidget(Qt::LeftDockWidgetArea, browse);
    addDockWidget(Qt::BottomDockWidgetArea, list);
    splitDockWidget(list, report, Qt::Vertical);
    splitDockWidget(report, operation, Qt::Vertical);
    for (QDockWidget* d : {browse, list, report, operation}) d->show();
    // Wide enough for folder names of about 30 characters, a level or two deep.
    resizeDocks({browse}, {std::max(kDefaultPaneSize.width(), fontMetrics().averageCharWidth() * 34)}, Qt::Horizontal);
    for (QDockWidget* d : {browse, list, report, operation})
        if (!shown.contains(d)) d->hide();
    KeepBottomPaneHeights(kDefaultPaneSize.height(), OperationPaneHeight());
}

// With the three bottom panes stacked as by default, the list and the
// operation pane get these heights and the report its default one.
void CMainFrame::KeepBottomPaneHeights(int listHeight, int operationHeight) {
    QDockWidget* list = docks_->Pane(ids::kPaneBatchList);
    QDockWidget* report = docks_->Pane(ids::kPaneReport);
    QDockWidget* operation = docks_->Pane(ids::kPaneOperation);
    QList<QDockWidget*> docks;
    QList<int> heights;
    for (auto [d, h] : {std::pair{list, listHeight}, {report, kDefaultPaneSize.height()}, {operation, operationHeight}}) {
        if (d->isHidden()) continue;
        if (d->isFloating() || dockWidgetArea(d) != Qt::BottomDockWidgetArea || !tabifiedDockWidgets(d).isEmpty())
            return;
        docks.push_back(d);
        heights.push_back(h);
    }
    resizeDocks(docks, heights, Qt::Vertical);
}

// All the pane's scroll area may take: the designed height and room for a
// horizontal scroll bar.
int CMainFrame::OperationPaneHeight() const {
    QDockWidget* dock = docks_->Pane(ids::kPaneOperation);
    const int title = dock->style()->pixelMetric(QStyle::PM_TitleBarHeight, nullptr, dock);
    return (dock->widget() ? dock->widget()->maximumHeight() : 0) + title;
}

void CMainFrame::LoadWindowState() {
    IniFile ini;
    if (ini.Load(settingsReadPath_.toStdString())) ReadWindowRecord(ini, window_);
    const bool placed = !window_.geometry.isEmpty() && restoreGeometry(window_.geometry);
    if (!window_.state.isEmpty() && restoreState(window_.state, kWindowStateVersion)) {
        // The report always starts collapsed to its tab.
        if (docks_->IsPaneCollapsed(ids::kPaneReport)) docks_->Pane(ids::kPaneReport)->hide();
    }
    if (!placed) {
        QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
        setGeometry(FirstWindowGeometry(where->availableGeometry(), kPreferredSize, kAssumedFrame));
    }
    if (!window_.splitter.isEmpty()) centre_->restoreState(window_.splitter);
    preview_->SetShowOutput(window_.previewOutput);
    if (!window_.folder.isEmpty() && QFileInfo(window_.folder).isDir()) BrowseFolder(window_.folder);
}

void CMainFrame::BrowseFolder(const QString& folder) {
    if (tree_->SelectPath(folder)) tree_->scrollToItem(tree_->currentItem());
}

QStringList CMainFrame::OpenPaths(const QStringList& paths) {
    QList<QUrl> urls;
    QStringList missing;
    QString browse;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (!info.exists()) {
            missing << path;
            continue;
        }
        const QString absolute = QDir::cleanPath(info.absoluteFilePath());
        if (browse.isEmpty()) browse = info.isDir() ? absolute : QFileInfo(absolute).path();
        urls << QUrl::fromLocalFile(absolute);
    }
    batchList_->AddToBatchList(CBatchList::ExpandDroppedPaths(urls));
    if (!browse.isEmpty()) BrowseFolder(browse);
    return missing;
}

void CMainFrame::SaveWindowState() {
    window_.folder = doc_->Folder();
    window_.splitter = centre_->saveState();
    window_.previewOutput = preview_->ShowsOutput();
    window_.geometry = saveGeometry();
    window_.state = saveState(kWindowStateVersion);
    UpdateSettingsFile(settingsWritePath_.toStdString(), [this](IniFile& ini) { WriteWindowRecord(ini, window_); });
}

// The frame the window manager adds is known only once shown: a window that
// still overhangs the work area is brought inside it.
void CMainFrame::showEvent(QShowEvent* event) {
    QMainWindow::showEvent(event);
    if (fittedToScreen_) return;
    fittedToScreen_ = true;
    QScreen* where = screen() ? screen() : QGuiApplication::primaryScreen();
    const QRect available = where->availableGeometry();
    if (available.contains(frameGeometry())) return;
    const QRect outer = frameGeometry(), inner = geometry();
    const QMargins frame(inner.left() - outer.left(), inner.top() - outer.top(), outer.right() - inner.right(),
                         outer.bottom() - inner.bottom());
    setGeometry(FirstWindowGeometry(available, size(), frame));
}

void CMainFrame::ClearBatchList() { batchList_->ClearRows(); }

void CMainFrame::Refresh() {
    tree_->Refresh();
    doc_->Refresh();
}

// Where no program shows text files, the help is shown by us.
void CMainFrame::ShowHelpWindow() { ShowHelpText(this, helpPath, kHelpWindowName); }

QString CMainFrame::AboutText() { return ProgramAboutText(); }

void CMainFrame::OnAbout() { MakeAboutDialog()->open(); }

QDialog* CMainFrame::MakeAboutDialog() { return MakeAboutBox(this); }

void CMainFrame::OnOnlineHelp() {
    if (QFileInfo(helpPath).isFile() && openUrl(QUrl::fromLocalFile(helpPath))) return;
    ShowHelpWindow();
}

void CMainFrame::closeEvent(QCloseEvent* event) {
    if (operation_) operation_->CollectSettings(settings_), operation_->CollectOptions(options_);
    SaveSettings(settingsWritePath_.toStdString(), settings_, &options_);
    SaveWindowState();
    // The run finishes the row in hand; the loader stops after its tile.
    runHost_->Stop();
    view_->StopThumbnailLoader();
    event->accept();
}



// "2 files not added: empty.jpg (empty file), notes.png (not an image)" in
// the status bar; the whole list in its tooltip when it is long.
void CMainFrame::ReportNotAdded(int count, const QStringList& notAdded) {
    const auto files = [](qsizetype n) { return n == 1 ? tr("1 file") : tr("%1 files").arg(n); };
    if (notAdded.isEmpty()) {
        statusBar()->setToolTip(QString());
        if (count > 0) idleText_ = tr("%1 added").arg(files(count));
        statusBar()->showMessage(idleText_);
        return;
    }
    constexpr int kShown = 4;
    QString names = notAdded.mid(0, kShown).join(", ");
    if (notAdded.size() > kShown) names += tr(" and %1 more").arg(notAdded.size() - kShown);
    idleText_ = (count > 0 ? tr("%1 added; ").arg(files(count)) : QString()) +
                tr("%1 not added: ").arg(files(notAdded.size())) + names;
    statusBar()->showMessage(idleText_);
    statusBar()->setToolTip(notAdded.join('\n'));
}

