#include "testing/temp_dir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tervane::testing {
namespace {

std::string Octal(mode_t mode) {
  std::ostringstream s;
  s << std::oct << (mode & 07777);
  return s.str();
}

void Walk(const std::string& root, const std::string& prefix, bool with_modes, Tree* tree) {
  for (const std::string& name : ListDir(root + "/" + prefix)) {
    const std::string rel = prefix + name, full = root + "/" + rel;
    struct stat st {};
    if (::lstat(full.c_str(), &st) != 0) continue;
    if (S_ISDIR(st.st_mode)) {
      (*tree)[rel + "/"] = with_modes ? Octal(st.st_mode) : "";
      Walk(root, rel + "/", with_modes, tree);
    } else if (S_ISLNK(st.st_mode)) {
      std::error_code error;  // an unreadable link shows as "-> "
      (*tree)[rel] = "-> " + std::filesystem::read_symlink(full, error).string();
    } else {
      (*tree)[rel] = (with_modes ? Octal(st.st_mode) + ":" : "") + ReadFile(full);
    }
  }
}

}  // namespace

TempDir::TempDir() {
  char pattern[] = "/tmp/tervane-test-XXXXXX";
  if (::mkdtemp(pattern) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() { RemoveAll(path_); }

void TempDir::MakeDir(const std::string& rel) const { testing::MakeDirs(At(rel)); }

void TempDir::WriteFile(const std::string& rel, const std::string& content) const {
  if (!testing::WriteFile(At(rel), content)) throw std::runtime_error("cannot write " + At(rel));
}

std::string TempDir::ReadFile(const std::string& rel) const { return testing::ReadFile(At(rel)); }

bool TempDir::Exists(const std::string& rel) const { return testing::Exists(At(rel)); }

StorePath TempDir::Path(const std::string& home, const std::string& rel) const {
  StorePath p;
  if (p.SetHome(At(home)) != 0) throw std::runtime_error("bad home " + home);
  if (!rel.empty() && p.Append(rel) != 0) throw std::runtime_error("bad relative path " + rel);
  return p;
}

bool MakeDirs(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos; slash = path.find('/', slash + 1)) {
    if (::mkdir(path.substr(0, slash).c_str(), 0755) != 0 && errno != EEXIST) return false;
  }
  return path.empty() || ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST;
}

bool WriteFile(const std::string& path, const std::string& content) {
  const size_t slash = path.rfind('/');
  if (slash != std::string::npos && slash > 0 && !MakeDirs(path.substr(0, slash))) return false;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  return static_cast<bool>(out.write(content.data(), static_cast<std::streamsize>(content.size())));
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

std::vector<std::string> ListDir(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code error;  // an unreadable directory lists nothing; a failing read ends the listing
  for (std::filesystem::directory_iterator it(dir, error), end; it != end; it.increment(error)) {
    names.emplace_back(it->path().filename());
  }
  return names;
}

bool RemoveAll(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return ::unlink(path.c_str()) == 0;
  ::chmod(path.c_str(), 0700);
  for (const std::string& name : ListDir(path)) RemoveAll(path + "/" + name);
  return ::rmdir(path.c_str()) == 0;
}

std::string PatternBytes(size_t size, uint64_t seed) {
  std::string bytes(size, '\0');
  uint64_t x = seed * 0x9E3779B97F4A7C15ull + 1;
  for (char& b : bytes) {
    x ^= x << 13;
    x ^= x >> 7;
    x ^= x << 17;
    b = static_cast<char>(x >> 24);
  }
  return bytes;
}

Tree ReadTree(const std::string& root, bool with_modes) {
  Tree tree;
  Walk(root, "", with_modes, &tree);
  return tree;
}

std::vector<std::string> ListFiles(const std::string& root) {
  std::vector<std::string> files;
  for (const auto& [rel, value] : ReadTree(root)) {
    struct stat st {};
    if (rel.back() != '/' && ::lstat((root + "/" + rel).c_str(), &st) == 0 && S_ISREG(st.st_mode)) files.push_back(rel);
  }
  return files;
}

}  // namespace tervane::testing
