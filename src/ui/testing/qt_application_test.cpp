// One QApplication for every UI test (gtest_main owns `main`). Widget tests run
// on the offscreen platform unless the environment picks another.
#include <QApplication>
#include <gtest/gtest.h>

#include "popover/theme.h"

namespace {

class QtApplicationEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
    qputenv("QT_QPA_PLATFORM", qgetenv("QT_QPA_PLATFORM").isEmpty() ? "offscreen" : qgetenv("QT_QPA_PLATFORM"));
    static int argc = 1;
    static char name[] = "quotadial_ui_tests";
    static char* argv[] = {name, nullptr};
    app_ = new QApplication(argc, argv);
    qd::Theme::setOverride(true);
  }
  void TearDown() override {
    delete app_;
    app_ = nullptr;
  }

 private:
  QApplication* app_ = nullptr;
};

const auto* const kEnvironment = ::testing::AddGlobalTestEnvironment(new QtApplicationEnvironment);

}  // namespace
