#include "bench/dataset.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "shared/platform/win_error.h"

namespace tervane::bench {
namespace {

// Files are written in pieces of this size.
constexpr size_t kWritePiece = 1 << 20;

uint32_t Fail(int err, const std::string& path, std::string* failed_path,
              ErrnoTarget target = ErrnoTarget::kFile) {
  if (failed_path != nullptr) *failed_path = path;
  return WinErrorFromErrno(err, target);
}

// A directory that cannot be made because its parent is missing is "path
// not found", as Windows says it.
uint32_t FailDirectory(int err, const std::string& path, std::string* failed_path) {
  if (err == ENOENT) {
    if (failed_path != nullptr) *failed_path = path;
    return ERROR_PATH_NOT_FOUND;
  }
  return Fail(err, path, failed_path, ErrnoTarget::kDirectory);
}

uint32_t MakeDirectory(const std::string& path, TreeStats* stats, std::string* failed_path) {
  if (::mkdir(path.c_str(), 0755) != 0) return FailDirectory(errno, path, failed_path);
  if (stats != nullptr) ++stats->directories;
  return 0;
}

// The root is created but not counted: it is where the copy goes, not a
// directory of the dataset.
uint32_t MakeRoot(const std::string& root, std::string* failed_path) {
  if (root.empty()) return Fail(EINVAL, root, failed_path);
  if (::mkdir(root.c_str(), 0755) != 0) return FailDirectory(errno, root, failed_path);
  return 0;
}

uint32_t WriteAll(int fd, const uint8_t* data, size_t count) {
  while (count > 0) {
    ssize_t n = ::write(fd, data, count);
    if (n < 0) {
      if (errno == EINTR) continue;
      return WinErrorFromErrno(errno);
    }
    data += n;
    count -= static_cast<size_t>(n);
  }
  return 0;
}

// Writes `bytes` bytes of `stream` to a new file at `path`.
uint32_t WriteStreamFile(const std::string& path, uint64_t bytes, ByteStream* stream, uint8_t* buffer,
                         TreeStats* stats, std::string* failed_path) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
  if (fd < 0) return Fail(errno, path, failed_path);
  uint32_t result = 0;
  for (uint64_t left = bytes; left > 0 && result == 0;) {
    size_t piece = static_cast<size_t>(std::min<uint64_t>(left, kWritePiece));
    stream->Fill(buffer, piece);
    result = WriteAll(fd, buffer, piece);
    left -= piece;
  }
  if (::close(fd) != 0 && result == 0) result = WinErrorFromErrno(errno);
  if (result != 0) {
    if (failed_path != nullptr) *failed_path = path;
    return result;
  }
  if (stats != nullptr) {
    ++stats->files;
    stats->bytes += bytes;
  }
  return 0;
}

std::string Name(const char* format, uint32_t n) {
  char text[32];
  std::snprintf(text, sizeof text, format, n);
  return text;
}

}  // namespace

uint64_t ByteStream::Next() {
  uint64_t z = (state_ += 0x9e3779b97f4a7c15ull);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
  return z ^ (z >> 31);
}

uint64_t ByteStream::Between(uint64_t low, uint64_t high) {
  uint64_t span = high - low + 1;
  // span 0 means the whole 64-bit range.
  return span == 0 ? Next() : low + Next() % span;
}

void ByteStream::Fill(uint8_t* out, size_t count) {
  while (count >= 8) {
    uint64_t v = Next();
    for (int i = 0; i < 8; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
    out += 8;
    count -= 8;
  }
  if (count > 0) {
    uint64_t v = Next();
    for (size_t i = 0; i < count; ++i) out[i] = static_cast<uint8_t>(v >> (8 * i));
  }
}

uint32_t WriteSmallDataset(const std::string& root, uint32_t files, uint32_t directories, uint64_t seed,
                           TreeStats* stats, std::string* failed_path) {
  if (directories == 0) return Fail(EINVAL, root, failed_path);
  TreeStats counted;
  uint32_t result = MakeRoot(root, failed_path);
  // Directory i is g<i/10>/d<i>: ten to a group, so no directory is huge.
  std::vector<std::string> dirs;
  dirs.reserve(directories);
  for (uint32_t i = 0; i < directories && result == 0; ++i) {
    std::string group = root + "/" + Name("g%03u", i / 10);
    if (i % 10 == 0) result = MakeDirectory(group, &counted, failed_path);
    dirs.push_back(group + "/" + Name("d%04u", i));
    if (result == 0) result = MakeDirectory(dirs.back(), &counted, failed_path);
  }
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kSmallMaxBytes]);
  ByteStream stream(seed);
  for (uint32_t i = 0; i < files && result == 0; ++i) {
    uint64_t size = stream.Between(kSmallMinBytes, kSmallMaxBytes);
    std::string path = dirs[i % directories] + "/" + Name("f%06u.bin", i);
    result = WriteStreamFile(path, size, &stream, buffer.get(), &counted, failed_path);
  }
  if (stats != nullptr) *stats = counted;
  return result;
}

uint32_t WriteLargeDataset(const std::string& root, uint32_t files, uint64_t file_bytes, uint64_t seed,
                           TreeStats* stats, std::string* failed_path) {
  TreeStats counted;
  uint32_t result = MakeRoot(root, failed_path);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kWritePiece]);
  for (uint32_t i = 0; i < files && result == 0; ++i) {
    // Each file has its own stream, so one can be made again alone.
    ByteStream stream(seed + i);
    result = WriteStreamFile(root + "/" + Name("large-%02u.bin", i), file_bytes, &stream, buffer.get(),
                             &counted, failed_path);
  }
  if (stats != nullptr) *stats = counted;
  return result;
}

uint32_t WriteEmptiesDataset(const std::string& root, uint32_t directories, TreeStats* stats,
                             std::string* failed_path) {
  TreeStats counted;
  uint32_t result = MakeRoot(root, failed_path);
  // Leaf i is t<i/100>/m<i/10>/e<i>: three levels, ten to a parent.
  for (uint32_t i = 0; i < directories && result == 0; ++i) {
    std::string top = root + "/" + Name("t%03u", i / 100);
    std::string middle = top + "/" + Name("m%04u", i / 10);
    if (i % 100 == 0) result = MakeDirectory(top, &counted, failed_path);
    if (result == 0 && i % 10 == 0) result = MakeDirectory(middle, &counted, failed_path);
    if (result == 0) result = MakeDirectory(middle + "/" + Name("e%05u", i), &counted, failed_path);
  }
  if (stats != nullptr) *stats = counted;
  return result;
}

uint32_t CountTree(const std::string& root, TreeStats* stats, std::string* failed_path) {
  DIR* dir = ::opendir(root.c_str());
  if (dir == nullptr) return FailDirectory(errno, root, failed_path);
  std::vector<std::string> subdirectories;
  uint32_t result = 0;
  for (;;) {
    errno = 0;
    const dirent* entry = ::readdir(dir);
    if (entry == nullptr) {
      if (errno != 0) result = Fail(errno, root, failed_path);
      break;
    }
    if (std::strcmp(entry->d_name, ".") == 0 || std::strcmp(entry->d_name, "..") == 0) continue;
    struct stat st {};
    if (::fstatat(::dirfd(dir), entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0) {
      result = Fail(errno, root + "/" + entry->d_name, failed_path);
      break;
    }
    if (S_ISDIR(st.st_mode)) {
      ++stats->directories;
      subdirectories.push_back(root + "/" + entry->d_name);
    } else if (S_ISREG(st.st_mode)) {
      ++stats->files;
      stats->bytes += static_cast<uint64_t>(st.st_size);
    } else {
      ++stats->others;
    }
  }
  ::closedir(dir);
  for (size_t i = 0; i < subdirectories.size() && result == 0; ++i) {
    result = CountTree(subdirectories[i], stats, failed_path);
  }
  return result;
}

}  // namespace tervane::bench
