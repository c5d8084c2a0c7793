#include "run_gui.h"

#include <QApplication>
#include <QDBusConnection>
#include <QElapsedTimer>
#include <QIcon>
#include <QPointer>
#include <QScreen>
#include <QStandardPaths>
#include <QTimer>
#include <QVBoxLayout>
#include <cstdio>

#include "app/collector_role.h"
#include "app/live_sources.h"
#include "storage/local_file_store.h"
#include "utilities/app_logger.h"
#include "utilities/shell.h"
#include "utilities/termination_signals.h"
#include "desktop/dbus_notification_sink.h"
#include "desktop/qt_main_loop.h"
#include "desktop/single_instance.h"
#include "desktop/xdg_desktop_services.h"
#include "popover/popover_view.h"
#include "tray/status_bar_controller.h"
#include "tray/tray_icon.h"

namespace qd {

namespace {

// "--preview": the popover's content in an ordinary window.
class PreviewWindow : public QWidget {
 public:
  PreviewWindow(UiContext& ctx, int height) {
    setWindowTitle(QStringLiteral("Quotadial (preview)"));
    auto* l = new QVBoxLayout(this);
    l->setContentsMargins(0, 0, 0, 0);
    view = new PopoverView(ctx, height);
    l->addWidget(view);
    setFixedSize(Theme::popoverWidth, height);
  }
  PopoverView* view;
};

// Writes the window to `path` once the first refresh has been applied and the
// animations have run; quits with 0, or 1 when the picture cannot be written.
void renderWhenReady(QWidget* window, PopoverView* view, UiContext& ctx, const QString& path) {
  auto* poll = new QTimer(window);
  auto* clock = new QElapsedTimer;
  clock->start();
  poll->setInterval(50);
  QObject::connect(poll, &QTimer::timeout, window, [=, &ctx] {
    const bool ready = ctx.state->lastRefresh().has_value() && ctx.state->pendingRefreshes() == 0;
    // Wait for the first applied refresh; give up waiting (and render what there is) after 15 s.
    if (!ready && clock->elapsed() < 15'000) return;
    poll->stop();
    delete clock;
    view->rebuild();
    QTimer::singleShot(150, window, [=] {
      view->settleAnimations();
      QCoreApplication::processEvents();
      const QPixmap picture = window->grab();
      const bool ok = picture.save(path, "PNG");
      if (!ok) std::fprintf(stderr, "quotadial: cannot write %s\n", path.toLocal8Bit().constData());
      QCoreApplication::exit(ok ? 0 : 1);
    });
  });
  poll->start();
}

}  // namespace

int runGui(int argc, char** argv, const CommandLineOptions& options) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("Quotadial"));
  QApplication::setDesktopFileName(QStringLiteral("quotadial"));
  QApplication::setWindowIcon(QIcon(QPixmap::fromImage(drawTrayIcon(ForecastStatus::safe, Theme::darkTheme(), 128))));
  Theme::setPopoverHeight(options.captureHeight);
  std::optional<QString> renderPath;
  if (options.renderPng) renderPath = QString::fromStdString(*options.renderPng);
  if (renderPath) Theme::setOverride(true);

  // One copy per user; a second launch hands its request over and ends.
  SingleInstance instance;
  if (!options.preview) {
    const auto role = instance.start(options.toggle ? QStringLiteral("toggle") : QStringLiteral("show"));
    if (role == SingleInstance::Role::forwarded) return 0;
  }

  // Logout, `kill` and Ctrl+C end the event loop; the orderly shutdown below follows.
  TerminationSignals terminationSignals([](int) {
    QMetaObject::invokeMethod(QCoreApplication::instance(), [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
  });

  // One collector per user: beside a running one (a headless user service, say)
  // this copy only shows what that one stores.
  const std::filesystem::path supportDirectory = LocalFileStore::baseDirectory();
  CollectorLock::Outcome collector = CollectorLock::acquire(supportDirectory, "desktop");

  QtMainLoop mainLoop;
  QDBusConnection bus = QDBusConnection::sessionBus();
  DBusNotificationSink notifications(bus);
  XdgDesktopServices desktop(bus, QCoreApplication::applicationFilePath().toStdString(),
                             [](const std::string& message) { AppLogger::shared().error(message); });

  AppStateOptions o;
  o.mainLoop = &mainLoop;
  o.arguments = options.arguments;
  o.notificationSink = &notifications;
  o.desktopServices = &desktop;
  o.viewerOf = collector.other;
  if (collector.other) AppLogger::shared().info("Viewing what " + collector.other->description() + " collects");
  attachLiveStages(o);
  const LiveStages stages = o.stages;
  std::shared_ptr<AppState> state = AppState::create(std::move(o));
  CollectorRole role(state, supportDirectory, "desktop", std::move(collector.lock));

  UiContext ctx;
  ctx.state = state;
  ctx.isPooledAccount = stages.isPooledAccount;
  if (stages.lastExtraUsage)
    ctx.lastExtraUsage = [f = stages.lastExtraUsage]() -> std::optional<UiContext::Overage> {
      auto o2 = f();
      if (!o2) return std::nullopt;
      return UiContext::Overage{o2->enabled, o2->usedGBP, o2->limitGBP};
    };
  if (stages.installBridge) ctx.repairBridge = [f = stages.installBridge] { return f().message; };
  ctx.bridgeStateText = stages.bridgeStateText;
  ctx.codexOnPath = [] { return Shell::which("codex").has_value(); };
  ctx.desktop = &desktop;
  ctx.quit = [] { QCoreApplication::quit(); };
  ctx.capture = options.capture;
  ctx.startSettings = options.startSettings;

  std::unique_ptr<PreviewWindow> preview;
  std::unique_ptr<StatusBarController> tray;
  if (options.preview) {
    const int height = static_cast<int>(std::max(Theme::popoverHeight(), 900.0));
    preview = std::make_unique<PreviewWindow>(ctx, height);
    QScreen* screen = QGuiApplication::primaryScreen();
    if (options.capture && !QGuiApplication::screens().isEmpty()) screen = QGuiApplication::screens().first();
    if (screen) preview->move(screen->availableGeometry().center() - preview->rect().center());
    preview->show();
    preview->raise();
    preview->activateWindow();
    if (renderPath) renderWhenReady(preview.get(), preview->view, ctx, *renderPath);
  } else {
    QApplication::setQuitOnLastWindowClosed(false);
    tray = std::make_unique<StatusBarController>(ctx, bus);
    QObject::connect(&instance, &SingleInstance::commandReceived, tray.get(), [t = tray.get()](const QString& command) {
      if (command == QLatin1String("toggle")) t->toggleUI();
      else t->showUI();
    });
    // "--toggle" with no copy running: this copy is the one asked, and its screens are hidden.
    if (options.toggle) tray->showWhenReady();
  }
  const int status = app.exec();
  // In order: the pending settings save, the screens, then the providers and their
  // children with the state, all before the main loop they post to goes.
  state->flushSettingsSave();
  tray.reset();
  preview.reset();
  ctx = UiContext{};
  role.release();
  state.reset();
  AppLogger::shared().flush();
  return status;
}

}  // namespace qd
