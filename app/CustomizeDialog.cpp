#include "CustomizeDialog.h"

#include "DialogFit.h"
#include "SettingsFile.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeySequenceEdit>
#include <QLabel>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>

namespace {

bool OnToolBar(QToolBar* toolbar, QAction* action) { return toolbar->actions().contains(action); }

QString Plain(QString text) { return text.remove('&'); }

} // namespace

CustomizeDialog::CustomizeDialog(QToolBar* toolbar, const QList<QAction*>& commands, QWidget* parent)
    : QDialog(parent), toolbar_(toolbar), commands_(commands) {
    setWindowTitle(tr("Customize"));
    setObjectName(QString::number(35001));
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(new QLabel(tr("Toolbar buttons and keyboard shortcuts:"), this));
    table_ = new QTableWidget(int(commands_.size()), 3, this);
    table_->setHorizontalHeaderLabels({tr("Command"), tr("On toolbar"), tr("Shortcut")});
    table_->verticalHeader()->hide();
    for (int row = 0; row < commands_.size(); ++row) {
        QAction* a = commands_[row];
        auto* name = new QTableWidgetItem(Plain(a->text()));
        name->setFlags(Qt::ItemIsEnabled);
        table_->setItem(row, 0, name);
        auto* shown = new QTableWidgetItem;
        if (OnToolBar(toolbar_, a)) {
            shown->setFlags(Qt::ItemIsEnabled | Qt::ItemIsUserCheckable);
            shown->setCheckState(toolbar_->widgetForAction(a) && a->isVisible() ? Qt::Checked : Qt::Unchecked);
        } else {
            shown->setFlags(Qt::NoItemFlags);
        }
        table_->setItem(row, 1, shown);
        auto* edit = new QKeySequenceEdit(a->shortcut(), table_);
        table_->setCellWidget(row, 2, edit);
    }
    table_->horizontalHeader()->setStretchLastSection(true);
    table_->resizeColumnsToContents();
    layout->addWidget(table_);
    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    connect(buttons, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons);
    resize(480, 420);
    FitTitle(this);
}

void CustomizeDialog::accept() {
    for (int row = 0; row < commands_.size(); ++row) {
        QAction* a = commands_[row];
        if (QTableWidgetItem* shown = table_->item(row, 1); shown && (shown->flags() & Qt::ItemIsUserCheckable))
            a->setVisible(shown->checkState() == Qt::Checked);
        if (auto* edit = qobject_cast<QKeySequenceEdit*>(table_->cellWidget(row, 2)))
            a->setShortcut(edit->keySequence());
    }
    QDialog::accept();
}

void ApplyCommandBarSettings(const IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands) {
    const QStringList hidden =
        QString::fromStdString(ini.Get(section, "Hidden").value_or("")).split(',', Qt::SkipEmptyParts);
    for (QAction* a : commands) {
        if (OnToolBar(toolbar, a) && hidden.contains(a->objectName())) a->setVisible(false);
        if (auto key = ini.Get(section, ("Key" + a->objectName()).toStdString()))
            a->setShortcut(QKeySequence(QString::fromStdString(*key), QKeySequence::PortableText));
    }
}

void StoreCommandBarSettings(IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands) {
    QStringList hidden;
    for (QAction* a : commands) {
        if (OnToolBar(toolbar, a) && !a->isVisible()) hidden.push_back(a->objectName());
        ini.Set(section, ("Key" + a->objectName()).toStdString(),
                a->shortcut().toString(QKeySequence::PortableText).toStdString());
    }
    ini.Set(section, "Hidden", hidden.join(',').toStdString());
}
