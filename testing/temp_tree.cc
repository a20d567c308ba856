#include "testing/temp_tree.h"

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace tervane::robust {
namespace {

std::vector<std::string> Names(const std::string& dir) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) return names;
  while (const dirent* e = ::readdir(d)) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  ::closedir(d);
  return names;
}

void Walk(const std::string& root, const std::string& rel, std::map<std::string, std::string>* out,
          std::vector<std::string>* files) {
  const std::string dir = rel.empty() ? root : root + "/" + rel;
  for (const std::string& name : Names(dir)) {
    const std::string child = rel.empty() ? name : rel + "/" + name;
    const std::string full = root + "/" + child;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      if (out != nullptr) (*out)[child] = "d";
      Walk(root, child, out, files);
    } else if (S_ISLNK(st.st_mode)) {
      char target[4096];
      const ssize_t n = ::readlink(full.c_str(), target, sizeof target);
      if (out != nullptr) (*out)[child] = "l:" + std::string(target, n > 0 ? static_cast<size_t>(n) : 0);
    } else {
      if (out != nullptr) {
        (*out)[child] = "f:" + std::to_string(st.st_mode & 07777) + ":" + ReadFile(full);
      }
      if (files != nullptr && S_ISREG(st.st_mode)) files->push_back(child);
    }
  }
}

}  // namespace

TempTree::TempTree() {
  char pattern[] = "/tmp/tervane-robust-XXXXXX";
  if (::mkdtemp(pattern) != nullptr) path_ = pattern;
}

TempTree::~TempTree() {
  if (!path_.empty()) RemoveAll(path_);
}

bool MakeDirs(const std::string& path) {
  for (size_t i = 1; i <= path.size(); ++i) {
    if (i != path.size() && path[i] != '/') continue;
    const std::string prefix = path.substr(0, i);
    if (::mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return true;
}

bool WriteFile(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(content.data(), static_cast<std::streamsize>(content.size()));
  return static_cast<bool>(out);
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

bool Exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

bool RemoveAll(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (S_ISDIR(st.st_mode)) {
    ::chmod(path.c_str(), 0700);
    for (const std::string& name : Names(path)) RemoveAll(path + "/" + name);
    return ::rmdir(path.c_str()) == 0;
  }
  return ::unlink(path.c_str()) == 0;
}

std::string PatternBytes(uint64_t seed, size_t size) {
  std::string bytes(size, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (size_t i = 0; i < size; ++i) {
    // xorshift: cheap, and no two seeds give the same stream.
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    bytes[i] = static_cast<char>(x >> 24);
  }
  return bytes;
}

std::map<std::string, std::string> Snapshot(const std::string& root) {
  std::map<std::string, std::string> out;
  Walk(root, "", &out, nullptr);
  return out;
}

std::vector<std::string> ListFiles(const std::string& root) {
  std::vector<std::string> files;
  Walk(root, "", nullptr, &files);
  std::sort(files.begin(), files.end());
  return files;
}

}  // namespace tervane::robust
