#include "client/net/remote_directory.h"

#include <cstring>
#include <map>
#include <memory>
#include <string>

#include "client/net/remote_path_ops.h"
#include "gtest/gtest.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"
#include "testing/fake_peer.h"
#include "testing/peer_session.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::FakeListing;
using testing::RequestHeaderBytes;
using testing::TagTakenBetween;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

// Lists the directories of `listings` by name; any other is missing.
FakePeer::Script Serving(std::map<std::string, FakeListing*> listings) {
  return [listings](const Request& r) {
    if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
    const auto it = listings.find(std::string(r.payload.begin() + 6, r.payload.end() - 1));
    if (it == listings.end()) return Answer{FakePeer::Reply(r, RESULT_NO_SUCH_DIRECTORY)};
    return it->second->Answer(r);
  };
}

// Every chunk is asked for with the identical request; a listing larger than
// the buffer gives 14 and the size it needs; one cut short by an entry too
// large for any chunk keeps what it collected; an empty or missing directory
// leaves buffer and size; bad arguments send nothing.
TEST(RemoteDirectoryTest, CollectsEveryChunkOrGives14AndTheSizeItNeeds) {
  FakeListing docs(FakeListing::Numbered(40, 17));  // 28-byte records, 9 to a chunk
  auto cut_short = FakeListing::Numbered(12, 17);
  cut_short.push_back({std::string(262, 'L'), false});  // 273 bytes: never fits a chunk
  cut_short.push_back({"after", false});
  FakeListing huge(cut_short), huge_again(cut_short), empty({});
  testing::PeerSession f(Serving({{"docs", &docs}, {"huge", &huge}, {"huge again", &huge_again}, {"empty", &empty}}));
  std::vector<uint8_t> buffer(4096, 0xEE);
  uint32_t size = static_cast<uint32_t>(buffer.size());
  const uint32_t before = GetTickCount();
  ASSERT_EQ(KOVA_SetCurDirectory(f.session, "docs", buffer.data(), &size), 0u);
  const uint32_t after = GetTickCount();
  const std::vector<uint8_t> whole = docs.WholeListing(272);
  ASSERT_EQ(size, whole.size());
  EXPECT_TRUE(std::equal(whole.begin(), whole.end(), buffer.begin()));
  EXPECT_EQ(buffer[size], 0xEE);  // nothing past the listing

  const auto rs = f.peer.Requests();
  ASSERT_EQ(rs.size(), 6u);  // the session open, then 9 + 9 + 9 + 9 + 4 records
  const uint32_t tag = rs[1].header.request_tag;
  EXPECT_TRUE(TagTakenBetween(tag, before, after));
  for (size_t i = 1; i < rs.size(); ++i) {
    EXPECT_EQ(rs[i].bytes, Bytes().Raw(RequestHeaderBytes(OP_LIST_DIRECTORY, 11, tag)).Raw(testing::ListPayload("docs")).get());
  }
  // Room for the first two chunks and half of the third; exactly that big so
  // the address sanitizer sees any write past it.
  const uint32_t room = 2 * 260 + 130;
  std::unique_ptr<uint8_t[]> buffer2(new uint8_t[room]);
  std::memset(buffer2.get(), 0xEE, room);
  size = room;
  ASSERT_EQ(KOVA_SetCurDirectory(f.session, "docs", buffer2.get(), &size), ERROR_OUTOFMEMORY);
  EXPECT_EQ(size, whole.size());
  EXPECT_TRUE(std::equal(whole.begin(), whole.begin() + 520, buffer2.get()));
  for (uint32_t i = 520; i < room; ++i) ASSERT_EQ(buffer2[i], 0xEE) << i;
  EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), 10u);  // the whole listing was still walked
  size = 0;
  ASSERT_EQ(KOVA_SetCurDirectory(f.session, "docs", nullptr, &size), ERROR_OUTOFMEMORY);
  EXPECT_EQ(size, whole.size());

  const std::vector<uint8_t> collected = huge.WholeListing(272);  // stops at the huge entry
  ASSERT_EQ(collected.size(), 2u * 8 + 12u * 28);
  size = static_cast<uint32_t>(buffer.size());
  ASSERT_EQ(KOVA_SetCurDirectory(f.session, "huge", buffer.data(), &size), 0u);
  EXPECT_EQ(size, collected.size());
  EXPECT_TRUE(std::equal(collected.begin(), collected.end(), buffer.begin()));
  // Had the buffer been too small, the miss is reported, not lost.
  size = 100;
  ASSERT_EQ(KOVA_SetCurDirectory(f.session, "huge again", buffer.data(), &size), ERROR_OUTOFMEMORY);
  EXPECT_EQ(size, collected.size());

  std::fill(buffer.begin(), buffer.end(), 0xEE);
  size = 64;
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, "empty", buffer.data(), &size), 0u);
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, "missing", buffer.data(), &size), RESULT_NO_SUCH_DIRECTORY);
  EXPECT_EQ(size, 64u);
  EXPECT_EQ(buffer, std::vector<uint8_t>(4096, 0xEE));
  const size_t listings = f.peer.CountOf(OP_LIST_DIRECTORY);
  // 28 + 6 + 265 + 1 = 300 is the longest name; one more does not go out.
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, std::string(266, 'n'), buffer.data(), &size), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, std::string_view("a\0", 2), buffer.data(), &size), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, "a", nullptr, &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, "a", buffer.data(), nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_SetCurDirectory(nullptr, "a", buffer.data(), &size), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), listings);
  EXPECT_EQ(KOVA_SetCurDirectory(f.session, std::string(265, 'n'), buffer.data(), &size), RESULT_NO_SUCH_DIRECTORY);
  EXPECT_EQ(f.peer.Requests().back().bytes.size(), 300u);
}

// Each malformed chunk is refused unread into the caller's buffer; only one
// larger than asked for puts the stream out of step (the last case).
TEST(RemoteDirectoryTest, MalformedChunksAreInvalidData) {
  struct Case {
    const char* what;
    std::vector<uint8_t> payload;
    uint32_t announced;
  };
  const std::vector<uint8_t> record = Bytes().U16(1).U32(0).U32(1).Str("a").Zero();  // 12 bytes
  const std::vector<Case> cases = {
      {"records length disagrees with the payload", Bytes().U32(1).U32(13).Raw(record), 20},
      {"more records counted than sent", Bytes().U32(2).U32(12).Raw(record), 20},
      {"fewer records counted than sent", Bytes().U32(1).U32(24).Raw(record).Raw(record), 32},
      {"no records but bytes", Bytes().U32(0).U32(4).U32(0), 12},
      {"more than the 272 bytes asked for", std::vector<uint8_t>(300, 0), 273},
  };
  testing::PeerSession f([&cases](const Request& r) {
    if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
    const Case& c = cases.at(r.payload.at(6) - '0');  // the directory is named by the case's index
    return Answer{FakePeer::ReplyAnnouncing(r, 0, c.announced, c.payload)};
  });
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[16]());
  for (size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    uint32_t size = 16;
    EXPECT_EQ(KOVA_SetCurDirectory(f.session, std::to_string(i), buffer.get(), &size), ERROR_INVALID_DATA);
    EXPECT_EQ(size, 16u);
    EXPECT_EQ(KOVA_IsConnected(f.session), i + 1 < cases.size());
  }
  EXPECT_EQ(std::vector<uint8_t>(buffer.get(), buffer.get() + 16), std::vector<uint8_t>(16, 0));
}

}  // namespace
}  // namespace tervane
