#include "client/app/sync_engine.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <future>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "client/app/account_name.h"
#include "client/app/client_session.h"
#include "client/app/remote_path.h"
#include "testing/test_recorders.h"
#include "testing/fake_peer.h"
#include "testing/temp_dir.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::FakePeer;

constexpr uint32_t kLoopback = 0x7F000001;
constexpr uint32_t kSpace = 0x10000000;  // what the fake reports as space left

// Local noon of the day whose noon UTC is `utc_noon`: the engine takes the
// weekday from local time, whatever the zone.
time_t LocalNoon(time_t utc_noon) {
  tm local{};
  ::localtime_r(&utc_noon, &local);
  return utc_noon - local.tm_gmtoff;
}
const time_t kMonday = LocalNoon(1714996800);  // 2024-05-06
const time_t kTuesday = LocalNoon(1714996800 + 86400);

// A request as the fake saw it, with what it concerns.
struct Seen {
  uint16_t code = 0;
  uint32_t handle = 0;  // the file's handle (for a create: the one it gets)
  std::string name;     // create and delete: the remote name
  uint32_t space = 0;   // space report: space left
  uint32_t count = 0;   // write: data bytes
};

// Runs the engine against a fake that accepts every upload, as if an older
// copy of 7 bytes were there, and records every request.
class SyncEngineFakeTest : public ::testing::Test {
 protected:
  SyncEngineFakeTest() { engine_.SetClock([] { return kMonday; }); }

  SyncJob Job(std::vector<std::string> dirs) {
    return {.server_address = kLoopback, .port = fake_.port(), .directories = std::move(dirs), .user = {},
            .run_lock_path = {}};
  }
  SyncReport Run(std::vector<std::string> dirs) {
    auto run = std::async(std::launch::async, [&] { return engine_.SyncTask(Job(dirs)); });
    EXPECT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready) << "the run hung";
    return run.get();
  }
  // The codes of the requests of the file with `handle` and `size`, its
  // space report known by the figure it gives.
  std::vector<uint16_t> CodesOf(uint32_t handle, uint64_t size) {
    std::vector<uint16_t> codes;
    for (const Seen& s : seen_) {
      if (s.handle == handle || (s.code == OP_SET_SPACE_INFO && s.space == kSpace - size + 7)) codes.push_back(s.code);
    }
    return codes;
  }
  // Requests of `code` (creates: of files, not directory markers).
  size_t Count(uint16_t code) {
    return std::count_if(seen_.begin(), seen_.end(),
                         [&](const Seen& s) { return s.code == code && (code != OP_CREATE_FILE || s.handle != 0); });
  }

  // The hook answers a request itself when it returns true (after it is
  // recorded). The hook and seen_ are used under mu_, held by tests after a run.
  std::mutex mu_;
  std::function<bool(const Seen&, uint32_t*)> hook_;
  std::vector<Seen> seen_;
  uint32_t next_handle_ = 100;
  FakePeer fake_{FakePeer::Answering([this](const FakePeer::Request& r, std::vector<uint8_t>* reply) -> uint32_t {
    std::lock_guard<std::mutex> hold(mu_);
    const uint16_t code = r.header.code;
    Seen s;
    s.code = code;
    CreateFileRequest c;
    DataRequest d;
    std::string_view path;
    uint32_t files = 0;
    if (code == OP_CREATE_FILE && DecodeCreateFileRequest(r.payload.data(), r.payload.size(), &c)) {
      WireToUtf8(c.path, &s.name);
      if (s.name.back() != '|') s.handle = next_handle_++;  // a directory chain gets no handle
    } else if (code == OP_DELETE_FILE && DecodePathRequest(r.payload.data(), r.payload.size(), &path)) {
      WireToUtf8(path, &s.name);
    } else if (code == OP_SET_SPACE_INFO) {
      DecodeSpaceInfo(r.payload.data(), r.payload.size(), &s.space, &files);
    } else if (code == OP_WRITE_FILE && DecodeWriteRequest(r.payload.data(), r.payload.size(), &d)) {
      s.handle = d.handle;
      s.count = d.count;
    } else if (code == OP_GET_FILE_SIZE || code == OP_SET_FILE_SIZE || code == OP_SET_FILE_TIME ||
               code == OP_CLOSE_FILE) {
      s.handle = LoadU32(r.payload.data());
    }
    seen_.push_back(s);
    uint32_t result = 0;
    if (hook_ && hook_(s, &result)) return result;
    if (code == OP_OPEN_SESSION) reply->assign(4, 0);
    if (code == OP_LIST_DIRECTORY || code == OP_GET_SPACE_INFO || code == OP_GET_FILE_SIZE ||
        (code == OP_CREATE_FILE && s.handle)) {
      reply->assign(8, 0);
    }
    if (code == OP_GET_SPACE_INFO) EncodeSpaceInfo(kSpace, 50, reply->data(), reply->size());
    if (code == OP_CREATE_FILE && s.handle) StoreU32(reply->data(), s.handle);
    if (code == OP_GET_FILE_SIZE) StoreU64(reply->data(), 7);
    return 0;
  })};
  ClientSession session_;
  testing::RecordingStatus status_;
  testing::RecordingUi ui_;
  SyncEngine engine_{&session_, &status_, &ui_};
  testing::TempDir tmp_;
  const std::string root_ = tmp_.path() + "/data";
};

// Forty files go up with several in flight, never more than fifteen open;
// each file's own requests keep their order: create, get size, set size,
// its pieces, set time, its space report, close. A directory without files
// (an empty one, one of subdirectories only and its empty child) gets a
// marker, closed like a file and named in the debug output. The weekday is
// taken once: a clock passing midnight during the run leaves every file in
// the folder it cleared.
TEST_F(SyncEngineFakeTest, EachFileKeepsItsOrderWithSeveralInFlight) {
  std::vector<uint64_t> sizes;
  for (int i = 0; i < 40; ++i) {
    sizes.push_back(i == 7 ? 3 * kMaxDataPiece + 5 : 1000 + static_cast<uint64_t>(i));
    testing::WriteFile(root_ + "/f" + std::to_string(100 + i), testing::PatternBytes(sizes.back(), i));
  }
  testing::MakeDirs(root_ + "/empty");
  testing::MakeDirs(root_ + "/onlysubs/child1");
  std::atomic<int> clock_reads{0};
  engine_.SetClock([&] { return clock_reads++ == 0 ? kMonday : kTuesday; });
  std::vector<std::string> debug;  // written on the run's thread, read once it has ended
  engine_.SetDebugOutput([&](const std::string& line) { debug.push_back(line); });
  const SyncReport report = Run({root_});
  EXPECT_EQ(std::count(debug.begin(), debug.end(), root_ + "/empty|\n"), 1);
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(report.files_uploaded, 40u);
  EXPECT_EQ(report.markers_uploaded, 3u);
  EXPECT_EQ(report.ExitCode(), 0);
  EXPECT_EQ(Count(OP_CREATE_FILE), 40u);
  EXPECT_EQ(Count(OP_CLOSE_FILE), 43u);
  EXPECT_EQ(status_.lines()[status_.lines().size() - 2], "目录备份完毕[" + FormatLocalDateTime(kTuesday) + "]");
  std::string prefix;
  ASSERT_EQ(MapRemoteName("Mon", root_, &prefix), 0u);
  std::set<std::string> markers;
  size_t open = 0, most_open = 0;
  for (const Seen& created : seen_) {
    if (created.code == OP_CLOSE_FILE && created.handle != 0) --open;
    if (created.code != OP_CREATE_FILE) continue;
    EXPECT_EQ(created.name.rfind(prefix + "\\", 0), 0u) << created.name;
    if (created.handle == 0) {
      markers.insert(created.name.substr(prefix.size()));
      continue;
    }
    most_open = std::max(most_open, ++open);
    const uint64_t size = sizes.at(std::stoul(created.name.substr(created.name.size() - 3)) - 100);
    std::vector<uint16_t> expected = {OP_CREATE_FILE, OP_GET_FILE_SIZE, OP_SET_FILE_SIZE};
    expected.insert(expected.end(), (size + kMaxDataPiece - 1) / kMaxDataPiece, OP_WRITE_FILE);
    expected.insert(expected.end(), {OP_SET_FILE_TIME, OP_SET_SPACE_INFO, OP_CLOSE_FILE});
    EXPECT_EQ(CodesOf(created.handle, size), expected) << created.name;
  }
  EXPECT_EQ(markers, (std::set<std::string>{"\\empty|", "\\onlysubs|", "\\onlysubs\\child1|"}));
  EXPECT_GT(most_open, 1u);
  EXPECT_LE(most_open, 15u);
}

// A write refused in the middle of a file's pieces fails that file alone:
// its requests already sent are answered and ignored, it is closed and
// deleted, and every other file arrives. A connection that goes down with
// files in flight then ends the run with one line, exit 2.
TEST_F(SyncEngineFakeTest, AFailureInsideOneFileOrOfTheConnection) {
  for (int i = 0; i < 6; ++i) {
    testing::WriteFile(root_ + "/f" + std::to_string(i), testing::PatternBytes(i == 2 ? 4 * kMaxDataPiece : 10, i));
  }
  uint32_t big = 0, writes_of_big = 0;
  std::string big_name;
  hook_ = [&](const Seen& s, uint32_t* result) {
    if (s.code == OP_CREATE_FILE && s.name.ends_with("\\f2")) {
      big = s.handle;
      big_name = s.name;
    }
    *result = ERROR_DISK_FULL;
    return s.code == OP_WRITE_FILE && s.handle == big && ++writes_of_big == 2;
  };
  const SyncReport report = Run({root_});
  {
    std::lock_guard<std::mutex> hold(mu_);
    EXPECT_EQ(report.files_uploaded, 5u);
    EXPECT_EQ(report.failed_uploads, 1u);
    std::vector<uint16_t> tail;  // what the failed file got from its refused write on
    size_t writes = 0;
    for (const Seen& s : seen_) {
      writes += s.handle == big && s.code == OP_WRITE_FILE;
      if (writes >= 2 && (s.handle == big || (s.code == OP_DELETE_FILE && s.name == big_name))) tail.push_back(s.code);
    }
    ASSERT_GE(tail.size(), 3u);
    EXPECT_EQ(tail[tail.size() - 2], OP_CLOSE_FILE);
    EXPECT_EQ(tail.back(), OP_DELETE_FILE);
    seen_.clear();
    hook_ = [&](const Seen& s, uint32_t* result) {
      *result = FakePeer::kCloseConnection;
      return s.code == OP_CREATE_FILE && Count(OP_CREATE_FILE) == 3;  // under mu_
    };
  }
  const SyncReport lost = Run({root_});
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(Count(OP_CREATE_FILE), 3u) << "nothing more is tried on a lost connection";
  EXPECT_EQ(lost.outcome, SyncReport::Outcome::kConnectionLost);
  EXPECT_EQ(lost.ExitCode(), 2);
  EXPECT_EQ(lost.failed_uploads, 0u);
  int lost_lines = 0;
  for (const std::string& line : status_.lines()) lost_lines += line.rfind("与服务器的连接中断，备份中止: ", 0) == 0;
  EXPECT_EQ(lost_lines, 1);
}

// What cannot go up is named with its path and reason, and the rest goes
// up (a link to a file as that file; a link to a directory and a FIFO are
// passed over unopened, which would hang on a FIFO): a
// missing configured directory, a name that is not UTF-8, one too long for
// a request, a dangling link, a file whose size query the server refuses, a
// directory below whose path is past the system's limit (unlistable
// whatever the user's rights), a file that delivers fewer bytes than its
// size (no zeros go out in place of the missing ones). A run whose only
// directory is missing deletes nothing.
TEST_F(SyncEngineFakeTest, FailuresAreNamedAndTheRestGoesUp) {
  for (int i = 0; i < 7; ++i) testing::WriteFile(root_ + "/f" + std::to_string(i), "x");
  testing::WriteFile(root_ + "/refused", "x");
  testing::WriteFile(root_ + "/unreported", std::string(100, 'u'));  // its space report is refused
  uint32_t refused = 0, unreported = 0;
  hook_ = [&](const Seen& s, uint32_t* result) {
    if (s.code == OP_CREATE_FILE && s.name.ends_with("\\refused")) refused = s.handle;
    if (s.code == OP_CREATE_FILE && s.name.ends_with("\\unreported")) unreported = s.handle;
    *result = ERROR_DISK_FULL;
    return (s.code == OP_GET_FILE_SIZE && s.handle != 0 && s.handle == refused) ||
           (s.code == OP_SET_SPACE_INFO && s.space == kSpace - 100 + 7);
  };
  ASSERT_EQ(::symlink((root_ + "/f0").c_str(), (root_ + "/link_file").c_str()), 0);  // sent as the file
  testing::WriteFile(tmp_.path() + "/outside/file", "x");
  ASSERT_EQ(::symlink((tmp_.path() + "/outside").c_str(), (root_ + "/link_dir").c_str()), 0);  // not followed
  ASSERT_EQ(::mkfifo((root_ + "/fifo").c_str(), 0644), 0);                            // passed over
  testing::WriteFile(root_ + "/bad\xff.txt", "x");
  testing::WriteFile(root_ + "/" + std::string(240, 'n'), "x");
  ASSERT_EQ(::symlink((tmp_.path() + "/nowhere").c_str(), (root_ + "/dangling").c_str()), 0);
  const char* kShort = "/sys/devices/system/cpu/online";  // claims a page, holds a line
  struct stat st {};
  const bool have_short = ::stat(kShort, &st) == 0 && st.st_size >= 64 &&
                          testing::ReadFile(kShort).size() < static_cast<size_t>(st.st_size);
  ASSERT_TRUE(!have_short || ::symlink(kShort, (root_ + "/short").c_str()) == 0);
  // A chain of 24 levels of 200 bytes, each made above the chain so far and
  // the chain moved into it: no path the test uses is too long itself.
  const std::string top = root_ + "/deep/" + std::string(200, 'd');
  const std::string up = root_ + "/deep/up";
  testing::MakeDirs(top);
  for (int i = 1; i < 24; ++i) {
    ASSERT_EQ(::mkdir(up.c_str(), 0755), 0);
    ASSERT_EQ(::rename(top.c_str(), (up + "/" + std::string(200, 'd')).c_str()), 0);
    ASSERT_EQ(::rename(up.c_str(), top.c_str()), 0);
  }
  const std::string missing = tmp_.path() + "/unmounted";

  const SyncReport report = Run({missing, root_});
  EXPECT_EQ(report.files_uploaded, 8u);
  EXPECT_GE(report.failed_uploads, have_short ? 6u : 5u);  // and the chain's markers, too long
  EXPECT_GE(report.unlisted_directories, 2u);
  EXPECT_EQ(report.ExitCode(), 1);
  EXPECT_EQ(status_.Count("待备份的目录无法打开: " + missing + ": 找不到文件或目录 (Error:2)\n"), 1);
  for (const std::string& failure :
       {root_ + "/bad\xff.txt: 文件名无效 (不是 UTF-8 或含不允许的字符) (Error:123)",
        root_ + "/" + std::string(240, 'n') + ": 文件名或路径太长 (Error:206)",
        root_ + "/dangling: 找不到文件或目录 (Error:2)", root_ + "/refused: 磁盘空间不足 (Error:112)",
        root_ + "/unreported: 磁盘空间不足 (Error:112)"}) {
    EXPECT_EQ(status_.Count("  " + failure + "\n"), 1) << failure;
  }
  {
    std::lock_guard<std::mutex> hold(mu_);
    size_t bytes = 0;  // of the good files (the refused one's may be in flight already)
    for (const Seen& s : seen_) {
      if (s.code == OP_WRITE_FILE && s.handle != refused && s.handle != unreported) bytes += s.count;
    }
    EXPECT_EQ(bytes, 8u);
    EXPECT_EQ(Count(OP_SET_SPACE_INFO), 9u);  // and only they (and the unreported one) reported
    EXPECT_EQ(Count(OP_CREATE_FILE), have_short ? 11u : 10u);  // and the short, refused, unreported ones
  }
  // Undone the same way, from the top: the full path is too long for rm.
  for (int i = 1; i < 24; ++i) {
    ASSERT_EQ(::rename((top + "/" + std::string(200, 'd')).c_str(), up.c_str()), 0);
    ASSERT_EQ(::rmdir(top.c_str()), 0);
    ASSERT_EQ(::rename(up.c_str(), top.c_str()), 0);
  }

  const size_t requests = seen_.size();
  const SyncReport none = Run({missing});
  EXPECT_EQ(none.outcome, SyncReport::Outcome::kNothingToBackUp);
  EXPECT_EQ(none.ExitCode(), 1);
  EXPECT_EQ(status_.lines().back(), "没有可以打开的待备份目录，远程[Mon]未删除\n");
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(seen_.size(), requests);
}

// A stop asked for during a run ends the walk before the next entry, exit
// 1; the next run starts afresh. A refused login ends the run before
// anything is deleted, exit 2; the worker without an engine
// ends with 4.
TEST_F(SyncEngineFakeTest, StopAndFailedLogin) {
  testing::WriteFile(root_ + "/a.txt", "abc");
  status_.SetHook([&](const std::string& line) {
    if (line == "开始一个目录备份...\n") engine_.RequestStop();
  });
  const SyncReport stopped = Run({root_, root_});
  EXPECT_TRUE(stopped.stopped);
  EXPECT_EQ(stopped.files_uploaded, 0u);
  EXPECT_EQ(stopped.ExitCode(), 1);
  EXPECT_EQ(status_.Count("开始一个目录备份...\n"), 1);
  status_.SetHook(nullptr);
  const SyncReport next = Run({root_});
  EXPECT_FALSE(next.stopped);
  EXPECT_EQ(next.files_uploaded, 1u);

  hook_ = [](const Seen& s, uint32_t* result) {
    *result = RESULT_WRONG_PASSWORD;
    return s.code == OP_LOGIN;
  };
  const SyncReport refused = Run({root_});
  EXPECT_EQ(refused.outcome, SyncReport::Outcome::kLoginFailed);
  EXPECT_EQ(refused.ExitCode(), 2);
  EXPECT_EQ(status_.lines().back(), "登录失败[" + AccountName("") + "]: 密码错误 (0x3502)\n");
  EXPECT_EQ(SyncWorkerThread(nullptr, Job({})), 4);
  EXPECT_EQ(SyncWorkerThread(&engine_, Job({root_})), 1);
  std::lock_guard<std::mutex> hold(mu_);
  EXPECT_EQ(Count(OP_REMOVE_DIRECTORY), 2u) << "a run that cannot log in deletes nothing";
}

}  // namespace
}  // namespace tervane
