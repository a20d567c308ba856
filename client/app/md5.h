// MD5 message digest (RFC 1321) and the password digest that register and
// login requests carry instead of the password.
#ifndef TERVANE_CLIENT_APP_MD5_H_
#define TERVANE_CLIENT_APP_MD5_H_

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace tervane {

// One MD5 computation. Not thread-safe; use one object per thread.
class MD5_CTX {
 public:
  MD5_CTX();
  virtual ~MD5_CTX();

  MD5_CTX(const MD5_CTX&) = default;
  MD5_CTX& operator=(const MD5_CTX&) = default;

  // Hashes data[0..len). May be called any number of times.
  void Update(const void* data, size_t len);

  // Writes the 16-byte digest of everything hashed so far and starts over.
  void Final(uint8_t digest[16]);

 private:
  void Init();
  void Transform(const uint8_t block[64]);

  uint32_t state_[4];
  uint64_t bit_count_;
  uint8_t buffer_[64];
  uint8_t padding_[64];
};

// The MD5 of the password's bytes as 32 lower-case hexadecimal digits. The
// plain password never leaves the client; this text is what the server
// stores and compares.
std::string PasswordDigest(std::string_view password);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_MD5_H_
