#pragma once
// Small building blocks shared by the screens, all painted from the theme.
#include <QAbstractButton>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>
#include <QVBoxLayout>
#include <functional>
#include <map>

#include "chart/range_chart_view.h"
#include "chart/usage_bar.h"
#include "popover/theme.h"
#include "popover/ui_context.h"

namespace qd::Ui {

QLabel* text(const QString& s, double points, const QColor& colour, QFont::Weight weight = QFont::Normal,
             bool wrap = false);
QLabel* symbol(const QString& name, const QColor& colour, int size = 14);
// A symbol beside a text, e.g. the outlook lines.
QWidget* symbolText(const QString& name, const QColor& symbolColour, const QString& s, const QColor& textColour,
                    double points = 11, bool wrap = false);
// A small filled capsule in a role colour.
QLabel* pill(const QString& s, const QColor& colour);
void setPill(QLabel* pill, const QString& s, const QColor& colour);
QFrame* divider();
QToolButton* iconButton(const QString& name, const QString& hint, std::function<void()> action);
QPushButton* button(const QString& title, std::function<void()> action, bool prominent = false, bool small = false);
QWidget* hbox(std::initializer_list<QWidget*> widgets, int spacing = 6, bool stretchAtEnd = false);
QWidget* spacer();  // an expanding horizontal gap
// A segmented control: the rounded track, whose layout takes `segment`s.
QWidget* segmentTrack(QHBoxLayout*& layout);
// One checkable segment of equal share; `clicked` runs when it is pressed.
QToolButton* segment(const QString& title, bool checked, double points, QFont::Weight weight,
                     std::function<void()> clicked);
QColor toneColour(int tone, const Theme& t);

// An on/off switch; its accessible name is the setting's label.
class Switch : public QAbstractButton {
 public:
  explicit Switch(const QString& accessibleName, QWidget* parent = nullptr);
  [[nodiscard]] QSize sizeHint() const override { return {40, 24}; }

 protected:
  void paintEvent(QPaintEvent*) override;
};
// A settings row: the label at the left, the switch at the right.
QWidget* toggleRow(const QString& label, bool on, std::function<void(bool)> changed);

// The application-wide style sheet of the popover and the windows.
QString styleSheet(const Theme& t);

}  // namespace qd::Ui

namespace qd {

// A rounded card that rebuilds its content from the state on every announced
// change. Bars and charts survive rebuilds (keyed), so their animations run
// across refreshes.
//
// Thread-safety: main thread only.
class Card : public QFrame {
  Q_OBJECT
 public:
  Card(UiContext& ctx, QWidget* parent = nullptr);
  // Rebuilds the content; hides the card when `build` says there is nothing to show.
  void refresh();

 protected:
  virtual bool build(QVBoxLayout* layout) = 0;
  UsageBar* bar(const QString& key, int height = 8);
  RangeChartView* chart(const QString& key);
  UiContext& ctx_;

 private:
  QWidget* content_ = nullptr;
  std::map<QString, QWidget*> pool_;
};

}  // namespace qd
