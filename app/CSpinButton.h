// An up-down control beside a buddy edit: keeps the edit's text as a decimal
// number within its range and follows the arrow keys in the edit.
#pragma once

#include <QWidget>

class QLineEdit;
class QToolButton;

class CSpinButton : public QWidget {
    Q_OBJECT
public:
    CSpinButton(int id, QLineEdit* buddy, QWidget* parent);

    void SetRange(int lower, int upper);
    void SetPos(int position);
    // The last valid position: text typed outside the range does not change it.
    int GetPos() const;
    int Lower() const { return lower_; }
    int Upper() const { return upper_; }
    QLineEdit* Buddy() const { return buddy_; }
    void Step(int delta);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void OnTextEdited(const QString& text);

    QLineEdit* buddy_;
    QToolButton* up_;
    QToolButton* down_;
    int lower_ = 0;
    int upper_ = 100;
    int position_ = 0;
};
