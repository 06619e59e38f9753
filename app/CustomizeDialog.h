// "&Customize...": shows or hides toolbar buttons and edits the commands'
// keyboard shortcuts; kept in a section of the settings file of its own.
#pragma once

#include <QDialog>
#include <QKeySequence>
#include <QList>

class IniFile;
class QAction;
class QDialogButtonBox;
class QKeySequenceEdit;
class QLabel;
class QPushButton;
class QTableWidget;
class QToolBar;

// The property of a command holding the shortcut it was built with, which
// "Reset All" gives back.
inline constexpr char kDefaultShortcutProperty[] = "defaultShortcut";

class CustomizeDialog : public QDialog {
    Q_OBJECT
public:
    CustomizeDialog(QToolBar* toolbar, const QList<QAction*>& commands, QWidget* parent);
    QTableWidget* Table() const { return table_; }
    QKeySequenceEdit* ShortcutEdit(int row) const;
    // Why OK is refused (a shortcut given to two commands), empty when it is not.
    QString Conflict() const { return conflict_; }
    // Takes the clashing shortcut from the command that had it.
    void MoveConflictingShortcut();
    void ResetAll();

    static constexpr int kShortcutColumn = 2;
    static constexpr int kClearColumn = 3;

    void accept() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void CheckConflicts(int editedRow);

    QToolBar* toolbar_;
    QList<QAction*> commands_;
    QTableWidget* table_;
    QLabel* conflictLabel_;
    QPushButton* move_;
    QDialogButtonBox* buttons_;
    QString conflict_;
    int conflictRow_ = -1, holderRow_ = -1;
};

// "Hidden" lists the hidden toolbar buttons' command numbers; "Key<number>"
// holds a command's shortcut in portable text. A shortcut the file gives
// to a second command is not applied to it.
void ApplyCommandBarSettings(const IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands);
void StoreCommandBarSettings(IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands);
