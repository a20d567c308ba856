#include "client/net/remote_path_ops.h"

#include <string>
#include <thread>
#include <vector>

#include "testing/fake_peer.h"
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
// times 3 plus its first byte, space info 4096 and 17.
Answer PathServer(const Request& r) {
  switch (r.header.code) {
    case OP_GET_FILE_ATTRIBUTES: {
      const uint16_t length = LoadU16(r.payload.data());
      return Answer{FakePeer::Reply(r, 0, Bytes().U32(length * 3u + r.payload.data()[4]))};
    }
    case OP_GET_SPACE_INFO:
      return Answer{FakePeer::Reply(r, 0, Bytes().U32(4096).U32(17))};
    default:
      return FakePeer::SessionAnswer(r);
  }
}

struct Fixture {
  explicit Fixture(FakePeer::Script script = PathServer) : peer(std::move(script)) {
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  }
  ~Fixture() { KOVA_Disconnect(session); }
  Request Last() const { return peer.Requests().back(); }
  FakePeer peer;
  RemoteSession* session = nullptr;
};

std::vector<uint8_t> PathFrame(uint16_t code, std::string_view path, uint32_t tag) {
  return Bytes()
      .Raw(RequestHeaderBytes(code, static_cast<uint32_t>(path.size() + 5), tag))
      .U16(static_cast<uint16_t>(path.size() + 1)).U16(0).Str(path).Zero();
}

std::vector<uint8_t> TwoStringFrame(uint16_t code, std::string_view a, std::string_view b, uint32_t tag) {
  return Bytes()
      .Raw(RequestHeaderBytes(code, static_cast<uint32_t>(a.size() + b.size() + 6), tag))
      .U16(static_cast<uint16_t>(a.size())).U16(static_cast<uint16_t>(b.size()))
      .Str(a).Zero().Str(b).Zero();
}

TEST(RemotePathOpsTest, OnePathRequestsHaveTheirExactBytes) {
  Fixture f;
  const std::string gb_name = "Mon\\\xD6\xD0\xCE\xC4.txt";  // GB18030 text moves as bytes
  ASSERT_EQ(KOVA_DeleteFile(f.session, gb_name), 0u);
  EXPECT_EQ(f.Last().bytes, PathFrame(OP_DELETE_FILE, gb_name, f.Last().header.request_tag));
  ASSERT_EQ(KOVA_CreateDirectory(f.session, "Mon\\C"), 0u);
  EXPECT_EQ(f.Last().bytes, PathFrame(OP_CREATE_DIRECTORY, "Mon\\C", f.Last().header.request_tag));
  ASSERT_EQ(KOVA_RemoveDirectory(f.session, "Mon"), 0u);
  EXPECT_EQ(f.Last().bytes, PathFrame(OP_REMOVE_DIRECTORY, "Mon", f.Last().header.request_tag));
  uint32_t attributes = 0;
  ASSERT_EQ(KOVA_GetFileAttributes(f.session, "ab", &attributes), 0u);
  EXPECT_EQ(f.Last().bytes, PathFrame(OP_GET_FILE_ATTRIBUTES, "ab", f.Last().header.request_tag));
  EXPECT_EQ(attributes, 3u * 3u + 'a');
  ASSERT_EQ(KOVA_SetFileAttributes(f.session, "a.txt", 0x21), 0u);
  EXPECT_EQ(f.Last().bytes, (Bytes().Raw(RequestHeaderBytes(OP_SET_FILE_ATTRIBUTES, 14, f.Last().header.request_tag))
                                 .U32(0x21).U16(6).U16(0).Str("a.txt").Zero().get()));
  // An empty name is still a terminated string.
  ASSERT_EQ(KOVA_DeleteFile(f.session, ""), 0u);
  EXPECT_EQ(f.Last().bytes, PathFrame(OP_DELETE_FILE, "", f.Last().header.request_tag));
}

TEST(RemotePathOpsTest, AccountAndSpaceRequestsHaveTheirExactBytes) {
  Fixture f;
  const std::string digest = "5f4dcc3b5aa765d61d8327deb882cf99";
  ASSERT_EQ(KOVA_RegisterUser(f.session, "backup", digest), 0u);
  EXPECT_EQ(f.Last().bytes, TwoStringFrame(OP_REGISTER_USER, "backup", digest, f.Last().header.request_tag));
  ASSERT_EQ(KOVA_Login(f.session, "backup", digest), 0u);
  EXPECT_EQ(f.Last().bytes, TwoStringFrame(OP_LOGIN, "backup", digest, f.Last().header.request_tag));
  ASSERT_EQ(KOVA_Rename(f.session, "old.txt", "new name.txt"), 0u);
  EXPECT_EQ(f.Last().bytes, TwoStringFrame(OP_RENAME, "old.txt", "new name.txt", f.Last().header.request_tag));

  uint32_t space = 1, files = 1;
  ASSERT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), 0u);
  EXPECT_EQ(f.Last().bytes, (Bytes().Raw(RequestHeaderBytes(OP_GET_SPACE_INFO, 8, f.Last().header.request_tag))
                                 .U32(0).U32(0).get()));
  EXPECT_EQ(space, 4096u);
  EXPECT_EQ(files, 17u);
  ASSERT_EQ(KOVA_SetSpaceInfo(f.session, 0xFFFFF000, 12345), 0u);
  EXPECT_EQ(f.Last().bytes, (Bytes().Raw(RequestHeaderBytes(OP_SET_SPACE_INFO, 8, f.Last().header.request_tag))
                                 .U32(0xFFFFF000).U32(12345).get()));
  ASSERT_EQ(KOVA_Heartbeat(f.session), 0u);
  EXPECT_EQ(f.Last().bytes, RequestHeaderBytes(OP_HEARTBEAT, 0, f.Last().header.request_tag));
}

TEST(RemotePathOpsTest, ServerResultsAreReturnedAndOutValuesKept) {
  Fixture f([](const Request& r) {
    if (r.header.code == OP_OPEN_SESSION || r.header.code == OP_CLOSE_SESSION) return FakePeer::SessionAnswer(r);
    const uint32_t result = r.header.code == OP_LOGIN ? RESULT_WRONG_PASSWORD
                            : r.header.code == OP_RENAME ? RESULT_RENAME_FAILED
                                                         : RESULT_NOT_LOGGED_IN;
    return Answer{FakePeer::Reply(r, result)};
  });
  uint32_t attributes = 77, space = 77, files = 77;
  EXPECT_EQ(KOVA_Login(f.session, "u", "p"), RESULT_WRONG_PASSWORD);
  EXPECT_EQ(KOVA_Rename(f.session, "a", "b"), RESULT_RENAME_FAILED);
  EXPECT_EQ(KOVA_GetFileAttributes(f.session, "a", &attributes), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), RESULT_NOT_LOGGED_IN);
  EXPECT_EQ(attributes, 77u);
  EXPECT_EQ(space, 77u);
  EXPECT_EQ(files, 77u);
  EXPECT_EQ(KOVA_Heartbeat(f.session), RESULT_NOT_LOGGED_IN);
  EXPECT_GE(f.session->socket, 0);  // error replies keep the connection in step
}

TEST(RemotePathOpsTest, BadNamesAndArgumentsSendNothing) {
  Fixture f;
  // 28 + 4 + 267 + 1 = 300 fits; one more byte does not.
  EXPECT_EQ(KOVA_DeleteFile(f.session, std::string(267, 'x')), 0u);
  EXPECT_EQ(f.Last().bytes.size(), 300u);
  const size_t sent = f.peer.Requests().size();
  EXPECT_EQ(KOVA_DeleteFile(f.session, std::string(268, 'x')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_SetFileAttributes(f.session, std::string(264, 'x'), 0), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_Rename(f.session, std::string(200, 'x'), std::string(67, 'y')), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(KOVA_Login(f.session, std::string_view("a\0b", 3), "p"), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_CreateDirectory(f.session, std::string_view("a\0", 2)), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_DeleteFile(nullptr, "a"), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_Heartbeat(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_GetFileAttributes(f.session, "a", nullptr), ERROR_INVALID_PARAMETER);
  uint32_t v = 0;
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &v, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.Requests().size(), sent);
}

TEST(RemotePathOpsTest, ShortRepliesAreRefused) {
  Fixture f([](const Request& r) {
    if (r.header.code == OP_GET_FILE_ATTRIBUTES) return Answer{FakePeer::Reply(r, 0, Bytes().U16(1))};
    if (r.header.code == OP_GET_SPACE_INFO) return Answer{FakePeer::Reply(r, 0, Bytes().U32(1))};
    if (r.header.code == OP_DELETE_FILE) return Answer{FakePeer::Reply(r, 0, Bytes().U32(1))};
    return FakePeer::SessionAnswer(r);
  });
  uint32_t attributes = 5, space = 5, files = 5;
  EXPECT_EQ(KOVA_GetFileAttributes(f.session, "a", &attributes), ERROR_INVALID_DATA);
  EXPECT_EQ(KOVA_GetSpaceInfo(f.session, &space, &files), ERROR_INVALID_DATA);
  EXPECT_EQ(attributes, 5u);
  EXPECT_EQ(space, 5u);
  EXPECT_EQ(KOVA_Heartbeat(f.session), 0u);
  // A reply with payload where none belongs would put the stream out of step.
  EXPECT_EQ(KOVA_DeleteFile(f.session, "a"), ERROR_INVALID_DATA);
  EXPECT_EQ(KOVA_Heartbeat(f.session), WSAENOTCONN);
}

TEST(RemotePathOpsTest, TwoThreadsOnOneSessionEachGetTheirOwnReplies) {
  // The server answers slowly enough that the two threads really contend.
  Fixture f([](const Request& r) {
    if (r.header.code == OP_GET_FILE_ATTRIBUTES) std::this_thread::yield();
    return PathServer(r);
  });
  constexpr int kRounds = 300;
  int mismatches[2] = {0, 0};
  int failures[2] = {0, 0};
  auto worker = [&](int id) {
    for (int i = 0; i < kRounds; ++i) {
      // Different lengths and first bytes give each thread its own answers.
      const std::string path = std::string(id == 0 ? "a" : "zz") + std::to_string(i);
      uint32_t attributes = 0;
      if (KOVA_GetFileAttributes(f.session, path, &attributes) != 0) {
        ++failures[id];
      } else if (attributes != path.size() * 3 + static_cast<uint8_t>(path[0]) + 3) {
        ++mismatches[id];
      }
    }
  };
  std::thread t0(worker, 0), t1(worker, 1);
  t0.join();
  t1.join();
  EXPECT_EQ(failures[0] + failures[1], 0);
  EXPECT_EQ(mismatches[0] + mismatches[1], 0);
  EXPECT_EQ(f.peer.CountOf(OP_GET_FILE_ATTRIBUTES), 2u * kRounds);
}

}  // namespace
}  // namespace tervane
