// The operation pane: output format and quality, output folder, renaming,
// resizing, rotation and stamp, shown from and collected into the settings.
#pragma once

#include "OperationSettings.h"
#include "RunOptions.h"
#include "StampFont.h"

#include <QMap>
#include <QRect>
#include <QWidget>
#include <functional>

class CGroupLine;
class CSpinButton;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;

// Scales the children's designed rectangles sideways when the pane is wider
// than the reference width: the designed width of the dialog (494 dialog
// units), whatever the dialog units come to in pixels with this font.
class PaneLayout {
public:
    explicit PaneLayout(QWidget* owner) : owner_(owner) {}
    void SetReferenceWidth(int width) { referenceWidth_ = width; }
    int ReferenceWidth() const { return referenceWidth_; }
    void Record();
    void Resize(int width, int height);
    QRect Recorded(QWidget* child) const { return children_.value(child); }

    static constexpr int kReferenceHeight = 10000;

private:
    QWidget* owner_;
    int referenceWidth_ = 740;
    QMap<QWidget*, QRect> children_;
};

class CDialogOperation2 : public QWidget {
    Q_OBJECT
public:
    // settings and font belong to the main window and outlive the pane.
    CDialogOperation2(OperationSettings& settings, StampFont& font, QWidget* parent);

    // The run options whose values the Resize group shows for "Longest Side"
    // and "Percent"; edited there, they change at once.
    void SetRunOptions(RunOptions* options);
    // Shows the options' values again (after the Options dialog).
    void ShowRunOptions();
    void InitOperationPane();
    // The controls show the settings (a preset was chosen).
    void ShowSettings();
    void CollectSettings(OperationSettings& settings) const;
    void CollectOptions(RunOptions& options) const;
    void ApplyFormatRule();
    void ApplyResizeModeRule();
    // Adds or selects a chosen folder in the Output list.
    void AddOutputFolder(const QString& path);
    void ChooseOutputFolder();
    // Face and size only; colour only. Cancelling either keeps what was chosen.
    void ChooseFont();
    void ChooseColour();
    // The Font button shows face and size, the colour button a swatch.
    void ShowStampFont();
    // Why the chosen output folder cannot be written, empty when it can.
    QString OutputProblem() const { return outputProblem_; }
    // The controls SetBatchControlsEnabled switches.
    void SetBatchControlsEnabled(bool enable);

    // Dialog units to pixels with the pane's font.
    QRect DialogRect(int x, int y, int w, int h) const;
    QSize DesignedSize() const;
    static constexpr int kDesignedWidth = 595; // dialog units
    // The Resize list's lines after the record's modes: "Fixed Size" with
    // another fit.
    static constexpr int kCoverLine = kResizeModeCount, kPadLine = kResizeModeCount + 1;
    // Dialog units the Rename and Resize groups are widened by, and where
    // they ended.
    static constexpr int kRenameWidening = 24, kRenameRight = 231;
    static constexpr int kResizeWidening = 16, kResizeRight = 342;
    PaneLayout& Layout() { return layout_; }

    // Replaces the folder dialog, for tests.
    std::function<QString()> folderChooser;
    // The "Options..." button.
    std::function<void()> onOptions;

signals:
    // Any control changed what a run would do.
    void changed();

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void BuildControls();
    QComboBox* MakeCombo(int id);
    QLineEdit* MakeEdit(int id, bool digits);
    CSpinButton* AttachSpin(int id, QLineEdit* buddy);
    QWidget* BuildOutputGroup();
    void BuildRenameAndResizeGroups();
    QWidget* BuildRotateStampAndMoreGroups();
    void ConnectControls();
    QWidget* Place(QWidget* w, int x, int y, int width, int height);
    QLabel* Label(const char* text, int x, int y, int w, int h, QWidget* buddy = nullptr);
    void CheckOutputFolder();
    void ShowPrefixHint();
    void CheckPrefix();
    // The path typed into the Output box as the folder it names ("~" is the
    // home folder), empty for the "Original Folder" line.
    QString TypedOutputFolder() const;
    void CommitTypedOutputFolder();
    void DescribeControls();

    OperationSettings& settings_;
    StampFont& font_;
    PaneLayout layout_;
    int baseX_ = 6;
    int baseY_ = 13;

    QComboBox* format_ = nullptr;
    QLineEdit* quality_ = nullptr;
    CSpinButton* qualitySpin_ = nullptr;
    QComboBox* output_ = nullptr;
    QPushButton* chooseFolder_ = nullptr;
    CGroupLine* rename_ = nullptr;
    QLineEdit* prefix_ = nullptr;
    QLineEdit* series_ = nullptr;
    CSpinButton* seriesSpin_ = nullptr;
    CGroupLine* resize_ = nullptr;
    QLineEdit* width_ = nullptr;
    CSpinButton* widthSpin_ = nullptr;
    QLineEdit* height_ = nullptr;
    CSpinButton* heightSpin_ = nullptr;
    QComboBox* resizeMode_ = nullptr;
    QComboBox* anchor_ = nullptr;
    // The one value "Longest Side" and "Percent" use, in place of W and H.
    QLabel* widthLabel_ = nullptr;
    QLabel* heightLabel_ = nullptr;
    QLineEdit* value_ = nullptr;
    CSpinButton* valueSpin_ = nullptr;
    QLabel* valueUnit_ = nullptr;
    RunOptions* options_ = nullptr;
    bool showingOptions_ = false;
    CGroupLine* rotate_ = nullptr;
    QComboBox* rotation_ = nullptr;
    QCheckBox* sharpen_ = nullptr;
    CGroupLine* stamp_ = nullptr;
    QLineEdit* stampText_ = nullptr;
    QPushButton* fontButton_ = nullptr;
    QPushButton* colourButton_ = nullptr;
    QPushButton* optionsButton_ = nullptr;
    QString outputProblem_;
    QString prefixTip_;
    QString outputTip_;
};
