// Access rights, share modes and dispositions of OP_CREATE_FILE as clients
// send them, and the read-only attribute: Windows values, kept on the wire.
#ifndef TERVANE_SHARED_PROTOCOL_OPEN_FLAGS_H_
#define TERVANE_SHARED_PROTOCOL_OPEN_FLAGS_H_

#include <cstdint>

namespace tervane {

inline constexpr uint32_t GENERIC_READ = 0x80000000u;
inline constexpr uint32_t GENERIC_WRITE = 0x40000000u;
inline constexpr uint32_t GENERIC_EXECUTE = 0x20000000u;
inline constexpr uint32_t GENERIC_ALL = 0x10000000u;
inline constexpr uint32_t DELETE = 0x00010000u;
inline constexpr uint32_t FILE_READ_DATA = 0x0001u;
inline constexpr uint32_t FILE_WRITE_DATA = 0x0002u;
inline constexpr uint32_t FILE_APPEND_DATA = 0x0004u;

inline constexpr uint32_t FILE_SHARE_READ = 1;
inline constexpr uint32_t FILE_SHARE_WRITE = 2;
inline constexpr uint32_t FILE_SHARE_DELETE = 4;

inline constexpr uint32_t CREATE_NEW = 1;         // exists: ERROR_FILE_EXISTS (80)
inline constexpr uint32_t CREATE_ALWAYS = 2;      // truncates an existing file
inline constexpr uint32_t OPEN_EXISTING = 3;      // missing: 2, missing parent: 3
inline constexpr uint32_t OPEN_ALWAYS = 4;
inline constexpr uint32_t TRUNCATE_EXISTING = 5;  // needs GENERIC_WRITE, else 87

inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x01;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_OPEN_FLAGS_H_
