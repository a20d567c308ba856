#include "shared/platform/text_codec.h"

#include <iconv.h>

#include <cerrno>
#include <cstring>

#include "shared/platform/win_error.h"

namespace tervane {
namespace {

// One conversion descriptor per thread and direction, opened on first use:
// iconv descriptors keep shift state and must not be shared between threads.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {}
  ~Converter() {
    if (cd_ != reinterpret_cast<iconv_t>(-1)) iconv_close(cd_);
  }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  uint32_t Convert(std::string_view in, char* out, size_t cap, size_t* out_len) {
    if (cap > 0) out[0] = '\0';
    if (out_len) *out_len = 0;
    if (!in.empty() && std::memchr(in.data(), '\0', in.size()) != nullptr) return ERROR_INVALID_NAME;
    if (IsAscii(in)) {  // ASCII is the same in both encodings
      if (in.size() + 1 > cap) return ERROR_FILENAME_EXCED_RANGE;
      std::memcpy(out, in.data(), in.size());
      out[in.size()] = '\0';
      if (out_len) *out_len = in.size();
      return 0;
    }
    if (cd_ == reinterpret_cast<iconv_t>(-1)) return ERROR_INVALID_NAME;
    if (cap == 0) return ERROR_FILENAME_EXCED_RANGE;
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in.data());
    size_t src_left = in.size();
    char* dst = out;
    size_t dst_left = cap - 1;  // room for the terminator
    size_t rc = iconv(cd_, &src, &src_left, &dst, &dst_left);
    if (rc != static_cast<size_t>(-1)) rc = iconv(cd_, nullptr, nullptr, &dst, &dst_left);
    if (rc == static_cast<size_t>(-1)) {
      int err = errno;
      out[0] = '\0';
      return err == E2BIG ? ERROR_FILENAME_EXCED_RANGE : ERROR_INVALID_NAME;
    }
    *dst = '\0';
    if (out_len) *out_len = static_cast<size_t>(dst - out);
    return 0;
  }

 private:
  static bool IsAscii(std::string_view s) {
    for (unsigned char c : s) {
      if (c >= 0x80) return false;
    }
    return true;
  }

  iconv_t cd_;
};

Converter& ToUtf8() {
  thread_local Converter converter("UTF-8", "GB18030");
  return converter;
}

Converter& ToWire() {
  thread_local Converter converter("GB18030", "UTF-8");
  return converter;
}

bool ConvertToString(Converter& converter, std::string_view in, std::string* out) {
  out->clear();
  // GB18030 takes at most 4 bytes per code point and UTF-8 at most 4, and a
  // 1-byte GB18030 character is 1 byte in UTF-8: twice the input suffices.
  std::string buffer(in.size() * 2 + 4, '\0');
  size_t len = 0;
  if (converter.Convert(in, buffer.data(), buffer.size(), &len) != 0) return false;
  buffer.resize(len);
  *out = std::move(buffer);
  return true;
}

}  // namespace

uint32_t WireToUtf8(std::string_view in, char* out, size_t cap, size_t* out_len) {
  return ToUtf8().Convert(in, out, cap, out_len);
}

uint32_t Utf8ToWire(std::string_view in, char* out, size_t cap, size_t* out_len) {
  return ToWire().Convert(in, out, cap, out_len);
}

bool WireToUtf8(std::string_view in, std::string* out) { return ConvertToString(ToUtf8(), in, out); }

bool Utf8ToWire(std::string_view in, std::string* out) { return ConvertToString(ToWire(), in, out); }

}  // namespace tervane
