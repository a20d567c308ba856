// Test-only: request payloads built byte for byte (whatever a well-behaved
// client would refuse to send, "..", links, over-long names) and one call
// that exchanges a request on a raw connection and gives back its result.
#ifndef TERVANE_TESTING_RAW_REQUESTS_H_
#define TERVANE_TESTING_RAW_REQUESTS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "testing/test_client.h"

namespace tervane::testing {

// OP_DELETE_FILE, OP_GET_FILE_ATTRIBUTES, OP_CREATE_DIRECTORY, OP_REMOVE_DIRECTORY.
std::vector<uint8_t> PathPayload(std::string_view name);
std::vector<uint8_t> SetAttributesPayload(uint32_t attributes, std::string_view name);
// OP_REGISTER_USER, OP_LOGIN, OP_RENAME.
std::vector<uint8_t> TwoStringPayload(std::string_view first, std::string_view second);
std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity = 272);
std::vector<uint8_t> CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition);
std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count);
std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, std::string_view data);
std::vector<uint8_t> SetSizePayload(uint32_t handle, uint64_t size);

// Exchanges one request; the reply's result, or kExchangeFailed
// when the exchange itself failed. `reply` (if given) receives the reply.
uint32_t Call(TestClient& client, uint16_t code, const std::vector<uint8_t>& payload,
              Reply* reply = nullptr);

// Connects to 127.0.0.1:port, opens the session and logs in; true when all
// three succeed.
bool ConnectAndLogIn(TestClient& client, uint16_t port, std::string_view user,
                     std::string_view password);

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_RAW_REQUESTS_H_
