#include "server/store/user_account.h"

#include <cstring>
#include <new>

#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

}  // namespace

Result CheckUserName(std::string_view name) {
  if (name.empty()) return ERROR_INVALID_NAME;
  char wire[kMaxUserNameWire * 4 + 1];
  size_t wire_len = 0;
  Result r = Utf8ToWire(name, wire, sizeof wire, &wire_len);
  if (r != 0) return r;
  if (wire_len > kMaxUserNameWire) return ERROR_FILENAME_EXCED_RANGE;
  if (name == "." || name == "..") return ERROR_INVALID_NAME;
  for (unsigned char c : name) {
    if (IsControl(c) || std::strchr("\\/:*?\"<>|", c) != nullptr) return ERROR_INVALID_NAME;
  }
  return 0;
}

Result CheckPassword(std::string_view password) {
  if (password.size() > kMaxPassword) return ERROR_FILENAME_EXCED_RANGE;
  for (unsigned char c : password) {
    if (IsControl(c)) return ERROR_INVALID_NAME;
  }
  return 0;
}

Result NewUserRecord(std::string_view wire_name, std::string_view wire_password,
                       std::unique_ptr<UserAccount>* out) {
  // Bounded on the wire bytes before anything is converted or allocated.
  if (wire_name.size() > kMaxUserNameWire || wire_password.size() > kMaxPassword) {
    return ERROR_FILENAME_EXCED_RANGE;
  }
  char name[kUserNameField];
  size_t name_len = 0;
  Result r = WireToUtf8(wire_name, name, sizeof name, &name_len);
  if (r != 0) return r;
  r = CheckUserName(std::string_view(name, name_len));
  if (r != 0) return r;
  char password[kPasswordField * 2];
  size_t password_len = 0;
  r = WireToUtf8(wire_password, password, sizeof password, &password_len);
  if (r != 0) return r;
  r = CheckPassword(std::string_view(password, password_len));
  if (r != 0) return r;
  std::unique_ptr<UserAccount> record(new (std::nothrow) UserAccount);
  if (!record) return RESULT_OUT_OF_MEMORY;
  std::memcpy(record->name, name, name_len + 1);
  std::memcpy(record->password, password, password_len + 1);
  *out = std::move(record);
  return 0;
}

}  // namespace tervane
