#pragma once
#include <QLocalServer>
#include <QObject>
#include <QString>

namespace qd {

// One running copy per user: the first launch listens on a per-user local
// socket; later launches hand it a command ("show", "toggle") and exit.
//
// Thread-safety: main thread only.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Role { primary, forwarded, unavailable };

  explicit SingleInstance(QString socketPath = defaultSocketPath(), QObject* parent = nullptr);
  ~SingleInstance() override;

  // Hands `command` to a running copy when there is one (Role::forwarded);
  // otherwise starts listening (Role::primary). `unavailable` when neither the
  // running copy answered nor the socket could be opened: the caller runs anyway.
  [[nodiscard]] Role start(const QString& command);

  // `$XDG_RUNTIME_DIR/quotadial.sock`, else a per-uid name in the temporary directory.
  [[nodiscard]] static QString defaultSocketPath();
  [[nodiscard]] const QString& socketPath() const { return socketPath_; }

 signals:
  // A later launch asked for `command`.
  void commandReceived(const QString& command);

 private:
  [[nodiscard]] bool forward(const QString& command) const;
  void acceptConnections();

  QString socketPath_;
  QLocalServer* server_ = nullptr;
};

}  // namespace qd
