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

// Leaks the sanitizer would report inside the desktop's own libraries: caches
// that fontconfig, the D-Bus library and Qt's platform plugins keep for the
// process's life by design.
extern "C" const char* __lsan_default_suppressions() {
  return "leak:libfontconfig\n"
         "leak:libdbus-1\n"
         "leak:libQt6DBus\n"
         "leak:libqoffscreen\n"
         "leak:libqxcb\n"
         "leak:libxcb\n"
         "leak:libglib-2.0\n";
}
