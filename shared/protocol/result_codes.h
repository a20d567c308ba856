// The system's own result codes. Every other non-zero result is an
// operating-system code (shared/platform/win_error.h).
#ifndef TERVANE_SHARED_PROTOCOL_RESULT_CODES_H_
#define TERVANE_SHARED_PROTOCOL_RESULT_CODES_H_

#include <cstdint>

namespace tervane {

inline constexpr uint32_t RESULT_USER_EXISTS = 0x3500;        // registration: name taken (ignoring case)
inline constexpr uint32_t RESULT_NOT_LOGGED_IN = 0x3501;      // no account bound; at login: no such user
inline constexpr uint32_t RESULT_WRONG_PASSWORD = 0x3502;
inline constexpr uint32_t RESULT_ALREADY_LOGGED_IN = 0x3503;
inline constexpr uint32_t RESULT_OUT_OF_MEMORY = 0x3510;      // new account record or reading Config.cfg
inline constexpr uint32_t RESULT_RENAME_FAILED = 0x3520;
inline constexpr uint32_t RESULT_NO_SUCH_DIRECTORY = 0x3530;  // listing or entering a directory
inline constexpr uint32_t RESULT_NO_RESUME_NAME = 0x3540;
// Loading Config.cfg.
inline constexpr uint32_t RESULT_CONFIG_MISSING = 0x3610;     // 13840
inline constexpr uint32_t RESULT_CONFIG_NO_PATH = 0x3620;
inline constexpr uint32_t RESULT_CONFIG_UNREADABLE = 0x3630;  // cannot open, or cannot create when writing
inline constexpr uint32_t RESULT_CONFIG_MALFORMED = 0x3640;   // a value too long for its field, or a missing "]" or line end
// Starting: the share root cannot be created, or the server cannot write in it.
inline constexpr uint32_t RESULT_SHARE_ROOT_UNUSABLE = 0x3650;

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_RESULT_CODES_H_
