#include "shared/platform/win_error.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace tervane {

TEST(WinErrorTest, FileSystemErrnoValues) {
  EXPECT_EQ(WinErrorFromErrno(0), 0u);
  EXPECT_EQ(WinErrorFromErrno(ENOENT), 2u);
  EXPECT_EQ(WinErrorFromErrno(ENOTDIR), 3u);
  EXPECT_EQ(WinErrorFromErrno(EACCES), 5u);
  EXPECT_EQ(WinErrorFromErrno(EPERM), 5u);
  EXPECT_EQ(WinErrorFromErrno(EISDIR), 5u);
  EXPECT_EQ(WinErrorFromErrno(EBADF), 6u);
  EXPECT_EQ(WinErrorFromErrno(EMFILE), 4u);
  EXPECT_EQ(WinErrorFromErrno(ENFILE), 4u);
  EXPECT_EQ(WinErrorFromErrno(EEXIST), 80u);
  EXPECT_EQ(WinErrorFromErrno(EEXIST, ErrnoTarget::kDirectory), 183u);
  EXPECT_EQ(WinErrorFromErrno(ENOSPC), 112u);
  EXPECT_EQ(WinErrorFromErrno(EINVAL), 87u);
  EXPECT_EQ(WinErrorFromErrno(ENOTEMPTY), 145u);
  EXPECT_EQ(WinErrorFromErrno(ENAMETOOLONG), 206u);
  // Anything without a counterpart is still a failure.
  EXPECT_NE(WinErrorFromErrno(EDOM), 0u);
}

TEST(WinErrorTest, SocketErrnoValues) {
  EXPECT_EQ(WinsockErrorFromErrno(ECONNREFUSED), 10061u);
  EXPECT_EQ(WinsockErrorFromErrno(ETIMEDOUT), 10060u);
  EXPECT_EQ(WinsockErrorFromErrno(ECONNRESET), 10054u);
  EXPECT_EQ(WinsockErrorFromErrno(EPIPE), 10054u);
  EXPECT_EQ(WinsockErrorFromErrno(ENETUNREACH), 10051u);
  EXPECT_EQ(WinsockErrorFromErrno(EHOSTUNREACH), 10065u);
  EXPECT_NE(WinsockErrorFromErrno(EDOM), 0u);
}

}  // namespace tervane
