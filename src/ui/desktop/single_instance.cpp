#include "desktop/single_instance.h"

#include <unistd.h>

#include <QDir>
#include <QLocalSocket>
#include <QPointer>

#include "storage/file_lock.h"

namespace qd {

namespace {
constexpr int kConnectTimeoutMs = 1000;
constexpr int kReplyTimeoutMs = 2000;
constexpr qint64 kMaxCommandBytes = 256;
}  // namespace

SingleInstance::SingleInstance(QString socketPath, QObject* parent)
    : QObject(parent), socketPath_(std::move(socketPath)) {}

SingleInstance::~SingleInstance() {
  if (server_) server_->close();  // removes the socket file
}

QString SingleInstance::defaultSocketPath() {
  const QByteArray runtime = qgetenv("XDG_RUNTIME_DIR");
  if (!runtime.isEmpty() && QDir(QString::fromLocal8Bit(runtime)).exists())
    return QString::fromLocal8Bit(runtime) + QStringLiteral("/quotadial.sock");
  return QDir::tempPath() + QStringLiteral("/quotadial-%1.sock").arg(::getuid());
}

bool SingleInstance::forward(const QString& command) const {
  QLocalSocket socket;
  socket.connectToServer(socketPath_);
  if (!socket.waitForConnected(kConnectTimeoutMs)) return false;
  socket.write(command.toUtf8() + '\n');
  if (!socket.waitForBytesWritten(kReplyTimeoutMs)) return false;
  // The running copy answers "ok" once it has taken the command.
  if (!socket.waitForReadyRead(kReplyTimeoutMs)) return false;
  return socket.readLine(16).startsWith("ok");
}

SingleInstance::Role SingleInstance::start(const QString& command) {
  // Two launches at the same moment must not both become primary: the
  // check-then-listen runs under a lock beside the socket.
  FileLock lock((socketPath_ + QStringLiteral(".lock")).toStdString());
  if (forward(command)) return Role::forwarded;
  // Nobody answered: any socket file left is stale (a crashed copy).
  QLocalServer::removeServer(socketPath_);
  server_ = new QLocalServer(this);
  server_->setSocketOptions(QLocalServer::UserAccessOption);
  if (!server_->listen(socketPath_)) {
    delete server_;
    server_ = nullptr;
    return Role::unavailable;
  }
  connect(server_, &QLocalServer::newConnection, this, &SingleInstance::acceptConnections);
  return Role::primary;
}

void SingleInstance::acceptConnections() {
  while (QLocalSocket* socket = server_->nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
      if (!socket->canReadLine()) {
        // A peer that sends a long line without a newline is dropped, not buffered forever.
        if (socket->bytesAvailable() > kMaxCommandBytes) socket->abort();
        return;
      }
      const QString command = QString::fromUtf8(socket->readLine(kMaxCommandBytes)).trimmed();
      socket->write("ok\n");
      socket->flush();
      socket->disconnectFromServer();
      emit commandReceived(command);
    });
  }
}

}  // namespace qd
