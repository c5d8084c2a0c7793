#include "desktop/global_hotkey.h"

#include <QCoreApplication>
#include <QGuiApplication>

#include "utilities/app_logger.h"

#ifdef QUOTADIAL_HAVE_XCB
#include <xcb/xcb.h>
#endif

namespace qd {

namespace {
#ifdef QUOTADIAL_HAVE_XCB
constexpr xcb_keysym_t kKeysymLowerG = 0x67;
constexpr xcb_keysym_t kKeysymUpperG = 0x47;
constexpr uint16_t kWanted = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1;
// Caps Lock and Num Lock (Mod2 on nearly every layout) must not defeat the grab.
constexpr uint16_t kIgnored[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2, XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
// Modifiers that make it a different shortcut when held as well.
constexpr uint16_t kSignificant = XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_4;
// Key auto-repeat sends press after press; one hold is one toggle.
constexpr qint64 kRepeatWindowMs = 300;

struct X11 {
  xcb_connection_t* connection = nullptr;
  xcb_window_t root = 0;
};

X11 x11() {
  auto* native = qGuiApp ? qGuiApp->nativeInterface<QNativeInterface::QX11Application>() : nullptr;
  if (!native || !native->connection()) return {};
  xcb_connection_t* c = native->connection();
  xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  return screen ? X11{c, screen->root} : X11{};
}

xcb_keycode_t keycodeForG(xcb_connection_t* c) {
  const xcb_setup_t* setup = xcb_get_setup(c);
  const int count = setup->max_keycode - setup->min_keycode + 1;
  auto* reply = xcb_get_keyboard_mapping_reply(
      c, xcb_get_keyboard_mapping(c, setup->min_keycode, static_cast<uint8_t>(count)), nullptr);
  if (!reply) return 0;
  xcb_keycode_t found = 0;
  const xcb_keysym_t* syms = xcb_get_keyboard_mapping_keysyms(reply);
  const int per = reply->keysyms_per_keycode;
  for (int i = 0; i < count && !found; ++i)
    for (int j = 0; j < per; ++j)
      if (syms[i * per + j] == kKeysymLowerG || syms[i * per + j] == kKeysymUpperG) {
        found = static_cast<xcb_keycode_t>(setup->min_keycode + i);
        break;
      }
  free(reply);
  return found;
}
#endif
}  // namespace

GlobalHotkey::GlobalHotkey(QDBusConnection bus, QObject* parent) : QObject(parent), portal_(std::move(bus)) {
  connect(&portal_, &PortalGlobalShortcuts::activated, this, &GlobalHotkey::activated);
  connect(&portal_, &PortalGlobalShortcuts::bound, this, [this](const QString& trigger) {
    AppLogger::shared().info("Global shortcut bound by the desktop portal" +
                             (trigger.isEmpty() ? std::string() : " as " + trigger.toStdString()));
    // A portal that came back after the grab took over is the better of the two on Wayland.
    if (backend_ == Backend::x11) releaseX11();
    setBackend(Backend::portal);
  });
  connect(&portal_, &PortalGlobalShortcuts::failed, this, [this](const QString& reason) {
    AppLogger::shared().info("Global shortcut: " + reason.toStdString());
    if (backend_ == Backend::x11) return;
    if (portalFallsBackToX11_ && grabX11()) return;
    setBackend(Backend::none);
  });
}

GlobalHotkey::~GlobalHotkey() { unregisterShortcut(); }

const char* GlobalHotkey::describe(Backend b) {
  switch (b) {
    case Backend::x11: return "X11 key grab";
    case Backend::portal: return "desktop portal";
    case Backend::none: break;
  }
  return "none";
}

bool GlobalHotkey::waylandSession() {
  if (qGuiApp && QGuiApplication::platformName().startsWith(QLatin1String("wayland"))) return true;
  return qEnvironmentVariable("XDG_SESSION_TYPE") == QLatin1String("wayland");
}

void GlobalHotkey::setBackend(Backend b) {
  if (b == backend_) return;
  backend_ = b;
  emit backendChanged(b);
}

GlobalHotkey::Backend GlobalHotkey::registerShortcut() { return registerShortcut(waylandSession()); }

GlobalHotkey::Backend GlobalHotkey::registerShortcut(bool preferPortal) {
  if (backend_ != Backend::none) return backend_;
  // A key grab on a Wayland session only sees keys typed into X11 windows, so
  // there the portal comes first and the grab is its fallback.
  portalFallsBackToX11_ = preferPortal;
  if (!preferPortal && grabX11()) return backend_;
  portal_.start();
  return backend_;
}

bool GlobalHotkey::grabX11() {
#ifdef QUOTADIAL_HAVE_XCB
  const X11 x = x11();
  if (!x.connection) return false;
  const xcb_keycode_t code = keycodeForG(x.connection);
  if (!code) return false;
  bool ok = true;
  for (uint16_t extra : kIgnored) {
    auto cookie = xcb_grab_key_checked(x.connection, 1, x.root, kWanted | extra, code, XCB_GRAB_MODE_ASYNC,
                                       XCB_GRAB_MODE_ASYNC);
    if (xcb_generic_error_t* error = xcb_request_check(x.connection, cookie)) {
      ok = false;  // BadAccess: another client holds the combination
      free(error);
    }
  }
  if (!ok) {
    for (uint16_t extra : kIgnored) xcb_ungrab_key(x.connection, code, x.root, kWanted | extra);
    xcb_flush(x.connection);
    AppLogger::shared().info("Global shortcut: another program holds Ctrl+Alt+G");
    return false;
  }
  keycode_ = code;
  QCoreApplication::instance()->installNativeEventFilter(this);
  setBackend(Backend::x11);
  return true;
#else
  return false;
#endif
}

void GlobalHotkey::unregisterShortcut() {
  portal_.stop();
  portalFallsBackToX11_ = false;
  if (backend_ == Backend::x11) releaseX11();
  backend_ = Backend::none;
}

void GlobalHotkey::releaseX11() {
#ifdef QUOTADIAL_HAVE_XCB
  if (QCoreApplication::instance()) QCoreApplication::instance()->removeNativeEventFilter(this);
  const X11 x = x11();
  if (x.connection) {
    for (uint16_t extra : kIgnored)
      xcb_ungrab_key(x.connection, static_cast<xcb_keycode_t>(keycode_), x.root, kWanted | extra);
    xcb_flush(x.connection);
  }
#endif
}

bool GlobalHotkey::nativeEventFilter(const QByteArray& eventType, void* message, qintptr*) {
#ifdef QUOTADIAL_HAVE_XCB
  if (backend_ != Backend::x11 || eventType != "xcb_generic_event_t") return false;
  auto* event = static_cast<xcb_generic_event_t*>(message);
  if ((event->response_type & 0x7f) != XCB_KEY_PRESS) return false;
  auto* key = reinterpret_cast<xcb_key_press_event_t*>(event);
  if (key->detail != keycode_ || (key->state & kSignificant) != kWanted) return false;
  if (lastPress_.isValid() && lastPress_.elapsed() < kRepeatWindowMs) {
    lastPress_.restart();
    return true;
  }
  lastPress_.restart();
  emit activated();
  return true;
#else
  return false;
#endif
}

}  // namespace qd
