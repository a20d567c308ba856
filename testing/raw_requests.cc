#include "testing/raw_requests.h"

#include <cstring>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/payloads.h"

namespace tervane::testing {
namespace {

// Strings go out as given, zero added, whatever their length.
void AppendString(std::vector<uint8_t>* out, std::string_view s) {
  out->insert(out->end(), s.begin(), s.end());
  out->push_back(0);
}

void AppendU16(std::vector<uint8_t>* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void AppendU32(std::vector<uint8_t>* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendU64(std::vector<uint8_t>* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

std::vector<uint8_t> PathPayload(std::string_view name) {
  std::vector<uint8_t> p;
  AppendU16(&p, static_cast<uint16_t>(name.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, name);
  return p;
}

std::vector<uint8_t> SetAttributesPayload(uint32_t attributes, std::string_view name) {
  std::vector<uint8_t> p;
  AppendU32(&p, attributes);
  AppendU16(&p, static_cast<uint16_t>(name.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, name);
  return p;
}

std::vector<uint8_t> TwoStringPayload(std::string_view first, std::string_view second) {
  std::vector<uint8_t> p;
  AppendU16(&p, static_cast<uint16_t>(first.size()));
  AppendU16(&p, static_cast<uint16_t>(second.size()));
  AppendString(&p, first);
  AppendString(&p, second);
  return p;
}

std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity) {
  std::vector<uint8_t> p;
  AppendU16(&p, static_cast<uint16_t>(name.size()));
  AppendU32(&p, capacity);
  AppendString(&p, name);
  return p;
}

std::vector<uint8_t> CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition) {
  std::vector<uint8_t> p;
  AppendU32(&p, access);
  AppendU32(&p, share);
  AppendU32(&p, disposition);
  AppendU32(&p, 0x80);  // FILE_ATTRIBUTE_NORMAL
  AppendU16(&p, static_cast<uint16_t>(path.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, path);
  return p;
}

std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count) {
  std::vector<uint8_t> p;
  AppendU32(&p, handle);
  AppendU32(&p, 0);
  AppendU64(&p, offset);
  AppendU32(&p, count);
  return p;
}

std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, std::string_view data) {
  std::vector<uint8_t> p = ReadPayload(handle, offset, static_cast<uint32_t>(data.size()));
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

std::vector<uint8_t> SetSizePayload(uint32_t handle, uint64_t size) {
  std::vector<uint8_t> p;
  AppendU32(&p, handle);
  AppendU32(&p, 0);
  AppendU64(&p, size);
  return p;
}

uint32_t Call(TestClient& client, uint16_t code, const std::vector<uint8_t>& payload, Reply* reply) {
  Reply local;
  Reply* r = reply != nullptr ? reply : &local;
  if (!client.Exchange(code, payload, r)) return kExchangeFailed;
  return r->result();
}

bool ConnectAndLogIn(TestClient& client, uint16_t port, std::string_view user,
                     std::string_view password) {
  return client.Connect(port) && client.OpenSession() == 0 && client.Login(user, password) == 0;
}

}  // namespace tervane::testing
