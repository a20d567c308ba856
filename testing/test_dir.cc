#include "testing/test_dir.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace tervane {

TestDir::TestDir() {
  char tmpl[] = "/tmp/tervane-store-XXXXXX";
  if (::mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp failed");
  path_ = tmpl;
}

TestDir::~TestDir() {
  std::error_code ec;
  // Read-only modes left by a test must not keep anything behind.
  for (auto it = std::filesystem::recursive_directory_iterator(path_, ec);
       !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
    if (it->is_directory(ec) && !it->is_symlink(ec)) ::chmod(it->path().c_str(), 0755);
  }
  std::filesystem::remove_all(path_, ec);
}

void TestDir::MakeDir(const std::string& rel) const { std::filesystem::create_directories(At(rel)); }

void TestDir::WriteFile(const std::string& rel, const std::string& content) const {
  std::ofstream out(At(rel), std::ios::binary | std::ios::trunc);
  out << content;
  if (!out) throw std::runtime_error("cannot write " + At(rel));
}

std::string TestDir::ReadFile(const std::string& rel) const {
  std::ifstream in(At(rel), std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool TestDir::Exists(const std::string& rel) const {
  struct stat st;
  return ::lstat(At(rel).c_str(), &st) == 0;
}

StorePath TestDir::Path(const std::string& home, const std::string& rel) const {
  StorePath p;
  if (p.SetHome(At(home)) != 0) throw std::runtime_error("bad home");
  if (!rel.empty() && p.Append(rel) != 0) throw std::runtime_error("bad relative path " + rel);
  return p;
}

StdoutCapture::StdoutCapture() {
  std::fflush(stdout);
  char tmpl[] = "/tmp/tervane-stdout-XXXXXX";
  file_ = ::mkstemp(tmpl);
  ::unlink(tmpl);
  saved_ = ::dup(STDOUT_FILENO);
  ::dup2(file_, STDOUT_FILENO);
}

StdoutCapture::~StdoutCapture() { Stop(); }

std::string StdoutCapture::Stop() {
  if (saved_ < 0) return std::string();
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  saved_ = -1;
  std::string text;
  char buf[4096];
  ::lseek(file_, 0, SEEK_SET);
  ssize_t n;
  while ((n = ::read(file_, buf, sizeof buf)) > 0) text.append(buf, static_cast<size_t>(n));
  ::close(file_);
  file_ = -1;
  return text;
}

}  // namespace tervane
