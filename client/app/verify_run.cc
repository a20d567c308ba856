#include "client/app/verify_run.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <new>

#include "client/app/copy_browser.h"
#include "client/app/copy_messages.h"
#include "client/app/local_walk.h"
#include "client/app/remote_path.h"
#include "client/app/remote_read.h"
#include "client/app/result_words.h"
#include "client/net/remote_file.h"
#include "client/net/status_sink.h"
#include "shared/platform/filetime.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

// Ends a content comparison at the first differing piece; never a code of
// the library or the server.
constexpr uint32_t kContentDiffers = 0xFFFFFFF0u;

class Verifier {
 public:
  Verifier(RemoteSession* session, const VerifyJob& job, StatusSink* status, const std::atomic<bool>* stop)
      : session_(session), browser_(session), job_(job), out_(session, status, stop, kVerifyFailedText, "与服务器的连接中断，校验中止") {}

  VerifyReport Run() {
    const int64_t start = SteadyNowNs();
    for (std::string directory : job_.directories) {
      if (Ended()) break;
      while (directory.size() > 1 && directory.back() == '/') directory.pop_back();
      std::string remote;
      const Result mapped = MapRemoteName(job_.day, directory, &remote);
      if (!mapped.ok()) {
        Fail(directory, mapped);
        continue;
      }
      CompareDirectory(directory, remote);
    }
    report_.seconds = SecondsSince(start);
    const bool same = report_.ExitCode() == 0;
    Show(FormatText("校验完毕[%s]: %s\n", job_.day.c_str(), same ? "副本与本地一致" : "副本与本地不一致"));
    Show(FormatText("一致 %u 个, 服务器上没有 %u 个, 不同 %u 个, 本地已不存在 %u 个, 失败 %u 个, 用时 %lld 秒\n",
                report_.matching, report_.missing_on_server, report_.differing, report_.gone_locally,
                report_.failed, static_cast<long long>(report_.seconds)));
    return report_;
  }

 private:
  bool Ended() { return out_.Ended(report_.connection_lost, &report_.stopped); }
  void Show(const std::string& text) { out_.Show(text); }
  void Fail(const std::string& path, Result code) { out_.Fail(path, code, &report_.failed, &report_.connection_lost); }

  void Missing(const std::string& path) {
    ++report_.missing_on_server;
    Show("服务器上没有: " + path + "\n");
  }

  void Gone(const std::string& path) {
    ++report_.gone_locally;
    Show("本地已不存在: " + path + "\n");
  }

  void Differ(const std::string& text) {
    ++report_.differing;
    Show(text);
  }

  void CompareDirectory(const std::string& local, const std::string& remote) {
    std::vector<LocalEntry> local_entries;
    uint32_t read_error = 0;
    if (!ListLocalDirectory(local, &local_entries, &read_error)) {
      Fail(local, read_error != 0 ? read_error : ERROR_PATH_NOT_FOUND);
      return;
    }
    if (read_error != 0) Fail(local, read_error);
    std::vector<CopyEntry> remote_entries;
    uint32_t refused = 0;
    const Result listed = browser_.List(remote, true, &remote_entries, &refused);
    if (listed == RESULT_NO_SUCH_DIRECTORY) {
      Missing(local + "/");
      return;
    }
    if (!listed.ok()) {
      Fail(local, listed);
      return;
    }
    if (refused != 0) {
      report_.failed += refused;
      Show(kVerifyFailedText);
      Show("  " + local + ": 服务器上有 " + std::to_string(refused) + " 个名称无法还原为本地名称\n");
    }
    std::map<std::string, const CopyEntry*> on_server;
    for (const CopyEntry& entry : remote_entries) on_server[entry.name] = &entry;

    std::map<std::string, LocalEntryKind> here;
    for (const LocalEntry& entry : local_entries) here[entry.name] = entry.kind;
    for (const auto& [name, kind] : here) {
      if (Ended()) return;
      const std::string path = JoinLocalPath(local, name);
      const auto found = on_server.find(name);
      const CopyEntry* copy = found == on_server.end() ? nullptr : found->second;
      if (copy != nullptr) on_server.erase(found);
      switch (kind) {
        case LocalEntryKind::kSkipped:
          break;  // never backed up
        case LocalEntryKind::kUnreadable:
          Fail(path, ERROR_FILE_NOT_FOUND);
          break;
        case LocalEntryKind::kDirectory:
          if (copy != nullptr && copy->is_directory) {
            CompareDirectory(path, remote + "\\" + copy->remote_name);
          } else {
            Missing(path + "/");
          }
          break;
        case LocalEntryKind::kFile:
          if (copy != nullptr && !copy->is_directory) {
            CompareFile(path, remote + "\\" + copy->remote_name, *copy);
          } else {
            Missing(path);
          }
          break;
      }
    }
    for (const auto& [name, copy] : on_server) {
      Gone(JoinLocalPath(local, name) + (copy->is_directory ? "/" : ""));
    }
  }

  void CompareFile(const std::string& path, const std::string& remote, const CopyEntry& copy) {
    if (!copy.detail_result.ok()) {
      Fail(path, copy.detail_result);
      return;
    }
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    struct stat st {};
    if (fd < 0 || ::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
      const uint32_t code = fd < 0 ? WinErrorFromErrno(errno) : ERROR_ACCESS_DENIED;
      if (fd >= 0) ::close(fd);
      Fail(path, code);
      return;
    }
    const uint64_t size = static_cast<uint64_t>(st.st_size);
    if (size != copy.size) {
      ::close(fd);
      Differ("大小不同: " + path + FormatText(" (本地 %llu 字节，服务器 %llu 字节)\n", static_cast<unsigned long long>(size),
                                          static_cast<unsigned long long>(copy.size)));
      return;
    }
    const Result result = CompareContent(fd, remote, size);
    ::close(fd);
    if (result == kContentDiffers) {
      Differ("内容不同: " + path + "\n");
      return;
    }
    if (!result.ok()) {
      Fail(path, result);
      return;
    }
    const uint64_t local_time = FileTimeFromTimespec(st.st_mtim);
    if (local_time / 10000000 != copy.last_write / 10000000) {
      Differ("时间不同: " + path + " (本地 " + FormatFileTime(local_time) + "，服务器 " +
             FormatFileTime(copy.last_write) + ")\n");
      return;
    }
    ++report_.matching;
  }

  // 0 when the remote file holds the same `size` bytes as `fd`.
  Result CompareContent(int fd, const std::string& remote, uint64_t size) {
    if (!local_buffer_) {
      local_buffer_.reset(new (std::nothrow) uint8_t[kReadPiece]);
      if (!local_buffer_) return ERROR_NOT_ENOUGH_MEMORY;
    }
    RemoteFile* file = nullptr;
    Result result = OpenCopyFile(session_, remote, &file);
    if (!result.ok()) return result;
    uint64_t offset = 0;
    result = ReadRemoteContent(file, size, [&](const uint8_t* data, size_t len) -> Result {
      size_t done = 0;
      while (done < len) {
        const ssize_t n = ::pread(fd, local_buffer_.get() + done, len - done, static_cast<off_t>(offset + done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return WinErrorFromErrno(errno);
        if (n == 0) return kContentDiffers;  // the local file shrank meanwhile
        done += static_cast<size_t>(n);
      }
      offset += len;
      return std::memcmp(local_buffer_.get(), data, len) == 0 ? 0u : kContentDiffers;
    });
    // The comparison is complete (or failed): a failed close changes neither.
    static_cast<void>(KOVA_CloseFile(file));
    return result;
  }

  RemoteSession* const session_;
  CopyBrowser browser_;
  const VerifyJob& job_;
  const CopyRunOutput out_;
  VerifyReport report_;
  std::unique_ptr<uint8_t[]> local_buffer_;
};

}  // namespace

int VerifyReport::ExitCode() const {
  if (connection_lost) return 2;
  return missing_on_server != 0 || differing != 0 || gone_locally != 0 || failed != 0 || stopped ? 1 : 0;
}

VerifyReport RunVerify(RemoteSession* session, const VerifyJob& job, StatusSink* status,
                       const std::atomic<bool>* stop) {
  return Verifier(session, job, status, stop).Run();
}

}  // namespace tervane
