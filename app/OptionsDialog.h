// "Options...": every choice beside the settings record (RunOptions), kept
// in the settings file's [Tessaline Options] section.
#pragma once

#include "RunOptions.h"

#include <QDialog>
#include <functional>

class QCheckBox;
class QLabel;
class QLineEdit;
class QComboBox;
class QVBoxLayout;
class QPushButton;
class QSpinBox;

class OptionsDialog : public QDialog {
    Q_OBJECT
public:
    OptionsDialog(const RunOptions& options, QWidget* parent);
    // What the controls show now.
    RunOptions Options() const;
    void Show(const RunOptions& options);

private:
    void ShowBackground();
    QWidget* MakeEncodingGroup();
    void BuildShapeGroup(QVBoxLayout* layout);
    void CheckName();

public:
    // Replaces the file dialog of the watermark's "...", for tests.
    std::function<QString()> watermarkChooser;

private:

    QComboBox* resample_;
    QCheckBox* onlyShrink_;
    QSpinBox* longestSide_;
    QSpinBox* percent_;
    QCheckBox* autoRotate_;
    QComboBox* metadata_;
    QPushButton* background_;
    QCheckBox* lossless_;
    QComboBox* frames_;
    QSpinBox* page_;
    QSpinBox* threads_;
    QCheckBox* jpegOptimize_;
    QCheckBox* jpegProgressive_;
    QComboBox* jpegSubsampling_;
    QComboBox* jpegTurn_;
    QSpinBox* pngLevel_;
    QComboBox* pngFilter_;
    QCheckBox* pngReduce_;
    QCheckBox* zopfli_;
    QComboBox* palette_;
    QCheckBox* dither_;
    QSpinBox* maxSize_;
    QCheckBox* neverLarger_;
    QLineEdit* crop_;
    QLineEdit* border_;
    QCheckBox* watermark_;
    QLineEdit* watermarkFile_;
    QComboBox* watermarkAnchor_;
    QSpinBox* watermarkMargin_;
    QSpinBox* watermarkScale_;
    QSpinBox* watermarkOpacity_;
    QCheckBox* watermarkTile_;
    QCheckBox* strict_;
    QComboBox* onExists_;
    QCheckBox* keepDates_;
    QComboBox* dateFrom_;
    QLineEdit* name_;
    QLabel* nameProblem_;
    QPushButton* ok_ = nullptr;
    COLORREF backgroundColour_ = 0x00FFFFFF;
    RunOptions base_;
};
