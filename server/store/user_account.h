// One registered user, as the account table and "Config.cfg" hold it.
#ifndef TERVANE_SERVER_STORE_USER_ACCOUNT_H_
#define TERVANE_SERVER_STORE_USER_ACCOUNT_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>

#include "server/store/listing.h"
#include "server/store/store_path.h"
#include "shared/platform/remote_name.h"
#include "shared/protocol/result.h"

namespace tervane {

// A user name is at most 64 bytes as the client sends it (GB18030); kept in
// UTF-8, which is at most half again as long.
inline constexpr size_t kMaxUserNameWire = 64;
inline constexpr size_t kUserNameField = kMaxUserNameWire * 3 / 2 + 1;  // 97
inline constexpr size_t kMaxPassword = 64;
inline constexpr size_t kPasswordField = kMaxPassword + 1;

struct UserAccount {
  uint32_t bound_socket = 0;         // connection logged in as this user; 0 = nobody
  char name[kUserNameField] = {};    // UTF-8; also the home's directory name
  char password[kPasswordField] = {};  // as sent at registration (a hex digest)
  // Current directory relative to the home: components joined by '/', no
  // '/' at either end; "" is the home itself.
  char current_directory[kStorePathCapacity] = {};
  // Where the next listing continues ("" = from the start), and the relative
  // directory that name belongs to: a listing of another directory ignores it.
  char resume_name[kMaxPath] = {};
  char resume_directory[kStorePathCapacity] = {};
  // The stream of the listing in progress, kept while its account is logged
  // in; made at the account's first listing and kept for the next.
  std::unique_ptr<ListingCursor> listing_cursor;
};

// Checks a user name (UTF-8) for use as a directory under the share root:
// 0; ERROR_INVALID_NAME (123) when empty, ".", "..", or holding
// \ / : * ? " < > | or a control byte; ERROR_FILENAME_EXCED_RANGE (206) when
// its wire form would exceed 64 bytes (or it is not valid UTF-8: 123).
Result CheckUserName(std::string_view utf8_name);
// Checks a password string: 0; 206 over 64 bytes; 123 for a control byte.
Result CheckPassword(std::string_view password);

// Builds the record of OP_REGISTER_USER from the request's name and password
// as they came off the wire (GB18030): 0 and *out set; 206 / 123 from the
// checks above (the name's length is checked on the wire bytes); 123 for
// text that is not GB18030; RESULT_OUT_OF_MEMORY (0x3510) when the record
// cannot be allocated.
Result NewUserRecord(std::string_view wire_name, std::string_view wire_password,
                       std::unique_ptr<UserAccount>* out);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_USER_ACCOUNT_H_
