#include "tray/status_bar_controller.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QKeyEvent>
#include <QScreen>
#include <QVBoxLayout>
#include <QWindow>

#include "app/menu_bar_title_builder.h"
#include "desktop/symbol_icons.h"
#include "popover/popover_view.h"
#include "tray/dbus_menu.h"
#include "tray/popup_placement.h"
#include "tray/tray_icon.h"

namespace qd {

namespace {
QSize fullSize() { return {Theme::popoverWidth, static_cast<int>(Theme::popoverHeight())}; }
}  // namespace

PopoverWindow::PopoverWindow(Kind kind) : kind_(kind) {
  if (kind == Kind::popup) {
    setWindowFlags(Qt::Popup | Qt::FramelessWindowHint);
  } else {
    setWindowFlags(Qt::Tool | Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
  }
  setWindowTitle(QStringLiteral("Quotadial"));
  setAttribute(Qt::WA_DeleteOnClose, false);
  auto* l = new QVBoxLayout(this);
  l->setContentsMargins(0, 0, 0, 0);
  setFixedSize(Theme::popoverWidth, static_cast<int>(Theme::popoverHeight()));
  monotonicMs = [clock = std::make_shared<QElapsedTimer>()] {
    if (!clock->isValid()) clock->start();
    return clock->elapsed();
  };
}

void PopoverWindow::host(QWidget* content) {
  if (content->parentWidget() == this) return;
  layout()->addWidget(content);
  content->setFixedSize(size());
  content->show();
}

void PopoverWindow::place(const QRect& geometry) {
  setFixedSize(geometry.size());
  for (QWidget* content : findChildren<QWidget*>(QString(), Qt::FindDirectChildrenOnly))
    content->setFixedSize(geometry.size());
  setGeometry(geometry);
}

void PopoverWindow::dismiss() {
  dismissing_ = true;
  hide();
  dismissing_ = false;
}

bool PopoverWindow::justClosedItself() const {
  if (!closedItselfAt_ || isVisible()) return false;
  const qint64 now = monotonicMs ? monotonicMs() : 0;
  return now - *closedItselfAt_ < kSameClickMs;
}

void PopoverWindow::hideEvent(QHideEvent* e) {
  if (!dismissing_ && monotonicMs) closedItselfAt_ = monotonicMs();
  QWidget::hideEvent(e);
}

void PopoverWindow::mousePressEvent(QMouseEvent* e) {
  // Clicks on the background (not taken by a control) move the floating window.
  if (kind_ == Kind::floating && e->button() == Qt::LeftButton && windowHandle()) {
    windowHandle()->startSystemMove();
    e->accept();
    return;
  }
  QWidget::mousePressEvent(e);
}

void PopoverWindow::keyPressEvent(QKeyEvent* e) {
  // The popup holds the keyboard while open, so the global shortcut arrives
  // here as an ordinary key press: it closes the window like Escape.
  const bool shortcut = e->key() == Qt::Key_G && (e->modifiers() & (Qt::ControlModifier | Qt::AltModifier)) ==
                                                      (Qt::ControlModifier | Qt::AltModifier);
  if (e->key() == Qt::Key_Escape || shortcut) {
    hide();
    return;
  }
  QWidget::keyPressEvent(e);
}

void PopoverWindow::changeEvent(QEvent* e) {
  // The popup closes when it loses focus (Qt::Popup already closes on outside clicks).
  if (kind_ == Kind::popup && e->type() == QEvent::ActivationChange && !isActiveWindow() && isVisible() &&
      QApplication::activePopupWidget() != this)
    hide();
  QWidget::changeEvent(e);
}

StatusBarController::StatusBarController(UiContext& ctx, QDBusConnection bus, bool registerHotkey, QObject* parent)
    : QObject(parent), ctx_(ctx), hotkey_(bus) {
  buildMenu();
  // Hosts that draw the menu themselves read it from the bus; the others ask
  // for it with ContextMenu(x, y) and get the same menu as a popup.
  menuExporter_ = new DBusMenuExporter(menu_, bus, this);
  item_ = new StatusNotifierItem(std::move(bus), this);
  if (menuExporter_->exportMenu()) item_->setMenuPath(QString::fromLatin1(DBusMenuExporter::kPath));
  view_ = new PopoverView(ctx_);
  popover_ = new PopoverWindow(PopoverWindow::Kind::popup);
  popover_->host(view_);

  // The windows' titles name the screen they show (window lists, screen readers).
  connect(view_, &PopoverView::screenChanged, this, [this] {
    popover_->setWindowTitle(view_->title());
    if (floating_) floating_->setWindowTitle(view_->title());
  });
  popover_->setWindowTitle(view_->title());
  connect(item_, &StatusNotifierItem::activated, this, &StatusBarController::iconClicked);
  connect(item_, &StatusNotifierItem::secondaryActivated, this, &StatusBarController::iconClicked);
  connect(item_, &StatusNotifierItem::contextMenuRequested, this, &StatusBarController::showContextMenu);

  updateButton();
  item_->start();

  if (registerHotkey) {
    hotkey_.registerShortcut();
    connect(&hotkey_, &GlobalHotkey::activated, this, [this] { toggleUI(); });
  }

  QPointer<StatusBarController> self(this);
  subscription_ = ctx_.state->subscribe([self](unsigned) {
    if (!self || self->updatePending_) return;
    self->updatePending_ = true;
    QTimer::singleShot(0, self, [self] {
      if (!self) return;
      self->updatePending_ = false;
      self->updateButton();
    });
  });
  // Countdowns in the title advance even when nothing else changes.
  tick_.setInterval(30'000);
  tick_.setTimerType(Qt::CoarseTimer);
  connect(&tick_, &QTimer::timeout, this, &StatusBarController::updateButton);
  tick_.start();
}

StatusBarController::~StatusBarController() {
  hotkey_.unregisterShortcut();
  delete popover_;
  delete floating_;
  delete menu_;
}

QString StatusBarController::toolTipTitle() const {
  return QStringLiteral("Quotadial — ") + QString::fromUtf8(label(ctx_.state->globalStatus()).data()) +
         QStringLiteral("  (Ctrl+Alt+G)");
}

void StatusBarController::updateButton() {
  const ForecastStatus status = ctx_.state->globalStatus();
  item_->setIcon(drawTrayIcon(status, Theme::darkTheme()));
  const QString title = QString::fromStdString(MenuBarTitleBuilder::title(*ctx_.state));
  item_->setLabel(title);
  // The tooltip always carries the figures, also when the label shows none (icon only).
  const QString figures =
      title.isEmpty() ? QString::fromStdString(MenuBarTitleBuilder::title(*ctx_.state, MenuBarDisplayMode::compact))
                      : title;
  item_->setToolTip(toolTipTitle(), figures);
  item_->setNeedsAttention(status == ForecastStatus::limited);
}

bool StatusBarController::popoverVisible() const { return popover_->isVisible(); }
bool StatusBarController::floatingVisible() const { return floating_ && floating_->isVisible(); }

void StatusBarController::toggleUI(std::optional<QPoint> at) {
  if (popoverVisible()) {
    popover_->dismiss();
  } else if (floatingVisible()) {
    floating_->dismiss();
  } else {
    showUI(at);
  }
}

void StatusBarController::iconClicked(QPoint at) {
  // The press of this click already closed the popup: the click's work is done.
  if (popover_->justClosedItself()) return;
  toggleUI(at);
}

void StatusBarController::showWhenReady() {
  if (!item_->registrationPending()) {
    showUI();
    return;
  }
  auto once = std::make_shared<QMetaObject::Connection>();
  *once = connect(item_, &StatusNotifierItem::registrationSettled, this, [this, once] {
    disconnect(*once);
    showUI();
  });
}

void StatusBarController::showUI(std::optional<QPoint> at) {
  if (item_->hostAvailable()) {
    if (floating_) floating_->dismiss();
    popover_->host(view_);
    QScreen* screen = at ? QGuiApplication::screenAt(*at) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const QPoint anchor = at.value_or(QPoint(area.right() - Theme::popoverWidth / 2, area.top()));
    popover_->place(PopupPlacement::popover(anchor, fullSize(), area));
    popover_->show();
    popover_->raise();
    popover_->activateWindow();
  } else {
    showFloating();
  }
  QPointer<StatusBarController> self(this);
  std::weak_ptr<AppState> weak = ctx_.state;
  QTimer::singleShot(0, this, [self, weak] {
    if (auto s = weak.lock()) s->refresh();
    if (self) self->updateButton();
  });
}

void StatusBarController::showSettings() {
  view_->setShowSettings(true);
  showUI();
}

void StatusBarController::showFloating() {
  if (!floating_) {
    floating_ = new PopoverWindow(PopoverWindow::Kind::floating);
    floating_->setWindowTitle(view_->title());
  }
  popover_->dismiss();
  floating_->host(view_);
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  floating_->place(PopupPlacement::floating(fullSize(), area));
  floating_->show();
  floating_->raise();
  floating_->activateWindow();
}

void StatusBarController::buildMenu() {
  menu_ = new QMenu;
  menu_->setStyleSheet(Ui::styleSheet(Theme::current()));
  connect(menu_->addAction(QStringLiteral("Open Quotadial")), &QAction::triggered, this, [this] { showUI(); });
  connect(menu_->addAction(QStringLiteral("Refresh")), &QAction::triggered, this, [this] { ctx_.state->refresh(); });
  connect(menu_->addAction(QStringLiteral("Settings…")), &QAction::triggered, this, [this] { showSettings(); });
  menu_->addSeparator();
  connect(menu_->addAction(QStringLiteral("Quit")), &QAction::triggered, this, [this] {
    if (ctx_.quit) ctx_.quit();
  });
}

void StatusBarController::showContextMenu(QPoint at) { menu_->popup(at); }

}  // namespace qd
