#include "CustomizeDialog.h"

#include "DialogFit.h"
#include "SettingsFile.h"

#include <QAction>
#include <QDialogButtonBox>
#include <QHeaderView>
#include <QKeySequenceEdit>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
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
    table_ = new QTableWidget(int(commands_.size()), 4, this);
    table_->setHorizontalHeaderLabels({tr("Command"), tr("On toolbar"), tr("Shortcut"), QString()});
    table_->verticalHeader()->hide();
    table_->setAccessibleName(tr("Commands"));
    table_->setAccessibleDescription(tr("Each command, whether the toolbar shows it, and its shortcut"));
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
        edit->setAccessibleName(tr("Shortcut of %1").arg(Plain(a->text())));
        edit->setAccessibleDescription(tr("Press the keys; Backspace or Delete clears it"));
        edit->installEventFilter(this);
        connect(edit, &QKeySequenceEdit::keySequenceChanged, this, [this, row, edit](const QKeySequence& keys) {
            // One chord: a second one would wait for more keys after the first.
            if (keys.count() > 1) edit->setKeySequence(QKeySequence(keys[0]));
            else CheckConflicts(row);
        });
        table_->setCellWidget(row, kShortcutColumn, edit);
        auto* clear = new QPushButton(tr("Clear"), table_);
        clear->setAccessibleName(tr("Clear the shortcut of %1").arg(Plain(a->text())));
        clear->setAccessibleDescription(tr("The command keeps no shortcut"));
        connect(clear, &QPushButton::clicked, edit, &QKeySequenceEdit::clear);
        table_->setCellWidget(row, kClearColumn, clear);
    }
    table_->horizontalHeader()->setStretchLastSection(false);
    table_->resizeColumnsToContents();
    table_->horizontalHeader()->setSectionResizeMode(kShortcutColumn, QHeaderView::Stretch);
    layout->addWidget(table_);
    conflictLabel_ = new QLabel(this);
    conflictLabel_->setObjectName("shortcut-conflict");
    conflictLabel_->setWordWrap(true);
    layout->addWidget(conflictLabel_);
    move_ = new QPushButton(tr("Move Shortcut Here"), this);
    move_->setObjectName("move-shortcut");
    move_->setAccessibleDescription(tr("The other command loses the shortcut"));
    connect(move_, &QPushButton::clicked, this, &CustomizeDialog::MoveConflictingShortcut);
    layout->addWidget(move_, 0, Qt::AlignLeft);
    conflictLabel_->hide();
    move_->hide();
    buttons_ = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    QPushButton* reset = buttons_->addButton(tr("Reset All"), QDialogButtonBox::ResetRole);
    reset->setObjectName("reset-all");
    reset->setAccessibleDescription(tr("Every command gets its original shortcut back"));
    connect(reset, &QPushButton::clicked, this, &CustomizeDialog::ResetAll);
    buttons_->button(QDialogButtonBox::Ok)->setAccessibleDescription(tr("Keep these buttons and shortcuts"));
    buttons_->button(QDialogButtonBox::Cancel)->setAccessibleDescription(tr("Close, keeping them as they were"));
    connect(buttons_, &QDialogButtonBox::accepted, this, &QDialog::accept);
    connect(buttons_, &QDialogButtonBox::rejected, this, &QDialog::reject);
    layout->addWidget(buttons_);
    resize(560, 460);
    FitTitle(this);
}

QKeySequenceEdit* CustomizeDialog::ShortcutEdit(int row) const {
    return qobject_cast<QKeySequenceEdit*>(table_->cellWidget(row, kShortcutColumn));
}

// Backspace and Delete clear the field instead of becoming the shortcut.
bool CustomizeDialog::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress) {
        auto* key = static_cast<QKeyEvent*>(event);
        if ((key->key() == Qt::Key_Backspace || key->key() == Qt::Key_Delete) && key->modifiers() == Qt::NoModifier)
            if (auto* edit = qobject_cast<QKeySequenceEdit*>(watched)) {
                edit->clear();
                return true;
            }
    }
    return QDialog::eventFilter(watched, event);
}

// A shortcut held by two commands would trigger neither: the one just
// edited is refused until it changes or the other command gives it up.
void CustomizeDialog::CheckConflicts(int editedRow) {
    conflict_.clear();
    conflictRow_ = holderRow_ = -1;
    const auto clash = [this](int row) {
        const QKeySequence keys = ShortcutEdit(row)->keySequence();
        if (keys.isEmpty()) return -1;
        for (int other = 0; other < table_->rowCount(); ++other)
            if (other != row && ShortcutEdit(other)->keySequence() == keys) return other;
        return -1;
    };
    int row = editedRow, other = clash(editedRow);
    for (int r = 0; r < table_->rowCount() && other < 0; ++r)
        if ((other = clash(r)) >= 0) row = r;
    if (other >= 0) {
        conflictRow_ = row;
        holderRow_ = other;
        conflict_ = tr("%1 is already the shortcut of \"%2\". Choose another, or move it to \"%3\".")
                        .arg(ShortcutEdit(row)->keySequence().toString(QKeySequence::NativeText),
                             table_->item(other, 0)->text(), table_->item(row, 0)->text());
    }
    conflictLabel_->setText(conflict_);
    conflictLabel_->setVisible(!conflict_.isEmpty());
    move_->setVisible(!conflict_.isEmpty());
    buttons_->button(QDialogButtonBox::Ok)->setEnabled(conflict_.isEmpty());
}

void CustomizeDialog::MoveConflictingShortcut() {
    if (holderRow_ < 0) return;
    const int edited = conflictRow_;
    ShortcutEdit(holderRow_)->clear();
    CheckConflicts(edited);
}

void CustomizeDialog::ResetAll() {
    for (int row = 0; row < commands_.size(); ++row)
        ShortcutEdit(row)->setKeySequence(commands_[row]->property(kDefaultShortcutProperty).value<QKeySequence>());
    CheckConflicts(0);
}

void CustomizeDialog::accept() {
    if (!conflict_.isEmpty()) return;
    for (int row = 0; row < commands_.size(); ++row) {
        QAction* a = commands_[row];
        if (QTableWidgetItem* shown = table_->item(row, 1); shown && (shown->flags() & Qt::ItemIsUserCheckable))
            a->setVisible(shown->checkState() == Qt::Checked);
        a->setShortcut(ShortcutEdit(row)->keySequence());
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
    // An edited file may give one shortcut twice; the first command keeps it.
    for (int i = 0; i < commands.size(); ++i)
        for (int j = 0; j < i; ++j)
            if (!commands[i]->shortcut().isEmpty() && commands[i]->shortcut() == commands[j]->shortcut())
                commands[i]->setShortcut(QKeySequence());
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
