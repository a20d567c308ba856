#include "shared/protocol/payloads.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tervane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v, std::string_view tail = {}) {
  Bytes out(v.begin(), v.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// The encoder wrote exactly `expected` at `out`; `decode` refuses every
// shorter prefix of it, then takes it whole (its outputs point into `out`).
template <typename Decode>
void ExpectLayout(const uint8_t* out, size_t size, const Bytes& expected, Decode decode) {
  EXPECT_EQ(Bytes(out, out + size), expected);
  for (size_t n = 0; n < size; ++n) EXPECT_FALSE(decode(out, n)) << n << " bytes";
  EXPECT_TRUE(decode(out, size));
}

}  // namespace

TEST(PayloadsTest, CreateReadAndWriteLayouts) {
  uint8_t o[300];
  const CreateFileRequest r{0x40000000, 0, 4, 0x80, "Mon\\a.txt"};
  CreateFileRequest d;
  ExpectLayout(o, EncodeCreateFileRequest(r, o, sizeof o),
               B({0, 0, 0, 0x40, 0, 0, 0, 0, 4, 0, 0, 0, 0x80, 0, 0, 0, 10, 0, 0, 0}, {"Mon\\a.txt\0", 10}),
               [&](auto p, size_t n) { return DecodeCreateFileRequest(p, n, &d); });
  EXPECT_EQ(d.desired_access, 0x40000000u);
  EXPECT_EQ(d.creation_disposition, 4u);
  EXPECT_EQ(d.flags_and_attributes, 0x80u);
  EXPECT_EQ(d.path, "Mon\\a.txt");
  EXPECT_EQ(EncodeCreateFileRequest(r, o, 29), 0u);

  DataRequest dr;
  EncodeDataRequestFields({0x11223344, 0x0000000100000002ull, 65536, nullptr}, o);
  ExpectLayout(o, 20, B({0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0}),
               [&](auto p, size_t n) { return DecodeReadRequest(p, n, &dr); });
  EXPECT_EQ(dr.handle, 0x11223344u);
  EXPECT_EQ(dr.offset, 0x0000000100000002ull);
  EXPECT_EQ(dr.count, 65536u);
  // A write: the read's fields (encoded above), then data the count may not run past.
  const Bytes write = B({1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0, 0, 0}, "xyz");
  ExpectLayout(write.data(), write.size(), write, [&](auto p, size_t n) { return DecodeWriteRequest(p, n, &dr); });
  EXPECT_EQ(std::string_view(reinterpret_cast<const char*>(dr.data), 3), "xyz");
}

TEST(PayloadsTest, PathHandleSizeTimeAndAttributeLayouts) {
  uint8_t o[300];
  std::string_view path;
  uint32_t handle = 0, attrs = 0;
  uint64_t size = 0;
  FileTimes back;
  ExpectLayout(o, EncodePathRequest("Mon", o, sizeof o), B({4, 0, 0, 0, 'M', 'o', 'n', 0}),
               [&](auto p, size_t n) { return DecodePathRequest(p, n, &path); });
  EXPECT_EQ(path, "Mon");
  EXPECT_EQ(Bytes(o, o + EncodeHandleRequest(7, o, sizeof o)), B({7, 0, 0, 0, 0, 0, 0, 0}));
  ExpectLayout(o, EncodeSparseRequest(7, o, sizeof o), B({7, 0, 0, 0}),
               [&](auto p, size_t n) { return DecodeHandleRequest(p, n, &handle); });
  EXPECT_EQ(handle, 7u);
  ExpectLayout(o, EncodeSetFileSizeRequest(9, 0x100000001ull, o, sizeof o),
               B({9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}),
               [&](auto p, size_t n) { return DecodeSetFileSizeRequest(p, n, &handle, &size); });
  EXPECT_EQ(size, 0x100000001ull);
  ExpectLayout(o, EncodeSetFileTimeRequest(5, {1, 2, 0x0102030405060708ull}, o, sizeof o),
               B({5, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0, 8, 7, 6, 5, 4, 3, 2, 1}),
               [&](auto p, size_t n) { return DecodeSetFileTimeRequest(p, n, &handle, &back); });
  EXPECT_EQ(back.last_write, 0x0102030405060708ull);
  ExpectLayout(o, EncodeSetAttributesRequest(0x21, "ab", o, sizeof o), B({0x21, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0}),
               [&](auto p, size_t n) { return DecodeSetAttributesRequest(p, n, &attrs, &path); });
  EXPECT_EQ(attrs, 0x21u);
  EXPECT_EQ(path, "ab");
}

TEST(PayloadsTest, TwoStringsSpaceListingRequestsAndFixedReplies) {
  uint8_t o[300];
  std::string_view first, second;
  uint32_t capacity = 0, v32 = 0;
  uint64_t v64 = 0;
  ExpectLayout(o, EncodeTwoStringRequest("sync", "d41d", o, sizeof o),
               B({4, 0, 4, 0}, {"sync\0d41d\0", 10}),  // the two lengths, then both strings
               [&](auto p, size_t n) { return DecodeTwoStringRequest(p, n, &first, &second); });
  EXPECT_EQ(first, "sync");
  EXPECT_EQ(second, "d41d");
  EXPECT_EQ(Bytes(o, o + EncodeSpaceInfo(0x01020304, 5, o, sizeof o)), B({4, 3, 2, 1, 5, 0, 0, 0}));
  ExpectLayout(o, EncodeListDirectoryRequest("\\", 272, o, sizeof o), B({1, 0, 0x10, 0x01, 0, 0, '\\', 0}),
               [&](auto p, size_t n) { return DecodeListDirectoryRequest(p, n, &first, &capacity); });
  EXPECT_EQ(first, "\\");
  EXPECT_EQ(capacity, 272u);
  const Bytes reply = B({1, 2, 3, 4, 5, 6, 7, 8});
  ExpectLayout(reply.data(), 4, B({1, 2, 3, 4}), [&](auto p, size_t n) { return DecodeU32Reply(p, n, &v32); });
  EXPECT_EQ(v32, 0x04030201u);
  ExpectLayout(reply.data(), 8, reply, [&](auto p, size_t n) { return DecodeU64Reply(p, n, &v64); });
  EXPECT_EQ(v64, 0x0807060504030201ull);
}

TEST(PayloadsTest, ListingChunks) {
  uint8_t o[64];
  ListingRecord r;
  size_t size = 0;
  ListingHeader h;
  ExpectLayout(o, EncodeListingRecord({true, true, "bc"}, o, sizeof o),
               B({2, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'b', 'c', 0}),
               [&](auto p, size_t n) { return DecodeListingRecord(p, n, &r, &size); });
  EXPECT_EQ(size, 13u);
  EXPECT_TRUE(r.is_directory && r.is_last);
  EXPECT_EQ(r.name, "bc");
  EXPECT_EQ(EncodeListingRecord({false, false, "bc"}, o, 12), 0u);
  o[12] = 'x';
  EXPECT_FALSE(DecodeListingRecord(o, 13, &r, &size));  // no zero after the name
  o[0] = o[1] = 0xFF;
  EXPECT_FALSE(DecodeListingRecord(o, sizeof o, &r, &size));  // announced length beyond the chunk
  EncodeListingHeader({2, 25}, o);
  ExpectLayout(o, 8, B({2, 0, 0, 0, 25, 0, 0, 0}),
               [&](auto p, size_t n) { return DecodeListingHeader(p, n, &h); });
  EXPECT_EQ(h.records_length, 25u);
}

}  // namespace tervane
