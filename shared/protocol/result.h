// The outcome of an operation as it travels on the wire: 0 for success,
// else one of the system's codes (result_codes.h) or an operating-system
// code (shared/platform/win_error.h). Result keeps exactly that 32-bit
// value; being [[nodiscard]], a result can only be dropped on purpose, with
// a cast to void and a comment saying why.
#ifndef TERVANE_SHARED_PROTOCOL_RESULT_H_
#define TERVANE_SHARED_PROTOCOL_RESULT_H_

#include <cstdint>
#include <iosfwd>

namespace tervane {

class [[nodiscard]] Result {
 public:
  constexpr Result() = default;  // success
  // Every code is a result, so codes convert where a Result is expected.
  constexpr Result(uint32_t code) : code_(code) {}  // NOLINT(google-explicit-constructor)

  constexpr bool ok() const { return code_ == 0; }
  // The wire value.
  constexpr uint32_t code() const { return code_; }

  friend constexpr bool operator==(Result a, Result b) = default;

 private:
  uint32_t code_ = 0;
};

// As the logs show codes: decimal, with the hexadecimal form beside it.
std::ostream& operator<<(std::ostream& out, Result result);

}  // namespace tervane

#endif  // TERVANE_SHARED_PROTOCOL_RESULT_H_
