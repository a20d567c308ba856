// Test-only: a fresh directory under /tmp, removed with everything in it
// when the object goes (read-only modes a test left behind included), and
// the file helpers tests use on such trees. The helpers take whole paths
// and keep no state; TempDir's own helpers take paths relative to it.
//
// Not thread-safe for the same path.
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
  void MakeDir(const std::string& rel) const;  // with its parents
  void WriteFile(const std::string& rel, const std::string& content) const;  // throws when it cannot
  std::string ReadFile(const std::string& rel) const;
  bool Exists(const std::string& rel) const;  // a dangling link exists too
  // A StorePath with home At(home) and the relative part `rel` (UTF-8).
  StorePath Path(const std::string& home, const std::string& rel) const;

 private:
  std::string path_;
};

// Creates the directory and its parents; false when one cannot be made.
bool MakeDirs(const std::string& path);
// Writes `content`, creating missing parent directories.
bool WriteFile(const std::string& path, const std::string& content);
// Empty when the file cannot be read (Exists tells the two apart).
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);  // a dangling link exists too
// Removes the tree (links as entries, modes lifted); true when nothing is left.
bool RemoveAll(const std::string& path);

// `size` bytes of a xorshift stream seeded with `seed`: no two seeds give
// the same stream, so a copy that is shifted, cut or mixed up with another
// file's never compares equal.
std::string PatternBytes(size_t size, uint64_t seed);

// A tree as a map of relative paths: a directory "a/" -> "", a file "a/b"
// -> its content, a link "a/l" -> "-> target". With `with_modes`, a file's
// content is preceded by its permission bits in octal and ':' ("644:..."),
// and a directory's value holds its bits, to show that a tree was left
// exactly as it was. Empty for a missing root.
using Tree = std::map<std::string, std::string>;
Tree ReadTree(const std::string& root, bool with_modes = false);

// The relative paths of the regular files below `root`, sorted.
std::vector<std::string> ListFiles(const std::string& root);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_TEMP_DIR_H_
