// The window's commands: actions, menus, toolbar, status bar, and the
// Customize dialog that changes them.
#include "CMainFrame.h"

#include "CBatchList.h"
#include "CTessalineView.h"
#include "CustomizeDialog.h"
#include "Icons.h"
#include "Ids.h"
#include "SettingsFile.h"

#include <QAction>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QStatusBar>
#include <QToolBar>

namespace {

constexpr char kCommandBarSection[] = "Command Bars";

} // namespace

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
    // The platform reports no lock-key states through Qt; the indicators stay
    // greyed, as a keyboard with the locks off shows them.
    const char* names[3] = {"CAP", "NUM", "SCRL"};
    for (int i = 0; i < 3; ++i) {
        indicators_[i] = new QLabel(names[i], bar);
        indicators_[i]->setObjectName(names[i]);
        indicators_[i]->setEnabled(false);
        bar->addPermanentWidget(indicators_[i]);
    }
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
