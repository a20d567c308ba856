// A path inside one user's tree: the home directory (absolute, chosen by the
// server) and a path relative to it (built from request names). Keeping the
// two apart is what confines every file operation to the home: the storage
// functions open the home and resolve only the relative part beneath it.
//
// Fixed buffers, no heap: a StorePath lives on the caller's stack. Not
// thread-safe; a value is owned by the request that built it.
#ifndef TERVANE_SERVER_STORE_STORE_PATH_H_
#define TERVANE_SERVER_STORE_STORE_PATH_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/protocol/result.h"

namespace tervane {

// Capacity of a composed path, terminator included. Request names arrive in
// GB18030 and grow by up to half again in UTF-8, so the 260-byte limit of the
// wire is kept by the client's 300-byte requests, and this buffer leaves room
// for the share root and the UTF-8 expansion.
inline constexpr size_t kStorePathCapacity = 1024;

class StorePath {
 public:
  StorePath() = default;
  StorePath(const StorePath&) = default;
  StorePath& operator=(const StorePath&) = default;

  // Sets the home (an absolute UTF-8 path; trailing '/' are dropped, "/" is
  // refused) and empties the relative part. 0; ERROR_INVALID_PARAMETER (87)
  // when not absolute or empty; ERROR_FILENAME_EXCED_RANGE (206) when too long.
  Result SetHome(std::string_view home);

  // Appends a relative UTF-8 name. `\` and `/` both separate components;
  // empty and "." components are dropped. Results: 0;
  // ERROR_ACCESS_DENIED (5) for a ".." component; ERROR_INVALID_NAME (123)
  // for : * ? " < > | or a control byte; ERROR_FILENAME_EXCED_RANGE (206)
  // when the path would not fit; 87 when no home is set. On failure the path
  // is unchanged.
  Result Append(std::string_view utf8_name);

  // As Append, for a name as it came off the wire (GB18030): converted to
  // UTF-8 first; 123 when it is not valid GB18030.
  Result AppendWire(std::string_view wire_name);

  // Drops the last component of the relative part (no-op at the home).
  void RemoveLast();

  void Clear();

  bool has_home() const { return home_len_ > 0; }
  // True when the relative part is empty: the path names the home itself.
  bool is_home() const { return len_ == home_len_; }

  // The whole path, home "/" relative, as the server composed it; the home
  // alone when the relative part is empty. Used for log lines.
  const char* full() const { return full_; }
  size_t full_size() const { return len_; }
  std::string_view home() const { return std::string_view(full_, home_len_); }
  // The relative part without leading or trailing '/', "" at the home.
  const char* relative() const { return is_home() ? "" : full_ + home_len_ + 1; }
  size_t relative_size() const { return is_home() ? 0 : len_ - home_len_ - 1; }
  // The last component of the relative part ("" at the home).
  std::string_view leaf() const;

 private:
  char full_[kStorePathCapacity] = {};
  uint16_t home_len_ = 0;
  uint16_t len_ = 0;
};

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_STORE_PATH_H_
