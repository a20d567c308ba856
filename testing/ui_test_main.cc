#include "testing/ui_test_main.h"

#include "client/ui/instance_lock.h"

#include <QApplication>
#include <QTest>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

namespace tervane::testing {
namespace {

using Registry = std::vector<std::pair<const char*, std::function<std::unique_ptr<QObject>()>>>;

Registry& Registered() {
  static Registry entries;
  return entries;
}

}  // namespace

int RegisterUiTest(const char* name, std::function<std::unique_ptr<QObject>()> make) {
  Registered().emplace_back(name, std::move(make));
  return static_cast<int>(Registered().size());
}

}  // namespace tervane::testing

// Usage: client_ui_test [--class NAME] [Qt Test arguments]
int main(int argc, char** argv) {
  if (argc == 3 && std::strcmp(argv[1], tervane::testing::kCrashHoldingLockArg) == 0) {
    auto* lock = new tervane::InstanceLock(QString::fromLocal8Bit(argv[2]));
    if (!lock->TryAcquire()) return 3;
    std::raise(SIGKILL);
  }
  // The dialog must render without a display.
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  std::string only;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (i + 1 < argc && std::strcmp(argv[i], "--class") == 0) {
      only = argv[++i];
    } else {
      args.push_back(argv[i]);
    }
  }
  int qt_argc = static_cast<int>(args.size());
  QApplication app(qt_argc, args.data());
  int failures = 0;
  for (const auto& [name, make] : tervane::testing::Registered()) {
    if (only.empty() || only == name) failures += QTest::qExec(make().get(), qt_argc, args.data());
  }
  std::printf("client_ui_test: %d failure(s)\n", failures);
  return failures == 0 ? 0 : 1;
}
