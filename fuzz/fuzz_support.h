// What every fuzz target needs besides its entry point: the one way a target
// reports a broken promise (it aborts, which the fuzzer records as a finding
// with the input that caused it), a scratch directory that goes with the
// process, small file helpers, and a silenced output.
//
// Not thread-safe: a target runs one input at a time.
#ifndef TERVANE_FUZZ_FUZZ_SUPPORT_H_
#define TERVANE_FUZZ_FUZZ_SUPPORT_H_

#include <string>
#include <string_view>
#include <vector>

namespace tervane::fuzz {

// Writes "fuzz check failed: <what>" to standard error and aborts.
[[noreturn]] void Fail(const char* what);
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A fresh directory under /dev/shm (or /tmp), removed with all in it at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const char* tag);
  ~ScratchDir();
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const std::string& path() const { return path_; }
  std::string At(std::string_view rel) const { return path_ + "/" + std::string(rel); }

 private:
  std::string path_;
};

// Removes what is below `dir`, read-only directories too (links as entries,
// never followed); `dir` itself stays. False when something is left.
bool EmptyDirectory(const std::string& dir);
bool WriteWholeFile(const std::string& path, std::string_view data);
// False when the file cannot be read; *out is then empty.
bool ReadWholeFile(const std::string& path, std::string* out);
// The entry names of `dir`, sorted; empty when it cannot be read.
std::vector<std::string> ListNames(const std::string& dir);

// Sends descriptor `fd` to /dev/null for its lifetime.
class Silenced {
 public:
  explicit Silenced(int fd);
  ~Silenced();
  Silenced(const Silenced&) = delete;
  Silenced& operator=(const Silenced&) = delete;

 private:
  int fd_;
  int saved_;
};

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_FUZZ_SUPPORT_H_
