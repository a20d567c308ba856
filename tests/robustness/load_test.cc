// Ten clients, each with its own account, upload files and list their
// directories at once for a few seconds, while an eleventh connection is
// refused. Afterwards every copy on the server matches what its client
// sent, every listing showed exactly the files uploaded by then, and the
// server's open descriptors and resident memory are back near where they
// were before the clients came.
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "client/app/md5.h"
#include "client/net/remote_directory.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "testing/test_client.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "testing/child_process.h"
#include "testing/test_server.h"
#include "testing/temp_dir.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;

constexpr int kClients = 10;  // the server's connection limit
constexpr int kLoadMs = 3000;
constexpr int kMaxFilesPerClient = 150;
constexpr int kDirectories = 3;
constexpr uint32_t kNormal = 0x80;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
// The sanitizers keep freed memory aside and shadow what is used.
constexpr long kResidentSlackKb = 32 * 1024;
#else
constexpr long kResidentSlackKb = 8 * 1024;
#endif

struct Upload {
  std::string directory;
  std::string name;
  uint64_t seed = 0;
  size_t size = 0;
};

struct ClientResult {
  std::string failure;  // empty when everything went as it should
  std::vector<Upload> uploads;
  int listings = 0;
};

// The names in a collected listing (chunks back to back).
std::set<std::string> ListedNames(const std::vector<uint8_t>& buffer, uint32_t size) {
  std::set<std::string> names;
  size_t at = 0;
  while (at + kListingHeaderSize <= size) {
    ListingHeader header;
    if (!DecodeListingHeader(buffer.data() + at, size - at, &header)) break;
    at += kListingHeaderSize;
    for (uint32_t i = 0; i < header.count; ++i) {
      ListingRecord record;
      size_t record_size = 0;
      if (!DecodeListingRecord(buffer.data() + at, size - at, &record, &record_size)) return names;
      names.insert(std::string(record.name));
      at += record_size;
    }
  }
  return names;
}

class Gate {
 public:
  void Arrive() {
    std::lock_guard<std::mutex> hold(mu_);
    ++arrived_;
    cv_.notify_all();
  }
  bool WaitFor(int count, int timeout_ms) {
    std::unique_lock<std::mutex> hold(mu_);
    return cv_.wait_for(hold, std::chrono::milliseconds(timeout_ms), [&] { return arrived_ >= count; });
  }

 private:
  std::mutex mu_;
  std::condition_variable cv_;
  int arrived_ = 0;
};

// One client: connects and logs in (then `connected`), waits for `go`,
// uploads and lists until the time is up, and keeps its connection until
// `release`, so that the eleventh connection meets ten held ones.
void RunClient(int index, uint16_t port, Gate* connected, Gate* go, Gate* release, ClientResult* out) {
  const std::string user = "load" + std::to_string(index);
  RemoteSession* session = nullptr;
  Result rc = KOVA_Connect("127.0.0.1", &session, port);
  if (rc != 0) {
    out->failure = "connect: " + std::to_string(rc.code());
    connected->Arrive();
    return;
  }
  const std::string digest = PasswordDigest("pw" + std::to_string(index));
  if ((rc = KOVA_RegisterUser(session, user, digest)) != 0 || (rc = KOVA_Login(session, user, digest)) != 0) {
    out->failure = "register or login: " + std::to_string(rc.code());
  }
  connected->Arrive();
  go->WaitFor(1, 30000);

  const int64_t until = NowMs() + kLoadMs;
  std::vector<uint8_t> listing(65536);
  for (int k = 0; out->failure.empty() && k < kMaxFilesPerClient && NowMs() < until; ++k) {
    Upload u;
    u.directory = "d" + std::to_string(k % kDirectories);
    u.name = "f" + std::to_string(k) + ".bin";
    u.seed = static_cast<uint64_t>(index) * 100000 + static_cast<uint64_t>(k);
    u.size = (static_cast<size_t>(k) * 7919 + static_cast<size_t>(index) * 104729) % 200000 + 1;
    const std::string content = PatternBytes(u.size, u.seed);
    RemoteFile* file = nullptr;
    rc = KOVA_CreateFile(session, u.directory + "\\" + u.name, GENERIC_WRITE, 0, CREATE_ALWAYS, kNormal, &file);
    if (rc != 0) {
      out->failure = "create " + u.name + ": " + std::to_string(rc.code());
      break;
    }
    const uint64_t size = u.size;
    const uint64_t zero = 0;
    rc = KOVA_SetFileSize(file, &size);
    if (rc == 0) rc = KOVA_WriteFile(file, &zero, static_cast<uint32_t>(u.size), content.data());
    const Result closed = KOVA_CloseFile(file);
    if (rc != 0 || closed != 0) {
      out->failure = "upload " + u.name + ": " + std::to_string(rc.code()) + "/" + std::to_string(closed.code());
      break;
    }
    out->uploads.push_back(u);

    if (k % 4 == 3) {
      // The directory just written to lists exactly what was uploaded there.
      std::set<std::string> expected;
      for (const Upload& done : out->uploads) {
        if (done.directory == u.directory) expected.insert(done.name);
      }
      uint32_t size_home = static_cast<uint32_t>(listing.size());
      uint32_t size_dir = static_cast<uint32_t>(listing.size());
      rc = KOVA_SetCurDirectory(session, "\\", listing.data(), &size_home);
      if (rc == 0) rc = KOVA_SetCurDirectory(session, u.directory, listing.data(), &size_dir);
      if (rc != 0) {
        out->failure = "list " + u.directory + ": " + std::to_string(rc.code());
      } else if (ListedNames(listing, size_dir) != expected) {
        out->failure = "the listing of " + u.directory + " differs from the uploads";
      }
      ++out->listings;
    }
  }
  release->WaitFor(1, 60000);
  KOVA_Disconnect(session);
}

TEST(LoadTest, TenClientsUploadAndListWhileAnEleventhIsRefused) {
  if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built (TERVANE_BIN_DIR)";
  TempDir tmp;
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Log();
  const int descriptors_before = server.process().OpenDescriptors();
  const long resident_before = server.process().ResidentKb();
  ASSERT_GT(descriptors_before, 0);
  ASSERT_GT(resident_before, 0);

  Gate connected;
  Gate go;
  Gate release;
  std::vector<ClientResult> results(kClients);
  std::vector<std::thread> clients;
  for (int i = 0; i < kClients; ++i) {
    clients.emplace_back(RunClient, i, server.port(), &connected, &go, &release, &results[static_cast<size_t>(i)]);
  }
  ASSERT_TRUE(connected.WaitFor(kClients, 30000));
  go.Arrive();

  // While all ten hold their connections: one more is accepted by the
  // system and closed by the server at once, without a byte.
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  tervane::testing::TestClient eleventh;
  ASSERT_TRUE(eleventh.Connect(server.port()));
  EXPECT_TRUE(eleventh.WaitClosed(5000)) << "the eleventh connection was not closed";
  RemoteSession* twelfth = nullptr;
  EXPECT_NE(KOVA_Connect("127.0.0.1", &twelfth, server.port()), 0u) << "a connection beyond the limit was served";
  EXPECT_EQ(twelfth, nullptr);
  const int descriptors_under_load = server.process().OpenDescriptors();
  const long resident_under_load = server.process().ResidentKb();
  release.Arrive();

  for (std::thread& t : clients) t.join();
  size_t files = 0;
  int listings = 0;
  for (int i = 0; i < kClients; ++i) {
    const ClientResult& r = results[static_cast<size_t>(i)];
    EXPECT_TRUE(r.failure.empty()) << "client " << i << ": " << r.failure;
    EXPECT_GE(r.uploads.size(), 4u) << "client " << i << " hardly got to upload";
    files += r.uploads.size();
    listings += r.listings;
    const std::string home = server.share() + "load" + std::to_string(i) + "/";
    for (const Upload& u : r.uploads) {
      const std::string copy = ReadFile(home + u.directory + "/" + u.name);
      EXPECT_TRUE(copy == PatternBytes(u.size, u.seed))
          << "client " << i << ": " << u.directory << "/" << u.name << " differs (" << copy.size() << " of "
          << u.size << " bytes)";
    }
  }
  EXPECT_GT(listings, 0);
  EXPECT_EQ(server.CountInLog("连接文件服务器!"), kClients) << "a connection beyond the limit got a slot";

  // Back where it started once the clients are gone.
  const int64_t until = NowMs() + 10000;
  while (server.process().OpenDescriptors() != descriptors_before && NowMs() < until) ::usleep(20000);
  EXPECT_EQ(server.process().OpenDescriptors(), descriptors_before)
      << "under load: " << descriptors_under_load;
  const long resident_after = server.process().ResidentKb();
  EXPECT_LE(resident_after, resident_before + kResidentSlackKb)
      << "resident KiB before " << resident_before << ", under load " << resident_under_load << ", after "
      << resident_after;
  // And the freed slots serve again.
  tervane::testing::TestClient next;
  ASSERT_TRUE(next.Connect(server.port()));
  EXPECT_EQ(next.OpenSession(), 0u);
  next.Close();
  std::string problem;
  EXPECT_TRUE(server.StopCleanly(&problem)) << problem;
  RecordProperty("files", static_cast<int>(files));
  std::printf("%zu files uploaded by %d clients, %d listings; descriptors %d -> %d; "
              "resident KiB %ld -> %ld -> %ld\n",
              files, kClients, listings, descriptors_before, descriptors_under_load, resident_before,
              resident_under_load, resident_after);
}

}  // namespace
}  // namespace tervane::robust
