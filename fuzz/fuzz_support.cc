#include "fuzz/fuzz_support.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "testing/temp_dir.h"

namespace tervane::fuzz {

void Fail(const char* what) {
  std::fprintf(stderr, "fuzz check failed: %s\n", what);
  std::fflush(stderr);
  std::abort();
}

ScratchDir::ScratchDir(const char* tag) {
  std::string pattern = (::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp") + std::string("/tervane-") + tag +
                        "-XXXXXX";
  if (::mkdtemp(pattern.data()) == nullptr) Fail("cannot make a scratch directory");
  path_ = pattern;
}

ScratchDir::~ScratchDir() { testing::RemoveAll(path_); }

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
