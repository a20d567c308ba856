#include "client/app/restore_run.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "client/app/copy_browser.h"
#include "client/app/copy_messages.h"
#include "client/app/remote_path.h"
#include "client/app/remote_read.h"
#include "client/app/result_words.h"
#include "client/net/remote_file.h"
#include "client/net/status_sink.h"
#include "shared/platform/filetime.h"
#include "shared/platform/win_error.h"

namespace tervane {
namespace {

std::string ParentOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  return slash == 0 ? "/" : path.substr(0, slash);
}

// Creates `path` and its missing parents. 0, or the Windows code of the
// failure (183 when a file stands where a directory should).
Result MakeLocalDirs(const std::string& path, uint32_t* created) {
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0) return S_ISDIR(st.st_mode) ? 0 : ERROR_ALREADY_EXISTS;
  if (errno != ENOENT) return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
  const std::string parent = ParentOf(path);
  if (parent != path) {
    const Result r = MakeLocalDirs(parent, created);
    if (!r.ok()) return r;
  }
  if (::mkdir(path.c_str(), 0777) != 0) {
    if (errno == EEXIST && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return 0;
    return WinErrorFromErrno(errno, ErrnoTarget::kDirectory);
  }
  if (created != nullptr) ++*created;
  return 0;
}

Result WriteAll(int fd, const uint8_t* data, size_t len) {
  while (len > 0) {
    const ssize_t n = ::write(fd, data, len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    data += n;
    len -= static_cast<size_t>(n);
  }
  return 0;
}

// Puts the finished temporary file in place. Without `overwrite` an
// existing name is never replaced: the no-replace rename, or a link where
// the file system lacks it. *exists is set when the name was taken.
Result MoveIntoPlace(const std::string& temp, const std::string& dest, bool overwrite, bool* exists) {
  *exists = false;
  if (overwrite) return ::rename(temp.c_str(), dest.c_str()) == 0 ? 0u : WinErrorFromErrno(errno);
  if (::renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, dest.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno == EINVAL || errno == ENOSYS || errno == ENOTSUP) {
    if (::link(temp.c_str(), dest.c_str()) == 0) {
      ::unlink(temp.c_str());
      return 0;
    }
  }
  if (errno == EEXIST) *exists = true;
  return WinErrorFromErrno(errno);
}

class Restorer {
 public:
  Restorer(RemoteSession* session, const RestoreJob& job, StatusSink* status, const std::atomic<bool>* stop,
           const RestoreProgress& progress)
      : session_(session), browser_(session), job_(job), out_(session, status, stop, kRestoreFailedText, "与服务器的连接中断，恢复中止"), progress_(progress) {}

  RestoreReport Run() {
    const int64_t start = SteadyNowNs();
    last_progress_ns_ = start;
    for (const std::string& path : job_.paths) {
      if (Ended()) break;
      RestorePath(path);
    }
    report_.seconds = SecondsSince(start);
    Show(FormatText("恢复完毕[%s]\n", job_.day.c_str()));
    Show(FormatText("已恢复 %u 个文件 (%llu 字节), %u 个目录, 跳过 %u 个, 失败 %u 个, 用时 %lld 秒\n", report_.files,
                static_cast<unsigned long long>(report_.bytes), report_.directories, report_.skipped,
                report_.failed, static_cast<long long>(report_.seconds)));
    return report_;
  }

 private:
  bool Ended() { return out_.Ended(report_.connection_lost, &report_.stopped); }
  void Show(const std::string& text) { out_.Show(text); }
  void Fail(const std::string& path, Result code) { out_.Fail(path, code, &report_.failed, &report_.connection_lost); }

  void Progress() {
    if (progress_) progress_(report_);
    const int64_t now = SteadyNowNs();
    if (now - last_progress_ns_ < 1'000'000'000) return;
    last_progress_ns_ = now;
    Show(FormatText("已恢复 %u 个文件 (%llu 字节)...\n", report_.files, static_cast<unsigned long long>(report_.bytes)));
  }

  void RestorePath(std::string path) {
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    Show("开始恢复[" + job_.day + "] " + path + "\n");
    if (path == "/") {
      RestoreDirectory(job_.day, "/");
      return;
    }
    std::string remote;
    Result result = MapRemoteName(job_.day, path, &remote);
    CopyEntry entry;
    if (result.ok()) result = browser_.Find(remote, false, &entry);
    if (!result.ok()) {
      Fail(path, result);
      return;
    }
    if (entry.is_directory) {
      RestoreDirectory(remote, path);
    } else {
      RestoreFile(remote, path);
    }
  }

  void RestoreDirectory(const std::string& remote, const std::string& local) {
    const Result made = MakeLocalDirs(RestoreDestination(job_.target_dir, local), &report_.directories);
    if (!made.ok()) {
      Fail(local, made);
      return;
    }
    uint32_t refused = 0;
    const Result result = browser_.Walk(
        remote, local, false,
        [&](const CopyVisit& v) {
          if (Ended()) return false;
          if (v.entry->is_directory) {
            const Result r = MakeLocalDirs(RestoreDestination(job_.target_dir, v.local_path), &report_.directories);
            if (!r.ok()) Fail(v.local_path, r);
          } else {
            RestoreFile(v.remote_path, v.local_path);
          }
          return !report_.connection_lost;
        },
        &refused);
    if (!result.ok() && !report_.connection_lost) Fail(local, result);
    if (refused != 0) {
      report_.failed += refused;
      Show(kRestoreFailedText);
      Show("  " + local + ": 服务器上有 " + std::to_string(refused) + " 个名称无法还原为本地名称\n");
    }
  }

  void RestoreFile(const std::string& remote, const std::string& local) {
    const std::string dest = RestoreDestination(job_.target_dir, local);
    struct stat st {};
    if (::lstat(dest.c_str(), &st) == 0) {
      if (S_ISDIR(st.st_mode)) {
        Fail(local, ERROR_ALREADY_EXISTS);
        return;
      }
      if (!job_.overwrite) {
        Skip(local);
        return;
      }
    }
    Result result = MakeLocalDirs(ParentOf(dest), &report_.directories);
    if (!result.ok()) {
      Fail(local, result);
      return;
    }
    uint64_t size = 0;
    bool exists = false;
    result = Fetch(remote, dest, &size, &exists);
    if (exists) {
      Skip(local);
    } else if (!result.ok()) {
      Fail(local, result);
    } else {
      ++report_.files;
      report_.bytes += size;
      Progress();
    }
  }

  void Skip(const std::string& local) {
    ++report_.skipped;
    Show("  " + local + ": 本地已有此文件，未覆盖\n");
  }

  // The whole road of one file: remote open, temporary file, content,
  // time, flush, rename. On any failure the temporary file is removed.
  Result Fetch(const std::string& remote, const std::string& dest, uint64_t* size, bool* exists) {
    RemoteFile* file = nullptr;
    Result result = OpenCopyFile(session_, remote, &file);
    if (!result.ok()) return result;
    uint64_t last_write = 0;
    result = KOVA_GetFileSize(file, size);
    if (result.ok()) result = KOVA_GetFileTime(file, nullptr, nullptr, &last_write);
    if (!result.ok()) {
      static_cast<void>(KOVA_CloseFile(file));  // the failure above is the one to report
      return result;
    }
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
      temp = ParentOf(dest) + FormatText("/.tervane-restore-%ld-%u.tmp", static_cast<long>(::getpid()), ++temp_counter_);
      fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
      if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
      result = WinErrorFromErrno(errno);
      static_cast<void>(KOVA_CloseFile(file));  // the local failure is the one to report
      return result;
    }
    result = ReadRemoteContent(file, *size, [fd](const uint8_t* data, size_t len) { return WriteAll(fd, data, len); });
    // Every byte has come (or the read failed): a failed close costs the
    // copy nothing.
    static_cast<void>(KOVA_CloseFile(file));
    if (result.ok() && last_write != 0) {
      const timespec times[2] = {{0, UTIME_OMIT}, TimespecFromFileTime(last_write)};
      if (::futimens(fd, times) != 0) result = WinErrorFromErrno(errno);
    }
    if (result.ok() && ::fsync(fd) != 0) result = WinErrorFromErrno(errno);
    if (::close(fd) != 0 && result.ok()) result = WinErrorFromErrno(errno);
    if (result.ok()) result = MoveIntoPlace(temp, dest, job_.overwrite, exists);
    if (!result.ok()) ::unlink(temp.c_str());
    return *exists ? 0 : result;
  }

  RemoteSession* const session_;
  CopyBrowser browser_;
  const RestoreJob& job_;
  const CopyRunOutput out_;
  const RestoreProgress& progress_;
  RestoreReport report_;
  int64_t last_progress_ns_ = 0;
  uint32_t temp_counter_ = 0;
};

}  // namespace

int RestoreReport::ExitCode() const {
  if (connection_lost) return 2;
  return failed != 0 || skipped != 0 || stopped ? 1 : 0;
}

std::string RestoreDestination(const std::string& target_dir, const std::string& local_path) {
  if (target_dir.empty()) return local_path;
  std::string dir = target_dir;
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  if (local_path == "/") return dir;
  return dir == "/" ? local_path : dir + local_path;
}

RestoreReport RunRestore(RemoteSession* session, const RestoreJob& job, StatusSink* status,
                         const std::atomic<bool>* stop, const RestoreProgress& progress) {
  return Restorer(session, job, status, stop, progress).Run();
}

}  // namespace tervane
