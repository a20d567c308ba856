#include "server/net/open_file_table.h"

#include <cstring>

#include "server/store/file_registry.h"
#include "shared/platform/win_error.h"

namespace tervane {

Result OpenFileTable::Add(uint32_t handle, std::string_view path, FileRegistry& files) {
  if (handle == 0 || path.size() > kMaxPathLength) return ERROR_FILENAME_EXCED_RANGE;
  for (Entry& e : entries_) {
    if (e.handle != 0 && e.path_length == path.size() && std::memcmp(e.path, path.data(), path.size()) == 0) {
      // The same file opened again on this connection: the newer open wins.
      // Every handle held here is open in the registry, so closing it
      // cannot fail.
      static_cast<void>(files.Close(e.handle));
      e.handle = handle;
      return ERROR_SUCCESS;
    }
  }
  for (Entry& e : entries_) {
    if (e.handle == 0) {
      e.handle = handle;
      e.path_length = static_cast<uint16_t>(path.size());
      std::memcpy(e.path, path.data(), path.size());
      e.path[path.size()] = '\0';
      return ERROR_SUCCESS;
    }
  }
  return ERROR_INSUFFICIENT_BUFFER;
}

Result OpenFileTable::Close(uint32_t handle, FileRegistry& files) {
  if (handle == 0) return ERROR_FILE_NOT_FOUND;
  for (Entry& e : entries_) {
    if (e.handle == handle) {
      static_cast<void>(files.Close(handle));  // held, so open: cannot fail
      e = Entry{};
      return ERROR_SUCCESS;
    }
  }
  return ERROR_FILE_NOT_FOUND;
}

void OpenFileTable::CloseAll(FileRegistry& files) {
  for (Entry& e : entries_) {
    if (e.handle != 0) static_cast<void>(files.Close(e.handle));  // held, so open: cannot fail
    e = Entry{};
  }
}

bool OpenFileTable::Contains(uint32_t handle) const {
  if (handle == 0) return false;
  for (const Entry& e : entries_) {
    if (e.handle == handle) return true;
  }
  return false;
}

size_t OpenFileTable::size() const {
  size_t n = 0;
  for (const Entry& e : entries_) n += e.handle != 0 ? 1 : 0;
  return n;
}

}  // namespace tervane
