// A group frame whose caption is a check box: ticking or clearing it enables
// or disables every sibling control lying inside the frame.
#pragma once

#include <QGroupBox>

class QCheckBox;

class CGroupLine : public QGroupBox {
    Q_OBJECT
public:
    // Takes the place of a frame captioned caption with control identifier id.
    CGroupLine(int id, const QString& caption, QWidget* parent);

    void SetCheck(bool checked);
    bool GetCheck() const;
    void EnableInside(bool enable);
    int Id() const { return id_; }
    QCheckBox* CheckBox() const { return checkBox_; }
    QString Caption() const { return caption_; }

signals:
    // After every click on the box, with the frame's identifier.
    void clicked(int id);

protected:
    void changeEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void moveEvent(QMoveEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    void OnBoxClicked();

    int id_;
    QString caption_;
    QCheckBox* checkBox_;
};
