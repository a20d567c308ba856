#include "client/ui/run_workers.h"

#include <QTest>
#include <atomic>
#include <chrono>
#include <thread>

#include "testing/ui_test_main.h"

namespace tervane {

class RunWorkersTest : public QObject {
  Q_OBJECT

 private slots:
  // Running bodies are counted and waited for while the pump runs; finished
  // threads are reaped at the next start, the rest joined by the destructor.
  void countsWaitsReapsAndJoins() {
    std::atomic<bool> release{false};
    std::atomic<int> finished{0};
    {
      RunWorkers workers;
      for (int i = 0; i < 2; ++i) {
        workers.Start([&] {
          while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
          finished.fetch_add(1);
        });
      }
      QCOMPARE(workers.Active(), 2);
      int pumped = 0;
      QVERIFY(!workers.WaitFor(std::chrono::milliseconds(50), [&] { ++pumped; }));
      QVERIFY(pumped > 0);
      release.store(true);
      QVERIFY(workers.WaitFor(std::chrono::seconds(10), nullptr));
      QCOMPARE(workers.Active(), 0);
      workers.Start([&] { finished.fetch_add(1); });
      QTRY_COMPARE_WITH_TIMEOUT(workers.Active(), 0, 5000);
      workers.Start([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        finished.fetch_add(1);
      });
    }
    QCOMPARE(finished.load(), 4);
  }
};

TERVANE_UI_TEST(RunWorkersTest);

}  // namespace tervane

#include "run_workers_test.moc"
