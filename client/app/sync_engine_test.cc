#include "client/app/sync_engine.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <mutex>
#include <condition_variable>
#include <fcntl.h>
#include <future>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "client/app/client_session.h"
#include "client/app/remote_path.h"
#include "testing/test_recorders.h"
#include "testing/child_process.h"
#include "testing/fake_peer.h"
#include "testing/free_port.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

using testing::FakePeer;
using testing::RecordingStatus;
using testing::RecordingUi;
using testing::Tree;

constexpr uint32_t kLoopback = 0x7F000001;

// Local noon of a given date.
time_t LocalNoon(int year, int month, int day) {
  tm t{};
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  t.tm_hour = 12;
  t.tm_isdst = -1;
  return ::mktime(&t);
}

// The server-side path of a local absolute path below the weekday folder.
std::string ServerPath(const testing::TestServer& server, const std::string& day, const std::string& local) {
  return server.home("sync") + "/" + day + local;
}

// Everything a scripted fake saw of the uploads.
struct UploadLog {
  std::mutex mu;
  std::vector<std::string> created;  // remote names (UTF-8) of create requests
  std::map<uint32_t, uint64_t> sizes_set;
  uint64_t bytes_written = 0;
  uint64_t last_offset = 0;
  uint32_t last_count = 0;
  std::vector<std::pair<uint32_t, uint32_t>> space_reports;
  uint32_t next_handle = 100;
};

// A fake server that accepts every upload and keeps only the figures.
uint32_t AcceptUploads(UploadLog* log, const FakePeer::Request& r, std::vector<uint8_t>* reply) {
  std::lock_guard<std::mutex> lock(log->mu);
  switch (r.header.code) {
    case OP_OPEN_SESSION:
      reply->assign(4, 0);
      return 0;
    case OP_GET_SPACE_INFO:
      reply->resize(8);
      EncodeSpaceInfo(0x10000000, 50, reply->data(), 8);
      return 0;
    case OP_LIST_DIRECTORY:
      reply->assign(8, 0);
      return 0;
    case OP_CREATE_FILE: {
      CreateFileRequest c;
      if (!DecodeCreateFileRequest(r.payload.data(), r.payload.size(), &c)) return 87;
      std::string utf8;
      WireToUtf8(c.path, &utf8);
      log->created.push_back(utf8);
      if (!utf8.empty() && utf8.back() == '|') return 0;  // a directory chain: no handle
      reply->assign(8, 0);
      StoreU32(reply->data(), log->next_handle++);
      return 0;
    }
    case OP_GET_FILE_SIZE:
      reply->assign(8, 0);
      StoreU64(reply->data(), 7);  // as if an older copy of 7 bytes were there
      return 0;
    case OP_SET_FILE_SIZE: {
      uint32_t handle = 0;
      uint64_t size = 0;
      if (!DecodeSetFileSizeRequest(r.payload.data(), r.payload.size(), &handle, &size)) return 87;
      log->sizes_set[handle] = size;
      return 0;
    }
    case OP_WRITE_FILE: {
      DataRequest d;
      if (!DecodeWriteRequest(r.payload.data(), r.payload.size(), &d)) return 87;
      log->bytes_written += d.count;
      log->last_offset = d.offset;
      log->last_count = d.count;
      return 0;
    }
    case OP_SET_SPACE_INFO: {
      uint32_t space = 0, files = 0;
      DecodeSpaceInfo(r.payload.data(), r.payload.size(), &space, &files);
      log->space_reports.emplace_back(space, files);
      return 0;
    }
    default:
      return 0;
  }
}

class SyncEngineFakeTest : public ::testing::Test {
 protected:
  SyncEngineFakeTest()
      : fake_(FakePeer::Answering([this](const auto& r, auto* out) { return AcceptUploads(&log_, r, out); })),
        engine_(&session_, &status_, &ui_) {
    engine_.SetClock([] { return LocalNoon(2024, 5, 6); });  // a Monday
  }
  SyncJob Job(std::vector<std::string> dirs) {
    SyncJob job;
    job.server_address = kLoopback;
    job.port = fake_.port();
    job.directories = std::move(dirs);
    job.user = kSyncUserName;
    return job;
  }
  std::vector<std::string> Created() {
    std::lock_guard<std::mutex> lock(log_.mu);
    return log_.created;
  }

  UploadLog log_;
  FakePeer fake_;
  ClientSession session_;
  RecordingStatus status_;
  RecordingUi ui_;
  SyncEngine engine_;
  testing::TempDir tmp_;
};

// Links, FIFOs and sockets: a link to a file is sent as that file, a link
// to a directory is not followed, a dangling link fails visibly, FIFOs and
// sockets are passed over without being opened (which would hang). Every
// marker's record is closed again.
TEST_F(SyncEngineFakeTest, SpecialFilesAndMarkers) {
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "hello");
  testing::WriteFile(tmp_.path() + "/outside/secret.txt", "not for the copy");
  testing::MakeDirs(root + "/empty");
  ASSERT_EQ(::symlink((root + "/a.txt").c_str(), (root + "/link_file").c_str()), 0);
  ASSERT_EQ(::symlink((tmp_.path() + "/outside").c_str(), (root + "/link_dir").c_str()), 0);
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);
  ASSERT_EQ(::mkfifo((root + "/fifo").c_str(), 0644), 0);
  const int sock = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un addr{};
  addr.sun_family = AF_UNIX;
  const std::string sock_path = root + "/sock";
  ASSERT_LT(sock_path.size(), sizeof(addr.sun_path));
  std::strcpy(addr.sun_path, sock_path.c_str());
  ASSERT_EQ(::bind(sock, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)), 0);

  auto run = std::async(std::launch::async, [&] { return engine_.SyncTask(Job({root})); });
  ASSERT_EQ(run.wait_for(std::chrono::seconds(20)), std::future_status::ready) << "the run hung";
  const SyncReport report = run.get();
  ::close(sock);

  EXPECT_EQ(report.outcome, SyncReport::Outcome::kCompleted);
  EXPECT_EQ(report.day, "Mon");
  EXPECT_EQ(report.files_uploaded, 2u);  // a.txt and link_file
  EXPECT_EQ(report.markers_uploaded, 1u);
  EXPECT_EQ(report.failed_uploads, 1u);  // dangling
  EXPECT_EQ(report.ExitCode(), 1);
  EXPECT_EQ(status_.Count(kUploadFailedText), 1);

  std::string prefix;
  ASSERT_EQ(MapRemoteName("Mon", root, &prefix), 0u);
  std::vector<std::string> created = Created();
  std::sort(created.begin(), created.end());
  EXPECT_EQ(created, (std::vector<std::string>{prefix + "\\a.txt", prefix + "\\empty|", prefix + "\\link_file"}));
  // The marker's create is followed by a close of its record, like a file's.
  const std::vector<uint16_t> codes = fake_.Codes();
  int creates = 0, closes = 0;
  for (uint16_t c : codes) {
    creates += c == OP_CREATE_FILE;
    closes += c == OP_CLOSE_FILE;
  }
  EXPECT_EQ(creates, 3);
  EXPECT_EQ(closes, 3);
  std::lock_guard<std::mutex> lock(log_.mu);
  EXPECT_EQ(log_.bytes_written, 10u);
}

// A file that delivers fewer bytes than its size (here a kernel attribute
// file that claims a page) stops with "上传失败" before any piece is sent:
// no zeros go out in place of the missing bytes.
TEST_F(SyncEngineFakeTest, ShortReadStopsTheFile) {
  const char* kShort = "/sys/devices/system/cpu/online";
  struct stat st {};
  if (::stat(kShort, &st) != 0 || st.st_size < 64 ||
      testing::ReadFile(kShort).size() >= static_cast<size_t>(st.st_size)) {
    GTEST_SKIP() << "no file here that is shorter than its size";
  }
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/ok.txt", "fine");
  ASSERT_EQ(::symlink(kShort, (root + "/short").c_str()), 0);
  const SyncReport report = engine_.SyncTask(Job({root}));
  EXPECT_EQ(report.files_uploaded, 1u);
  EXPECT_EQ(report.failed_uploads, 1u);
  EXPECT_EQ(status_.Count(kUploadFailedText), 1);
  std::lock_guard<std::mutex> lock(log_.mu);
  EXPECT_EQ(log_.bytes_written, 4u);           // only ok.txt
  EXPECT_EQ(log_.space_reports.size(), 1u);    // only ok.txt reported
  EXPECT_EQ(log_.created.size(), 2u);          // both were created
}

// A configured directory that cannot be listed is shown and counted; the
// next entries are still backed up, and so are the siblings of a directory
// whose listing fails deeper in the tree.
TEST_F(SyncEngineFakeTest, UnlistableDirectories) {
  const std::string root = tmp_.path() + "/data";
  for (int i = 0; i < 8; ++i) testing::WriteFile(root + "/f" + std::to_string(i), "x");
  // A chain of directories whose path grows past the system's path limit:
  // it cannot be listed by path, whatever the user's rights.
  std::string deep = root + "/deep";
  testing::MakeDirs(deep);
  int dirfd = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(dirfd, 0);
  const std::string level(200, 'd');
  for (int i = 0; i < 24; ++i) {
    ASSERT_EQ(::mkdirat(dirfd, level.c_str(), 0755), 0);
    const int next = ::openat(dirfd, level.c_str(), O_RDONLY | O_DIRECTORY);
    ::close(dirfd);
    ASSERT_GE(next, 0);
    dirfd = next;
  }
  ::close(dirfd);

  const SyncReport report = engine_.SyncTask(Job({tmp_.path() + "/missing", root}));
  EXPECT_EQ(report.files_uploaded, 8u);
  EXPECT_GE(report.unlisted_directories, 2u);
  EXPECT_EQ(status_.Count("待备份的目录无法打开: " + tmp_.path() + "/missing: 找不到文件或目录 (Error:2)\n"), 1);
  EXPECT_GE(status_.Count(kUploadFailedText), 1);
  EXPECT_EQ(report.ExitCode(), 1);
  EXPECT_EQ(status_.Count("开始一个目录备份...\n"), 1);
  // Remove the chain from the inside out: its full path is too long for rm.
  std::function<void(int)> remove_below = [&](int fd) {
    const int child = ::openat(fd, level.c_str(), O_RDONLY | O_DIRECTORY);
    if (child < 0) return;
    remove_below(child);
    ::close(child);
    ::unlinkat(fd, level.c_str(), AT_REMOVEDIR);
  };
  const int top = ::open(deep.c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_GE(top, 0);
  remove_below(top);
  ::close(top);
}

// Runs never overlap: a trigger that arrives while a run is going is
// dropped at once with its status line; the running one is not disturbed.
TEST_F(SyncEngineFakeTest, RunLockDropsOverlappingTrigger) {
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "abc");
  std::mutex mu;
  std::condition_variable cv;
  bool inside = false, release = false;
  status_.SetHook([&](const std::string& line) {
    if (line.rfind("向远程发送删除[", 0) != 0) return;
    std::unique_lock<std::mutex> lock(mu);
    inside = true;
    cv.notify_all();
    cv.wait_for(lock, std::chrono::seconds(20), [&] { return release; });
  });
  auto first = std::async(std::launch::async, [&] { return engine_.SyncTask(Job({root})); });
  {
    std::unique_lock<std::mutex> lock(mu);
    ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(20), [&] { return inside; }));
  }
  EXPECT_TRUE(engine_.running());
  const SyncReport second = engine_.SyncTask(Job({root}));
  EXPECT_EQ(second.outcome, SyncReport::Outcome::kBusy);
  EXPECT_EQ(second.ExitCode(), 2);
  EXPECT_EQ(status_.Count(kRunBusyText), 1);
  // A worker thread started meanwhile is dropped the same way.
  EXPECT_EQ(SyncWorkerThread(&engine_, Job({root})), 1);
  EXPECT_EQ(status_.Count(kRunBusyText), 2);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  ASSERT_EQ(first.wait_for(std::chrono::seconds(20)), std::future_status::ready);
  const SyncReport done = first.get();
  EXPECT_EQ(done.outcome, SyncReport::Outcome::kCompleted);
  EXPECT_EQ(done.files_uploaded, 1u);
  EXPECT_FALSE(engine_.running());
  // Free again: the next run goes ahead.
  status_.SetHook(nullptr);
  EXPECT_EQ(engine_.SyncTask(Job({root})).outcome, SyncReport::Outcome::kCompleted);
}

// A stop asked for during a run ends the walk before the next entry; the
// report says so and the exit code is 1. The next run starts afresh.
TEST_F(SyncEngineFakeTest, RequestStopEndsTheWalk) {
  const std::string root = tmp_.path() + "/data";
  testing::WriteFile(root + "/a.txt", "abc");
  status_.SetHook([&](const std::string& line) {
    if (line == "开始一个目录备份...\n") engine_.RequestStop();
  });
  const SyncReport stopped = engine_.SyncTask(Job({root, root}));
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.files_uploaded, 0u);
  EXPECT_EQ(stopped.ExitCode(), 1);
  EXPECT_EQ(status_.Count("开始一个目录备份...\n"), 1);
  status_.SetHook(nullptr);
  const SyncReport next = engine_.SyncTask(Job({root}));
  EXPECT_FALSE(next.stopped);
  EXPECT_EQ(next.files_uploaded, 1u);
  EXPECT_EQ(next.ExitCode(), 0);
}

// The worker without an engine does nothing and ends with 4; a login that
// fails ends the run before anything is deleted.
TEST_F(SyncEngineFakeTest, WorkerAndFailedLogin) {
  EXPECT_EQ(SyncWorkerThread(nullptr, Job({})), 4);
  SyncJob job = Job({tmp_.path()});
  job.port = testing::PickFreePort();
  const SyncReport report = engine_.SyncTask(job);
  EXPECT_EQ(report.outcome, SyncReport::Outcome::kLoginFailed);
  EXPECT_EQ(report.ExitCode(), 2);
  EXPECT_TRUE(status_.lines().empty());
  EXPECT_EQ(ui_.messages.size(), 1u);
}

// ---- Several files in flight ------------------------------------------

// Every request of a run as the fake saw it, with what it concerns.
struct Seen {
  uint16_t code = 0;
  uint32_t handle = 0;  // the file's handle (for a create: the one it gets)
  std::string name;     // create and delete: the remote name
  uint32_t space = 0;   // space report: space left
};

class PipelinedUploadTest : public ::testing::Test {
 protected:
  PipelinedUploadTest() { engine_.SetClock([] { return LocalNoon(2024, 5, 6); }); }

  SyncReport Run(const std::string& root) {
    SyncJob job;
    job.server_address = kLoopback;
    job.port = fake_.port();
    job.directories = {root};
    auto run = std::async(std::launch::async, [&] { return engine_.SyncTask(job); });
    EXPECT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the run hung";
    return run.get();
  }
  // Indexes into seen_ of the requests concerning the file with `handle`.
  std::vector<size_t> OfFile(uint32_t handle, uint64_t size) {
    std::vector<size_t> at;
    for (size_t i = 0; i < seen_.size(); ++i) {
      const Seen& s = seen_[i];
      const bool report = s.code == OP_SET_SPACE_INFO && s.space == 0x10000000u - size + 7;
      if (s.handle == handle || report) at.push_back(i);
    }
    return at;
  }

  // Answers a request itself when it returns true (after it is recorded).
  // The hook and seen_ are used under mu_, which the tests hold after the run.
  std::mutex mu_;
  std::function<bool(const Seen&, uint32_t*)> hook_;
  std::vector<Seen> seen_;
  uint32_t next_handle_ = 100;
  UploadLog log_;
  FakePeer fake_{FakePeer::Answering([this](const auto& r, auto* out) {
    std::lock_guard<std::mutex> hold(mu_);
    Seen s;
    s.code = r.header.code;
    CreateFileRequest c;
    std::string_view path;
    if (r.header.code == OP_CREATE_FILE && DecodeCreateFileRequest(r.payload.data(), r.payload.size(), &c)) {
      WireToUtf8(c.path, &s.name);
      if (s.name.back() != '|') s.handle = next_handle_++;
    } else if (r.header.code == OP_DELETE_FILE && DecodePathRequest(r.payload.data(), r.payload.size(), &path)) {
      WireToUtf8(path, &s.name);
    } else if (r.header.code == OP_SET_SPACE_INFO) {
      uint32_t files = 0;
      DecodeSpaceInfo(r.payload.data(), r.payload.size(), &s.space, &files);
    } else if (r.header.code == OP_GET_FILE_SIZE || r.header.code == OP_SET_FILE_SIZE ||
               r.header.code == OP_WRITE_FILE || r.header.code == OP_SET_FILE_TIME || r.header.code == OP_CLOSE_FILE) {
      s.handle = LoadU32(r.payload.data());
    }
    seen_.push_back(s);
    uint32_t result = 0;
    if (hook_ && hook_(s, &result)) return result;
    return AcceptUploads(&log_, r, out);
  })};
  ClientSession session_;
  RecordingStatus status_;
  RecordingUi ui_;
  SyncEngine engine_{&session_, &status_, &ui_};
  testing::TempDir tmp_;
};

// Forty files go up with several in flight, never more than fifteen open;
// each file's own requests keep their order: create, get size, set size,
// its pieces, set time, its space report, close.
TEST_F(PipelinedUploadTest, EachFileKeepsItsOrderWithSeveralInFlight) {
  const std::string root = tmp_.path() + "/data";
  std::vector<uint64_t> sizes;
  for (int i = 0; i < 40; ++i) {
    sizes.push_back(i == 7 ? 3 * kMaxDataPiece + 5 : 1000 + static_cast<uint64_t>(i));
    testing::WriteFile(root + "/f" + std::to_string(100 + i), testing::PatternBytes(sizes.back(), i));
  }
  const SyncReport report = Run(root);
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(report.files_uploaded, 40u);
  EXPECT_EQ(report.failed_uploads, 0u);

  size_t open = 0, most_open = 0;
  for (const Seen& s : seen_) {
    if (s.code == OP_CREATE_FILE && s.handle != 0) most_open = std::max(most_open, ++open);
    if (s.code == OP_CLOSE_FILE) --open;
  }
  EXPECT_GT(most_open, 1u);
  EXPECT_LE(most_open, 15u);

  for (const Seen& created : seen_) {
    if (created.code != OP_CREATE_FILE || created.handle == 0) continue;
    const uint64_t size = sizes.at(std::stoul(created.name.substr(created.name.size() - 3)) - 100);
    std::vector<uint16_t> codes;
    for (size_t i : OfFile(created.handle, size)) codes.push_back(seen_[i].code);
    std::vector<uint16_t> expected = {OP_CREATE_FILE, OP_GET_FILE_SIZE, OP_SET_FILE_SIZE};
    expected.insert(expected.end(), (size + kMaxDataPiece - 1) / kMaxDataPiece, OP_WRITE_FILE);
    expected.insert(expected.end(), {OP_SET_FILE_TIME, OP_SET_SPACE_INFO, OP_CLOSE_FILE});
    EXPECT_EQ(codes, expected) << created.name;
  }
}

// A write refused in the middle of a file's pieces fails that file alone:
// its requests already sent (up to its space report) are answered and
// ignored, it is closed and deleted, and every other file arrives.
TEST_F(PipelinedUploadTest, AFailureInsideOneFileStopsOnlyThatFile) {
  const std::string root = tmp_.path() + "/data";
  for (int i = 0; i < 6; ++i) {
    testing::WriteFile(root + "/f" + std::to_string(i), testing::PatternBytes(i == 2 ? 4 * kMaxDataPiece : 10, i));
  }
  uint32_t big = 0, writes_of_big = 0;
  std::string big_name;
  hook_ = [&](const Seen& s, uint32_t* result) {
    if (s.code == OP_CREATE_FILE && s.name.size() > 3 && s.name.substr(s.name.size() - 3) == "\\f2") {
      big = s.handle;
      big_name = s.name;
    }
    if (s.code != OP_WRITE_FILE || s.handle != big || ++writes_of_big != 2) return false;
    *result = ERROR_DISK_FULL;
    return true;
  };
  const SyncReport report = Run(root);
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(report.files_uploaded, 5u);
  EXPECT_EQ(report.failed_uploads, 1u);
  EXPECT_EQ(status_.Count(kUploadFailedText), 1);

  std::vector<uint16_t> tail;  // what the failed file got from its refused write on
  size_t writes = 0;
  for (const Seen& s : seen_) {
    if (s.handle == big && s.code == OP_WRITE_FILE) ++writes;
    if (writes >= 2 && (s.handle == big || (s.code == OP_DELETE_FILE && s.name == big_name))) tail.push_back(s.code);
  }
  ASSERT_GE(tail.size(), 3u);
  EXPECT_EQ(tail[tail.size() - 2], OP_CLOSE_FILE);
  EXPECT_EQ(tail.back(), OP_DELETE_FILE);
}

// A connection that goes down with files in flight ends the run with one
// line: nothing more is tried on it, and exit 2.
TEST_F(PipelinedUploadTest, ALostConnectionEndsTheRunWithOneLine) {
  const std::string root = tmp_.path() + "/data";
  for (int i = 0; i < 60; ++i) testing::WriteFile(root + "/d" + std::to_string(i % 6) + "/f" + std::to_string(i), "x");
  int creates = 0;
  hook_ = [&](const Seen& s, uint32_t* result) {
    if (s.code != OP_CREATE_FILE || ++creates != 5) return false;
    *result = FakePeer::kCloseConnection;
    return true;
  };
  const SyncReport report = Run(root);
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(creates, 5);
  EXPECT_EQ(report.outcome, SyncReport::Outcome::kConnectionLost);
  EXPECT_EQ(report.ExitCode(), 2);
  EXPECT_LT(report.files_uploaded, 5u);
  EXPECT_EQ(report.failed_uploads, 0u);
  EXPECT_EQ(status_.Count(kUploadFailedText), 0);
  int lost_lines = 0;
  for (const std::string& line : status_.lines()) lost_lines += line.rfind("与服务器的连接中断，备份中止: ", 0) == 0;
  EXPECT_EQ(lost_lines, 1);
}

// ---- Against the real server -------------------------------------------

class SyncEngineServerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!testing::ProgramExists("tervanesvr")) GTEST_SKIP() << "tervanesvr not built";
    ASSERT_TRUE(server_.Start()) << server_.Log();
    engine_.SetDebugOutput([this](const std::string& line) {
      std::lock_guard<std::mutex> lock(debug_mu_);
      debug_.push_back(line);
    });
  }
  SyncJob Job(std::vector<std::string> dirs) {
    SyncJob job;
    job.server_address = kLoopback;
    job.port = server_.port();
    job.directories = std::move(dirs);
    job.user = kSyncUserName;
    return job;
  }
  std::vector<std::string> Markers() {
    std::lock_guard<std::mutex> lock(debug_mu_);
    std::vector<std::string> markers;
    for (const auto& l : debug_) {
      if (l.size() >= 2 && l.compare(l.size() - 2, 2, "|\n") == 0) markers.push_back(l.substr(0, l.size() - 2));
    }
    std::sort(markers.begin(), markers.end());
    return markers;
  }

  testing::TestServer server_;
  ClientSession session_;
  RecordingStatus status_;
  RecordingUi ui_;
  SyncEngine engine_{&session_, &status_, &ui_};
  testing::TempDir tmp_;
  std::mutex debug_mu_;
  std::vector<std::string> debug_;
};

// A fresh server: the first run registers "sync", and the copy below the
// weekday folder equals the local tree byte for byte: a file beside an empty
// subdirectory, a directory holding only subdirectories, files of exactly
// one piece and of one piece and a byte, an empty file, a Chinese name, a
// link to a file; a dangling link fails visibly while the rest uploads.
TEST_F(SyncEngineServerTest, FirstRunCopiesTheTree) {
  const std::string root = tmp_.path() + "/data";
  Tree expected;
  auto put = [&](const std::string& rel, const std::string& content) {
    testing::WriteFile(root + "/" + rel, content);
    expected[rel] = content;
  };
  put("a.txt", "hello, backup\n");
  testing::MakeDirs(root + "/empty");
  expected["empty/"] = "";
  testing::MakeDirs(root + "/onlysubs/child1");
  put("onlysubs/child2/f.txt", "in a subdirectory");
  expected["onlysubs/"] = expected["onlysubs/child1/"] = expected["onlysubs/child2/"] = "";
  put("exact.bin", testing::PatternBytes(1048576, 1));
  put("plus.bin", testing::PatternBytes(1048577, 2));
  put("zero.txt", "");
  put("报告 2024.txt", "季度报告");
  ASSERT_EQ(::symlink((root + "/a.txt").c_str(), (root + "/link_file").c_str()), 0);
  expected["link_file"] = "hello, backup\n";
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root + "/dangling").c_str()), 0);

  const SyncReport report = engine_.SyncTask(Job({root}));
  ASSERT_EQ(report.outcome, SyncReport::Outcome::kCompleted) << server_.Log();
  const std::string day = report.day;
  EXPECT_EQ(testing::ReadTree(ServerPath(server_, day, root)), expected);
  EXPECT_EQ(report.files_uploaded, 7u);
  EXPECT_EQ(report.failed_uploads, 1u);
  EXPECT_EQ(report.ExitCode(), 1);
  // Markers: the empty directory, the directory of subdirectories only, and
  // its empty child; the root holds files and gets none.
  EXPECT_EQ(Markers(), (std::vector<std::string>{root + "/empty", root + "/onlysubs", root + "/onlysubs/child1"}));
  // Only the weekday folder exists in the home.
  for (const auto& [path, content] : testing::ReadTree(server_.home("sync"))) {
    EXPECT_EQ(path.rfind(day + "/", 0), 0u) << path;
  }
  const std::vector<std::string> lines = status_.lines();
  ASSERT_GE(lines.size(), 6u);
  EXPECT_EQ(lines[0], "向远程发送删除[" + day + "]命令\n");
  EXPECT_EQ(lines[1].rfind("远程删除[" + day + "]失败[Error:", 0), 0u) << lines[1];
  EXPECT_EQ(lines[2], "向远程发送创建文件夹[" + day + "]命令\n");
  EXPECT_EQ(lines[3], "开始一个目录备份...\n");
  EXPECT_EQ(status_.Count("上传失败"), 1);
  EXPECT_EQ(lines[lines.size() - 2].rfind("目录备份完毕[", 0), 0u);
  EXPECT_EQ(lines[lines.size() - 2].back(), ']');
  EXPECT_TRUE(ui_.messages.empty());
}

// A second run the same day deletes the weekday folder first, so files
// removed locally disappear from the copy; other weekday folders stay.
TEST_F(SyncEngineServerTest, SecondRunSameDayReplacesTheCopy) {
  const std::string one = tmp_.path() + "/one";
  const std::string two = tmp_.path() + "/two";
  testing::WriteFile(one + "/a.txt", "first a");
  testing::WriteFile(one + "/b.txt", "to be removed");
  testing::WriteFile(two + "/sub/c.txt", "c");
  SyncReport report = engine_.SyncTask(Job({one, two}));
  ASSERT_EQ(report.ExitCode(), 0) << server_.Log();
  const std::string day = report.day;
  const std::string other = std::string(day == "Sun" ? "Mon" : "Sun");
  testing::WriteFile(server_.home("sync") + "/" + other + "/keep.txt", "another day");

  ASSERT_EQ(::unlink((one + "/b.txt").c_str()), 0);
  testing::WriteFile(one + "/a.txt", "second a, longer than before");
  testing::WriteFile(one + "/new.txt", "new");
  const int released = server_.Releases();
  session_.Disconnect();
  ASSERT_TRUE(server_.WaitForRelease(released, 10000));
  report = engine_.SyncTask(Job({one, two}));
  ASSERT_EQ(report.ExitCode(), 0) << ::testing::PrintToString(status_.lines());
  ASSERT_EQ(report.day, day) << "the day changed between the runs";
  EXPECT_EQ(status_.Count("远程删除[" + day + "] 成功\n"), 1);
  EXPECT_EQ(testing::ReadTree(ServerPath(server_, day, one)), testing::ReadTree(one));
  EXPECT_EQ(testing::ReadTree(ServerPath(server_, day, two)), testing::ReadTree(two));
  EXPECT_EQ(testing::ReadFile(server_.home("sync") + "/" + other + "/keep.txt"), "another day");
}

// The weekday is taken once per run: a clock that passes midnight during the
// run leaves every file in the folder the run cleared.
TEST_F(SyncEngineServerTest, WeekdayTakenOncePerRun) {
  const time_t monday = LocalNoon(2024, 5, 6);
  const time_t tuesday = LocalNoon(2024, 5, 7);
  std::atomic<int> calls{0};
  engine_.SetClock([&] { return calls.fetch_add(1) == 0 ? monday : tuesday; });
  const std::string root = tmp_.path() + "/data";
  for (int i = 0; i < 5; ++i) testing::WriteFile(root + "/d" + std::to_string(i) + "/f.txt", std::to_string(i));
  const SyncReport report = engine_.SyncTask(Job({root}));
  ASSERT_EQ(report.ExitCode(), 0) << server_.Log();
  EXPECT_EQ(report.day, "Mon");
  EXPECT_GE(calls.load(), 2);  // the closing line read the clock again
  EXPECT_EQ(testing::ReadTree(ServerPath(server_, "Mon", root)), testing::ReadTree(root));
  struct stat st {};
  EXPECT_NE(::stat((server_.home("sync") + "/Tue").c_str(), &st), 0);
  const std::vector<std::string> lines = status_.lines();
  EXPECT_EQ(lines[lines.size() - 2], "目录备份完毕[" + FormatLocalDateTime(tuesday) + "]");
}

}  // namespace
}  // namespace tervane
