#include "client/app/copy_messages.h"

#include <chrono>
#include <cstdio>
#include <mutex>

#include "client/net/remote_session.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

std::string Words(uint32_t code) {
  switch (code) {
    case ERROR_FILE_NOT_FOUND: return "副本中没有此文件";
    case ERROR_PATH_NOT_FOUND: return "副本中没有此路径";
    case ERROR_ACCESS_DENIED: return "拒绝访问";
    case ERROR_NOT_ENOUGH_MEMORY: return "内存不足";
    case ERROR_INVALID_DATA: return "服务器的回复无效";
    case ERROR_HANDLE_EOF: return "文件在读取时变短";
    case ERROR_DISK_FULL: return "磁盘空间不足";
    case ERROR_INVALID_NAME: return "名称无效";
    case ERROR_ALREADY_EXISTS: return "已有同名的目录或文件";
    case ERROR_FILENAME_EXCED_RANGE: return "路径太长";
    case RESULT_NO_SUCH_DIRECTORY: return "服务器上没有此目录";
    case WSAECONNRESET:
    case WSAECONNABORTED:
    case WSAENOTCONN: return "与服务器的连接已断开";
    case WSAETIMEDOUT: return "服务器没有回应";
    default: return std::string();
  }
}

}  // namespace

std::string FailureLine(const std::string& path, uint32_t code) {
  const std::string words = Words(code);
  char tail[48];
  std::snprintf(tail, sizeof tail, "(Error:%u)\n", code);
  return "  " + path + ": " + (words.empty() ? std::string() : words + " ") + tail;
}

bool ConnectionLost(RemoteSession* session) {
  if (session == nullptr) return true;
  std::lock_guard<std::recursive_mutex> hold(session->lock);
  return session->socket < 0;
}

int64_t SteadyNowNs() {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t SecondsSince(int64_t start_ns) { return (SteadyNowNs() - start_ns) / 1'000'000'000; }

}  // namespace tervane
