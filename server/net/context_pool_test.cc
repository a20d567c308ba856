#include "server/net/context_pool.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>

#include <gtest/gtest.h>

#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/protocol/open_flags.h"
#include "testing/test_recorders.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";
constexpr char kClose[] = "Server Close ClientSocket!\n";

class ContextPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    tree_.WriteFile("Config.cfg", "[SharePath]\r\n" + tree_.path() + "/share/\r\n[User]\r\nalice\r\n" + kPassword + "\r\n");
    uint32_t max_connections = 0;
    ASSERT_EQ(accounts_.LoadAccounts(tree_.path() + "/Config.cfg", &max_connections), 0u);
  }

  // A fresh socket, as the accept would hand over; -1 stands for one
  // already closed.
  ClientContext* Alloc(ContextPool& pool, uint32_t* key, uint32_t now = 1000, bool open = true) {
    const int fd = open ? ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0) : -1;
    ClientContext* c = pool.Alloc(0x0100007f, 5000, fd, now, key);
    if (c == nullptr && fd >= 0) ::close(fd);
    return c;
  }

  testing::TempDir tree_;
  AccountManager accounts_;
  FileRegistry files_;
};

// Lowest free slot first, none beyond the capacity. A release logs only for
// a socket still open and leaves the slot fresh: socket closed, account
// logged out, files closed, state reset; its next connection has a new key,
// which a late release of the earlier one cannot touch. DestroyAll releases
// the rest.
TEST_F(ContextPoolTest, SlotsAreTakenLowestFirstAndReleasedFresh) {
  ContextPool pool(3, accounts_, files_);
  uint32_t keys[3];
  for (size_t i = 0; i < 3; ++i) ASSERT_EQ(Alloc(pool, &keys[i], 1000, i != 1), &pool.slot(i));
  uint32_t key = 0;
  EXPECT_EQ(pool.Alloc(0x0100007f, 5001, 99, 1000, &key), nullptr);
  ClientContext* c = &pool.slot(0);
  const int fd = c->fd;
  ASSERT_EQ(accounts_.Login("alice", kPassword, keys[0]), 0u);
  uint32_t handle = 0;
  ASSERT_EQ(files_.Open(tree_.Path("", "a.txt"), GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, &handle), 0u);
  ASSERT_EQ(c->session.open_files.Add(handle, "a.txt", files_), 0u);
  c->session.open = true;
  c->stage = STAGE_WRITE_FILE;
  c->buffer[100] = 0xAB;
  testing::CapturedStdout out;
  pool.Free(&pool.slot(1), keys[1]);  // its socket was closed already: silently
  pool.Free(c, keys[0]);
  out.Restore();
  EXPECT_EQ(out.Text(), kClose);
  EXPECT_EQ(files_.OpenCount(), 0u);
  EXPECT_EQ(::fcntl(fd, F_GETFD), -1);  // the socket is closed

  ASSERT_EQ(Alloc(pool, &key), c);
  EXPECT_TRUE(key != keys[0] && key != 0);
  pool.Free(c, keys[0]);
  EXPECT_TRUE(c->in_use);
  EXPECT_EQ(accounts_.Login("alice", kPassword, key), 0u);
  EXPECT_TRUE(c->session.open_files.size() == 0 && !c->session.open);
  EXPECT_TRUE(c->stage == STAGE_HEADER && c->io_kind == IO_RECEIVE && c->remaining == kHeaderSize);
  EXPECT_EQ(c->buffer[100], 0);
  EXPECT_EQ(Alloc(pool, &key), &pool.slot(1));

  testing::CapturedStdout all;
  pool.DestroyAll();
  all.Restore();
  EXPECT_EQ(pool.InUse(), 0u);
  EXPECT_EQ(all.Text(), std::string(kClose) + kClose + kClose);
}

TEST_F(ContextPoolTest, SweepReleasesOnlyIdleConnectionsNotBeingServed) {
  ContextPool pool(4, accounts_, files_);
  uint32_t k = 0;
  ClientContext* idle = Alloc(pool, &k, 1000);
  ClientContext* fresh = Alloc(pool, &k, 5000);
  ClientContext* served = Alloc(pool, &k, 1000);
  // Set up just before the tick counter wrapped: idle by the unsigned difference.
  ClientContext* wrapped = Alloc(pool, &k, 0xFFFFFF00u);
  auto serve = [&](bool busy) {
    MutexLock lock(&pool.mutex());
    served->busy = busy;
  };
  serve(true);
  testing::CapturedStdout out;
  EXPECT_EQ(pool.SweepIdle(5200, 1000), 2u);
  out.Restore();
  EXPECT_FALSE(idle->in_use || wrapped->in_use);
  EXPECT_TRUE(fresh->in_use && served->in_use);
  EXPECT_EQ(out.Text(), "Free SockResource: 5200\nServer Close ClientSocket!\n"
                        "Free SockResource: 5200\nServer Close ClientSocket!\n");
  EXPECT_EQ(pool.SweepIdle(6000, 1000), 0u);  // exactly the limit is not yet idle
  serve(false);
  testing::CapturedStdout quiet;
  EXPECT_EQ(pool.SweepIdle(6001, 1000), 2u);
  EXPECT_EQ(pool.InUse(), 0u);
}

}  // namespace
}  // namespace tervane
