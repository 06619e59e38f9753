#include "CDockManager.h"

#include "Ids.h"

#include <QDockWidget>
#include <QEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QMainWindow>
#include <QPushButton>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

namespace {

Qt::DockWidgetArea AreaOf(DockSide side) {
    return side == DockSide::Left ? Qt::LeftDockWidgetArea : Qt::BottomDockWidgetArea;
}

} // namespace

CDockManager::CDockManager(QMainWindow* frame) : QObject(frame), frame_(frame) {
    frame_->setDockNestingEnabled(true);
    frame_->installEventFilter(this);
}

QDockWidget* CDockManager::CreatePane(int id, const QString& title, const QRect& initial,
                                      DockSide side) {
    auto* dock = new QDockWidget(title, frame_);
    dock->setObjectName(ids::Name(id));
    dock->setFeatures(QDockWidget::DockWidgetClosable | QDockWidget::DockWidgetMovable |
                      QDockWidget::DockWidgetFloatable);
    PaneState& state = panes_[id];
    state.dock = dock;
    state.side = side;
    state.initial = initial.size();
    frame_->addDockWidget(AreaOf(side), dock);
    frame_->resizeDocks({dock}, {side == DockSide::Left ? initial.width() : initial.height()},
                        side == DockSide::Left ? Qt::Horizontal : Qt::Vertical);
    // A pane that becomes visible by the user's hand still needs its window.
    connect(dock, &QDockWidget::visibilityChanged, this, [this, id](bool visible) {
        if (visible) EnsureAttached(id);
    });
    return dock;
}

QDockWidget* CDockManager::Pane(int id) const {
    auto it = panes_.find(id);
    return it == panes_.end() ? nullptr : it->dock;
}

QToolButton* CDockManager::CollapsedTab(int id) const {
    auto it = panes_.find(id);
    return it == panes_.end() ? nullptr : it->tab;
}

bool CDockManager::IsAttached(int id) const {
    auto it = panes_.find(id);
    return it != panes_.end() && it->window;
}

void CDockManager::AttachWindow(int id, QWidget* window) {
    auto it = panes_.find(id);
    if (it == panes_.end() || !window) return;
    it->window = window;
    it->dock->setWidget(window);
}

void CDockManager::EnsureAttached(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end()) return;
    if (!it->window) emit paneAboutToShow(id, false);
}

void CDockManager::ShowPane(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end()) return;
    EnsureAttached(id);
    const bool expanding = it->collapsed || it->dock->isHidden();
    if (expanding) emit paneAboutToToggle(id);
    if (it->collapsed) Expand(id);
    it->dock->show();
    it->dock->raise();
    if (it->window) it->window->setFocus();
    if (expanding) emit paneToggled(id);
}

void CDockManager::ClosePane(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end()) return;
    const bool shown = !it->dock->isHidden();
    if (shown) emit paneAboutToToggle(id);
    if (it->collapsed) Expand(id);
    it->dock->hide();
    if (shown) emit paneToggled(id);
}

bool CDockManager::IsPaneClosed(int id) const {
    auto it = panes_.find(id);
    if (it == panes_.end()) return true;
    return !it->collapsed && it->dock->isHidden();
}

bool CDockManager::IsPaneCollapsed(int id) const {
    auto it = panes_.find(id);
    return it != panes_.end() && it->collapsed;
}

bool CDockManager::IsPanePoppedOut(int id) const {
    return overlay_ && overlay_->isVisible() && overlayPane_ == id;
}

void CDockManager::DockPane(int id, DockSide side) {
    auto it = panes_.find(id);
    if (it == panes_.end()) return;
    it->side = side;
    it->dock->setFloating(false);
    frame_->addDockWidget(AreaOf(side), it->dock);
}

QToolBar* CDockManager::TabBar(DockSide side) {
    QToolBar*& bar = side == DockSide::Left ? leftTabs_ : bottomTabs_;
    if (!bar) {
        bar = new QToolBar(side == DockSide::Left ? tr("Left Panes") : tr("Bottom Panes"), frame_);
        bar->setObjectName(side == DockSide::Left ? "collapsed-left" : "collapsed-bottom");
        bar->setMovable(false);
        bar->setFloatable(false);
        bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
        frame_->addToolBar(side == DockSide::Left ? Qt::LeftToolBarArea : Qt::BottomToolBarArea, bar);
    }
    return bar;
}

// Collapse: the dock goes away and a tab with its title takes its place at
// its side; clicking the tab shows the content over the central area.
void CDockManager::HidePane(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end() || it->collapsed) return;
    const bool shown = !it->dock->isHidden();
    if (shown) emit paneAboutToToggle(id);
    it->collapsed = true;
    it->dock->hide();
    if (shown) emit paneToggled(id);
    QToolBar* bar = TabBar(it->side);
    auto* tab = new QToolButton(bar);
    tab->setText(it->dock->windowTitle());
    tab->setObjectName("tab-" + ids::Name(id));
    tab->setCheckable(true);
    tab->setToolTip(tr("Show or hide the %1 pane").arg(it->dock->windowTitle()));
    connect(tab, &QToolButton::clicked, this, [this, id] { TogglePopOut(id); });
    bar->addWidget(tab);
    bar->show();
    it->tab = tab;
}

// Back from the tab into the dock, with the window it had.
void CDockManager::Expand(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end() || !it->collapsed) return;
    if (overlayPane_ == id) HideOverlay();
    it->collapsed = false;
    if (it->window && it->dock->widget() != it->window) it->dock->setWidget(it->window);
    QToolBar* bar = TabBar(it->side);
    for (QAction* action : bar->actions())
        if (bar->widgetForAction(action) == it->tab) bar->removeAction(action);
    it->tab->deleteLater();
    it->tab = nullptr;
    if (bar->actions().isEmpty()) bar->hide();
}

void CDockManager::TogglePopOut(int id) {
    auto it = panes_.find(id);
    if (it == panes_.end() || !it->collapsed) return;
    if (IsPanePoppedOut(id)) {
        HideOverlay();
        return;
    }
    HideOverlay();
    EnsureAttached(id);
    if (!it->window) return;
    if (!overlay_) {
        overlay_ = new QFrame(frame_);
        overlay_->setObjectName("collapsed-pane-overlay");
        overlay_->setFrameShape(QFrame::StyledPanel);
        overlay_->setAutoFillBackground(true);
        auto* layout = new QVBoxLayout(overlay_);
        layout->setContentsMargins(2, 2, 2, 2);
        auto* header = new QHBoxLayout;
        auto* title = new QLabel(overlay_);
        title->setObjectName("overlay-title");
        auto* dock = new QPushButton(tr("Dock"), overlay_);
        dock->setObjectName("overlay-dock");
        connect(dock, &QPushButton::clicked, this, [this] {
            const int pane = overlayPane_;
            HideOverlay();
            ShowPane(pane);
        });
        header->addWidget(title, 1);
        header->addWidget(dock);
        layout->addLayout(header);
    }
    overlay_->findChild<QLabel*>("overlay-title")->setText(it->dock->windowTitle());
    overlayPane_ = id;
    overlay_->layout()->addWidget(it->window);
    it->window->show();
    if (it->tab) it->tab->setChecked(true);
    PlaceOverlay();
    overlay_->show();
    overlay_->raise();
}

void CDockManager::HideOverlay() {
    if (!overlay_ || !overlay_->isVisible()) return;
    auto it = panes_.find(overlayPane_);
    if (it != panes_.end()) {
        if (it->window) {
            overlay_->layout()->removeWidget(it->window);
            it->dock->setWidget(it->window);
        }
        if (it->tab) it->tab->setChecked(false);
    }
    overlay_->hide();
    overlayPane_ = 0;
}

void CDockManager::PlaceOverlay() {
    if (!overlay_ || !overlayPane_) return;
    const PaneState& state = panes_[overlayPane_];
    QWidget* centre = frame_->centralWidget();
    const QRect area = centre ? centre->geometry() : frame_->rect();
    if (state.side == DockSide::Left) {
        overlay_->setGeometry(area.left(), area.top(), std::max(200, state.initial.width()),
                              area.height());
    } else {
        const int h = std::min(area.height(), std::max(160, state.initial.height() + 40));
        overlay_->setGeometry(area.left(), area.bottom() - h + 1, area.width(), h);
    }
}

bool CDockManager::eventFilter(QObject* watched, QEvent* event) {
    if (watched == frame_ && event->type() == QEvent::Resize) PlaceOverlay();
    return QObject::eventFilter(watched, event);
}
