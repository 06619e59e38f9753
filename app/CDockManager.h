// Our docking component over QMainWindow and QDockWidget: panes created,
// shown, closed, collapsed to a tab at their side ("auto-hide") and docked,
// each pane's window attached the first time the pane is about to show.
#pragma once

#include <QMap>
#include <QObject>
#include <QPointer>
#include <QRect>

class QDockWidget;
class QFrame;
class QMainWindow;
class QToolBar;
class QToolButton;
class QWidget;

enum class DockSide { Left, Bottom };

class CDockManager : public QObject {
    Q_OBJECT
public:
    explicit CDockManager(QMainWindow* frame);

    QDockWidget* CreatePane(int id, const QString& title, const QRect& initial, DockSide side);
    void ShowPane(int id);
    void ClosePane(int id);
    void HidePane(int id);
    bool IsPaneClosed(int id) const;
    void DockPane(int id, DockSide side);

    // The collapsed state, and the collapsed content shown over the centre.
    bool IsPaneCollapsed(int id) const;
    bool IsPanePoppedOut(int id) const;
    void TogglePopOut(int id);

    void AttachWindow(int id, QWidget* window);
    bool IsAttached(int id) const;
    QDockWidget* Pane(int id) const;
    QToolButton* CollapsedTab(int id) const;

signals:
    // Emitted before a pane is shown; attached says whether it has its window.
    void paneAboutToShow(int id, bool attached);
    // Around a pane's showing, closing or collapsing, so the frame can keep
    // its neighbours' sizes.
    void paneAboutToToggle(int id);
    void paneToggled(int id);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct PaneState {
        QDockWidget* dock = nullptr;
        QPointer<QWidget> window;
        DockSide side = DockSide::Bottom;
        QSize initial;
        bool collapsed = false;
        QToolButton* tab = nullptr;
    };

    void EnsureAttached(int id);
    void Expand(int id);
    QToolBar* TabBar(DockSide side);
    void PlaceOverlay();
    void HideOverlay();

    QMainWindow* frame_;
    QMap<int, PaneState> panes_;
    QToolBar* leftTabs_ = nullptr;
    QToolBar* bottomTabs_ = nullptr;
    QFrame* overlay_ = nullptr;
    int overlayPane_ = 0;
};
