#include "shared/platform/win_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tervane {

// The codes a Windows client knows for each errno; anything without a
// counterpart is still a failure.
TEST(WinErrorTest, ErrnoValuesBecomeTheClientsCodes) {
  const std::pair<int, uint32_t> files[] = {
      {0, 0},       {ENOENT, 2},   {ENOTDIR, 3}, {EACCES, 5},     {EPERM, 5},        {EISDIR, 5},
      {EBADF, 6},   {EMFILE, 4},   {ENFILE, 4},  {EEXIST, 80},    {ENOSPC, 112},     {EINVAL, 87},
      {ENOTEMPTY, 145}, {ENAMETOOLONG, 206}, {EFBIG, 112}, {ELOOP, 5}};
  for (auto [e, code] : files) EXPECT_EQ(WinErrorFromErrno(e), code) << e;
  EXPECT_EQ(WinErrorFromErrno(EEXIST, ErrnoTarget::kDirectory), 183u);
  EXPECT_NE(WinErrorFromErrno(EDOM), 0u);
  const std::pair<int, uint32_t> sockets[] = {{ECONNREFUSED, 10061}, {ETIMEDOUT, 10060}, {ECONNRESET, 10054},
                                              {EPIPE, 10054}, {ENETUNREACH, 10051}, {EHOSTUNREACH, 10065}};
  for (auto [e, code] : sockets) EXPECT_EQ(WinsockErrorFromErrno(e), code) << e;
  EXPECT_NE(WinsockErrorFromErrno(EDOM), 0u);
}

}  // namespace tervane
