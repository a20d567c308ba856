// The Qt Test classes of this folder run in one program: each *_test.cc
// registers its class with TERVANE_UI_TEST, and the program runs them all
// under one QApplication.
#ifndef TERVANE_TESTING_UI_TEST_MAIN_H_
#define TERVANE_TESTING_UI_TEST_MAIN_H_

#include <QObject>
#include <functional>
#include <memory>

namespace tervane::testing {

// argv[1] of the helper mode: take the single-instance marker in argv[2] and
// die by SIGKILL while holding it.
inline constexpr char kCrashHoldingLockArg[] = "--crash-holding-lock";

int RegisterUiTest(const char* name, std::function<std::unique_ptr<QObject>()> make);

}  // namespace tervane::testing

#define TERVANE_UI_TEST(Class)                                     \
  [[maybe_unused]] static const int kRegistered##Class =           \
      ::tervane::testing::RegisterUiTest(#Class, [] { return std::unique_ptr<QObject>(new Class); })

#endif  // TERVANE_TESTING_UI_TEST_MAIN_H_
