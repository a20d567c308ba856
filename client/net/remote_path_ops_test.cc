#include "client/net/remote_path_ops.h"

#include <memory>
#include <string>
#include <vector>

#include "testing/peer_session.h"
#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::RequestHeaderBytes;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

// Answers every request with success; attributes are the path's length
// times 3 plus its first byte (for "short": two bytes only); space info 4096
// and 17 the first time, then refused, then four bytes only.
FakePeer::Script PathServer() {
  auto space_asked = std::make_shared<int>(0);
  return [space_asked](const Request& r) {
    switch (r.header.code) {
      case OP_GET_FILE_ATTRIBUTES: {
        const uint16_t length = LoadU16(r.payload.data());
        if (r.payload.at(4) == 's') return Answer{FakePeer::Reply(r, 0, Bytes().U16(1))};
        return Answer{FakePeer::Reply(r, 0, Bytes().U32(length * 3u + r.payload.data()[4]))};
      }
      case OP_GET_SPACE_INFO:
        if (++*space_asked == 2) return Answer{FakePeer::Reply(r, RESULT_NOT_LOGGED_IN)};
        return Answer{FakePeer::Reply(r, 0, *space_asked == 1 ? Bytes().U32(4096).U32(17) : Bytes().U32(1))};
      default:
        return FakePeer::SessionAnswer(r);
    }
  };
}

// A refusal or a reply too short for its values leaves the out values alone.
TEST(RemotePathOpsTest, EveryRequestHasItsExactBytesAndFailuresKeepOutValues) {
  testing::PeerSession f(PathServer());
  auto sent = [&](uint16_t code, const std::vector<uint8_t>& fields) {
    const Request r = f.Last();
    EXPECT_EQ(r.bytes, Bytes().Raw(RequestHeaderBytes(code, static_cast<uint32_t>(fields.size()), r.header.request_tag))
                           .Raw(fields).get());
  };
  const std::string gb_name = "Mon\\\xD6\xD0\xCE\xC4.txt";  // GB18030 text moves as bytes
  ASSERT_EQ(KOVA_DeleteFile(f.session, gb_name), 0u);
  sent(OP_DELETE_FILE, testing::PathPayload(gb_name));
  ASSERT_EQ(KOVA_DeleteFile(f.session, ""), 0u);  // an empty name is still a terminated string
  sent(OP_DELETE_FILE, testing::PathPayload(""));
  ASSERT_EQ(KOVA_CreateDirectory(f.session, "Mon\\C"), 0u);
  sent(OP_CREATE_DIRECTORY, testing::PathPayload("Mon\\C"));
  ASSERT_EQ(KOVA_RemoveDirectory(f.session, "Mon"), 0u);
  sent(OP_REMOVE_DIRECTORY, testing::PathPayload("Mon"));
  uint32_t attributes = 0, space = 1, files = 1;
  ASSERT_EQ(KOVA_GetFileAttributes(f.session, "ab", &attributes), 0u);
  sent(OP_GET_FILE_ATTRIBUTES, testing::PathPayload("ab"));
  EXPECT_EQ(attributes, 3u * 3u + 'a');
  ASSERT_EQ(KOVA_SetFileAttributes(f.session, "a.txt", 0x21), 0u);
  sent(OP_SET_FILE_ATTRIBUTES, testing::SetAttributesPayload(0x21, "a.txt"));
  const std::string digest = "5f4dcc3b5aa765d61d8327deb882cf99";
  ASSERT_EQ(KOVA_RegisterUser(f.session, "backup", digest), 0u);
  sent(OP_REGISTER_USER, testing::TwoStringPayload("backup", digest));
  ASSERT_EQ(KOVA_Login(f.session, "backup", digest), 0u);
  sent(OP_LOGIN, testing::TwoStringPayload("backup", digest));
  ASSERT_EQ(KOVA_Rename(f.session, "old.txt", "new name.txt"), 0u);
  sent(OP_RENAME, testing::TwoStringPayload("old.txt", "new name.txt"));
  ASSERT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), 0u);
  sent(OP_GET_SPACE_INFO, Bytes().U32(0).U32(0));
  EXPECT_EQ(space, 4096u);
  EXPECT_EQ(files, 17u);
  ASSERT_EQ(KOVA_SetSpaceInfo(f.session, 0xFFFFF000, 12345), 0u);
  sent(OP_SET_SPACE_INFO, Bytes().U32(0xFFFFF000).U32(12345));
  ASSERT_EQ(KOVA_Heartbeat(f.session), 0u);
  sent(OP_HEARTBEAT, {});
  attributes = space = files = 77;
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), ERROR_INVALID_DATA);
  EXPECT_EQ(KOVA_GetFileAttributes(f.session, "short", &attributes), ERROR_INVALID_DATA);
  EXPECT_EQ(std::vector<uint32_t>({attributes, space, files}), std::vector<uint32_t>(3, 77));

  // Bad names and arguments send nothing. 28 + 4 + 267 + 1 = 300 fits; one
  // more byte does not.
  EXPECT_EQ(KOVA_DeleteFile(f.session, std::string(267, 'x')), 0u);
  EXPECT_EQ(f.Last().bytes.size(), 300u);
  const size_t count = f.peer.Requests().size();
  EXPECT_EQ(KOVA_DeleteFile(f.session, std::string(268, 'x')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_SetFileAttributes(f.session, std::string(264, 'x'), 0), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_Rename(f.session, std::string(200, 'x'), std::string(67, 'y')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_Login(f.session, std::string_view("a\0b", 3), "p"), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_CreateDirectory(f.session, std::string_view("a\0", 2)), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_DeleteFile(nullptr, "a"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_Heartbeat(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_GetFileAttributes(f.session, "a", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &space, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.Requests().size(), count);
}

}  // namespace
}  // namespace tervane
