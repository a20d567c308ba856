// Test-only: file descriptor 1 sent to a temporary file while the object
// lives, so that what a unit writes there (the server's log lines) can be
// read back. C stdio is flushed at both ends so that nothing buffered
// lands on the wrong side.
//
// Not thread-safe: one capture at a time in a process.
#ifndef TERVANE_TESTING_CAPTURED_STDOUT_H_
#define TERVANE_TESTING_CAPTURED_STDOUT_H_

#include <string>

namespace tervane::testing {

class CapturedStdout {
 public:
  CapturedStdout();
  ~CapturedStdout();
  CapturedStdout(const CapturedStdout&) = delete;
  CapturedStdout& operator=(const CapturedStdout&) = delete;

  // Puts the original standard output back (also done by the destructor).
  void Restore();
  // Everything written so far.
  std::string Text() const;

 private:
  int fd_ = -1;
  int saved_ = -1;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_CAPTURED_STDOUT_H_
