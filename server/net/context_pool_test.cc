#include "server/net/context_pool.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "testing/captured_stdout.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "server/store/store_path.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";

class ContextPoolTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tervane_pool_XXXXXX";
    dir_ = ::mkdtemp(name);
    std::filesystem::create_directories(dir_ + "/share");
    std::ofstream(dir_ + "/Config.cfg", std::ios::binary)
        << "[SharePath]\r\n" << dir_ << "/share/\r\n[User]\r\nalice\r\n" << kPassword << "\r\n";
    uint32_t max_connections = 0;
    ASSERT_EQ(accounts_.LoadAccounts(dir_ + "/Config.cfg", &max_connections), 0u);
    ASSERT_EQ(max_connections, 10u);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  // An open (unconnected) socket, as the acceptor would hand over.
  asio::ip::tcp::socket NewSocket() {
    asio::ip::tcp::socket s(io_);
    s.open(asio::ip::tcp::v4());
    return s;
  }

  ClientContext* Alloc(ContextPool& pool, uint32_t* key, uint32_t now = 1000) {
    asio::ip::tcp::socket s = NewSocket();
    return pool.Alloc(0x0100007f, 5000, s, now, key);
  }

  std::string dir_;
  asio::io_context io_;
  AccountManager accounts_;
  FileRegistry files_;
};

TEST_F(ContextPoolTest, TakesTheLowestFreeSlotAndRefusesWhenFull) {
  ContextPool pool(io_, 3, accounts_, files_);
  uint32_t keys[3];
  ClientContext* c0 = Alloc(pool, &keys[0]);
  ClientContext* c1 = Alloc(pool, &keys[1]);
  ClientContext* c2 = Alloc(pool, &keys[2]);
  ASSERT_EQ(c0, &pool.slot(0));
  ASSERT_EQ(c1, &pool.slot(1));
  ASSERT_EQ(c2, &pool.slot(2));
  EXPECT_EQ(pool.InUse(), 3u);

  asio::ip::tcp::socket extra = NewSocket();
  uint32_t extra_key = 0;
  EXPECT_EQ(pool.Alloc(0x0100007f, 5001, extra, 1000, &extra_key), nullptr);
  EXPECT_TRUE(extra.is_open());  // still the caller's

  testing::CapturedStdout out;
  pool.Free(c1, keys[1]);
  pool.Free(c0, keys[0]);
  out.Restore();
  EXPECT_EQ(out.Text(), "Server Close ClientSocket!\nServer Close ClientSocket!\n");
  uint32_t k = 0;
  EXPECT_EQ(Alloc(pool, &k), &pool.slot(0));
  EXPECT_EQ(Alloc(pool, &k), &pool.slot(1));
}

TEST_F(ContextPoolTest, KeysAreNonzeroAndNeverReusedSoAStaleFreeDoesNothing) {
  ContextPool pool(io_, 2, accounts_, files_);
  std::set<uint32_t> seen;
  for (int i = 0; i < 20; ++i) {
    uint32_t key = 0;
    ClientContext* c = Alloc(pool, &key);
    ASSERT_NE(c, nullptr);
    EXPECT_NE(key, 0u);
    EXPECT_TRUE(seen.insert(key).second) << key;
    testing::CapturedStdout quiet;
    pool.Free(c, key);
  }
  uint32_t old_key = 0;
  ClientContext* c = Alloc(pool, &old_key);
  {
    testing::CapturedStdout quiet;
    pool.Free(c, old_key);
  }
  uint32_t new_key = 0;
  ASSERT_EQ(Alloc(pool, &new_key), c);  // the same slot, a new connection
  pool.Free(c, old_key);                // a late release of the earlier one
  EXPECT_EQ(pool.InUse(), 1u);
  EXPECT_TRUE(c->in_use);
  EXPECT_EQ(c->session.key, new_key);
}

TEST_F(ContextPoolTest, ReleaseLogsOutClosesFilesAndLeavesAFreshSlot) {
  ContextPool pool(io_, 2, accounts_, files_);
  uint32_t key = 0;
  ClientContext* c = Alloc(pool, &key);
  ASSERT_EQ(accounts_.Login("alice", kPassword, key), 0u);
  StorePath path;
  bool has_file = false;
  ASSERT_EQ(accounts_.ResolveCreatePath(key, "a.txt", &path, &has_file), 0u);
  uint32_t handle = 0;
  ASSERT_EQ(files_.Open(path, GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, &handle), 0u);
  ASSERT_EQ(c->session.open_files.Add(handle, "a.txt", files_), 0u);
  c->session.open = true;
  c->stage = STAGE_WRITE_FILE;
  c->buffer[100] = 0xAB;

  {
    testing::CapturedStdout quiet;
    pool.Free(c, key);
  }
  EXPECT_EQ(files_.OpenCount(), 0u);
  EXPECT_FALSE(c->socket.is_open());

  // The account is free for another connection; the file opens exclusively again.
  uint32_t key2 = 0;
  ClientContext* c2 = Alloc(pool, &key2);
  ASSERT_EQ(c2, c);
  EXPECT_EQ(accounts_.Login("alice", kPassword, key2), 0u);
  EXPECT_EQ(files_.Open(path, GENERIC_WRITE, 0, OPEN_EXISTING, 0x80, &handle), 0u);
  files_.Close(handle);
  EXPECT_EQ(c2->session.open_files.size(), 0u);
  EXPECT_FALSE(c2->session.open);
  EXPECT_EQ(c2->stage, STAGE_HEADER);
  EXPECT_EQ(c2->io_kind, IO_RECEIVE);
  EXPECT_EQ(c2->remaining, kHeaderSize);
  EXPECT_EQ(c2->buffer[100], 0);
  // The earlier key unbinds nothing now.
  accounts_.Logout(key);
  EXPECT_EQ(accounts_.Login("alice", kPassword, key2 + 1000), RESULT_ALREADY_LOGGED_IN);
}

TEST_F(ContextPoolTest, ASlotWhoseSocketIsAlreadyClosedIsReleasedSilently) {
  ContextPool pool(io_, 1, accounts_, files_);
  asio::ip::tcp::socket unopened(io_);
  uint32_t key = 0;
  ClientContext* c = pool.Alloc(0x0100007f, 5000, unopened, 1000, &key);
  ASSERT_NE(c, nullptr);
  testing::CapturedStdout out;
  pool.Free(c, key);
  out.Restore();
  EXPECT_EQ(out.Text(), "");
  EXPECT_EQ(pool.InUse(), 0u);
}

TEST_F(ContextPoolTest, SweepReleasesOnlyIdleConnectionsNotBeingServed) {
  ContextPool pool(io_, 4, accounts_, files_);
  uint32_t k = 0;
  ClientContext* idle = Alloc(pool, &k, 1000);
  ClientContext* fresh = Alloc(pool, &k, 5000);
  ClientContext* served = Alloc(pool, &k, 1000);
  // Set up just before the tick counter wrapped: idle by the unsigned difference.
  ClientContext* wrapped = Alloc(pool, &k, 0xFFFFFF00u);
  {
    std::lock_guard<std::mutex> lock(pool.mutex());
    served->busy = true;
  }
  testing::CapturedStdout out;
  EXPECT_EQ(pool.SweepIdle(5200, 1000), 2u);
  out.Restore();
  EXPECT_FALSE(idle->in_use);
  EXPECT_TRUE(fresh->in_use);
  EXPECT_TRUE(served->in_use);
  EXPECT_FALSE(wrapped->in_use);
  EXPECT_EQ(out.Text(),
            "Free SockResource: 5200\nServer Close ClientSocket!\n"
            "Free SockResource: 5200\nServer Close ClientSocket!\n");
  // Exactly the limit is not yet idle.
  EXPECT_EQ(pool.SweepIdle(6000, 1000), 0u);
  {
    std::lock_guard<std::mutex> lock(pool.mutex());
    served->busy = false;
  }
  testing::CapturedStdout quiet;
  EXPECT_EQ(pool.SweepIdle(6001, 1000), 2u);
  EXPECT_EQ(pool.InUse(), 0u);
}

TEST_F(ContextPoolTest, DestroyAllReleasesEverySlot) {
  ContextPool pool(io_, 3, accounts_, files_);
  uint32_t k = 0;
  Alloc(pool, &k);
  Alloc(pool, &k);
  testing::CapturedStdout out;
  pool.DestroyAll();
  out.Restore();
  EXPECT_EQ(pool.InUse(), 0u);
  EXPECT_EQ(out.Text(), "Server Close ClientSocket!\nServer Close ClientSocket!\n");
}

}  // namespace
}  // namespace tervane
