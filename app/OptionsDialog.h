// "Options...": every choice beside the settings record (RunOptions), kept
// in the settings file's [Tessaline Options] section.
#pragma once

#include "RunOptions.h"

#include <QDialog>

class QCheckBox;
class QLabel;
class QLineEdit;
class QComboBox;
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
    void CheckName();

    QComboBox* resample_;
    QCheckBox* onlyShrink_;
    QSpinBox* longestSide_;
    QSpinBox* percent_;
    QCheckBox* autoRotate_;
    QComboBox* metadata_;
    QPushButton* background_;
    QCheckBox* lossless_;
    QSpinBox* threads_;
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
