#include "testing/raw_requests.h"

#include <cstring>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/payloads.h"

namespace tervane::robust {
namespace {

// Strings go out as given, zero added, whatever their length.
void AppendString(Bytes* out, std::string_view s) {
  out->insert(out->end(), s.begin(), s.end());
  out->push_back(0);
}

void AppendU16(Bytes* out, uint16_t v) {
  out->push_back(static_cast<uint8_t>(v));
  out->push_back(static_cast<uint8_t>(v >> 8));
}

void AppendU32(Bytes* out, uint32_t v) {
  for (int i = 0; i < 4; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void AppendU64(Bytes* out, uint64_t v) {
  for (int i = 0; i < 8; ++i) out->push_back(static_cast<uint8_t>(v >> (8 * i)));
}

}  // namespace

Bytes PathPayload(std::string_view name) {
  Bytes p;
  AppendU16(&p, static_cast<uint16_t>(name.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, name);
  return p;
}

Bytes SetAttributesPayload(uint32_t attributes, std::string_view name) {
  Bytes p;
  AppendU32(&p, attributes);
  AppendU16(&p, static_cast<uint16_t>(name.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, name);
  return p;
}

Bytes TwoStringPayload(std::string_view first, std::string_view second) {
  Bytes p;
  AppendU16(&p, static_cast<uint16_t>(first.size()));
  AppendU16(&p, static_cast<uint16_t>(second.size()));
  AppendString(&p, first);
  AppendString(&p, second);
  return p;
}

Bytes ListPayload(std::string_view name, uint32_t capacity) {
  Bytes p;
  AppendU16(&p, static_cast<uint16_t>(name.size()));
  AppendU32(&p, capacity);
  AppendString(&p, name);
  return p;
}

Bytes CreatePayload(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition) {
  Bytes p;
  AppendU32(&p, access);
  AppendU32(&p, share);
  AppendU32(&p, disposition);
  AppendU32(&p, 0x80);  // FILE_ATTRIBUTE_NORMAL
  AppendU16(&p, static_cast<uint16_t>(path.size() + 1));
  AppendU16(&p, 0);
  AppendString(&p, path);
  return p;
}

Bytes ReadPayload(uint32_t handle, uint64_t offset, uint32_t count) {
  Bytes p;
  AppendU32(&p, handle);
  AppendU32(&p, 0);
  AppendU64(&p, offset);
  AppendU32(&p, count);
  return p;
}

Bytes WritePayload(uint32_t handle, uint64_t offset, std::string_view data) {
  Bytes p = ReadPayload(handle, offset, static_cast<uint32_t>(data.size()));
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

Bytes SetSizePayload(uint32_t handle, uint64_t size) {
  Bytes p;
  AppendU32(&p, handle);
  AppendU32(&p, 0);
  AppendU64(&p, size);
  return p;
}

uint32_t Call(testing::TestClient& client, uint16_t code, const Bytes& payload, testing::Reply* reply) {
  testing::Reply local;
  testing::Reply* r = reply != nullptr ? reply : &local;
  if (!client.Exchange(code, payload, r)) return testing::kExchangeFailed;
  return r->result();
}

bool ConnectAndLogIn(testing::TestClient& client, uint16_t port, std::string_view user,
                     std::string_view password) {
  return client.Connect(port) && client.OpenSession() == 0 && client.Login(user, password) == 0;
}

}  // namespace tervane::robust
