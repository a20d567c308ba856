#include "testing/captured_stdout.h"

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>

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
  std::string text;
  char chunk[4096];
  off_t offset = 0;
  ssize_t n;
  while ((n = ::pread(fd_, chunk, sizeof chunk, offset)) > 0) {
    text.append(chunk, static_cast<size_t>(n));
    offset += n;
  }
  return text;
}

}  // namespace tervane::testing
