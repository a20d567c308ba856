#include "client/net/remote_file.h"

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "testing/peer_session.h"
#include "client/net/remote_path_ops.h"
#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::RequestHeaderBytes;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

constexpr uint32_t kHandle = 0x0A0B0C0D;

uint8_t PatternAt(uint64_t position) { return static_cast<uint8_t>(position * 13 + (position >> 16)); }

std::vector<uint8_t> Frame(const Request& r, uint16_t code, const std::vector<uint8_t>& fields) {
  return Bytes().Raw(RequestHeaderBytes(code, static_cast<uint32_t>(fields.size()), r.header.request_tag)).Raw(fields);
}

// A server with one open file whose byte at p is PatternAt(p); `first` may
// answer a request instead.
FakePeer::Script FileServer(std::function<bool(const Request&, Answer*)> first = nullptr) {
  return [first](const Request& r) {
    Answer answer;
    if (first && first(r, &answer)) return answer;
    const uint8_t* p = r.payload.data();
    switch (r.header.code) {
      case OP_CREATE_FILE:  // a directory-chain path ("...|") makes directories and opens nothing
        if (r.payload[r.payload.size() - 2] == '|') return Answer{FakePeer::Reply(r, 0)};
        return Answer{FakePeer::Reply(r, 0, Bytes().U32(kHandle).U32(LoadU32(p + 4)))};
      case OP_READ_FILE: {
        std::vector<uint8_t> data(LoadU32(p + 16));
        for (size_t i = 0; i < data.size(); ++i) data[i] = PatternAt(LoadU64(p + 8) + i);
        return Answer{FakePeer::Reply(r, 0, data)};
      }
      case OP_GET_FILE_SIZE: return Answer{FakePeer::Reply(r, 0, Bytes().U64(0x0000000123456789ull))};
      case OP_GET_FILE_TIME: return Answer{FakePeer::Reply(r, 0, Bytes().U64(111).U64(222).U64(333))};
      default: return FakePeer::SessionAnswer(r);
    }
  };
}

RemoteFile* Open(RemoteSession* session) {
  RemoteFile* file = nullptr;
  EXPECT_EQ(KOVA_CreateFile(session, "Mon\\C\\a.txt", 0x40000000, 0, 2, 0x80, &file), 0u);
  return file;
}

// Bad arguments and names send nothing; a directory-chain path gives a
// record of handle 0.
TEST(RemoteFileTest, EveryFileRequestHasItsExactBytesAndBadArgumentsSendNothing) {
  testing::PeerSession f(FileServer());
  RemoteFile* file = reinterpret_cast<RemoteFile*>(0x1);
  // 28 + 20 + 252 + 1 bytes would pass the 300-byte frame.
  EXPECT_EQ(KOVA_CreateFile(f.session, std::string(252, 'a'), 0, 0, 0, 0, &file), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(KOVA_CreateFile(f.session, std::string_view("a\0b", 3), 0, 0, 0, 0, &file), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_CreateFile(nullptr, "a", 0, 0, 0, 0, &file), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_CreateFile(f.session, "a", 0, 0, 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  ASSERT_EQ(KOVA_CreateFile(f.session, std::string(251, 'b'), 0, 0, 0, 0, &file), 0u);
  EXPECT_EQ(std::string(file->path), std::string(251, 'b'));
  EXPECT_EQ(f.Last().bytes.size(), 300u);
  uint64_t offset = 0;
  uint8_t byte = 0;
  EXPECT_EQ(KOVA_ReadFile(file, nullptr, 1, &byte), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_ReadFile(file, &offset, 1, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_WriteFile(file, &offset, 1, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_GetFileSize(file, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_SetFileSize(file, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_CloseFile(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.Requests().size(), 2u);  // the session open and the one create
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
  ASSERT_EQ(KOVA_CreateFile(f.session, "Mon\\C\\empty|", 0, 0, 0, 0, &file), 0u);
  EXPECT_EQ(file->handle, 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
  EXPECT_EQ(LoadU32(f.Last().payload.data()), 0u);

  const size_t seen = f.peer.Requests().size();
  ASSERT_EQ(KOVA_CreateFile(f.session, "Mon\\C\\a.txt", 0xC0000000, 0x3, 4, 0x80, &file), 0u);
  uint64_t size = 0, c = 0, a = 0, w = 0;
  ASSERT_EQ(KOVA_GetFileSize(file, &size), 0u);
  ASSERT_EQ(KOVA_GetFileTime(file, &c, &a, &w), 0u);
  EXPECT_EQ(size, 0x0000000123456789ull);
  EXPECT_EQ(std::vector<uint64_t>({c, a, w}), std::vector<uint64_t>({111, 222, 333}));
  const uint64_t new_size = 0x0000000500000007ull, creation = 0x0102030405060708ull, last_write = 0x1112131415161718ull;
  ASSERT_EQ(KOVA_SetFileSize(file, &new_size), 0u);
  ASSERT_EQ(KOVA_SetFileTime(file, &creation, nullptr, &last_write), 0u);
  ASSERT_EQ(KOVA_CloseFile(file), 0u);

  const auto rs = f.From(seen);
  ASSERT_EQ(rs.size(), 6u);
  const std::vector<uint8_t> h = Bytes().U32(kHandle).U32(0);
  EXPECT_EQ(rs[0].bytes, Frame(rs[0], OP_CREATE_FILE, testing::CreatePayload("Mon\\C\\a.txt", 0xC0000000, 0x3, 4)));
  EXPECT_EQ(rs[1].bytes, Frame(rs[1], OP_GET_FILE_SIZE, h));
  EXPECT_EQ(rs[2].bytes, Frame(rs[2], OP_GET_FILE_TIME, h));
  EXPECT_EQ(rs[3].bytes, Frame(rs[3], OP_SET_FILE_SIZE, testing::SetSizePayload(kHandle, new_size)));
  EXPECT_EQ(rs[4].bytes, Frame(rs[4], OP_SET_FILE_TIME, Bytes().Raw(h).U64(creation).U64(0).U64(last_write)));
  EXPECT_EQ(rs[5].bytes, Frame(rs[5], OP_CLOSE_FILE, h));
}

// Pieces of 64 KiB, a read straight into its destination; from just below
// 4 GiB the second piece's offset carries into the high half. A refused
// piece keeps the pieces before it and stops the call; a read piece refused
// with 38 or shorter than asked gives 38; a refused close frees the record
// all the same.
TEST(RemoteFileTest, WritesAndReadsGoInPiecesOf64KiB) {
  // Reads from here on are answered only once four pieces have come: a
  // client waiting for each reply would time out instead.
  static constexpr uint64_t kHeldFrom = 1ull << 40;
  auto held = std::make_shared<std::vector<uint8_t>>();
  const FakePeer::Script plain = FileServer();
  testing::PeerSession f(FileServer([held, plain](const Request& r, Answer* a) {
    const uint16_t code = r.header.code;
    if (code != OP_WRITE_FILE && code != OP_READ_FILE && code != OP_CLOSE_FILE) return false;
    // A close's payload is the handle alone; reads and writes carry an offset.
    const uint64_t at = code == OP_CLOSE_FILE ? 0 : LoadU64(r.payload.data() + 8);
    if (code == OP_CLOSE_FILE) *a = Answer{FakePeer::Reply(r, ERROR_INVALID_HANDLE)};
    else if (code == OP_WRITE_FILE && at == 65536) *a = Answer{FakePeer::Reply(r, ERROR_DISK_FULL)};
    else if (code == OP_READ_FILE && at == 65536) *a = Answer{FakePeer::Reply(r, ERROR_HANDLE_EOF)};
    else if (code == OP_READ_FILE && at == 1000)
      *a = Answer{FakePeer::Reply(r, 0, std::vector<uint8_t>(LoadU32(r.payload.data() + 16) - 1, 0x55))};
    else if (code == OP_READ_FILE && at >= kHeldFrom) {
      const std::vector<uint8_t> reply = plain(r).bytes;
      held->insert(held->end(), reply.begin(), reply.end());
      *a = Answer{held->size() == 4 * reply.size() ? *held : std::vector<uint8_t>()};
    } else return false;
    return true;
  }));
  KOVA_SetReplyTimeout(f.session, 5000);
  RemoteFile* file = Open(f.session);
  const uint64_t start = 0x00000000FFFF8000ull, second = 0x0000000100008000ull;
  std::vector<uint8_t> data(65537);
  for (size_t i = 0; i < data.size(); ++i) data[i] = PatternAt(i + 5);
  for (uint32_t count : {0u, 65536u, 65537u}) {
    SCOPED_TRACE(count);
    const size_t seen = f.peer.Requests().size();
    const uint64_t offset = start;
    ASSERT_EQ(KOVA_WriteFile(file, &offset, count, data.data()), 0u);
    // Exactly `count` bytes, so that the address sanitizer sees any overrun.
    std::unique_ptr<uint8_t[]> destination(new uint8_t[count + (count == 0)]);
    ASSERT_EQ(KOVA_ReadFile(file, &offset, count, destination.get()), 0u);
    for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(destination[i], PatternAt(start + i)) << i;
    const auto rs = f.From(seen);
    const size_t pieces = count == 0 ? 0 : count == 65536 ? 1 : 2;
    ASSERT_EQ(rs.size(), 2 * pieces);
    if (count == 0) continue;
    EXPECT_EQ(rs[0].bytes, Frame(rs[0], OP_WRITE_FILE,
                                 Bytes().Raw(testing::ReadPayload(kHandle, start, 65536))
                                     .Raw(std::vector<uint8_t>(data.begin(), data.begin() + 65536))));
    EXPECT_EQ(rs[pieces].bytes, Frame(rs[pieces], OP_READ_FILE, testing::ReadPayload(kHandle, start, 65536)));
    if (pieces == 2) {
      EXPECT_EQ(rs[1].bytes,
                Frame(rs[1], OP_WRITE_FILE, Bytes().Raw(testing::ReadPayload(kHandle, second, 1)).U8(data[65536])));
      EXPECT_EQ(rs[3].bytes, Frame(rs[3], OP_READ_FILE, testing::ReadPayload(kHandle, second, 1)));
    }
  }
  std::vector<uint8_t> buffer(4 * 65536, 0xEE);
  ASSERT_EQ(KOVA_ReadFile(file, &kHeldFrom, static_cast<uint32_t>(buffer.size()), buffer.data()), 0u);
  for (size_t i = 0; i < buffer.size(); ++i) ASSERT_EQ(buffer[i], PatternAt(kHeldFrom + i)) << i;

  std::fill(buffer.begin(), buffer.end(), 0xEE);
  const size_t writes = f.peer.CountOf(OP_WRITE_FILE);
  const uint64_t zero = 0, thousand = 1000;
  EXPECT_EQ(KOVA_WriteFile(file, &zero, 3 * 65536, buffer.data()), ERROR_DISK_FULL);
  EXPECT_EQ(f.peer.CountOf(OP_WRITE_FILE), writes + 2);
  EXPECT_EQ(KOVA_ReadFile(file, &zero, 70000, buffer.data()), ERROR_HANDLE_EOF);
  EXPECT_EQ(buffer[65535], PatternAt(65535));
  EXPECT_EQ(buffer[65536], 0xEE);
  EXPECT_EQ(KOVA_ReadFile(file, &thousand, 100, buffer.data()), ERROR_HANDLE_EOF);
  EXPECT_EQ(buffer[98], 0x55);
  EXPECT_EQ(buffer[99], PatternAt(99));
  uint64_t size = 0;
  EXPECT_EQ(KOVA_GetFileSize(file, &size), 0u);  // plain error replies keep the stream in step
  EXPECT_EQ(KOVA_CloseFile(file), ERROR_INVALID_HANDLE);  // and frees the record (LeakSanitizer)
}

// A reply short of its values keeps the stream in step; announced bytes
// beyond what the request allows (the piece, the frame, nothing) close it.
TEST(RemoteFileTest, MalformedRepliesAreInvalidData) {
  struct Case {
    const char* what;
    uint16_t code;
    uint32_t announced;  // 0: a short fixed reply
  };
  for (const Case& c : {Case{"read beyond its piece", OP_READ_FILE, 101},
                        Case{"size beyond the frame", OP_GET_FILE_SIZE, 65765},
                        Case{"short size", OP_GET_FILE_SIZE, 0},
                        Case{"short times", OP_GET_FILE_TIME, 0},
                        Case{"payload on a set-size reply", OP_SET_FILE_SIZE, 4}}) {
    SCOPED_TRACE(c.what);
    testing::PeerSession f(FileServer([c](const Request& r, Answer* a) {
      if (r.header.code != c.code) return false;
      // The bytes really follow, so a client trusting the figure would write them.
      *a = Answer{c.announced == 0 ? FakePeer::Reply(r, 0, Bytes().U32(5))
                                   : FakePeer::ReplyAnnouncing(r, 0, c.announced,
                                                               std::vector<uint8_t>(c.announced, 0xCC))};
      return true;
    }));
    RemoteFile* file = Open(f.session);
    ASSERT_NE(file, nullptr);
    std::unique_ptr<uint8_t[]> destination(new uint8_t[100]());
    const uint64_t offset = 0;
    uint64_t value = 77;
    Result rc;
    if (c.code == OP_READ_FILE) rc = KOVA_ReadFile(file, &offset, 100, destination.get());
    if (c.code == OP_GET_FILE_SIZE) rc = KOVA_GetFileSize(file, &value);
    if (c.code == OP_GET_FILE_TIME) rc = KOVA_GetFileTime(file, &value, nullptr, nullptr);
    if (c.code == OP_SET_FILE_SIZE) rc = KOVA_SetFileSize(file, &offset);
    EXPECT_EQ(rc, ERROR_INVALID_DATA);
    EXPECT_EQ(value, 77u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(destination[i], 0) << i;
    EXPECT_EQ(KOVA_IsConnected(f.session), c.announced == 0);
    // A closed connection's record is freed all the same (LeakSanitizer).
    EXPECT_EQ(KOVA_CloseFile(file), c.announced == 0 ? 0u : WSAENOTCONN);
  }
}

TEST(RemoteFileTest, PiecesOfOneCallAreNeverSplitByAnotherThread) {
  testing::PeerSession f(FileServer());
  RemoteFile* file = Open(f.session);
  std::vector<uint8_t> data(3 * 65536, 7);
  std::atomic<bool> writing{true};
  std::atomic<int> heartbeats{0}, failures{0};
  std::thread other([&] {
    for (; writing; ++heartbeats) failures += KOVA_Heartbeat(f.session) != 0;
  });
  // The session lock is not fair: go on (bounded) until the other thread got in.
  size_t calls = 0;
  for (const uint64_t offset = 0; calls < 20 || (heartbeats == 0 && calls < 200); ++calls) {
    ASSERT_EQ(KOVA_WriteFile(file, &offset, static_cast<uint32_t>(data.size()), data.data()), 0u);
    if (calls >= 20) std::this_thread::yield();
  }
  writing = false;
  other.join();
  EXPECT_EQ(failures, 0);
  EXPECT_GT(f.peer.CountOf(OP_HEARTBEAT), 0u);
  EXPECT_EQ(f.peer.CountOf(OP_WRITE_FILE), 3 * calls);
  const auto rs = f.From(2);
  for (size_t i = 1; i < rs.size(); ++i) {
    const uint64_t at = rs[i].header.code == OP_WRITE_FILE ? LoadU64(rs[i].payload.data() + 8) : 0;
    if (at == 0) continue;
    EXPECT_EQ(rs[i - 1].header.code, OP_WRITE_FILE);  // the same call's previous piece
    EXPECT_EQ(LoadU64(rs[i - 1].payload.data() + 8), at - 65536);
  }
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

}  // namespace
}  // namespace tervane
