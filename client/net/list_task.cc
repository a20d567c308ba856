#include "client/net/list_task.h"

#include <cstdio>
#include <new>
#include <stdexcept>

#include "client/net/remote_directory.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"

namespace tervane {
namespace {

constexpr char kAllocFailed[] = "分配缓冲区失败";
constexpr char kBadFormat[] = "ERROR_BAD_FORMAT";

void Show(const ListTask& task, const std::string& text) {
  if (task.status != nullptr) task.status->ShowStatus(text);
}

// A zero-filled buffer of `size` bytes; false when it cannot be had.
bool Allocate(std::vector<uint8_t>* buffer, uint32_t size) {
  try {
    std::vector<uint8_t>(size).swap(*buffer);
    return true;
  } catch (const std::bad_alloc&) {
  } catch (const std::length_error&) {
  }
  return false;
}

}  // namespace

uint32_t RunListTask(std::unique_ptr<ListTask> task) {
  if (task == nullptr) return 0;
  std::vector<uint8_t> buffer;
  if (!Allocate(&buffer, kFirstListingBuffer)) {
    Show(*task, kAllocFailed);
    return 0;
  }
  uint32_t size = kFirstListingBuffer;
  Result rc = KOVA_SetCurDirectory(task->session, task->directory_name, buffer.data(), &size);
  if (rc == ERROR_BAD_FORMAT) {
    Show(*task, kBadFormat);
  } else if (rc == ERROR_OUTOFMEMORY) {
    // `size` now holds what the whole listing needs; one more try with that.
    if (!Allocate(&buffer, size)) {
      Show(*task, kAllocFailed);
      return 0;
    }
    rc = KOVA_SetCurDirectory(task->session, task->directory_name, buffer.data(), &size);
    if (!rc.ok()) {
      char text[96];
      std::snprintf(text, sizeof text, "获取文件列表错误[KOVA_SetCurDirectory Error:%d]",
                    static_cast<int>(rc.code()));
      Show(*task, text);
    }
  }
  if (rc.ok() && task->listing != nullptr) {
    // An empty directory leaves `size` as it was and the zeroed buffer
    // untouched; a collected listing starts with a chunk of at least one record.
    const bool empty = size == 0 || LoadU32(buffer.data()) == 0;
    try {
      task->listing->assign(buffer.begin(), empty ? buffer.begin() : buffer.begin() + size);
    } catch (const std::bad_alloc&) {
      Show(*task, kAllocFailed);
    }
  }
  return 0;
}

}  // namespace tervane

