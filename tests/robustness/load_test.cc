// Ten clients with their own accounts upload and list at once for a few
// seconds through the client library. Every copy matches what was sent,
// every listing shows exactly the uploads so far, and the server's open
// descriptors and resident memory come back near where they were.
#include <unistd.h>

#include <gtest/gtest.h>

#include <latch>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/app/copy_browser.h"
#include "client/app/md5.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "shared/protocol/open_flags.h"
#include "testing/child_process.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;

constexpr int kClients = 10;  // the server's connection limit
constexpr int kLoadMs = 3000;
constexpr int kMaxFilesPerClient = 150;
constexpr int kDirectories = 3;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr long kResidentSlackKb = 32 * 1024;  // the sanitizers keep freed memory aside
#else
constexpr long kResidentSlackKb = 8 * 1024;
#endif

struct Upload {
  std::string directory, name;
  uint64_t seed = 0;
  size_t size = 0;
};

struct ClientResult {
  std::string failure;  // empty when all went well
  std::vector<Upload> uploads;  // a listing follows every fourth
};

// Registers and logs in, waits for all ten, then uploads and lists.
void RunClient(int index, uint16_t port, std::latch* ready, ClientResult* out) {
  const std::string user = "load" + std::to_string(index);
  const std::string digest = PasswordDigest("pw" + std::to_string(index));
  RemoteSession* session = nullptr;
  Result rc = KOVA_Connect("127.0.0.1", &session, port);
  if (rc == 0 && (rc = KOVA_RegisterUser(session, user, digest)) == 0) rc = KOVA_Login(session, user, digest);
  if (rc != 0) out->failure = "connect, register or login: " + std::to_string(rc.code());
  ready->arrive_and_wait();
  const int64_t until = NowMs() + kLoadMs;
  CopyBrowser browser(session);
  for (int k = 0; out->failure.empty() && k < kMaxFilesPerClient && NowMs() < until; ++k) {
    Upload u{"d" + std::to_string(k % kDirectories), "f" + std::to_string(k) + ".bin",
             static_cast<uint64_t>(index) * 100000 + static_cast<uint64_t>(k),
             (static_cast<size_t>(k) * 7919 + static_cast<size_t>(index) * 104729) % 200000 + 1};
    const std::string content = PatternBytes(u.size, u.seed);
    RemoteFile* file = nullptr;
    rc = KOVA_CreateFile(session, u.directory + "\\" + u.name, GENERIC_WRITE, 0, CREATE_ALWAYS, 0x80, &file);
    const uint64_t size = u.size, zero = 0;
    if (rc == 0) rc = KOVA_SetFileSize(file, &size);
    if (rc == 0) rc = KOVA_WriteFile(file, &zero, static_cast<uint32_t>(u.size), content.data());
    const Result closed = file != nullptr ? KOVA_CloseFile(file) : Result(0);
    if (rc != 0 || closed != 0) {
      out->failure = "upload " + u.name + ": " + std::to_string(rc.code()) + "/" + std::to_string(closed.code());
      break;
    }
    out->uploads.push_back(u);
    if (k % 4 != 3) continue;
    // The directory just written to lists exactly what was uploaded there.
    std::set<std::string> expected, listed;
    for (const Upload& done : out->uploads) {
      if (done.directory == u.directory) expected.insert(done.name);
    }
    std::vector<CopyEntry> entries;
    rc = browser.List(u.directory, false, &entries);
    for (const CopyEntry& entry : entries) listed.insert(entry.remote_name);
    if (rc != 0) {
      out->failure = "list " + u.directory + ": " + std::to_string(rc.code());
    } else if (listed != expected) {
      out->failure = "the listing of " + u.directory + " differs from the uploads";
    }
  }
  if (session != nullptr) KOVA_Disconnect(session);
}

TEST(LoadTest, TenClientsUploadAndListAtOnce) {
  if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built (TERVANE_BIN_DIR)";
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  const int descriptors_before = server.process().OpenDescriptors();
  const long resident_before = server.process().ResidentKb();
  ASSERT_GT(descriptors_before, 0);
  ASSERT_GT(resident_before, 0);
  std::latch ready(kClients);
  std::vector<ClientResult> results(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) clients.emplace_back(RunClient, i, server.port(), &ready, &results[i]);
  for (std::thread& t : clients) t.join();
  for (int i = 0; i < kClients; ++i) {
    const ClientResult& r = results[static_cast<size_t>(i)];
    EXPECT_TRUE(r.failure.empty()) << "client " << i << ": " << r.failure;
    EXPECT_GE(r.uploads.size(), 4u) << "client " << i << " hardly got to upload or list";
    for (const Upload& u : r.uploads) {
      const std::string copy = ReadFile(server.share() + "load" + std::to_string(i) + "/" + u.directory + "/" + u.name);
      EXPECT_TRUE(copy == PatternBytes(u.size, u.seed))
          << "client " << i << ": " << u.directory << "/" << u.name << " differs (" << copy.size() << " of "
          << u.size << " bytes)";
    }
  }
  EXPECT_EQ(server.CountInLog("连接文件服务器!"), kClients);
  const int64_t until = NowMs() + 10000;
  while (server.process().OpenDescriptors() != descriptors_before && NowMs() < until) ::usleep(20000);
  EXPECT_EQ(server.process().OpenDescriptors(), descriptors_before);
  const long resident_after = server.process().ResidentKb();
  EXPECT_LE(resident_after, resident_before + kResidentSlackKb)
      << "resident KiB before " << resident_before << ", after " << resident_after;
}

}  // namespace
}  // namespace tervane::robust
