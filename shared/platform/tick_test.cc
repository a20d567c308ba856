#include "shared/platform/tick.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

namespace tervane {

TEST(TickTest, AdvancesWithTheMonotonicClock) {
  uint32_t before = GetTickCount();
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  uint32_t elapsed = GetTickCount() - before;  // unsigned difference survives a wrap
  EXPECT_GE(elapsed, 20u);
  EXPECT_LT(elapsed, 5000u);
}

}  // namespace tervane
