#include "CGroupLine.h"

#include "Ids.h"

#include <QCheckBox>
#include <QEvent>
#include <QFontMetrics>

CGroupLine::CGroupLine(int id, const QString& caption, QWidget* parent)
    : QGroupBox(parent), id_(id), caption_(caption) {
    setObjectName(ids::Name(id));
    setFocusPolicy(Qt::TabFocus);
    // The frame's caption is blanks; readers get the box's text.
    setAccessibleName(caption);
    setAccessibleDescription(tr("The %1 settings; Tab moves on to the box that turns them on").arg(caption));
    const QFontMetrics metrics(font());
    const int w = metrics.horizontalAdvance(caption);
    // The frame's own caption becomes blanks at least 21 pixels wider than the
    // text, so the frame line leaves room for the box drawn over it.
    QString blanks = " ";
    while (metrics.horizontalAdvance(blanks) < w + 21) blanks += ' ';
    setTitle(blanks);
    checkBox_ = new QCheckBox(caption, this);
    checkBox_->setObjectName(ids::Name(ids::kGroupCheckBox));
    checkBox_->setGeometry(12, 0, w + 16 + 4, 16);
    checkBox_->setFont(font());
    connect(checkBox_, &QCheckBox::clicked, this, &CGroupLine::OnBoxClicked);
    checkBox_->show();
}

void CGroupLine::SetCheck(bool checked) {
    checkBox_->setChecked(checked);
    EnableInside(checked);
}

bool CGroupLine::GetCheck() const { return checkBox_->isChecked(); }

// Sibling windows whose rectangle overlaps the frame's (merely touching the
// edge does not count), labels included.
void CGroupLine::EnableInside(bool enable) {
    QWidget* dialog = parentWidget();
    if (!dialog) return;
    const QRect frame = geometry();
    for (QObject* child : dialog->children()) {
        auto* w = qobject_cast<QWidget*>(child);
        if (!w || w == this || w->isWindow()) continue;
        if (w->geometry().intersects(frame)) w->setEnabled(enable);
    }
}

void CGroupLine::OnBoxClicked() {
    EnableInside(checkBox_->isChecked());
    emit clicked(id_);
}

void CGroupLine::changeEvent(QEvent* event) {
    QGroupBox::changeEvent(event);
    if (event->type() == QEvent::EnabledChange) {
        checkBox_->setEnabled(isEnabled());
        EnableInside(isEnabled() && checkBox_->isChecked());
    }
}

void CGroupLine::focusInEvent(QFocusEvent* event) {
    QGroupBox::focusInEvent(event);
    checkBox_->setFocus();
}

void CGroupLine::moveEvent(QMoveEvent* event) { QGroupBox::moveEvent(event); }

void CGroupLine::resizeEvent(QResizeEvent* event) { QGroupBox::resizeEvent(event); }
