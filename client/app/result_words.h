// What a result code means, in the words every client message uses: the
// failure lines of a run, refused logins, the retry and abort lines.
// Thread-safe (constant data only).
#ifndef TERVANE_CLIENT_APP_RESULT_WORDS_H_
#define TERVANE_CLIENT_APP_RESULT_WORDS_H_

#include <cstdint>
#include <string>

#include "shared/protocol/result.h"

namespace tervane {

// Chinese words for `code`: a Windows file or socket code, or one of the
// system's own codes (0x3500 and up). Never null; codes without words of
// their own get a general text.
const char* ResultWords(Result code);

// The words with the code: "磁盘空间不足 (Error:112)" for an operating-system
// code, "账户正在使用 (0x3503)" for one of the system's own.
std::string DescribeResult(Result code);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_RESULT_WORDS_H_
