#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>

namespace tervane::fuzz {

namespace fs = std::filesystem;

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

ScratchDir::ScratchDir(const char* tag) {
  std::error_code ec;
  std::string pattern = (fs::is_directory("/dev/shm", ec) ? "/dev/shm" : "/tmp") + std::string("/tervane-") + tag +
                        "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDir::~ScratchDir() {
  EmptyDirectory(path_);
  ::rmdir(path_.c_str());
}

bool EmptyDirectory(const std::string& dir) {
  std::error_code ec, each;
  // A directory without permissions would keep its entries: they are added
  // before the walk goes down into it.
  for (auto it = fs::recursive_directory_iterator(dir, ec); !ec && it != fs::end(it); it.increment(ec)) {
    if (it->symlink_status(each).type() == fs::file_type::directory) {
      fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, each);
    }
  }
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) fs::remove_all(e.path(), each);
  return !ec && fs::is_empty(dir, each) && !each;
}

bool WriteWholeFile(const std::string& path, std::string_view data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return out.write(data.data(), static_cast<std::streamsize>(data.size())).flush().good();
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  std::ifstream in(path, std::ios::binary);
  out->assign(std::istreambuf_iterator<char>(in), {});
  if (!in.bad() && in.is_open()) return true;
  out->clear();
  return false;
}

std::vector<std::string> ListNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

Silenced::Silenced(int fd) : fd_(fd), saved_(::dup(fd)) {
  if (fd == STDOUT_FILENO) std::fflush(stdout);
  const int null = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  ::dup2(null, fd);
  ::close(null);
}

Silenced::~Silenced() {
  if (fd_ == STDOUT_FILENO) std::fflush(stdout);
  ::dup2(saved_, fd_);
  ::close(saved_);
}

}  // namespace tervane::fuzz
