#include "shared/protocol/payloads.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/protocol/op_codes.h"

namespace tervane {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes B(std::initializer_list<int> v) {
  Bytes out;
  for (int x : v) out.push_back(static_cast<uint8_t>(x));
  return out;
}

Bytes Append(Bytes a, const std::string& s) {
  a.insert(a.end(), s.begin(), s.end());
  return a;
}

}  // namespace

TEST(PayloadsTest, CreateFileLayout) {
  uint8_t out[300];
  CreateFileRequest r{0x40000000, 0, 4, 0x80, "Mon\\a.txt"};
  size_t n = EncodeCreateFileRequest(r, out, sizeof out);
  ASSERT_EQ(n, 20u + 10u);  // path length with its zero + 20
  Bytes expected = Append(B({0, 0, 0, 0x40, 0, 0, 0, 0, 4, 0, 0, 0, 0x80, 0, 0, 0, 10, 0, 0, 0}),
                          std::string("Mon\\a.txt") + '\0');
  EXPECT_EQ(Bytes(out, out + n), expected);

  CreateFileRequest d;
  ASSERT_TRUE(DecodeCreateFileRequest(out, n, &d));
  EXPECT_EQ(d.desired_access, 0x40000000u);
  EXPECT_EQ(d.creation_disposition, 4u);
  EXPECT_EQ(d.flags_and_attributes, 0x80u);
  EXPECT_EQ(d.path, "Mon\\a.txt");
  // Too short for the fixed fields, or the path lacks its zero.
  EXPECT_FALSE(DecodeCreateFileRequest(out, 19, &d));
  EXPECT_FALSE(DecodeCreateFileRequest(out, 20, &d));
  EXPECT_FALSE(DecodeCreateFileRequest(out, n - 1, &d));
  EXPECT_EQ(EncodeCreateFileRequest(r, out, 29), 0u);
}

TEST(PayloadsTest, ReadAndWriteLayout) {
  uint8_t out[64] = {};
  DataRequest r{0x11223344, 0x0000000100000002ull, 65536, nullptr};
  EncodeDataRequestFields(r, out);
  EXPECT_EQ(Bytes(out, out + 20),
            B({0x44, 0x33, 0x22, 0x11, 0, 0, 0, 0, 2, 0, 0, 0, 1, 0, 0, 0, 0, 0, 1, 0}));
  DataRequest d;
  ASSERT_TRUE(DecodeReadRequest(out, 20, &d));
  EXPECT_EQ(d.handle, 0x11223344u);
  EXPECT_EQ(d.offset, 0x0000000100000002ull);
  EXPECT_EQ(d.count, 65536u);
  EXPECT_FALSE(DecodeReadRequest(out, 19, &d));

  r.count = 3;
  EncodeDataRequestFields(r, out);
  out[20] = 'x';
  out[21] = 'y';
  out[22] = 'z';
  ASSERT_TRUE(DecodeWriteRequest(out, 23, &d));
  EXPECT_EQ(d.data, out + 20);
  EXPECT_FALSE(DecodeWriteRequest(out, 22, &d));  // count runs past the payload
}

TEST(PayloadsTest, PathHandleSizeAndTimeLayouts) {
  uint8_t out[300];
  size_t n = EncodePathRequest("Mon", out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({4, 0, 0, 0, 'M', 'o', 'n', 0}));
  std::string_view path;
  ASSERT_TRUE(DecodePathRequest(out, n, &path));
  EXPECT_EQ(path, "Mon");
  EXPECT_FALSE(DecodePathRequest(out, 7, &path));
  EXPECT_FALSE(DecodePathRequest(out, 4, &path));

  n = EncodeHandleRequest(7, out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({7, 0, 0, 0, 0, 0, 0, 0}));
  n = EncodeSparseRequest(7, out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({7, 0, 0, 0}));
  uint32_t handle = 0;
  ASSERT_TRUE(DecodeHandleRequest(out, 4, &handle));
  EXPECT_EQ(handle, 7u);
  EXPECT_FALSE(DecodeHandleRequest(out, 3, &handle));

  n = EncodeSetFileSizeRequest(9, 0x100000001ull, out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({9, 0, 0, 0, 0, 0, 0, 0, 1, 0, 0, 0, 1, 0, 0, 0}));
  uint64_t size = 0;
  ASSERT_TRUE(DecodeSetFileSizeRequest(out, n, &handle, &size));
  EXPECT_EQ(size, 0x100000001ull);
  EXPECT_FALSE(DecodeSetFileSizeRequest(out, 15, &handle, &size));

  FileTimes t{1, 2, 0x0102030405060708ull};
  n = EncodeSetFileTimeRequest(5, t, out, sizeof out);
  ASSERT_EQ(n, 32u);
  EXPECT_EQ(Bytes(out + 8, out + 32), B({1, 0, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0,
                                         8, 7, 6, 5, 4, 3, 2, 1}));
  FileTimes back;
  ASSERT_TRUE(DecodeSetFileTimeRequest(out, n, &handle, &back));
  EXPECT_EQ(back.last_write, t.last_write);
  EXPECT_FALSE(DecodeSetFileTimeRequest(out, 31, &handle, &back));
}

TEST(PayloadsTest, AttributesTwoStringsSpaceAndListingRequests) {
  uint8_t out[300];
  size_t n = EncodeSetAttributesRequest(0x21, "ab", out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({0x21, 0, 0, 0, 3, 0, 0, 0, 'a', 'b', 0}));
  uint32_t attrs = 0;
  std::string_view path;
  ASSERT_TRUE(DecodeSetAttributesRequest(out, n, &attrs, &path));
  EXPECT_EQ(attrs, 0x21u);
  EXPECT_EQ(path, "ab");

  n = EncodeTwoStringRequest("sync", "d41d", out, sizeof out);
  EXPECT_EQ(n, 4u + 4u + 6u);  // name length + password length + 6
  EXPECT_EQ(Bytes(out, out + n), Append(B({4, 0, 4, 0}), std::string("sync\0d41d\0", 10)));
  std::string_view first, second;
  ASSERT_TRUE(DecodeTwoStringRequest(out, n, &first, &second));
  EXPECT_EQ(first, "sync");
  EXPECT_EQ(second, "d41d");
  EXPECT_FALSE(DecodeTwoStringRequest(out, n - 1, &first, &second));  // second lacks its zero
  EXPECT_FALSE(DecodeTwoStringRequest(out, 8, &first, &second));      // no second at all

  n = EncodeSpaceInfo(0x01020304, 5, out, sizeof out);
  EXPECT_EQ(Bytes(out, out + n), B({4, 3, 2, 1, 5, 0, 0, 0}));

  n = EncodeListDirectoryRequest("\\", 272, out, sizeof out);
  EXPECT_EQ(n, 1u + 7u);
  EXPECT_EQ(Bytes(out, out + n), B({1, 0, 0x10, 0x01, 0, 0, '\\', 0}));
  uint32_t capacity = 0;
  std::string_view name;
  ASSERT_TRUE(DecodeListDirectoryRequest(out, n, &name, &capacity));
  EXPECT_EQ(name, "\\");
  EXPECT_EQ(capacity, 272u);
  EXPECT_FALSE(DecodeListDirectoryRequest(out, 7, &name, &capacity));
}

TEST(PayloadsTest, FixedRepliesAndListingRecords) {
  const uint8_t reply[8] = {1, 2, 3, 4, 5, 6, 7, 8};
  uint32_t v32 = 0;
  uint64_t v64 = 0;
  ASSERT_TRUE(DecodeU32Reply(reply, 4, &v32));
  EXPECT_EQ(v32, 0x04030201u);
  EXPECT_FALSE(DecodeU32Reply(reply, 3, &v32));
  ASSERT_TRUE(DecodeU64Reply(reply, 8, &v64));
  EXPECT_EQ(v64, 0x0807060504030201ull);
  EXPECT_FALSE(DecodeU64Reply(reply, 7, &v64));

  uint8_t out[64];
  size_t n = EncodeListingRecord({true, true, "bc"}, out, sizeof out);
  ASSERT_EQ(n, 13u);
  EXPECT_EQ(Bytes(out, out + n), B({2, 0, 1, 0, 0, 0, 1, 0, 0, 0, 'b', 'c', 0}));
  EXPECT_EQ(EncodeListingRecord({false, false, "bc"}, out, 12), 0u);
  ListingRecord r;
  size_t size = 0;
  ASSERT_TRUE(DecodeListingRecord(out, n, &r, &size));
  EXPECT_EQ(size, 13u);
  EXPECT_TRUE(r.is_directory);
  EXPECT_TRUE(r.is_last);
  EXPECT_EQ(r.name, "bc");
  EXPECT_FALSE(DecodeListingRecord(out, 12, &r, &size));  // name runs past the bytes given
  out[12] = 'x';
  EXPECT_FALSE(DecodeListingRecord(out, 13, &r, &size));  // no zero after the name
  out[0] = 0xFF;
  out[1] = 0xFF;
  EXPECT_FALSE(DecodeListingRecord(out, 64, &r, &size));  // announced length beyond the chunk

  EncodeListingHeader({2, 25}, out);
  EXPECT_EQ(Bytes(out, out + 8), B({2, 0, 0, 0, 25, 0, 0, 0}));
  ListingHeader h;
  ASSERT_TRUE(DecodeListingHeader(out, 8, &h));
  EXPECT_EQ(h.records_length, 25u);
  EXPECT_FALSE(DecodeListingHeader(out, 7, &h));
}

}  // namespace tervane
