#include "tray/status_notifier_item.h"

#include <algorithm>

#include <unistd.h>

#include <QDBusMetaType>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QtEndian>
#include <atomic>

namespace qd {

QDBusArgument& operator<<(QDBusArgument& arg, const SniIconPixmap& icon) {
  arg.beginStructure();
  arg << icon.width << icon.height << icon.bytes;
  arg.endStructure();
  return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, SniIconPixmap& icon) {
  arg.beginStructure();
  arg >> icon.width >> icon.height >> icon.bytes;
  arg.endStructure();
  return arg;
}

QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& tip) {
  arg.beginStructure();
  arg << tip.iconName << tip.iconPixmap << tip.title << tip.description;
  arg.endStructure();
  return arg;
}

const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& tip) {
  arg.beginStructure();
  arg >> tip.iconName >> tip.iconPixmap >> tip.title >> tip.description;
  arg.endStructure();
  return arg;
}

SniIconPixmapList toSniPixmaps(const QImage& image) {
  SniIconPixmapList list;
  if (image.isNull()) return list;
  for (int size : {16, 22, 32, 48, 64}) {
    QImage scaled = image.scaled(size, size, Qt::KeepAspectRatio, Qt::SmoothTransformation)
                        .convertToFormat(QImage::Format_ARGB32);
    SniIconPixmap px;
    px.width = scaled.width();
    px.height = scaled.height();
    px.bytes.resize(static_cast<qsizetype>(scaled.width()) * scaled.height() * 4);
    auto* out = reinterpret_cast<quint32*>(px.bytes.data());
    for (int y = 0; y < scaled.height(); ++y) {
      const auto* line = reinterpret_cast<const quint32*>(scaled.constScanLine(y));
      for (int x = 0; x < scaled.width(); ++x) *out++ = qToBigEndian(line[x]);
    }
    list << px;
  }
  return list;
}

namespace {
void registerTypes() {
  static const bool once = [] {
    qDBusRegisterMetaType<SniIconPixmap>();
    qDBusRegisterMetaType<SniIconPixmapList>();
    qDBusRegisterMetaType<SniToolTip>();
    return true;
  }();
  (void)once;
}

QString nextServiceName() {
  static std::atomic<int> counter{0};
  return QStringLiteral("org.kde.StatusNotifierItem-%1-%2").arg(::getpid()).arg(++counter);
}
}  // namespace

StatusNotifierItem::StatusNotifierItem(QDBusConnection bus, QObject* parent)
    : QObject(parent), bus_(std::move(bus)), serviceName_(nextServiceName()) {
  registerTypes();
  adaptor_ = new StatusNotifierItemAdaptor(this);
  watcher_ = new QDBusServiceWatcher(QString::fromLatin1(watcherService), bus_,
                                     QDBusServiceWatcher::WatchForOwnerChange, this);
  connect(watcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
          [this](const QString&, const QString&, const QString& newOwner) {
            if (newOwner.isEmpty()) setRegistered(false);
            else registerWithWatcher();
          });
}

StatusNotifierItem::~StatusNotifierItem() {
  if (exported_) {
    bus_.unregisterObject(QString::fromLatin1(objectPath));
    bus_.unregisterService(serviceName_);
  }
}

void StatusNotifierItem::start() {
  if (!exported_) {
    if (!bus_.isConnected()) return;
    exported_ = bus_.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAdaptors);
    // The well-known name is a courtesy for hosts that look items up by it; the
    // registration below passes it, and the unique name still works without it.
    if (!bus_.registerService(serviceName_)) serviceName_ = bus_.baseService();
  }
  registerWithWatcher();
}

void StatusNotifierItem::registerWithWatcher() {
  if (!exported_) return;
  QDBusMessage call = QDBusMessage::createMethodCall(QString::fromLatin1(watcherService),
                                                     QStringLiteral("/StatusNotifierWatcher"),
                                                     QString::fromLatin1(watcherService),
                                                     QStringLiteral("RegisterStatusNotifierItem"));
  call << serviceName_;
  auto* pending = new QDBusPendingCallWatcher(bus_.asyncCall(call, 5000), this);
  ++pending_;
  connect(pending, &QDBusPendingCallWatcher::finished, this, [this](QDBusPendingCallWatcher* w) {
    w->deleteLater();
    --pending_;
    setRegistered(!w->isError());
    emit registrationSettled(registered_);
  });
}

void StatusNotifierItem::setRegistered(bool registered) {
  if (registered == registered_) return;
  registered_ = registered;
  emit hostAvailabilityChanged(registered_);
}

void StatusNotifierItem::setIcon(const QImage& image) {
  // Hosts redraw on every NewIcon: announce only a changed picture.
  SniIconPixmapList icon = toSniPixmaps(image);
  if (icon.size() == icon_.size() &&
      std::equal(icon.begin(), icon.end(), icon_.begin(), [](const SniIconPixmap& a, const SniIconPixmap& b) {
        return a.width == b.width && a.height == b.height && a.bytes == b.bytes;
      }))
    return;
  icon_ = std::move(icon);
  emit adaptor_->NewIcon();
  emit adaptor_->NewAttentionIcon();
}

void StatusNotifierItem::setLabel(const QString& label) {
  if (label == label_) return;
  label_ = label;
  emit adaptor_->XAyatanaNewLabel(label_, label_);
}

void StatusNotifierItem::setToolTip(const QString& title, const QString& description) {
  if (title == tipTitle_ && description == tipDescription_) return;
  tipTitle_ = title;
  tipDescription_ = description;
  emit adaptor_->NewToolTip();
}

void StatusNotifierItem::setNeedsAttention(bool attention) {
  const QString status = attention ? QStringLiteral("NeedsAttention") : QStringLiteral("Active");
  if (status == status_) return;
  status_ = status;
  emit adaptor_->NewStatus(status_);
}

StatusNotifierItemAdaptor::StatusNotifierItemAdaptor(StatusNotifierItem* item)
    : QDBusAbstractAdaptor(item), item_(item) {
  setAutoRelaySignals(false);
}

SniToolTip StatusNotifierItemAdaptor::toolTip() const {
  return SniToolTip{QString(), item_->icon_, item_->tipTitle_, item_->tipDescription_};
}

void StatusNotifierItemAdaptor::Activate(int x, int y) { emit item_->activated(QPoint(x, y)); }
void StatusNotifierItemAdaptor::SecondaryActivate(int x, int y) { emit item_->secondaryActivated(QPoint(x, y)); }
void StatusNotifierItemAdaptor::ContextMenu(int x, int y) { emit item_->contextMenuRequested(QPoint(x, y)); }
void StatusNotifierItemAdaptor::Scroll(int, const QString&) {}

}  // namespace qd
