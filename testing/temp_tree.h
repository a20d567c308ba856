// Test-only: a temporary directory under /tmp that is removed with
// everything in it when the test ends, and the file helpers the robustness
// tests use on it (making trees of known content, comparing copies).
//
// Not thread-safe for the same path; the helpers themselves keep no state.
#ifndef TERVANE_TESTING_TEMP_TREE_H_
#define TERVANE_TESTING_TEMP_TREE_H_

#include <sys/types.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace tervane::robust {

class TempTree {
 public:
  TempTree();
  ~TempTree();
  TempTree(const TempTree&) = delete;
  TempTree& operator=(const TempTree&) = delete;

  const std::string& path() const { return path_; }
  std::string At(const std::string& rel) const { return path_ + "/" + rel; }

 private:
  std::string path_;
};

// Creates the directory and its parents.
bool MakeDirs(const std::string& path);
bool WriteFile(const std::string& path, const std::string& content);
// Empty when the file cannot be read (use Exists to tell apart).
std::string ReadFile(const std::string& path);
bool Exists(const std::string& path);  // a dangling link exists too
// Removes the tree (links as entries); true when nothing is left.
bool RemoveAll(const std::string& path);

// `size` bytes that differ from file to file: a counter stream seeded with
// `seed`, so a copy that is shifted, cut or mixed up with another file's
// never compares equal.
std::string PatternBytes(uint64_t seed, size_t size);

// Everything below `root`: relative path -> description ("d" for a
// directory, "l:<target>" for a link, "f:<mode>:<content>" for a file).
// Used to show that a tree was left exactly as it was.
std::map<std::string, std::string> Snapshot(const std::string& root);

// The relative paths of the regular files below `root`, sorted.
std::vector<std::string> ListFiles(const std::string& root);

}  // namespace tervane::robust

#endif  // TERVANE_TESTING_TEMP_TREE_H_
