// The window's side of a batch run: Start and Stop, the plan, the checks
// before a start, and the answers to the run's host calls.
#include "CMainFrame.h"

#include "CBatchList.h"
#include "CDialogOperation2.h"
#include "CDockManager.h"
#include "CTessalineView.h"
#include "DialogFit.h"
#include "Ids.h"
#include "InputChecks.h"
#include "OutputNaming.h"
#include "RowPlan.h"

#include <QAction>
#include <QFileInfo>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSet>
#include <QStatusBar>
#include <QTextEdit>
#include <QUrl>

#include <algorithm>

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

void CMainFrame::StopThumbnailLoader() { view_->StopThumbnailLoader(); }

// The pane's values over the window's record; without the pane the record
// stays as loaded.
void CMainFrame::CollectSettings(OperationSettings& settings, RunOptions& options) {
    if (operation_) operation_->CollectSettings(settings_), operation_->CollectOptions(options_);
    settings = settings_;
    options = options_;
}
