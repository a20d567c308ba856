// The files one connection has open: at most 16 server handles, each with
// the path as its OP_CREATE_FILE request gave it. Handle-based requests are
// served only for handles held here, so no connection can act on another
// connection's files; releasing the connection closes whatever is left.
//
// Not thread-safe: a table belongs to one connection's Session and is
// touched only by the worker serving that connection, or under the pool lock
// while no worker serves it.
#ifndef TERVANE_SERVER_NET_OPEN_FILE_TABLE_H_
#define TERVANE_SERVER_NET_OPEN_FILE_TABLE_H_

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "shared/platform/remote_name.h"
#include "shared/protocol/result.h"

namespace tervane {

class FileRegistry;

class OpenFileTable {
 public:
  static constexpr size_t kEntries = 16;
  // Longest path an entry holds (a request path is refused beyond it).
  static constexpr size_t kMaxPathLength = kMaxPath - 1;

  // AddOpenFile. An entry holding the same path (byte for byte: the
  // server's file system tells case apart) has its old handle closed and
  // takes the new one; else the first free entry takes handle and path.
  // 0; ERROR_INSUFFICIENT_BUFFER (122) when all 16 are in use (the caller
  // closes the new handle); ERROR_FILENAME_EXCED_RANGE (206) for a path
  // longer than kMaxPathLength or handle 0 (nothing is stored).
  Result Add(uint32_t handle, std::string_view path, FileRegistry& files);

  // CloseOpenFile: closes the handle and clears its entry; 0, or
  // ERROR_FILE_NOT_FOUND (2) when no entry holds it (nothing is closed).
  Result Close(uint32_t handle, FileRegistry& files);

  // CloseAllOpenFiles: closes every handle held and clears the table.
  void CloseAll(FileRegistry& files);

  // True when `handle` (nonzero) was opened on this connection and is open.
  bool Contains(uint32_t handle) const;

  // Entries in use.
  size_t size() const;

 private:
  struct Entry {
    uint32_t handle = 0;  // 0 marks a free entry
    uint16_t path_length = 0;
    char path[kMaxPath] = {};
  };
  Entry entries_[kEntries];
};

}  // namespace tervane

#endif  // TERVANE_SERVER_NET_OPEN_FILE_TABLE_H_
