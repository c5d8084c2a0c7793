#pragma once
#include <QDBusAbstractAdaptor>
#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QImage>
#include <QObject>
#include <QPoint>

class QDBusServiceWatcher;

namespace qd {

// One ARGB32 image as the tray protocol carries it: width, height and the
// pixels in network byte order.
struct SniIconPixmap {
  int width = 0;
  int height = 0;
  QByteArray bytes;
};
using SniIconPixmapList = QList<SniIconPixmap>;

struct SniToolTip {
  QString iconName;
  SniIconPixmapList iconPixmap;
  QString title;
  QString description;
};

QDBusArgument& operator<<(QDBusArgument& arg, const SniIconPixmap& icon);
const QDBusArgument& operator>>(const QDBusArgument& arg, SniIconPixmap& icon);
QDBusArgument& operator<<(QDBusArgument& arg, const SniToolTip& tip);
const QDBusArgument& operator>>(const QDBusArgument& arg, SniToolTip& tip);

// `image` at the usual tray sizes, in the wire format.
[[nodiscard]] SniIconPixmapList toSniPixmaps(const QImage& image);

}  // namespace qd

Q_DECLARE_METATYPE(qd::SniIconPixmap)
Q_DECLARE_METATYPE(qd::SniToolTip)

namespace qd {

class StatusNotifierItemAdaptor;

// The tray item: a StatusNotifierItem exported on the session bus and
// registered with the StatusNotifierWatcher. When the watcher is absent, or
// disappears, `hostAvailable()` is false and the owner shows its screens in a
// window instead; when a watcher appears later, the item registers then.
//
// Thread-safety: main thread only.
class StatusNotifierItem : public QObject {
  Q_OBJECT
 public:
  explicit StatusNotifierItem(QDBusConnection bus, QObject* parent = nullptr);
  ~StatusNotifierItem() override;

  // Exports the item and registers it when a watcher is present.
  void start();

  void setIcon(const QImage& image);
  void setLabel(const QString& label);
  void setToolTip(const QString& title, const QString& description);
  void setNeedsAttention(bool attention);
  // The object path of the item's exported menu; hosts without one call ContextMenu(x, y).
  void setMenuPath(const QString& path) { menuPath_ = path; }

  [[nodiscard]] bool hostAvailable() const { return registered_; }
  // A registration call is out and its answer not yet in.
  [[nodiscard]] bool registrationPending() const { return pending_ > 0; }
  [[nodiscard]] const QString& serviceName() const { return serviceName_; }
  [[nodiscard]] const QString& label() const { return label_; }
  [[nodiscard]] const QString& toolTipTitle() const { return tipTitle_; }
  [[nodiscard]] const QString& toolTipDescription() const { return tipDescription_; }

  static constexpr const char* objectPath = "/StatusNotifierItem";
  static constexpr const char* watcherService = "org.kde.StatusNotifierWatcher";

 signals:
  void activated(QPoint at);
  void secondaryActivated(QPoint at);
  void contextMenuRequested(QPoint at);
  void hostAvailabilityChanged(bool available);
  // Every answer to a registration, with or without a host.
  void registrationSettled(bool registered);

 private:
  friend class StatusNotifierItemAdaptor;
  void registerWithWatcher();
  void setRegistered(bool registered);

  QDBusConnection bus_;
  QString serviceName_;
  StatusNotifierItemAdaptor* adaptor_;
  QDBusServiceWatcher* watcher_;
  bool exported_ = false;
  bool registered_ = false;
  int pending_ = 0;
  SniIconPixmapList icon_;
  QString label_;
  QString tipTitle_;
  QString tipDescription_;
  QString status_ = QStringLiteral("Active");
  QString menuPath_ = QStringLiteral("/NO_DBUSMENU");
};

// The exported org.kde.StatusNotifierItem interface; reads everything from its item.
class StatusNotifierItemAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierItem")
  Q_PROPERTY(QString Category READ category)
  Q_PROPERTY(QString Id READ id)
  Q_PROPERTY(QString Title READ title)
  Q_PROPERTY(QString Status READ status)
  Q_PROPERTY(int WindowId READ windowId)
  Q_PROPERTY(QString IconThemePath READ emptyString)
  Q_PROPERTY(QString IconName READ emptyString)
  Q_PROPERTY(qd::SniIconPixmapList IconPixmap READ iconPixmap)
  Q_PROPERTY(QString OverlayIconName READ emptyString)
  Q_PROPERTY(qd::SniIconPixmapList OverlayIconPixmap READ emptyPixmaps)
  Q_PROPERTY(QString AttentionIconName READ emptyString)
  Q_PROPERTY(qd::SniIconPixmapList AttentionIconPixmap READ iconPixmap)
  Q_PROPERTY(QString AttentionMovieName READ emptyString)
  Q_PROPERTY(qd::SniToolTip ToolTip READ toolTip)
  Q_PROPERTY(bool ItemIsMenu READ itemIsMenu)
  Q_PROPERTY(QDBusObjectPath Menu READ menu)
  Q_PROPERTY(QString XAyatanaLabel READ label)
  Q_PROPERTY(QString XAyatanaLabelGuide READ labelGuide)
  Q_PROPERTY(uint XAyatanaOrderingIndex READ orderingIndex)

 public:
  explicit StatusNotifierItemAdaptor(StatusNotifierItem* item);

  [[nodiscard]] QString category() const { return QStringLiteral("ApplicationStatus"); }
  [[nodiscard]] QString id() const { return QStringLiteral("quotadial"); }
  [[nodiscard]] QString title() const { return QStringLiteral("Quotadial"); }
  [[nodiscard]] QString status() const { return item_->status_; }
  [[nodiscard]] int windowId() const { return 0; }
  [[nodiscard]] QString emptyString() const { return {}; }
  [[nodiscard]] SniIconPixmapList iconPixmap() const { return item_->icon_; }
  [[nodiscard]] SniIconPixmapList emptyPixmaps() const { return {}; }
  [[nodiscard]] SniToolTip toolTip() const;
  [[nodiscard]] bool itemIsMenu() const { return false; }
  [[nodiscard]] QDBusObjectPath menu() const { return QDBusObjectPath(item_->menuPath_); }
  [[nodiscard]] QString label() const { return item_->label_; }
  [[nodiscard]] QString labelGuide() const { return item_->label_; }
  [[nodiscard]] uint orderingIndex() const { return 0; }

 public slots:
  void Activate(int x, int y);
  void SecondaryActivate(int x, int y);
  void ContextMenu(int x, int y);
  void Scroll(int delta, const QString& orientation);

 signals:
  void NewTitle();
  void NewIcon();
  void NewAttentionIcon();
  void NewOverlayIcon();
  void NewToolTip();
  void NewStatus(const QString& status);
  void XAyatanaNewLabel(const QString& label, const QString& guide);

 private:
  StatusNotifierItem* item_;
};

}  // namespace qd
