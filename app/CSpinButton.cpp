#include "CSpinButton.h"

#include "Ids.h"

#include <QEvent>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolButton>

CSpinButton::CSpinButton(int id, QLineEdit* buddy, QWidget* parent)
    : QWidget(parent), buddy_(buddy) {
    setObjectName(ids::Name(id));
    up_ = new QToolButton(this);
    up_->setArrowType(Qt::UpArrow);
    up_->setAutoRepeat(true);
    up_->setAutoRaise(true);
    down_ = new QToolButton(this);
    down_->setArrowType(Qt::DownArrow);
    down_->setAutoRepeat(true);
    down_->setAutoRaise(true);
    // The buddy takes the arrow keys; the buttons are for the mouse only, so
    // Tab never lands on an arrow that shows no focus.
    for (QWidget* w : {static_cast<QWidget*>(this), static_cast<QWidget*>(up_), static_cast<QWidget*>(down_)})
        w->setFocusPolicy(Qt::NoFocus);
    up_->setAccessibleName(tr("Increase"));
    down_->setAccessibleName(tr("Decrease"));
    connect(up_, &QToolButton::clicked, this, [this] { Step(1); });
    connect(down_, &QToolButton::clicked, this, [this] { Step(-1); });
    connect(buddy_, &QLineEdit::textEdited, this, &CSpinButton::OnTextEdited);
    buddy_->installEventFilter(this);
}

void CSpinButton::SetRange(int lower, int upper) {
    lower_ = lower;
    upper_ = upper;
    SetPos(position_);
}

void CSpinButton::SetPos(int position) {
    position_ = std::clamp(position, lower_, upper_);
    buddy_->setText(QString::number(position_));
}

int CSpinButton::GetPos() const { return position_; }

void CSpinButton::Step(int delta) { SetPos(position_ + delta); }

// A number above the range shows and takes the upper bound at once, so a
// typed "150" becomes 100, never a silent 15. One below the range may still
// be a number being typed: it changes nothing, and leaving the edit shows
// the last valid position again.
void CSpinButton::OnTextEdited(const QString& text) {
    bool ok = false;
    const qlonglong v = text.toLongLong(&ok);
    const bool digits = !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c.isDigit(); });
    if (digits && (!ok || v > upper_)) SetPos(upper_);
    else if (ok && v >= lower_ && v <= upper_) position_ = int(v);
}

bool CSpinButton::eventFilter(QObject* watched, QEvent* event) {
    if (watched == buddy_ && event->type() == QEvent::KeyPress && isEnabled()) {
        const int key = static_cast<QKeyEvent*>(event)->key();
        if (key == Qt::Key_Up || key == Qt::Key_Down) {
            Step(key == Qt::Key_Up ? 1 : -1);
            return true;
        }
    }
    if (watched == buddy_ && event->type() == QEvent::FocusOut) SetPos(position_);
    return QWidget::eventFilter(watched, event);
}

void CSpinButton::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    const int h = height() / 2;
    up_->setGeometry(0, 0, width(), h);
    down_->setGeometry(0, h, width(), height() - h);
}

void CSpinButton::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        up_->setEnabled(isEnabled());
        down_->setEnabled(isEnabled());
    }
}
