// Result codes of the Windows file and socket interfaces that the protocol
// carries, and the one place where errno values become such codes.
#ifndef TERVANE_SHARED_PLATFORM_WIN_ERROR_H_
#define TERVANE_SHARED_PLATFORM_WIN_ERROR_H_

#include <cstdint>

namespace tervane {

// Operating-system result codes as the wire carries them (0 is success).
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_INVALID_FUNCTION = 1;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_TOO_MANY_OPEN_FILES = 4;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_NOT_ENOUGH_MEMORY = 8;
inline constexpr uint32_t ERROR_BAD_FORMAT = 11;
inline constexpr uint32_t ERROR_INVALID_DATA = 13;
inline constexpr uint32_t ERROR_OUTOFMEMORY = 14;
inline constexpr uint32_t ERROR_NO_MORE_FILES = 18;
inline constexpr uint32_t ERROR_WRITE_PROTECT = 19;
inline constexpr uint32_t ERROR_SHARING_VIOLATION = 32;
inline constexpr uint32_t ERROR_HANDLE_EOF = 38;
inline constexpr uint32_t ERROR_NOT_SUPPORTED = 50;
inline constexpr uint32_t ERROR_FILE_EXISTS = 80;
inline constexpr uint32_t ERROR_INVALID_PARAMETER = 87;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INSUFFICIENT_BUFFER = 122;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_DIR_NOT_EMPTY = 145;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_FILENAME_EXCED_RANGE = 206;
inline constexpr uint32_t ERROR_DIRECTORY = 267;
inline constexpr uint32_t ERROR_IO_DEVICE = 1117;

// Windows Sockets codes, reported by the client for failed socket calls.
inline constexpr uint32_t WSAEINTR = 10004;
inline constexpr uint32_t WSAEBADF = 10009;
inline constexpr uint32_t WSAEACCES = 10013;
inline constexpr uint32_t WSAEFAULT = 10014;
inline constexpr uint32_t WSAEINVAL = 10022;
inline constexpr uint32_t WSAEMFILE = 10024;
inline constexpr uint32_t WSAEWOULDBLOCK = 10035;
inline constexpr uint32_t WSAEINPROGRESS = 10036;
inline constexpr uint32_t WSAENOTSOCK = 10038;
inline constexpr uint32_t WSAEMSGSIZE = 10040;
inline constexpr uint32_t WSAEAFNOSUPPORT = 10047;
inline constexpr uint32_t WSAEADDRINUSE = 10048;
inline constexpr uint32_t WSAEADDRNOTAVAIL = 10049;
inline constexpr uint32_t WSAENETDOWN = 10050;
inline constexpr uint32_t WSAENETUNREACH = 10051;
inline constexpr uint32_t WSAENETRESET = 10052;
inline constexpr uint32_t WSAECONNABORTED = 10053;
inline constexpr uint32_t WSAECONNRESET = 10054;
inline constexpr uint32_t WSAENOBUFS = 10055;
inline constexpr uint32_t WSAEISCONN = 10056;
inline constexpr uint32_t WSAENOTCONN = 10057;
inline constexpr uint32_t WSAESHUTDOWN = 10058;
inline constexpr uint32_t WSAETIMEDOUT = 10060;
inline constexpr uint32_t WSAECONNREFUSED = 10061;
inline constexpr uint32_t WSAEHOSTDOWN = 10064;
inline constexpr uint32_t WSAEHOSTUNREACH = 10065;

// What the failing call was acting on: EEXIST means "file exists" (80) for a
// file but "already exists" (183) for a directory, and EISDIR is a refused
// access (5).
enum class ErrnoTarget { kFile, kDirectory };

// Maps an errno value of a file-system call to its Windows code. Values
// without a counterpart map to ERROR_INVALID_FUNCTION (1), never to 0. ENOENT maps to 2; callers that know a parent directory is
// missing report 3 themselves.
uint32_t WinErrorFromErrno(int err, ErrnoTarget target = ErrnoTarget::kFile);

// Maps an errno value of a socket call to its Windows Sockets code.
uint32_t WinsockErrorFromErrno(int err);

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_WIN_ERROR_H_
