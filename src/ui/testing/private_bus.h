#pragma once
// A private session bus for one test: its own dbus-daemon, stopped with the
// fixture, so no test touches the user's bus. Header-only test support.
#include <QCoreApplication>
#include <QDBusConnection>
#include <QDeadlineTimer>
#include <QProcess>
#include <QProcessEnvironment>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <atomic>
#include <functional>

namespace qd::testing {

// Runs the event loop until `done` holds or `ms` pass; returns `done()`.
inline bool waitUntil(const std::function<bool()>& done, int ms = 5000) {
  QDeadlineTimer deadline(ms);
  while (!done()) {
    if (deadline.hasExpired()) return false;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
  }
  return true;
}

class PrivateBus {
 public:
  PrivateBus() {
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty()) return;
    daemon_.setProgram(QStringLiteral("dbus-daemon"));
    daemon_.setArguments({QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address=1")});
    daemon_.start();
    if (!daemon_.waitForStarted(5000)) return;
    QByteArray line;
    QDeadlineTimer deadline(5000);
    while (!line.contains('\n') && !deadline.hasExpired() && daemon_.state() == QProcess::Running) {
      daemon_.waitForReadyRead(100);
      line += daemon_.readAllStandardOutput();
    }
    address_ = QString::fromUtf8(line).trimmed();
  }
  ~PrivateBus() {
    for (const auto& name : names_) QDBusConnection::disconnectFromBus(name);
    if (daemon_.state() != QProcess::NotRunning) {
      daemon_.terminate();
      if (!daemon_.waitForFinished(3000)) daemon_.kill();
      daemon_.waitForFinished(1000);
    }
  }
  PrivateBus(const PrivateBus&) = delete;
  PrivateBus& operator=(const PrivateBus&) = delete;

  [[nodiscard]] bool available() const { return !address_.isEmpty(); }
  [[nodiscard]] const QString& address() const { return address_; }

  // The environment for a run of the real executable: this process's, with the
  // home, settings, data and tool folders inside `home`, no display, and this
  // bus as the session bus (none when the bus is unavailable).
  [[nodiscard]] QProcessEnvironment childEnvironment(const QTemporaryDir& home) const {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const char* name : {"DISPLAY", "WAYLAND_DISPLAY", "DBUS_SESSION_BUS_ADDRESS"}) env.remove(name);
    env.insert("HOME", home.path());
    env.insert("XDG_CONFIG_HOME", home.filePath("config"));
    env.insert("XDG_DATA_HOME", home.filePath("data"));
    env.insert("XDG_RUNTIME_DIR", home.path());
    env.insert("CODEX_HOME", home.filePath("codex"));
    env.insert("CLAUDE_CONFIG_DIR", home.filePath("claude"));
    if (available()) env.insert("DBUS_SESSION_BUS_ADDRESS", address_);
    return env;
  }

  // A new client connection (each has its own unique name on the bus).
  QDBusConnection connect() {
    static std::atomic<int> counter{0};
    const QString name = QStringLiteral("qd-test-bus-%1").arg(++counter);
    names_ << name;
    return QDBusConnection::connectToBus(address_, name);
  }

 private:
  QProcess daemon_;
  QString address_;
  QStringList names_;
};

}  // namespace qd::testing
