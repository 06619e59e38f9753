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

constexpr char kCommandBarSection[] = "Command Bars";

QString ProgramPath() { return QCoreApplication::applicationFilePath(); }

// Beside the program in the build tree; installed, in share/tessaline, since
// a text file has no place among the programs in bin/.
QString HelpTextPath() {
    const QString beside = QString::fromStdString(CompanionFilePath(ProgramPath().toStdString(), "txt"));
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

void CMainFrame::CreateActions() {
    struct Spec {
        int id;
        const char* text;
        const char* prompt;
        const char* tooltip;
    };
    const Spec specs[] = {
        {ids::kCmdStart, "&Start\tCtrl+S", "Resize selected images", "Resize"},
        {ids::kCmdStop, "Stop", "Stop resizing.", "Stop"},
        {ids::kCmdExit, "E&xit", "Quit the application; prompts to save documents", "Exit"},
        {ids::kCmdToolbar, "&Toolbar", "Show or hide the toolbar", "Toggle ToolBar"},
        {ids::kCmdStatusBar, "&Status Bar", "Show or hide the status bar", "Toggle StatusBar"},
        {ids::kCmdBrowsePane, "Browse Pane", "Show or hide browse pane", "Browse"},
        {ids::kCmdBatchListPane, "Batch Process List Pane", "Show or hide batch process list pane.",
         "Batch process list"},
        {ids::kCmdOperationPane, "Operation Pane", "Show or hide operation pane.", "Operation"},
        {ids::kCmdRestoreLayout, "Restore Default Layout", "Restore default layout.", "Default"},
        {ids::kCmdOnlineHelp, "Online Help", "", "Online Help"},
        {ids::kCmdAbout, "&About...", "Display program information, version number and copyright", "About"},
        {ids::kCmdClearBatchList, "Clear Batch Process List", "Remove every row of the batch process list.",
         "Clear"},
        {ids::kCmdOpenOutputFolder, "Open Output Folder", "Open the folder the last run saved into.",
         "Open Output Folder"},
        {ids::kCmdCustomize, "&Customize...", "Show or hide toolbar buttons and change keyboard shortcuts.",
         "&Customize..."},
        {ids::kCmdRefresh, "&Refresh", "Read the folders and the images again.", "Refresh"},
        {ids::kCmdAddToBatchList, "&Add to Batch Process List", "Add the selected images to the batch process list.",
         "Add to batch"},
        {ids::kCmdRemoveFromBatchList, "&Remove from Batch Process List",
         "Remove the selected rows from the batch process list.", "Remove"},
        {ids::kCmdOptions, "&Options...", "Resampling, resize values, threads, metadata and other choices.",
         "Options"},
    };
    for (const Spec& s : specs) {
        QString text = tr(s.text);
        const int tab = text.indexOf('\t');
        if (tab >= 0) text = text.left(tab);
        auto* a = new QAction(text, this);
        a->setObjectName(ids::Name(s.id));
        a->setStatusTip(tr(s.prompt));
        a->setToolTip(tr(s.tooltip));
        a->setIcon(CommandIcon(s.id));
        commands_.insert(s.id, a);
    }
    commands_[ids::kCmdStart]->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
    commands_[ids::kCmdRefresh]->setShortcut(QKeySequence(Qt::Key_F5));
    commands_[ids::kCmdAddToBatchList]->setShortcut(QKeySequence(Qt::Key_Insert));
    commands_[ids::kCmdRemoveFromBatchList]->setShortcut(QKeySequence(Qt::Key_Delete));
    // Delete removes rows only where the rows are; elsewhere it edits text.
    commands_[ids::kCmdRemoveFromBatchList]->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    commands_[ids::kCmdAddToBatchList]->setShortcutContext(Qt::WidgetWithChildrenShortcut);
    // "Reset all" in Customize goes back to these.
    for (QAction* a : commands_) a->setProperty(kDefaultShortcutProperty, a->shortcut());
    // Stop is there to press during a run only.
    commands_[ids::kCmdStop]->setEnabled(false);
    for (int id : {ids::kCmdBrowsePane, ids::kCmdBatchListPane, ids::kCmdOperationPane})
        commands_[id]->setCheckable(true);
    commands_[ids::kCmdToolbar]->setCheckable(true);
    commands_[ids::kCmdToolbar]->setChecked(true);
    commands_[ids::kCmdStatusBar]->setCheckable(true);
    commands_[ids::kCmdStatusBar]->setChecked(true);

    connect(commands_[ids::kCmdStart], &QAction::triggered, this, &CMainFrame::OnStart);
    connect(commands_[ids::kCmdStop], &QAction::triggered, this, &CMainFrame::OnStop);
    connect(commands_[ids::kCmdExit], &QAction::triggered, this, &QWidget::close);
    connect(commands_[ids::kCmdToolbar], &QAction::toggled, this, [this](bool on) { toolbar_->setVisible(on); });
    connect(commands_[ids::kCmdStatusBar], &QAction::toggled, this, [this](bool on) { statusBar()->setVisible(on); });
    connect(commands_[ids::kCmdBrowsePane], &QAction::triggered, this, [this] { TogglePane(ids::kPaneBrowse); });
    connect(commands_[ids::kCmdBatchListPane], &QAction::triggered, this, [this] { TogglePane(ids::kPaneBatchList); });
    connect(commands_[ids::kCmdOperationPane], &QAction::triggered, this, [this] { TogglePane(ids::kPaneOperation); });
    connect(commands_[ids::kCmdRestoreLayout], &QAction::triggered, this, &CMainFrame::RestoreDefaultLayout);
    connect(commands_[ids::kCmdOnlineHelp], &QAction::triggered, this, &CMainFrame::OnOnlineHelp);
    connect(commands_[ids::kCmdAbout], &QAction::triggered, this, &CMainFrame::OnAbout);
    connect(commands_[ids::kCmdClearBatchList], &QAction::triggered, this, &CMainFrame::ClearBatchList);
    connect(commands_[ids::kCmdOpenOutputFolder], &QAction::triggered, this, &CMainFrame::OnOpenOutputFolder);
    commands_[ids::kCmdOpenOutputFolder]->setEnabled(false);
    connect(commands_[ids::kCmdCustomize], &QAction::triggered, this, &CMainFrame::OnCustomize);
    connect(commands_[ids::kCmdRefresh], &QAction::triggered, this, &CMainFrame::Refresh);
    connect(commands_[ids::kCmdOptions], &QAction::triggered, this, &CMainFrame::OnOptions);
    connect(commands_[ids::kCmdAddToBatchList], &QAction::triggered, this,
            [this] { batchList_->AddToBatchList(view_->SelectedPaths()); });
    connect(commands_[ids::kCmdRemoveFromBatchList], &QAction::triggered, this,
            [this] { batchList_->RemoveSelectedRows(); });
}

void CMainFrame::CreateMenus() {
    QMenuBar* bar = menuBar();
    bar->setObjectName("Menu Bar");
    QMenu* file = bar->addMenu(tr("&File"));
    file->addAction(commands_[ids::kCmdStart]);
    file->addAction(commands_[ids::kCmdStop]);
    file->addAction(commands_[ids::kCmdOpenOutputFolder]);
    file->addSeparator();
    file->addAction(commands_[ids::kCmdAddToBatchList]);
    file->addAction(commands_[ids::kCmdRemoveFromBatchList]);
    file->addAction(commands_[ids::kCmdClearBatchList]);
    file->addSeparator();
    file->addAction(commands_[ids::kCmdExit]);
    // The menu shows the shortcut the action carries.
    commands_[ids::kCmdStart]->setShortcutVisibleInContextMenu(true);
    QMenu* view = bar->addMenu(tr("&View"));
    view->addAction(commands_[ids::kCmdToolbar]);
    view->addAction(commands_[ids::kCmdStatusBar]);
    view->addSeparator();
    view->addAction(commands_[ids::kCmdBrowsePane]);
    view->addAction(commands_[ids::kCmdBatchListPane]);
    view->addAction(commands_[ids::kCmdOperationPane]);
    view->addAction(commands_[ids::kCmdRestoreLayout]);
    view->addSeparator();
    view->addAction(commands_[ids::kCmdRefresh]);
    view->addSeparator();
    view->addAction(commands_[ids::kCmdOptions]);
    view->addAction(commands_[ids::kCmdCustomize]);
    QMenu* help = bar->addMenu(tr("&Help"));
    help->addAction(commands_[ids::kCmdOnlineHelp]);
    help->addSeparator();
    help->addAction(commands_[ids::kCmdAbout]);
    bar->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(bar, &QWidget::customContextMenuRequested, this, [this, bar](const QPoint& p) {
        QMenu menu(this);
        menu.addAction(commands_[ids::kCmdCustomize]);
        menu.exec(bar->mapToGlobal(p));
    });
}

void CMainFrame::CreateToolBar() {
    toolbar_ = addToolBar(tr("Standard"));
    toolbar_->setObjectName("Standard");
    toolbar_->setIconSize(QSize(16, 16));
    const int buttons[] = {ids::kCmdStart, ids::kCmdStop, 0, ids::kCmdBrowsePane, ids::kCmdBatchListPane,
                           ids::kCmdOperationPane, ids::kCmdRestoreLayout, 0, ids::kCmdAbout};
    for (int id : buttons) {
        if (id) toolbar_->addAction(commands_[id]);
        else toolbar_->addSeparator();
    }
    toolbar_->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(toolbar_, &QWidget::customContextMenuRequested, this, [this](const QPoint& p) {
        QMenu menu(this);
        menu.addAction(commands_[ids::kCmdCustomize]);
        menu.exec(toolbar_->mapToGlobal(p));
    });
}

void CMainFrame::CreateStatusBar() {
    QStatusBar* bar = statusBar();
    idleText_ = tr("Ready");
    bar->showMessage(idleText_);
    // The idle text comes back after every prompt: "Ready", or the last
    // run's summary.
    connect(bar, &QStatusBar::messageChanged, this, [this, bar](const QString& text) {
        if (text.isEmpty()) bar->showMessage(idleText_);
    });
    progress_ = new QProgressBar(bar);
    progress_->setObjectName(ids::Name(ids::kStringBatchProgress));
    progress_->setToolTip(tr("Batch Progress"));
    progress_->setFixedWidth(150);
    // "n / N" once a run has set the range.
    progress_->setFormat(tr("%v / %m"));
    progress_->setAlignment(Qt::AlignCenter);
    progress_->setTextVisible(false);
    progress_->setValue(0);
    bar->addPermanentWidget(progress_);
    const char* names[3] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        indicators_[i] = new QLabel(names[i], bar);
        indicators_[i]->setObjectName(names[i]);
        indicators_[i]->setEnabled(false);
        bar->addPermanentWidget(indicators_[i]);
    }
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

QWidget* CMainFrame::MakePresetBar() {
    auto* bar = new QWidget;
    bar->setObjectName("preset-bar");
    auto* row = new QHBoxLayout(bar);
    row->setContentsMargins(4, 2, 4, 2);
    row->addWidget(new QLabel(tr("Presets:"), bar));
    presets_ = new QComboBox(bar);
    presets_->setObjectName("presets");
    presets_->setMinimumContentsLength(20);
    presets_->setPlaceholderText(tr("Choose a preset"));
    presets_->setAccessibleName(tr("Presets"));
    presets_->setToolTip(tr("Choosing a preset puts its settings into the Operation pane and the Options"));
    row->addWidget(presets_);
    auto* saveAs = new QPushButton(tr("Save as..."), bar);
    saveAs->setObjectName("preset-save-as");
    saveAs->setToolTip(tr("Save the Operation pane and the Options as a preset"));
    row->addWidget(saveAs);
    deletePreset_ = new QPushButton(tr("Delete"), bar);
    deletePreset_->setObjectName("preset-delete");
    deletePreset_->setToolTip(tr("Delete the chosen preset (shipped ones stay)"));
    row->addWidget(deletePreset_);
    row->addStretch(1);
    FillPresetList();
    connect(presets_, &QComboBox::activated, this, [this](int index) { ApplyPresetNamed(presets_->itemText(index)); });
    connect(presets_, &QComboBox::currentIndexChanged, this, [this](int index) {
        deletePreset_->setEnabled(index >= 0 && !IsShippedPreset(presets_->itemText(index).toStdString()));
    });
    connect(saveAs, &QPushButton::clicked, this, [this] {
        QString name;
        if (presetNameAsker) {
            name = presetNameAsker();
        } else {
            std::unique_ptr<QDialog> ask(MakePresetNameDialog());
            if (ask->exec() == QDialog::Accepted) name = ask->findChild<QLineEdit*>("preset-name")->text();
        }
        if (!name.isEmpty()) SavePresetAs(name);
    });
    connect(deletePreset_, &QPushButton::clicked, this, [this] {
        if (presets_->currentIndex() >= 0) DeletePreset(presets_->currentText());
    });
    deletePreset_->setEnabled(false);
    return bar;
}

void CMainFrame::FillPresetList() {
    if (!presets_) return;
    const QString current = presets_->currentText();
    IniFile ini;
    ini.Load(settingsReadPath_.toStdString());
    const QSignalBlocker quiet(presets_);
    presets_->clear();
    for (const std::string& name : PresetNames(ini)) presets_->addItem(QString::fromStdString(name));
    presets_->setCurrentIndex(presets_->findText(current));
    deletePreset_->setEnabled(presets_->currentIndex() >= 0 && !IsShippedPreset(current.toStdString()));
}

void CMainFrame::ApplyPresetNamed(const QString& name) {
    if (runHost_->IsRunning()) return;
    IniFile ini;
    ini.Load(settingsReadPath_.toStdString());
    if (operation_) operation_->CollectSettings(settings_);
    std::string error;
    if (!ApplyPreset(ini, name.toStdString(), settings_, options_, error)) {
        statusBar()->showMessage(QString::fromStdString(error));
        return;
    }
    if (operation_) operation_->ShowSettings();
    preview_->SettingsChanged();
    statusBar()->showMessage(tr("Preset \"%1\" applied").arg(name));
}

QDialog* CMainFrame::MakePresetNameDialog() {
    auto* ask = new QDialog(this);
    ask->setObjectName("save-preset");
    ask->setWindowTitle(tr("Save Preset"));
    auto* layout = new QVBoxLayout(ask);
    auto* label = new QLabel(tr("&Name of the preset:"), ask);
    auto* name = new QLineEdit(presets_ ? presets_->currentText() : QString(), ask);
    name->setObjectName("preset-name");
    name->setAccessibleName(tr("Name of the preset"));
    name->setAccessibleDescription(tr("The current settings are saved under this name; "
                                      "a preset of the same name is replaced"));
    name->selectAll();
    label->setBuddy(name);
    layout->addWidget(label);
    layout->addWidget(name);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, ask);
    QPushButton* ok = buttons->button(QDialogButtonBox::Ok);
    ok->setAccessibleDescription(tr("Save the current settings under this name"));
    buttons->button(QDialogButtonBox::Cancel)->setAccessibleDescription(tr("Close without saving a preset"));
    ok->setEnabled(!name->text().trimmed().isEmpty());
    connect(name, &QLineEdit::textChanged, ok, [ok](const QString& text) { ok->setEnabled(!text.trimmed().isEmpty()); });
    connect(buttons, &QDialogButtonBox::accepted, ask, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, ask, &QDialog::reject);
    layout->addWidget(buttons);
    FitTitle(ask);
    return ask;
}

bool CMainFrame::SavePresetAs(const QString& name) {
    const std::string text = name.toStdString();
    std::string error = PresetNameProblem(text);
    OperationSettings s = settings_;
    if (operation_) operation_->CollectSettings(s);
    if (error.empty())
        UpdateSettingsFile(settingsWritePath_.toStdString(), [&](IniFile& ini) { WritePreset(ini, text, s, options_); }, &error);
    if (!error.empty()) {
        statusBar()->showMessage(tr("Preset not saved: %1").arg(QString::fromStdString(error)));
        return false;
    }
    FillPresetList();
    presets_->setCurrentIndex(presets_->findText(name));
    statusBar()->showMessage(tr("Preset \"%1\" saved").arg(name));
    return true;
}

bool CMainFrame::DeletePreset(const QString& name) {
    std::string error, changeError;
    bool removed = false;
    UpdateSettingsFile(
        settingsWritePath_.toStdString(),
        [&](IniFile& ini) { removed = RemovePreset(ini, name.toStdString(), changeError); }, &error);
    if (!removed) {
        statusBar()->showMessage(tr("Preset not deleted: %1").arg(QString::fromStdString(error.empty() ? changeError : error)));
        return false;
    }
    FillPresetList();
    return true;
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

void CMainFrame::OnStart() {
    if (const QString problem = CheckBeforeStart(); !problem.isEmpty()) {
        auto* box = new QMessageBox(QMessageBox::Warning, tr("Cannot Start"), problem, QMessageBox::Ok, this);
        box->setObjectName("start-refused");
        box->setAttribute(Qt::WA_DeleteOnClose);
        FitTitle(box);
        box->open();
        return;
    }
    const int left = batchList_->CountRows(RowState::kWaiting);
    if (!runHost_->IsRunning() && lastRunStopped_ && left > 0 && left < batchList_->topLevelItemCount()) {
        auto* box = new QMessageBox(QMessageBox::Question, tr("Start"),
                                    tr("The last run was stopped before %1 rows.").arg(left), QMessageBox::NoButton, this);
        box->setObjectName("continue-or-again");
        QAbstractButton* continueButton =
            box->addButton(tr("Continue with the %1 rows not done").arg(left), QMessageBox::AcceptRole);
        QAbstractButton* againButton = box->addButton(tr("Run all again"), QMessageBox::DestructiveRole);
        box->addButton(QMessageBox::Cancel);
        box->setDefaultButton(qobject_cast<QPushButton*>(continueButton));
        box->setAttribute(Qt::WA_DeleteOnClose);
        connect(box, &QMessageBox::buttonClicked, this, [this, continueButton, againButton](QAbstractButton* b) {
            if (b == continueButton || b == againButton) StartRun(b == continueButton);
        });
        FitTitle(box);
        box->open();
        return;
    }
    StartRun(false);
}

void CMainFrame::StartRun(bool continueStopped) {
    if (runHost_->IsRunning()) continueStopped = false;
    // Ends a run in progress first, so its rows' states are final.
    runHost_->Stop();
    std::vector<int> rows;
    if (continueStopped)
        for (int row = 0; row < batchList_->topLevelItemCount(); ++row)
            if (batchList_->StateOf(row) == RowState::kWaiting) rows.push_back(row);
    runRows_ = std::move(rows);
    docks_->ShowPane(ids::kPaneReport);
    runHost_->Start();
}

void CMainFrame::ShowPlan() {
    OperationSettings s = settings_;
    if (operation_) operation_->CollectSettings(s);
    RunPlanner planner(s, options_);
    const int count = batchList_->topLevelItemCount();
    if (options_.onExists == OnExists::kReplace)
        for (int row = 0; row < count; ++row) planner.AddInput(batchList_->RowPath(row).toStdString());
    for (int row = 0; row < count; ++row) {
        const PlannedRow plan = planner.Plan(batchList_->RowPath(row).toStdString(), {row, {}});
        QString detail = QString::fromStdString(plan.state == RowState::kFailed ? plan.reason : plan.output);
        if (plan.state == RowState::kSkipped) detail = tr("exists");
        batchList_->SetPlannedState(row, plan.state, detail,
                                    plan.state == RowState::kSaved
                                        ? tr("%1 x %2 %3").arg(plan.width).arg(plan.height).arg(plan.format)
                                        : QString(),
                                    QString::fromStdString([&] {
                                        std::string text;
                                        for (const std::string& w : plan.warnings) text += (text.empty() ? "" : "\n") + w;
                                        return text;
                                    }()));
    }
}

// What would make every row fail, said once before the run instead: a
// prefix no file name can hold, an output folder that cannot be made or
// written. Missing output folders are made here.
QString CMainFrame::CheckBeforeStart() {
    OperationSettings s = settings_;
    if (operation_) operation_->CollectSettings(s);
    const QString prefix = QString::fromStdString(FieldText(s.namePrefix));
    if (const QString problem = PrefixValidator::Problem(prefix); s.renameEnabled && !problem.isEmpty())
        return tr("The prefix \"%1\" cannot begin the names: %2.").arg(prefix, problem);
    QSet<QString> folders;
    for (int row = 0; row < batchList_->topLevelItemCount(); ++row) {
        const std::string folder = OutputFolder(s, batchList_->RowPath(row).toStdString());
        folders.insert(QString::fromStdString(folder.empty() ? "." : folder));
    }
    for (const QString& folder : folders)
        if (const std::string problem =
                RenamedNamesProblem(s, folder.toStdString(), batchList_->topLevelItemCount());
            !problem.empty())
            return tr("The prefix \"%1\" is too long: %2.").arg(prefix, QString::fromStdString(problem));
    for (const QString& folder : folders)
        if (const QString problem = PrepareOutputFolder(folder); !problem.isEmpty())
            return tr("Nothing can be saved into the output folder.\n\n%1").arg(problem);
    return {};
}

// The report stays in view, so the summary it ends with can be read.
void CMainFrame::OnStop() { runHost_->Stop(); }

void CMainFrame::OnOpenOutputFolder() {
    if (lastOutputFolder_.isEmpty()) return;
    if (!openUrl(QUrl::fromLocalFile(lastOutputFolder_))) {
        auto* box = new QMessageBox(QMessageBox::Information, tr("Open Output Folder"),
                                    tr("No program is set up to open folders. The outputs are in:\n%1")
                                        .arg(lastOutputFolder_),
                                    QMessageBox::Ok, this);
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->setTextInteractionFlags(Qt::TextSelectableByMouse);
        FitTitle(box);
        box->open();
    }
}

void CMainFrame::WaitForRunDone() { runHost_->WaitUntilDone(); }

void CMainFrame::ClearBatchList() { batchList_->ClearRows(); }

void CMainFrame::Refresh() {
    tree_->Refresh();
    doc_->Refresh();
}

void CMainFrame::OnOnlineHelp() {
    if (QFileInfo(helpPath).isFile() && openUrl(QUrl::fromLocalFile(helpPath))) return;
    ShowHelpWindow();
}

// Where no program shows text files, the help is shown by us.
void CMainFrame::ShowHelpWindow() {
    if (auto* open = findChild<QDialog*>(kHelpWindowName)) {
        open->raise();
        open->activateWindow();
        return;
    }
    QFile file(helpPath);
    const QString text = file.open(QIODevice::ReadOnly)
                             ? QString::fromUtf8(file.readAll())
                             : tr("The help text %1 cannot be read: %2").arg(helpPath, file.errorString());
    auto* window = new QDialog(this);
    window->setObjectName(kHelpWindowName);
    window->setAttribute(Qt::WA_DeleteOnClose);
    window->setWindowTitle(tr("Quorvel Image Resizer Help"));
    auto* layout = new QVBoxLayout(window);
    auto* view = new QPlainTextEdit(text, window);
    view->setReadOnly(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    layout->addWidget(view);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Close, window);
    connect(buttons, &QDialogButtonBox::rejected, window, &QDialog::close);
    layout->addWidget(buttons);
    // Wide enough for the text's 80 columns, never beyond the screen.
    const QFontMetrics metrics(view->font());
    const QRect available = (screen() ? screen() : QGuiApplication::primaryScreen())->availableGeometry();
    window->resize(std::min(metrics.horizontalAdvance(QString(82, 'm')) + 60, available.width() - 40),
                   std::min(metrics.lineSpacing() * 30 + 80, available.height() - 60));
    FitTitle(window);
    window->show();
}

QString CMainFrame::AboutText() {
    QString version = QStringLiteral(TESSALINE_VERSION);
    if (const QString commit = QStringLiteral(TESSALINE_COMMIT); !commit.isEmpty())
        version += tr(" (build %1)").arg(commit);
    QStringList lines{tr("Quorvel Image Resizer %1").arg(version), tr("Licence: %1").arg(TESSALINE_LICENCE), QString(),
                      tr("Qt %1 (built with %2)").arg(qVersion(), QT_VERSION_STR)};
    for (const auto& [name, number] : ImageLibraryVersions())
        lines << QString::fromStdString(name) + ' ' + QString::fromStdString(number);
    return lines.join('\n');
}

// Name, version, licence and the libraries in use, with a button that
// copies it all for a bug report.
void CMainFrame::OnAbout() { MakeAboutDialog()->open(); }

QDialog* CMainFrame::MakeAboutDialog() {
    auto* box = new QDialog(this);
    box->setObjectName(ids::Name(ids::kDialogAbout));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowTitle(tr("About Quorvel Image Resizer"));
    auto* layout = new QGridLayout(box);
    auto* icon = new QLabel(box);
    icon->setPixmap(ProgramIcon().pixmap(32, 32));
    layout->addWidget(icon, 0, 0, Qt::AlignTop);
    const QString text = AboutText();
    auto* facts = new QLabel(text, box);
    facts->setObjectName("about-text");
    facts->setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
    facts->setAccessibleName(tr("Program information"));
    facts->setAccessibleDescription(tr("Version, licence and the libraries in use"));
    layout->addWidget(facts, 0, 1);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok, box);
    buttons->button(QDialogButtonBox::Ok)->setAccessibleDescription(tr("Close this window"));
    QPushButton* copy = buttons->addButton(tr("Copy"), QDialogButtonBox::ActionRole);
    copy->setObjectName("about-copy");
    copy->setAccessibleDescription(tr("Copy this text to the clipboard, for a bug report"));
    connect(copy, &QPushButton::clicked, box, [text] { QGuiApplication::clipboard()->setText(text); });
    connect(buttons, &QDialogButtonBox::accepted, box, &QDialog::accept);
    layout->addWidget(buttons, 1, 0, 1, 2);
    FitTitle(box);
    return box;
}

void CMainFrame::OnCustomize() {
    CustomizeDialog dialog(toolbar_, commands_.values(), this);
    if (dialog.exec() == QDialog::Accepted) SaveCommandBarSettings();
}

void CMainFrame::LoadCommandBarSettings() {
    IniFile ini;
    if (!ini.Load(settingsReadPath_.toStdString())) return;
    ApplyCommandBarSettings(ini, kCommandBarSection, toolbar_, commands_.values());
}

void CMainFrame::SaveCommandBarSettings() {
    std::string error;
    const bool saved = UpdateSettingsFile(
        settingsWritePath_.toStdString(),
        [this](IniFile& ini) { StoreCommandBarSettings(ini, kCommandBarSection, toolbar_, commands_.values()); },
        &error);
    if (!saved)
        statusBar()->showMessage(tr("Toolbar and shortcuts not saved to %1: %2")
                                     .arg(settingsWritePath_, QString::fromStdString(error)));
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

bool CMainFrame::event(QEvent* e) {
    if (e->type() == QEvent::KeyPress || e->type() == QEvent::KeyRelease) UpdateKeyIndicators();
    return QMainWindow::event(e);
}

// The platform reports no lock-key states through Qt; the indicators stay
// greyed, as a keyboard with the locks off shows them.
void CMainFrame::UpdateKeyIndicators() {}

// The run's host calls, on the GUI thread (RunHost brings them here).
size_t CMainFrame::RowCount() {
    return runRows_.empty() ? size_t(batchList_->topLevelItemCount()) : runRows_.size();
}

std::string CMainFrame::RowPath(size_t row) { return batchList_->RowPath(ListRow(row)).toStdString(); }

// Series numbers count by the whole list, also when a run continues.
RowPlacement CMainFrame::RowPlacementOf(size_t row) { return {ListRow(row), {}}; }

void CMainFrame::SetProgressRange(int lower, int upper) {
    // The upper bound travels as a 16-bit number.
    progress_->setRange(lower, std::min(upper, 65535));
    progress_->setTextVisible(true);
    ShowRunProgress();
}

void CMainFrame::SetProgressPosition(int position) {
    progress_->setValue(position);
    ShowRunProgress();
}

void CMainFrame::StepProgress() {
    progress_->setValue(std::min(progress_->value() + 1, progress_->maximum()));
    ShowRunProgress();
}

// "Running: n / N" while a run lasts, the idle text between prompts.
void CMainFrame::ShowRunProgress() {
    if (!runHasRows_) return;
    idleText_ = tr("Running: %1 / %2").arg(progress_->value() - progress_->minimum()).arg(progress_->maximum() - progress_->minimum());
    statusBar()->showMessage(idleText_);
}

void CMainFrame::EmptyReport() {
    report_->clear();
    runHasRows_ = true;
}

// Appends at the end and gives the user's selection back.
void CMainFrame::AppendReportText(const std::string& text) {
    QTextCursor keep = report_->textCursor();
    QTextCursor end(report_->document());
    end.movePosition(QTextCursor::End);
    end.insertText(QString::fromStdString(text));
    report_->setTextCursor(keep);
    if (!keep.hasSelection()) {
        report_->moveCursor(QTextCursor::End);
        report_->ensureCursorVisible();
    }
}

void CMainFrame::SetBatchControlsEnabled(bool enable) {
    batchList_->setEnabled(enable);
    if (operation_) operation_->SetBatchControlsEnabled(enable);
    commands_[ids::kCmdClearBatchList]->setEnabled(enable);
    commands_[ids::kCmdRemoveFromBatchList]->setEnabled(enable);
    commands_[ids::kCmdStop]->setEnabled(!enable);
    if (!enable) {
        // Called once per Start, after any earlier run has ended.
        if (runRows_.empty()) batchList_->MarkAllWaiting();
        for (int row : runRows_) batchList_->SetRowState(row, RowState::kWaiting, {});
        runHasRows_ = false;
        lastOutputFolder_.clear();
        commands_[ids::kCmdOpenOutputFolder]->setEnabled(false);
    } else if (runHasRows_) {
        FinishRunFeedback();
    }
}

void CMainFrame::SetRowState(size_t row, RowState state, const std::string& detail) {
    const QString text = QString::fromStdString(detail);
    batchList_->SetRowState(ListRow(row), state, text);
    if (state == RowState::kSaved || state == RowState::kSavedWithWarnings)
        lastOutputFolder_ = QFileInfo(text).absolutePath();
}

void CMainFrame::RowReported(size_t row, const RowReport& report) {
    if (report.warnings.empty()) return;
    QStringList warnings;
    for (const std::string& text : report.warnings) warnings << QString::fromStdString(text);
    batchList_->SetRowWarnings(ListRow(row), warnings);
}

// The run's last line, added here rather than by the run so the command
// line's output stays two lines per row; the status bar shows it too.
void CMainFrame::FinishRunFeedback() {
    runHasRows_ = false;
    const int warned = batchList_->CountRows(RowState::kSavedWithWarnings);
    const int saved = batchList_->CountRows(RowState::kSaved) + warned;
    const int failed = batchList_->CountRows(RowState::kFailed);
    const int left = batchList_->CountRows(RowState::kWaiting);
    batchList_->MarkWaitingNotStarted();
    const int skipped = batchList_->CountRows(RowState::kSkipped);
    lastRunStopped_ = left > 0;
    // Warnings and skips are named only when there are some: the described
    // line stays.
    QString savedText = warned ? tr("%1 saved (%2 with warnings)").arg(saved).arg(warned)
                               : tr("%1 saved").arg(saved);
    if (skipped) savedText += tr(", %1 skipped").arg(skipped);
    runSummary_ = left > 0 ? tr("Stopped: %1, %2 failed, %3 not started").arg(savedText).arg(failed).arg(left)
                           : tr("Done: %1, %2 failed").arg(savedText).arg(failed);
    AppendReportText(runSummary_.toStdString() + "\n");
    idleText_ = runSummary_;
    statusBar()->showMessage(idleText_);
    commands_[ids::kCmdOpenOutputFolder]->setEnabled(!lastOutputFolder_.isEmpty());
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

void CMainFrame::StopThumbnailLoader() { view_->StopThumbnailLoader(); }

// The pane's values over the window's record; without the pane the record
// stays as loaded.
void CMainFrame::CollectSettings(OperationSettings& settings, RunOptions& options) {
    if (operation_) operation_->CollectSettings(settings_), operation_->CollectOptions(options_);
    settings = settings_;
    options = options_;
}
