// Test-only: sends file descriptor 1 to a temporary file while the object
// lives, so that what the server logs can be read back.
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
  std::string path_;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_CAPTURED_STDOUT_H_
