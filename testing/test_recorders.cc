#include "testing/test_recorders.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

#include "testing/temp_dir.h"

namespace tervane::testing {

CapturedStdout::CapturedStdout() {
  std::fflush(stdout);
  char name[] = "/tmp/tervane-stdout-XXXXXX";
  fd_ = ::mkstemp(name);
  ::unlink(name);  // the descriptor keeps it readable
  saved_ = ::dup(STDOUT_FILENO);
  ::dup2(fd_, STDOUT_FILENO);
}

CapturedStdout::~CapturedStdout() {
  Restore();
  ::close(fd_);
}

void CapturedStdout::Restore() {
  if (saved_ < 0) return;
  std::fflush(stdout);
  ::dup2(saved_, STDOUT_FILENO);
  ::close(saved_);
  saved_ = -1;
}

std::string CapturedStdout::Text() const {
  if (saved_ >= 0) std::fflush(stdout);
  return ReadFile("/proc/self/fd/" + std::to_string(fd_));  // opened afresh, from its start
}

}  // namespace tervane::testing
