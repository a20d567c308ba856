// Test-only: request payloads built byte for byte (whatever a well-behaved
// client would refuse to send, "..", links, over-long names) and one call
// that exchanges a request on a raw connection and gives back its result.
#ifndef TERVANE_TESTING_RAW_REQUESTS_H_
#define TERVANE_TESTING_RAW_REQUESTS_H_

#include <cstdint>
#include <string_view>
#include <vector>

#include "testing/test_client.h"

namespace tervane::robust {

using Bytes = std::vector<uint8_t>;

// OP_DELETE_FILE, OP_GET_FILE_ATTRIBUTES, OP_CREATE_DIRECTORY, OP_REMOVE_DIRECTORY.
Bytes PathPayload(std::string_view name);
Bytes SetAttributesPayload(uint32_t attributes, std::string_view name);
// OP_REGISTER_USER, OP_LOGIN, OP_RENAME.
Bytes TwoStringPayload(std::string_view first, std::string_view second);
Bytes ListPayload(std::string_view name, uint32_t capacity = 272);
Bytes CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition);
Bytes ReadPayload(uint32_t handle, uint64_t offset, uint32_t count);
Bytes WritePayload(uint32_t handle, uint64_t offset, std::string_view data);
Bytes SetSizePayload(uint32_t handle, uint64_t size);

// Exchanges one request; the reply's result, or testing::kExchangeFailed
// when the exchange itself failed. `reply` (if given) receives the reply.
uint32_t Call(testing::TestClient& client, uint16_t code, const Bytes& payload,
              testing::Reply* reply = nullptr);

// Connects to 127.0.0.1:port, opens the session and logs in; true when all
// three succeed.
bool ConnectAndLogIn(testing::TestClient& client, uint16_t port, std::string_view user,
                     std::string_view password);

}  // namespace tervane::robust

#endif  // TERVANE_TESTING_RAW_REQUESTS_H_
