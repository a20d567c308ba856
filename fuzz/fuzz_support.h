// What the fuzz targets share: Check, which aborts on a broken promise (the
// fuzzer records the input as a finding), a scratch directory and a silenced
// output. The file helpers are testing/temp_dir.h's. Not thread-safe: one
// input at a time.
#ifndef TERVANE_FUZZ_FUZZ_SUPPORT_H_
#define TERVANE_FUZZ_FUZZ_SUPPORT_H_

#include <string>
#include <string_view>

namespace tervane::fuzz {

// Writes "fuzz check failed: <what>" to standard error and aborts.
[[noreturn]] void Fail(const char* what);
inline void Check(bool condition, const char* what) {
  if (!condition) Fail(what);
}

// A fresh directory under /dev/shm (or /tmp), removed with all in it at the
// end: memory, since the targets rewrite files and sync them for every input.
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
