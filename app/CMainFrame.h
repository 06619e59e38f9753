// The main window: menu, toolbar, status bar with the batch progress bar, the
// browse list in the centre and four docking panes; owns the settings record
// and the batch run.
#pragma once

#include "BatchHost.h"
#include "BatchRun.h"
#include "RunHost.h"
#include "OperationSettings.h"
#include "StampFont.h"
#include "WindowState.h"

#include <QMainWindow>
#include <QMap>

#include <memory>
#include <vector>

class CBatchList;
class CDialogOperation2;
class CDockManager;
class CFolderTree;
class CPreviewPane;
struct PreviewInputs;
class CTessalineDoc;
class CTessalineView;
class QAction;
class QLabel;
class QComboBox;
class QProgressBar;
class QPushButton;
class QScrollArea;
class QSplitter;
class QUrl;
class QTextEdit;
class QToolBar;

class CMainFrame : public QMainWindow, private IBatchHost {
    Q_OBJECT
public:
    // settingsPath empty: the settings file found from the program's path.
    explicit CMainFrame(const QString& settingsPath = QString(), QWidget* parent = nullptr);
    ~CMainFrame() override;

    CDockManager* Docks() const { return docks_; }
    CTessalineDoc* Document() const { return doc_; }
    CTessalineView* View() const { return view_; }
    CPreviewPane* Preview() const { return preview_; }
    CFolderTree* FolderTree() const { return tree_; }
    CBatchList* BatchList() const { return batchList_; }
    CDialogOperation2* OperationPane() const { return operation_; }
    QTextEdit* Report() const { return report_; }
    QProgressBar* ProgressBar() const { return progress_; }
    QToolBar* StandardToolBar() const { return toolbar_; }
    QAction* Command(int id) const { return commands_.value(id); }
    BatchRun& Run() { return runHost_->Run(); }
    OperationSettings& Settings() { return settings_; }
    RunOptions& Options() { return options_; }
    const QString& SettingsWritePath() const { return settingsWritePath_; }

    // After a run that was stopped, asks whether to continue with the rows
    // not done or to run all again.
    void OnStart();
    // Starts a run over every row, or over the rows a stopped run left.
    void StartRun(bool continueStopped);
    // "Show plan": the Status column shows each row's planned output.
    void ShowPlan();
    // The Presets list above the Operation pane: choosing one puts its
    // settings into the pane and the options; Save as and Delete change the
    // settings file at once.
    void ApplyPresetNamed(const QString& name);
    bool SavePresetAs(const QString& name);
    bool DeletePreset(const QString& name);
    void FillPresetList();
    QComboBox* PresetList() const { return presets_; }
    // Asks for the name Save as uses; tests replace it.
    std::function<QString()> presetNameAsker;
    // The dialog Save as asks with: the name in a line edit "preset-name",
    // the current preset's to start with.
    QDialog* MakePresetNameDialog();
    // Why Start would be refused, empty when it may go ahead.
    QString CheckBeforeStart();
    void OnStop();
    void TogglePane(int id);
    void RestoreDefaultLayout();
    // Panes at their default places and sizes; the report keeps its state.
    void ApplyDefaultLayout();
    // Opens the help text with the desktop's program, or in a window of ours.
    void OnOnlineHelp();
    void ShowHelpWindow();
    static constexpr char kHelpWindowName[] = "help-window";
    void OnCustomize();
    // View > Refresh: the folder tree and the thumbnails read again.
    void Refresh();
    // "Options...": the choices beside the record.
    void OnOptions();
    PreviewInputs PreviewInputsFor(const QString& path);
    void OnAbout();
    // The About box, deleted when closed.
    QDialog* MakeAboutDialog();
    // Name, build, licence, Qt and the image libraries, one a line.
    static QString AboutText();
    void ClearBatchList();
    // Opens the folder of the last run's last saved output.
    void OnOpenOutputFolder();
    // The last run's summary ("Done: ..." or "Stopped: ..."), empty before one.
    const QString& RunSummary() const { return runSummary_; }
    // Opens files and folders with the desktop's programs; tests replace it.
    std::function<bool(const QUrl&)> openUrl;
    // The help text beside the program; tests replace it.
    QString helpPath;
    // Selects the folder in the Browse pane, which lists its images.
    void BrowseFolder(const QString& folder);
    // The files (a folder: its images) of the command line into the batch
    // list, the first one's folder browsed. Returns the paths that are
    // neither a file nor a folder.
    QStringList OpenPaths(const QStringList& paths);
    // Waits for the run to finish its rows (tests, and the command line).
    void WaitForRunDone();

    // The run's host calls, which RunHost brings to the GUI thread.
    size_t RowCount() override;
    std::string RowPath(size_t row) override;
    RowPlacement RowPlacementOf(size_t row) override;
    void SetProgressRange(int lower, int upper) override;
    void SetProgressPosition(int position) override;
    void StepProgress() override;
    void EmptyReport() override;
    void AppendReportText(const std::string& text) override;
    void SetBatchControlsEnabled(bool enable) override;
    void SetRowState(size_t row, RowState state, const std::string& detail) override;
    void RowReported(size_t row, const RowReport& report) override;
    void StopThumbnailLoader() override;
    void CollectSettings(OperationSettings& settings, RunOptions& options) override;

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void CreateActions();
    void CreateMenus();
    void CreateToolBar();
    void CreateStatusBar();
    void CreateCentre();
    void CreatePanes();
    void AttachPane(int id);
    QScrollArea* WrapInScrollArea(QWidget* pane);
    QWidget* MakePresetBar();
    int OperationPaneHeight() const;
    void KeepBottomPaneHeights(int listHeight, int operationHeight);
    void LoadWindowState();
    void SaveWindowState();
    void LoadCommandBarSettings();
    void SaveCommandBarSettings();
    void ShowRunProgress();
    void ChainTabOrder();
    void KeepFocusInView(QWidget* now);
    void ReportNotAdded(int count, const QStringList& notAdded);
    void FinishRunFeedback();

    // Bumped when the panes change, so an old layout is not restored.
    static constexpr int kWindowStateVersion = 2;
    static constexpr QSize kDefaultPaneSize{200, 120};
    static constexpr QSize kPreferredSize{1200, 820};
    // A guess at the window manager's frame until the window is shown.
    static constexpr QMargins kAssumedFrame{4, 30, 4, 4};

    QString settingsReadPath_;
    QString settingsWritePath_;
    OperationSettings settings_;
    RunOptions options_;
    StampFont stampFont_;
    std::unique_ptr<RunHost> runHost_;

    CDockManager* docks_ = nullptr;
    CTessalineDoc* doc_ = nullptr;
    CTessalineView* view_ = nullptr;
    QSplitter* centre_ = nullptr;
    CPreviewPane* preview_ = nullptr;
    CFolderTree* tree_ = nullptr;
    CBatchList* batchList_ = nullptr;
    CDialogOperation2* operation_ = nullptr;
    QTextEdit* report_ = nullptr;
    QProgressBar* progress_ = nullptr;
    QToolBar* toolbar_ = nullptr;
    QComboBox* presets_ = nullptr;
    QPushButton* deletePreset_ = nullptr;
    QLabel* indicators_[3] = {};
    QMap<int, QAction*> commands_;
    WindowRecord window_;
    bool fittedToScreen_ = false;
    std::pair<int, int> heightsBeforeReport_; // batch list, operation pane
    bool runHasRows_ = false;
    bool lastRunStopped_ = false;
    // The list rows a run works on, when it continues a stopped one; empty
    // for every row. Read on the GUI thread only.
    std::vector<int> runRows_;
    int ListRow(size_t row) const { return runRows_.empty() ? int(row) : runRows_[row]; }
    QString runSummary_;
    QString idleText_;
    QString lastOutputFolder_;
};
