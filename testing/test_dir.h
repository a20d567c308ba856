// Test helpers: a temporary directory under /tmp removed with everything in
// it when the test ends, and a capture of the lines written to standard
// output.
#ifndef TERVANE_TESTING_TEST_DIR_H_
#define TERVANE_TESTING_TEST_DIR_H_

#include <string>

#include "server/store/store_path.h"

namespace tervane {

class TestDir {
 public:
  TestDir();
  ~TestDir();
  TestDir(const TestDir&) = delete;
  TestDir& operator=(const TestDir&) = delete;

  const std::string& path() const { return path_; }
  std::string At(const std::string& rel) const { return path_ + "/" + rel; }
  void MakeDir(const std::string& rel) const;  // with its parents
  void WriteFile(const std::string& rel, const std::string& content) const;
  std::string ReadFile(const std::string& rel) const;
  bool Exists(const std::string& rel) const;  // a dangling link exists too
  // A StorePath with home At(home) and the relative part `rel` (UTF-8).
  StorePath Path(const std::string& home, const std::string& rel) const;

 private:
  std::string path_;
};

// Redirects file descriptor 1 into a temporary file between Start and Stop.
class StdoutCapture {
 public:
  StdoutCapture();
  ~StdoutCapture();
  std::string Stop();

 private:
  int saved_ = -1;
  int file_ = -1;
};

}  // namespace tervane

#endif  // TERVANE_TESTING_TEST_DIR_H_
