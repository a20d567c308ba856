#include "testing/raw_requests.h"


namespace tervane::testing {

// Strings go out as given, zero added, whatever their length.
std::vector<uint8_t> PathPayload(std::string_view name) {
  return Bytes().U16(static_cast<uint16_t>(name.size() + 1)).U16(0).Str(name).Zero();
}

std::vector<uint8_t> SetAttributesPayload(uint32_t attributes, std::string_view name) {
  return Bytes().U32(attributes).Raw(PathPayload(name));
}

std::vector<uint8_t> TwoStringPayload(std::string_view first, std::string_view second) {
  return Bytes().U16(static_cast<uint16_t>(first.size())).U16(static_cast<uint16_t>(second.size()))
      .Str(first).Zero().Str(second).Zero();
}

std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity) {
  return Bytes().U16(static_cast<uint16_t>(name.size())).U32(capacity).Str(name).Zero();
}

std::vector<uint8_t> CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition) {
  return Bytes().U32(access).U32(share).U32(disposition).U32(0x80 /* FILE_ATTRIBUTE_NORMAL */).Raw(PathPayload(path));
}

std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count) {
  return Bytes().U32(handle).U32(0).U64(offset).U32(count);
}

std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, std::string_view data) {
  return Bytes().Raw(ReadPayload(handle, offset, static_cast<uint32_t>(data.size()))).Str(data);
}

std::vector<uint8_t> SetSizePayload(uint32_t handle, uint64_t size) { return Bytes().U32(handle).U32(0).U64(size); }

uint32_t Call(TestClient& client, uint16_t code, const std::vector<uint8_t>& payload, Reply* reply) {
  Reply local;
  Reply* r = reply != nullptr ? reply : &local;
  return client.Exchange(code, payload, r) ? r->result() : kExchangeFailed;
}

bool ConnectAndLogIn(TestClient& client, uint16_t port, std::string_view user, std::string_view password) {
  return client.Connect(port) && client.OpenSession() == 0 && client.Login(user, password) == 0;
}

}  // namespace tervane::testing
