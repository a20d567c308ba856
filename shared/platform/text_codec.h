// Text crosses the wire in code page 936; we carry it as GB18030, its
// superset, so that every Unicode name survives the trip. Everything else
// (names on disk, configuration files, log lines, the screen) is UTF-8, and
// conversion happens only where bytes enter or leave the wire.
#ifndef TERVANE_SHARED_PLATFORM_TEXT_CODEC_H_
#define TERVANE_SHARED_PLATFORM_TEXT_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tervane {

// Convert `in` into out[0..cap) and terminate it with a zero byte. Returns 0;
// ERROR_FILENAME_EXCED_RANGE (206) when the result and its terminator do not
// fit; ERROR_INVALID_NAME (123) when `in` is not valid in its encoding or
// holds a zero byte. On failure `out` holds an empty string (when cap > 0).
// `out_len`, when given, receives the length without the terminator.
// Thread-safe; allocates nothing after a thread's first call.
uint32_t WireToUtf8(std::string_view in, char* out, size_t cap, size_t* out_len = nullptr);
uint32_t Utf8ToWire(std::string_view in, char* out, size_t cap, size_t* out_len = nullptr);

// Convenience forms for code off the request path. Return false (and leave
// `out` empty) when `in` is not valid in its encoding.
bool WireToUtf8(std::string_view in, std::string* out);
bool Utf8ToWire(std::string_view in, std::string* out);

}  // namespace tervane

#endif  // TERVANE_SHARED_PLATFORM_TEXT_CODEC_H_
