// Test-only: a fresh directory under /tmp, removed with everything in it
// when the object goes (read-only modes a test left behind included), and
// the file helpers tests use on such trees: whole paths, no state (TempDir's
// own take paths relative to it). Not thread-safe for the same path.
#ifndef TERVANE_TESTING_TEMP_DIR_H_
#define TERVANE_TESTING_TEMP_DIR_H_

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "server/store/store_path.h"

namespace tervane::testing {

class TempDir {
 public:
  TempDir();  // throws std::runtime_error when /tmp refuses
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  std::string At(const std::string& rel) const { return path_ + "/" + rel; }
  void MakeDir(const std::string& rel) const;                                // with its parents
  void WriteFile(const std::string& rel, const std::string& content) const;  // throws when it cannot
  std::string ReadFile(const std::string& rel) const;
  bool Exists(const std::string& rel) const;  // a dangling link exists too
  // A StorePath with home At(home) and the relative part `rel` (UTF-8).
  StorePath Path(const std::string& home, const std::string& rel) const;

 private:
  std::string path_;
};

bool MakeDirs(const std::string& path);  // with its parents; false when one cannot be made
bool WriteFile(const std::string& path, const std::string& content);  // missing parents made
std::string ReadFile(const std::string& path);  // empty when unreadable (Exists tells the two apart)
bool Exists(const std::string& path);           // a dangling link exists too
std::vector<std::string> ListDir(const std::string& dir);  // names but "." and ".."; empty when unreadable
bool RemoveAll(const std::string& path);  // links as entries, modes lifted; true when nothing is left

// `size` bytes of a xorshift stream seeded with `seed`: no two seeds give
// the same stream, so a copy shifted, cut or mixed with another file's never
// compares equal.
std::string PatternBytes(size_t size, uint64_t seed);

// A tree as a map of relative paths: a directory "a/" -> "", a file "a/b"
// -> its content, a link "a/l" -> "-> target". With `with_modes`, a file's
// content is preceded by its permission bits in octal and ':' ("644:..."),
// and a directory's value holds its bits, to show that a tree was left
// exactly as it was. Empty for a missing root.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& root, bool with_modes = false);
std::vector<std::string> ListFiles(const std::string& root);  // relative paths of regular files, sorted

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEMP_DIR_H_
