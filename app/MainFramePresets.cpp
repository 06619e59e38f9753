// The Presets bar above the Operation pane.
#include "CMainFrame.h"

#include "CDialogOperation2.h"
#include "CPreviewPane.h"
#include "DialogFit.h"
#include "Presets.h"
#include "SettingsFile.h"

#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStatusBar>
#include <QVBoxLayout>

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
