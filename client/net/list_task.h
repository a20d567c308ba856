// The listing helper: moves the account's current remote directory and
// collects the listing into a buffer it grows once when the first is small.
#ifndef TERVANE_CLIENT_NET_LIST_TASK_H_
#define TERVANE_CLIENT_NET_LIST_TASK_H_

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "client/net/remote_session.h"
#include "client/net/status_sink.h"

namespace tervane {

// The first listing buffer's size.
inline constexpr uint32_t kFirstListingBuffer = 10240;

// One listing job. Filled by the caller, owned and freed by RunListTask.
struct ListTask {
  std::string directory_name;          // wire text: "\" for the home, a child's or the parent's name
  StatusSink* status = nullptr;        // where failures are shown; may be null
  RemoteSession* session = nullptr;    // the connection (not owned)
  std::vector<uint8_t>* listing = nullptr;  // optional: receives the collected listing on success
};

// Runs the job on the calling thread. Failures are shown on `status` only:
// "ERROR_BAD_FORMAT" for a foreign reply, "分配缓冲区失败" when a buffer cannot
// be had, "获取文件列表错误[KOVA_SetCurDirectory Error:%d]" when the second
// call with the grown buffer fails; other failures show nothing. Always 0
// (a plain value, not a Result: failures are shown, not returned).
uint32_t RunListTask(std::unique_ptr<ListTask> task);

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_LIST_TASK_H_
