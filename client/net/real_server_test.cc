// The library against the real server over loopback. Skipped only while
// tervanesvr has not been built.
#include <atomic>
#include <chrono>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/net/kova.h"
#include "testing/test_recorders.h"
#include "testing/test_server.h"
#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::RecordingStatus;
using testing::TestServer;

constexpr uint32_t kAttributeNormal = 0x80;
constexpr uint32_t kAttributeDirectory = 0x10;
constexpr char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf99";

uint8_t PatternAt(uint64_t position, uint8_t seed = 0) {
  return static_cast<uint8_t>(position * 31 + (position >> 12) + seed);
}

std::vector<uint8_t> Pattern(size_t size, uint64_t from, uint8_t seed = 0) {
  std::vector<uint8_t> out(size);
  for (size_t i = 0; i < size; ++i) out[i] = PatternAt(from + i, seed);
  return out;
}

class RealServerTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    if (TestServer::Binary().empty()) return;
    server_ = new TestServer;
    if (!server_->Start()) {
      why_ = server_->Errors();
      delete server_;
      server_ = nullptr;
    }
  }
  static void TearDownTestSuite() {
    delete server_;
    server_ = nullptr;
  }
  void SetUp() override {
    if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built yet";
    ASSERT_NE(server_, nullptr) << why_;
  }
  void TearDown() override {
    for (RemoteSession* s : sessions_) KOVA_Disconnect(s);
  }

  // A new connection, closed at the end of the test; null on failure.
  RemoteSession* Connect() {
    RemoteSession* session = nullptr;
    const Result rc = KOVA_Connect("127.0.0.1", &session, server_->port());
    EXPECT_EQ(rc, 0u) << server_->Log();
    if (session != nullptr) sessions_.push_back(session);
    return session;
  }
  // A connection logged in as a freshly registered user named `user`.
  RemoteSession* LoggedIn(const std::string& user) {
    RemoteSession* session = Connect();
    if (session == nullptr) return nullptr;
    EXPECT_EQ(KOVA_RegisterUser(session, user, kDigest), 0u);
    EXPECT_EQ(KOVA_Login(session, user, kDigest), 0u);
    return session;
  }
  void Forget(RemoteSession* session) {
    for (auto& s : sessions_) {
      if (s == session) s = nullptr;
    }
  }

  static TestServer* server_;
  static std::string why_;
  std::vector<RemoteSession*> sessions_;
};

TestServer* RealServerTest::server_ = nullptr;
std::string RealServerTest::why_;

TEST_F(RealServerTest, AccountsAndRequestsBeforeLogin) {
  RemoteSession* first = Connect();
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(KOVA_Heartbeat(first), 0u);

  // Every per-user request fails with 0x3501 before a login.
  RemoteFile* file = nullptr;
  uint32_t value = 0, other = 0;
  std::vector<uint8_t> buffer(64, 0xEE);
  uint32_t size = 64;
  EXPECT_EQ(KOVA_CreateFile(first, "a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, kAttributeNormal, &file),
            RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_DeleteFile(first, "a.txt"), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_GetFileAttributes(first, "a.txt", &value), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_SetFileAttributes(first, "a.txt", kAttributeNormal), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_CreateDirectory(first, "d"), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_RemoveDirectory(first, "d"), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_Rename(first, "a", "b"), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_GetSpaceInfo(first, &value, &other), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_SetSpaceInfo(first, 1, 2), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_SetCurDirectory(first, "\\", buffer.data(), &size), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(64, 0xEE));

  // The listing helper shows nothing for 0x3501.
  RecordingStatus sink;
  auto task = std::make_unique<ListTask>();
  task->directory_name = "\\";
  task->status = &sink;
  task->session = first;
  RunListTask(std::move(task));
  EXPECT_TRUE(sink.lines().empty());

  EXPECT_EQ(KOVA_RegisterUser(first, "Alice", kDigest), 0u);
  EXPECT_EQ(KOVA_RegisterUser(first, "Bob", kDigest), ERROR_ACCESS_DENIED);  // one per connection
  // A wrong password pauses its connection for a second: each has its own.
  RemoteSession* guesses[3] = {Connect(), Connect(), Connect()};
  for (RemoteSession* g : guesses) ASSERT_NE(g, nullptr);
  EXPECT_EQ(KOVA_RegisterUser(guesses[0], "alice", kDigest), RESULT_USER_EXISTS);
  EXPECT_EQ(KOVA_Login(guesses[1], "alice", kDigest), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_Login(guesses[2], "Alice", "00000000000000000000000000000000"), RESULT_WRONG_PASSWORD);
  ASSERT_EQ(KOVA_Login(first, "Alice", kDigest), 0u);
  EXPECT_EQ(KOVA_GetSpaceInfo(first, &value, &other), 0u);
  EXPECT_EQ(value, 0u);  // our own zeros, sent back
  EXPECT_EQ(other, 0u);
  EXPECT_EQ(KOVA_SetSpaceInfo(first, 1000, 10), 0u);

  RemoteSession* second = Connect();
  ASSERT_NE(second, nullptr);
  EXPECT_EQ(KOVA_Login(second, "Alice", kDigest), RESULT_ALREADY_LOGGED_IN);
  KOVA_Disconnect(first);
  Forget(first);
  // The server lets the account go once it has released the first connection.
  Result rc = RESULT_ALREADY_LOGGED_IN;
  for (int i = 0; i < 100 && rc == RESULT_ALREADY_LOGGED_IN; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    rc = KOVA_Login(second, "Alice", kDigest);
  }
  EXPECT_EQ(rc, 0u);
}

TEST_F(RealServerTest, FilesMoveInPiecesAndReadsEndWith38) {
  RemoteSession* session = LoggedIn("pieces");
  ASSERT_NE(session, nullptr);
  RemoteFile* file = nullptr;
  ASSERT_EQ(KOVA_CreateFile(session, "Mon\\C\\data\\a.bin", GENERIC_READ | GENERIC_WRITE, 0,
                            CREATE_ALWAYS, kAttributeNormal, &file), 0u);
  ASSERT_NE(file, nullptr);
  EXPECT_NE(file->handle, 0u);

  // 65,537 bytes (two pieces), nothing, then 65,536 (one piece) behind them.
  const std::vector<uint8_t> data = Pattern(131073, 0);
  uint64_t offset = 0;
  ASSERT_EQ(KOVA_WriteFile(file, &offset, 65537, data.data()), 0u);
  ASSERT_EQ(KOVA_WriteFile(file, &offset, 0, data.data()), 0u);
  offset = 65537;
  ASSERT_EQ(KOVA_WriteFile(file, &offset, 65536, data.data() + 65537), 0u);
  uint64_t size = 0;
  ASSERT_EQ(KOVA_GetFileSize(file, &size), 0u);
  EXPECT_EQ(size, 131073u);

  for (uint32_t count : {0u, 65536u, 65537u}) {
    SCOPED_TRACE(count);
    std::vector<uint8_t> back(count + 1, 0xEE);
    const uint64_t at = 65536;
    ASSERT_EQ(KOVA_ReadFile(file, &at, count, back.data()), 0u);
    EXPECT_TRUE(std::equal(back.begin(), back.begin() + count, data.begin() + 65536));
    EXPECT_EQ(back[count], 0xEE);
  }

  // The second piece asks for 1,000 bytes where 500 remain: 38, with the
  // first piece already delivered.
  std::vector<uint8_t> back(66536, 0xEE);
  const uint64_t near_end = 131073 - 65536 - 500;
  EXPECT_EQ(KOVA_ReadFile(file, &near_end, 66536, back.data()), ERROR_HANDLE_EOF);
  EXPECT_TRUE(std::equal(back.begin(), back.begin() + 65536, data.begin() + near_end));
  EXPECT_EQ(back[65536], 0xEE);
  const uint64_t past = 131073;
  uint8_t byte = 0;
  EXPECT_EQ(KOVA_ReadFile(file, &past, 1, &byte), ERROR_HANDLE_EOF);

  const uint64_t shorter = 10;
  ASSERT_EQ(KOVA_SetFileSize(file, &shorter), 0u);
  ASSERT_EQ(KOVA_GetFileSize(file, &size), 0u);
  EXPECT_EQ(size, 10u);

  // 2020-01-01 00:00:00 UTC as a FILETIME.
  const uint64_t when = 132223104000000000ull;
  ASSERT_EQ(KOVA_SetFileTime(file, nullptr, nullptr, &when), 0u);
  uint64_t creation = 0, access = 0, write = 0;
  ASSERT_EQ(KOVA_GetFileTime(file, &creation, &access, &write), 0u);
  EXPECT_EQ(write, when);
  const uint64_t zero = 0;
  ASSERT_EQ(KOVA_SetFileTime(file, &zero, &zero, &zero), 0u);
  ASSERT_EQ(KOVA_GetFileTime(file, nullptr, nullptr, &write), 0u);
  EXPECT_EQ(write, when);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);

  // A handle this connection never opened closes with 0.
  RemoteFile* stranger = new RemoteFile;
  stranger->session = session;
  stranger->handle = 0x7777;
  EXPECT_EQ(KOVA_CloseFile(stranger), 0u);

  // Opening a missing file without creating it.
  RemoteFile* missing = nullptr;
  EXPECT_EQ(KOVA_CreateFile(session, "Mon\\nothere.txt", GENERIC_READ, 1, OPEN_EXISTING,
                            kAttributeNormal, &missing), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(missing, nullptr);
}

TEST_F(RealServerTest, PathRequestsAndTheirFailures) {
  RemoteSession* session = LoggedIn("paths");
  ASSERT_NE(session, nullptr);
  RemoteFile* file = nullptr;
  ASSERT_EQ(KOVA_CreateFile(session, "Mon\\C\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS,
                            kAttributeNormal, &file), 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
  // A directory chain only.
  ASSERT_EQ(KOVA_CreateFile(session, "Tue\\empty|", 0, 0, 0, 0, &file), 0u);
  EXPECT_EQ(file->handle, 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);

  uint32_t attributes = 0;
  ASSERT_EQ(KOVA_GetFileAttributes(session, "Tue\\empty", &attributes), 0u);
  EXPECT_NE(attributes & kAttributeDirectory, 0u);
  ASSERT_EQ(KOVA_GetFileAttributes(session, "Mon\\C\\a.txt", &attributes), 0u);
  EXPECT_EQ(attributes & kAttributeDirectory, 0u);
  EXPECT_EQ(KOVA_GetFileAttributes(session, "Mon\\nothere", &attributes), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(KOVA_SetFileAttributes(session, "Mon\\C\\a.txt", kAttributeNormal), 0u);
  EXPECT_EQ(KOVA_SetFileAttributes(session, "Mon\\nothere", kAttributeNormal), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(KOVA_Rename(session, "Mon\\C\\a.txt", "Mon\\C\\b.txt"), 0u);
  EXPECT_EQ(KOVA_Rename(session, "Mon\\C\\a.txt", "Mon\\C\\c.txt"), RESULT_RENAME_FAILED);
  EXPECT_EQ(KOVA_DeleteFile(session, "Mon\\C\\b.txt"), 0u);
  EXPECT_EQ(KOVA_DeleteFile(session, "Mon\\C\\b.txt"), ERROR_FILE_NOT_FOUND);

  EXPECT_EQ(KOVA_CreateDirectory(session, "Wed\\x\\y"), 0u);
  ASSERT_EQ(KOVA_GetFileAttributes(session, "Wed\\x\\y", &attributes), 0u);
  EXPECT_NE(attributes & kAttributeDirectory, 0u);
  EXPECT_EQ(KOVA_RemoveDirectory(session, "Wed"), 0u);
  EXPECT_EQ(KOVA_GetFileAttributes(session, "Wed", &attributes), ERROR_FILE_NOT_FOUND);
  const Result again = KOVA_RemoveDirectory(session, "Wed");
  EXPECT_TRUE(again == ERROR_FILE_NOT_FOUND || again == ERROR_PATH_NOT_FOUND) << again;

  // Listing: a missing directory leaves everything; the home lists Mon and Tue.
  std::vector<uint8_t> buffer(1024, 0xEE);
  uint32_t size = 1024;
  EXPECT_EQ(KOVA_SetCurDirectory(session, "nothere", buffer.data(), &size), RESULT_NO_SUCH_DIRECTORY);
  EXPECT_EQ(size, 1024u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(1024, 0xEE));
  ASSERT_EQ(KOVA_SetCurDirectory(session, "\\", buffer.data(), &size), 0u);
  std::set<std::string> names;
  size_t at = 0;
  while (at < size) {
    ListingHeader h;
    ASSERT_TRUE(DecodeListingHeader(buffer.data() + at, size - at, &h));
    at += kListingHeaderSize;
    for (uint32_t i = 0; i < h.count; ++i) {
      ListingRecord r;
      size_t n = 0;
      ASSERT_TRUE(DecodeListingRecord(buffer.data() + at, size - at, &r, &n));
      EXPECT_TRUE(r.is_directory);
      names.insert(std::string(r.name));
      at += n;
    }
  }
  EXPECT_EQ(names, (std::set<std::string>{"Mon", "Tue"}));
  // An empty directory: 0, size and buffer as they were.
  std::vector<uint8_t> untouched(64, 0xEE);
  uint32_t untouched_size = 64;
  size = 1024;
  ASSERT_EQ(KOVA_SetCurDirectory(session, "Tue", buffer.data(), &size), 0u);
  EXPECT_EQ(size, 8u + 11u + 5u);  // one chunk, one record: "empty"
  ASSERT_EQ(KOVA_SetCurDirectory(session, "empty", untouched.data(), &untouched_size), 0u);
  EXPECT_EQ(untouched_size, 64u);
  EXPECT_EQ(untouched, std::vector<uint8_t>(64, 0xEE));
}

TEST_F(RealServerTest, SixteenFilesAtMostPerConnection) {
  RemoteSession* session = LoggedIn("many");
  ASSERT_NE(session, nullptr);
  std::vector<RemoteFile*> files;
  for (int i = 0; i < 16; ++i) {
    RemoteFile* file = nullptr;
    ASSERT_EQ(KOVA_CreateFile(session, "open\\f" + std::to_string(i), GENERIC_WRITE, 0,
                              CREATE_ALWAYS, kAttributeNormal, &file), 0u) << i;
    files.push_back(file);
  }
  RemoteFile* extra = nullptr;
  EXPECT_EQ(KOVA_CreateFile(session, "open\\f16", GENERIC_WRITE, 0, CREATE_ALWAYS, kAttributeNormal, &extra),
            ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(extra, nullptr);
  for (RemoteFile* f : files) EXPECT_EQ(KOVA_CloseFile(f), 0u);
  ASSERT_EQ(KOVA_CreateFile(session, "open\\f16", GENERIC_WRITE, 0, CREATE_ALWAYS, kAttributeNormal, &extra), 0u);
  EXPECT_EQ(KOVA_CloseFile(extra), 0u);
}

TEST_F(RealServerTest, ListingLargerThan10240BytesThroughTheHelper) {
  RemoteSession* session = LoggedIn("lister");
  ASSERT_NE(session, nullptr);
  // 250 names of 40 bytes: records of 51 bytes, 5 to a 272-byte chunk,
  // 50 chunks of 263 bytes = 13,150 bytes.
  std::set<std::string> expected;
  for (int i = 0; i < 250; ++i) {
    std::string name = "file-" + std::to_string(i);
    name.resize(40, 'x');
    expected.insert(name);
    RemoteFile* file = nullptr;
    ASSERT_EQ(KOVA_CreateFile(session, "big\\" + name, GENERIC_WRITE, 0, CREATE_ALWAYS,
                              kAttributeNormal, &file), 0u) << i;
    ASSERT_EQ(KOVA_CloseFile(file), 0u);
  }
  RecordingStatus sink;
  std::vector<uint8_t> listing;
  auto task = std::make_unique<ListTask>();
  task->directory_name = "big";
  task->status = &sink;
  task->session = session;
  task->listing = &listing;
  EXPECT_EQ(RunListTask(std::move(task)), 0u);
  EXPECT_TRUE(sink.lines().empty());
  EXPECT_EQ(listing.size(), 13150u);

  std::set<std::string> seen;
  size_t at = 0, lasts = 0;
  while (at < listing.size()) {
    ListingHeader h;
    ASSERT_TRUE(DecodeListingHeader(listing.data() + at, listing.size() - at, &h));
    at += kListingHeaderSize;
    for (uint32_t i = 0; i < h.count; ++i) {
      ListingRecord r;
      size_t n = 0;
      ASSERT_TRUE(DecodeListingRecord(listing.data() + at, listing.size() - at, &r, &n));
      seen.insert(std::string(r.name));
      lasts += r.is_last ? 1 : 0;
      at += n;
    }
  }
  EXPECT_EQ(seen, expected);
  EXPECT_EQ(lasts, 1u);

  // The same directory again (the current one now) with the first buffer
  // size: 14 and what it needs.
  std::vector<uint8_t> small(kFirstListingBuffer);
  uint32_t size = kFirstListingBuffer;
  EXPECT_EQ(KOVA_SetCurDirectory(session, "big", small.data(), &size), ERROR_OUTOFMEMORY);
  EXPECT_EQ(size, 13150u);
}

TEST_F(RealServerTest, TwoThreadsOnOneSessionEachGetTheirOwnReplies) {
  RemoteSession* session = LoggedIn("threads");
  ASSERT_NE(session, nullptr);
  std::atomic<int> failures{0};
  auto worker = [&](int id) {
    // Each thread its own file of its own size and content.
    const std::string path = "t\\file" + std::to_string(id);
    const std::vector<uint8_t> data = Pattern(1000 + id * 70000, 0, static_cast<uint8_t>(id * 77));
    RemoteFile* file = nullptr;
    if (KOVA_CreateFile(session, path, GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                        kAttributeNormal, &file) != 0) {
      ++failures;
      return;
    }
    for (int round = 0; round < 30; ++round) {
      const uint64_t zero = 0;
      uint64_t size = 0;
      uint32_t attributes = 0;
      std::vector<uint8_t> back(data.size());
      if (KOVA_WriteFile(file, &zero, static_cast<uint32_t>(data.size()), data.data()) != 0 ||
          KOVA_GetFileSize(file, &size) != 0 || size != data.size() ||
          KOVA_ReadFile(file, &zero, static_cast<uint32_t>(back.size()), back.data()) != 0 ||
          back != data || KOVA_GetFileAttributes(session, path, &attributes) != 0 ||
          (attributes & kAttributeDirectory) != 0 || KOVA_Heartbeat(session) != 0) {
        ++failures;
      }
    }
    if (KOVA_CloseFile(file) != 0) ++failures;
  };
  std::thread a(worker, 0), b(worker, 1);
  a.join();
  b.join();
  EXPECT_EQ(failures, 0);
}

// A server of its own that drops silent connections after 300 ms.
TEST(RealServerClosingTest, ServerClosingTheConnectionGives13) {
  if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built yet";
  TestServer server;
  ASSERT_TRUE(server.Start({"--idle-ms", "300", "--sweep-ms", "100"})) << server.Errors();

  // Dropped between requests: the next operation finds the reply cut off.
  RemoteSession* session = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, server.port()), 0u);
  std::this_thread::sleep_for(std::chrono::milliseconds(1200));
  EXPECT_EQ(KOVA_Heartbeat(session), ERROR_INVALID_DATA) << server.Log();
  EXPECT_EQ(KOVA_Heartbeat(session), WSAENOTCONN);
  KOVA_Disconnect(session);

  // Dropped while we wait for a reply: the request's payload never came whole.
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, server.port()), 0u);
  {
    MutexLock hold(&session->lock);
    uint8_t frame[kHeaderSize + 10] = {};
    EncodeFrameHeader(MakeRequestHeader(OP_READ_FILE, 20, 1), frame);
    ASSERT_EQ(SendAll(session->socket, frame, sizeof frame), 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ReceiveAll(session->socket, frame, kHeaderSize), ERROR_INVALID_DATA);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  KOVA_Disconnect(session);
}

}  // namespace
}  // namespace tervane
