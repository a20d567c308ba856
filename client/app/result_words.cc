#include "client/app/result_words.h"

#include <cstdio>

#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

struct Words {
  uint32_t code;
  const char* text;
};

// One table for every message of the client.
constexpr Words kWords[] = {
    {ERROR_INVALID_FUNCTION, "操作无法完成"},
    {ERROR_FILE_NOT_FOUND, "找不到文件或目录"},
    {ERROR_PATH_NOT_FOUND, "找不到路径"},
    {ERROR_TOO_MANY_OPEN_FILES, "打开的文件过多"},
    {ERROR_ACCESS_DENIED, "拒绝访问"},
    {ERROR_INVALID_HANDLE, "文件句柄无效"},
    {ERROR_NOT_ENOUGH_MEMORY, "内存不足"},
    {ERROR_BAD_FORMAT, "服务器的回复与请求不符"},
    {ERROR_INVALID_DATA, "连接被服务器关闭或回复无效"},
    {ERROR_OUTOFMEMORY, "内存不足"},
    {ERROR_WRITE_PROTECT, "介质写保护"},
    {ERROR_SHARING_VIOLATION, "文件正被另一个程序使用"},
    {ERROR_HANDLE_EOF, "文件在读取中途变短"},
    {ERROR_NOT_SUPPORTED, "不支持该操作"},
    {ERROR_FILE_EXISTS, "文件已存在"},
    {ERROR_INVALID_PARAMETER, "参数错误"},
    {ERROR_DISK_FULL, "磁盘空间不足"},
    {ERROR_INSUFFICIENT_BUFFER, "服务器上打开的文件过多"},
    {ERROR_INVALID_NAME, "文件名无效 (不是 UTF-8 或含不允许的字符)"},
    {ERROR_DIR_NOT_EMPTY, "目录不为空"},
    {ERROR_ALREADY_EXISTS, "已存在同名文件或目录"},
    {ERROR_FILENAME_EXCED_RANGE, "文件名或路径太长"},
    {ERROR_DIRECTORY, "目录名无效"},
    {ERROR_IO_DEVICE, "读写设备出错"},
    {WSAEACCES, "网络访问被拒绝"},
    {WSAEADDRNOTAVAIL, "服务器地址无效"},
    {WSAENETDOWN, "网络不可用"},
    {WSAENETUNREACH, "网络不可达"},
    {WSAENETRESET, "网络连接已重置"},
    {WSAECONNABORTED, "连接被本机中止"},
    {WSAECONNRESET, "连接被服务器重置"},
    {WSAENOBUFS, "网络缓冲区不足"},
    {WSAENOTCONN, "与服务器的连接已断开"},
    {WSAESHUTDOWN, "连接已关闭"},
    {WSAETIMEDOUT, "服务器没有及时回应"},
    {WSAECONNREFUSED, "服务器拒绝连接 (服务未运行?)"},
    {WSAEHOSTDOWN, "服务器已关机"},
    {WSAEHOSTUNREACH, "无法到达服务器"},
    {RESULT_USER_EXISTS, "用户名已存在"},
    {RESULT_NOT_LOGGED_IN, "账户不存在或未登录"},
    {RESULT_WRONG_PASSWORD, "密码错误"},
    {RESULT_ALREADY_LOGGED_IN, "账户正在使用"},
    {RESULT_OUT_OF_MEMORY, "服务器内存不足"},
    {RESULT_RENAME_FAILED, "重命名失败"},
    {RESULT_NO_SUCH_DIRECTORY, "目录不存在"},
    {RESULT_NO_RESUME_NAME, "缺少续列名称"},
};

// The system's own codes are shown in hexadecimal, as they are written.
bool IsSystemCode(uint32_t code) { return code >= 0x3500 && code < 0x3700; }

}  // namespace

const char* ResultWords(Result result) {
  const uint32_t code = result.code();
  for (const Words& w : kWords) {
    if (w.code == code) return w.text;
  }
  if (code >= 10000 && code < 12000) return "网络错误";
  if (IsSystemCode(code)) return "服务器拒绝了请求";
  return "操作失败";
}

std::string DescribeResult(Result result) {
  const uint32_t code = result.code();
  char text[160];
  if (IsSystemCode(code)) {
    std::snprintf(text, sizeof(text), "%s (0x%04X)", ResultWords(code), code);
  } else {
    std::snprintf(text, sizeof(text), "%s (Error:%u)", ResultWords(code), code);
  }
  return text;
}

}  // namespace tervane
