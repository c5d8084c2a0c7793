#pragma once
#include <QAbstractNativeEventFilter>
#include <QElapsedTimer>
#include <QObject>

namespace qd {

// The global shortcut Ctrl+Alt+G. On X11 (also XWayland clients) it is a key
// grab on the root window; elsewhere nothing is registered and users bind
// `quotadial --toggle` in their desktop's keyboard settings.
//
// Thread-safety: main thread only.
class GlobalHotkey : public QObject, public QAbstractNativeEventFilter {
  Q_OBJECT
 public:
  enum class Backend { none, x11 };

  explicit GlobalHotkey(QObject* parent = nullptr);
  ~GlobalHotkey() override;

  // Grabs the key; the backend that took it (none when no grab was possible,
  // e.g. another program already holds Ctrl+Alt+G).
  Backend registerShortcut();
  void unregisterShortcut();
  [[nodiscard]] Backend backend() const { return backend_; }
  [[nodiscard]] static const char* describe(Backend b);

  bool nativeEventFilter(const QByteArray& eventType, void* message, qintptr* result) override;

 signals:
  void activated();

 private:
  Backend backend_ = Backend::none;
  unsigned keycode_ = 0;
  QElapsedTimer lastPress_;
};

}  // namespace qd
