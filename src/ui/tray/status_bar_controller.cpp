#include "tray/status_bar_controller.h"

#include <QApplication>
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
}

void PopoverWindow::host(QWidget* content) {
  if (content->parentWidget() == this) return;
  layout()->addWidget(content);
  content->show();
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
  if (e->key() == Qt::Key_Escape) {
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

  connect(item_, &StatusNotifierItem::activated, this, [this](QPoint at) { toggleUI(at); });
  connect(item_, &StatusNotifierItem::secondaryActivated, this, [this](QPoint at) { toggleUI(at); });
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
  item_->setToolTip(toolTipTitle(), title);
  item_->setNeedsAttention(status == ForecastStatus::limited);
}

bool StatusBarController::popoverVisible() const { return popover_->isVisible(); }
bool StatusBarController::floatingVisible() const { return floating_ && floating_->isVisible(); }

void StatusBarController::toggleUI(std::optional<QPoint> at) {
  if (popoverVisible()) {
    popover_->hide();
  } else if (floatingVisible()) {
    floating_->hide();
  } else {
    showUI(at);
  }
}

void StatusBarController::showUI(std::optional<QPoint> at) {
  if (item_->hostAvailable()) {
    if (floating_) floating_->hide();
    popover_->host(view_);
    QScreen* screen = at ? QGuiApplication::screenAt(*at) : nullptr;
    if (!screen) screen = QGuiApplication::primaryScreen();
    const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
    const QPoint anchor = at.value_or(QPoint(area.right() - Theme::popoverWidth / 2, area.top()));
    popover_->setGeometry(PopupPlacement::popover(anchor, popover_->size(), area));
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
  if (!floating_) floating_ = new PopoverWindow(PopoverWindow::Kind::floating);
  popover_->hide();
  floating_->host(view_);
  QScreen* screen = QGuiApplication::primaryScreen();
  const QRect area = screen ? screen->availableGeometry() : QRect(0, 0, 1280, 800);
  floating_->setGeometry(PopupPlacement::floating(floating_->size(), area));
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
