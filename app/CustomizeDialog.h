// "&Customize...": shows or hides toolbar buttons and edits the commands'
// keyboard shortcuts; kept in a section of the settings file of its own.
#pragma once

#include <QDialog>
#include <QList>

class IniFile;
class QAction;
class QTableWidget;
class QToolBar;

class CustomizeDialog : public QDialog {
    Q_OBJECT
public:
    CustomizeDialog(QToolBar* toolbar, const QList<QAction*>& commands, QWidget* parent);
    QTableWidget* Table() const { return table_; }

    void accept() override;

private:
    QToolBar* toolbar_;
    QList<QAction*> commands_;
    QTableWidget* table_;
};

// "Hidden" lists the hidden toolbar buttons' command numbers; "Key<number>"
// holds a command's shortcut in portable text.
void ApplyCommandBarSettings(const IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands);
void StoreCommandBarSettings(IniFile& ini, const char* section, QToolBar* toolbar,
                             const QList<QAction*>& commands);
