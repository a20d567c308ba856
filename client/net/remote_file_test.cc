#include "client/net/remote_file.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "testing/fake_peer.h"
#include "client/net/remote_path_ops.h"
#include "gtest/gtest.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::RequestHeaderBytes;
using testing::TagTakenBetween;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

constexpr uint32_t kHandle = 0x0A0B0C0D;

uint8_t PatternAt(uint64_t position) { return static_cast<uint8_t>(position * 13 + (position >> 16)); }

// Answers like a server with one open file whose byte at position p is
// PatternAt(p); `override_answer` may take a request first.
FakePeer::Script FileServer(std::function<bool(const Request&, Answer*)> override_answer = nullptr) {
  return [override_answer](const Request& r) {
    Answer answer;
    if (override_answer && override_answer(r, &answer)) return answer;
    const uint8_t* p = r.payload.data();
    switch (r.header.code) {
      case OP_CREATE_FILE:
        return Answer{FakePeer::Reply(r, 0, Bytes().U32(kHandle).U32(LoadU32(p + 4)))};
      case OP_READ_FILE: {
        const uint64_t offset = LoadU64(p + 8);
        std::vector<uint8_t> data(LoadU32(p + 16));
        for (size_t i = 0; i < data.size(); ++i) data[i] = PatternAt(offset + i);
        return Answer{FakePeer::Reply(r, 0, data)};
      }
      case OP_GET_FILE_SIZE:
        return Answer{FakePeer::Reply(r, 0, Bytes().U64(0x0000000123456789ull))};
      case OP_GET_FILE_TIME:
        return Answer{FakePeer::Reply(r, 0, Bytes().U64(111).U64(222).U64(0x01D0000000000333ull))};
      default:
        return FakePeer::SessionAnswer(r);
    }
  };
}

// A connected session and an open file on a fake server.
struct Fixture {
  explicit Fixture(FakePeer::Script script) : peer(std::move(script)) {
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  }
  ~Fixture() { KOVA_Disconnect(session); }
  RemoteFile* Open(std::string_view path = "Mon\\C\\a.txt") {
    RemoteFile* file = nullptr;
    EXPECT_EQ(KOVA_CreateFile(session, path, 0x40000000, 0, 2, 0x80, &file), 0u);
    return file;
  }
  // Requests after the session open and the file open.
  std::vector<Request> After(size_t skip = 2) const {
    auto all = peer.Requests();
    return std::vector<Request>(all.begin() + static_cast<long>(std::min(skip, all.size())), all.end());
  }
  FakePeer peer;
  RemoteSession* session = nullptr;
};

TEST(RemoteFileTest, EveryFileRequestHasItsExactBytes) {
  Fixture f(FileServer());
  const uint32_t before = GetTickCount();
  RemoteFile* file = nullptr;
  ASSERT_EQ(KOVA_CreateFile(f.session, "Mon\\C\\a.txt", 0xC0000000, 0x3, 4, 0x80, &file), 0u);
  const uint32_t after = GetTickCount();
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(file->handle, kHandle);
  EXPECT_EQ(file->session, f.session);
  EXPECT_STREQ(file->path, "Mon\\C\\a.txt");
  const Request open = f.peer.Requests().at(1);
  EXPECT_TRUE(TagTakenBetween(open.header.request_tag, before, after));
  EXPECT_EQ(open.bytes, (Bytes().Raw(RequestHeaderBytes(OP_CREATE_FILE, 20 + 12, open.header.request_tag))
                             .U32(0xC0000000).U32(0x3).U32(4).U32(0x80).U16(12).U16(0)
                             .Str("Mon\\C\\a.txt").Zero().get()));

  uint64_t size = 0;
  ASSERT_EQ(KOVA_GetFileSize(file, &size), 0u);
  EXPECT_EQ(size, 0x0000000123456789ull);
  uint64_t c = 0, a = 0, w = 0;
  ASSERT_EQ(KOVA_GetFileTime(file, &c, &a, &w), 0u);
  EXPECT_EQ(c, 111u);
  EXPECT_EQ(a, 222u);
  EXPECT_EQ(w, 0x01D0000000000333ull);
  EXPECT_EQ(KOVA_GetFileTime(file, nullptr, nullptr, &w), 0u);
  const uint64_t new_size = 0x0000000500000007ull;
  ASSERT_EQ(KOVA_SetFileSize(file, &new_size), 0u);
  EXPECT_EQ(new_size, 0x0000000500000007ull);
  const uint64_t creation = 0x0102030405060708ull, last_write = 0x1112131415161718ull;
  ASSERT_EQ(KOVA_SetFileTime(file, &creation, nullptr, &last_write), 0u);
  const uint64_t zero = 0;
  ASSERT_EQ(KOVA_SetFileTime(file, &zero, &zero, &zero), 0u);
  ASSERT_EQ(KOVA_CloseFile(file), 0u);

  const auto rs = f.After();
  ASSERT_EQ(rs.size(), 7u);
  auto tag = [&](size_t i) { return rs[i].header.request_tag; };
  EXPECT_EQ(rs[0].bytes, (Bytes().Raw(RequestHeaderBytes(OP_GET_FILE_SIZE, 8, tag(0))).U32(kHandle).U32(0).get()));
  EXPECT_EQ(rs[1].bytes, (Bytes().Raw(RequestHeaderBytes(OP_GET_FILE_TIME, 8, tag(1))).U32(kHandle).U32(0).get()));
  EXPECT_EQ(rs[2].bytes, (Bytes().Raw(RequestHeaderBytes(OP_GET_FILE_TIME, 8, tag(2))).U32(kHandle).U32(0).get()));
  EXPECT_EQ(rs[3].bytes, (Bytes().Raw(RequestHeaderBytes(OP_SET_FILE_SIZE, 16, tag(3)))
                              .U32(kHandle).U32(0).U64(0x0000000500000007ull).get()));
  EXPECT_EQ(rs[4].bytes, (Bytes().Raw(RequestHeaderBytes(OP_SET_FILE_TIME, 32, tag(4)))
                              .U32(kHandle).U32(0).U64(creation).U64(0).U64(last_write).get()));
  EXPECT_EQ(rs[5].bytes, (Bytes().Raw(RequestHeaderBytes(OP_SET_FILE_TIME, 32, tag(5)))
                              .U32(kHandle).U32(0).U64(0).U64(0).U64(0).get()));
  EXPECT_EQ(rs[6].bytes, (Bytes().Raw(RequestHeaderBytes(OP_CLOSE_FILE, 8, tag(6))).U32(kHandle).U32(0).get()));
}

TEST(RemoteFileTest, DirectoryChainPathHoldsHandleZero) {
  Fixture f(FileServer([](const Request& r, Answer* a) {
    if (r.header.code != OP_CREATE_FILE) return false;
    *a = Answer{FakePeer::Reply(r, 0)};  // directories made, nothing opened
    return true;
  }));
  RemoteFile* file = nullptr;
  ASSERT_EQ(KOVA_CreateFile(f.session, "Mon\\C\\empty|", 0, 0, 0, 0, &file), 0u);
  EXPECT_EQ(file->handle, 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
  const auto rs = f.After();
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(LoadU32(rs[0].payload.data()), 0u);
}

TEST(RemoteFileTest, BadArgumentsAndOverlongPathsSendNothing) {
  Fixture f(FileServer());
  RemoteFile* file = reinterpret_cast<RemoteFile*>(0x1);
  // 28 + 20 + 252 + 1 bytes would pass the 300-byte frame.
  EXPECT_EQ(KOVA_CreateFile(f.session, std::string(252, 'a'), 0, 0, 0, 0, &file), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(file, nullptr);
  EXPECT_EQ(KOVA_CreateFile(f.session, std::string_view("a\0b", 3), 0, 0, 0, 0, &file), ERROR_INVALID_NAME);
  EXPECT_EQ(KOVA_CreateFile(nullptr, "a", 0, 0, 0, 0, &file), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_CreateFile(f.session, "a", 0, 0, 0, 0, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.Requests().size(), 1u);  // the session open only

  // The longest path that fits goes out whole.
  ASSERT_EQ(KOVA_CreateFile(f.session, std::string(251, 'b'), 0, 0, 0, 0, &file), 0u);
  EXPECT_EQ(std::string(file->path), std::string(251, 'b'));
  EXPECT_EQ(f.peer.Requests().back().bytes.size(), 300u);

  uint64_t offset = 0;
  uint8_t byte = 0;
  EXPECT_EQ(KOVA_ReadFile(nullptr, &offset, 1, &byte), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_ReadFile(file, nullptr, 1, &byte), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_ReadFile(file, &offset, 1, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_WriteFile(file, &offset, 1, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_GetFileSize(file, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_SetFileSize(file, nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_CloseFile(nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(f.peer.Requests().size(), 2u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

// Offsets and sizes of the OP_WRITE_FILE or OP_READ_FILE requests in `rs`.
std::vector<std::pair<uint64_t, uint32_t>> Pieces(const std::vector<Request>& rs, uint16_t code) {
  std::vector<std::pair<uint64_t, uint32_t>> out;
  for (const Request& r : rs) {
    if (r.header.code == code) out.emplace_back(LoadU64(r.payload.data() + 8), LoadU32(r.payload.data() + 16));
  }
  return out;
}

// Writes and reads go in pieces of 64 KiB, a read straight into its
// destination; from just below 4 GiB the second piece's offset carries into
// the high half.
TEST(RemoteFileTest, WritesAndReadsGoInPiecesOf64KiB) {
  Fixture f(FileServer());
  RemoteFile* file = f.Open();
  ASSERT_NE(file, nullptr);
  const uint64_t start = 0x00000000FFFF8000ull;
  std::vector<uint8_t> data(65537);
  for (size_t i = 0; i < data.size(); ++i) data[i] = PatternAt(i + 5);
  for (uint32_t count : {0u, 65536u, 65537u}) {
    SCOPED_TRACE(count);
    const size_t seen = f.peer.Requests().size();
    uint64_t offset = start;
    ASSERT_EQ(KOVA_WriteFile(file, &offset, count, data.data()), 0u);
    EXPECT_EQ(offset, start);
    // Exactly `count` bytes, so that the address sanitizer sees any overrun.
    std::unique_ptr<uint8_t[]> destination(new uint8_t[count + (count == 0 ? 1 : 0)]);
    ASSERT_EQ(KOVA_ReadFile(file, &offset, count, destination.get()), 0u);
    for (uint32_t i = 0; i < count; ++i) ASSERT_EQ(destination[i], PatternAt(start + i)) << i;
    const auto all = f.peer.Requests();
    const std::vector<Request> rs(all.begin() + static_cast<long>(seen), all.end());
    const auto writes = Pieces(rs, OP_WRITE_FILE);
    ASSERT_EQ(writes.size(), count == 0 ? 0u : count == 65536 ? 1u : 2u);
    ASSERT_EQ(Pieces(rs, OP_READ_FILE), writes);
    ASSERT_EQ(rs.size(), 2 * writes.size());
    if (count == 0) continue;
    EXPECT_EQ(writes[0], std::make_pair(start, 65536u));
    std::vector<uint8_t> expected = RequestHeaderBytes(OP_WRITE_FILE, 20 + 65536, rs[0].header.request_tag);
    const std::vector<uint8_t> fields = Bytes().U32(kHandle).U32(0).U64(start).U32(65536);
    expected.insert(expected.end(), fields.begin(), fields.end());
    expected.insert(expected.end(), data.begin(), data.begin() + 65536);
    EXPECT_EQ(rs[0].bytes, expected);
    const Request& read = rs[writes.size()];
    EXPECT_EQ(read.bytes, (Bytes().Raw(RequestHeaderBytes(OP_READ_FILE, 20, read.header.request_tag))
                               .U32(kHandle).U32(0).U64(start).U32(65536).get()));
    if (count == 65537) {
      EXPECT_EQ(writes[1], std::make_pair(uint64_t{0x0000000100008000}, 1u));
      EXPECT_EQ(rs[1].bytes, (Bytes().Raw(RequestHeaderBytes(OP_WRITE_FILE, 21, rs[1].header.request_tag))
                                  .U32(kHandle).U32(0).U64(0x0000000100008000ull).U32(1)
                                  .U8(data[65536]).get()));
    }
  }
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

// The pieces of one read are in flight together: this server answers none
// of them until all four have come (a client waiting for each reply would
// time out instead).
TEST(RemoteFileTest, ThePiecesOfAReadAreInFlightTogether) {
  auto held = std::make_shared<std::vector<uint8_t>>();
  auto count = std::make_shared<int>(0);
  Fixture f(FileServer([held, count](const Request& r, Answer* a) {
    if (r.header.code != OP_READ_FILE) return false;
    const uint64_t offset = LoadU64(r.payload.data() + 8);
    std::vector<uint8_t> data(LoadU32(r.payload.data() + 16));
    for (size_t i = 0; i < data.size(); ++i) data[i] = PatternAt(offset + i);
    const std::vector<uint8_t> reply = FakePeer::Reply(r, 0, data);
    held->insert(held->end(), reply.begin(), reply.end());
    *a = Answer{++*count == 4 ? *held : std::vector<uint8_t>()};
    return true;
  }));
  KOVA_SetReplyTimeout(f.session, 5000);
  RemoteFile* file = f.Open();
  std::vector<uint8_t> destination(4 * 65536);
  const uint64_t offset = 0;
  ASSERT_EQ(KOVA_ReadFile(file, &offset, static_cast<uint32_t>(destination.size()), destination.data()), 0u);
  for (size_t i = 0; i < destination.size(); ++i) ASSERT_EQ(destination[i], PatternAt(i)) << i;
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

// A read that reaches the end gives 38: a piece refused with 38 keeps the
// pieces before it, and a piece shorter than asked is no success either.
TEST(RemoteFileTest, ReadReachingTheEndGives38) {
  Fixture f(FileServer([](const Request& r, Answer* a) {
    if (r.header.code != OP_READ_FILE || LoadU64(r.payload.data() + 8) == 0) return false;
    *a = Answer{FakePeer::Reply(r, ERROR_HANDLE_EOF)};
    return true;
  }));
  RemoteFile* file = f.Open();
  std::vector<uint8_t> destination(70000, 0xEE);
  const uint64_t offset = 0;
  EXPECT_EQ(KOVA_ReadFile(file, &offset, 70000, destination.data()), ERROR_HANDLE_EOF);
  EXPECT_EQ(destination[65535], PatternAt(65535));
  EXPECT_EQ(destination[65536], 0xEE);
  // The connection stays in step after a plain error reply.
  uint64_t size = 0;
  EXPECT_EQ(KOVA_GetFileSize(file, &size), 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);

  Fixture g(FileServer([](const Request& r, Answer* a) {
    if (r.header.code != OP_READ_FILE) return false;
    *a = Answer{FakePeer::Reply(r, 0, std::vector<uint8_t>(LoadU32(r.payload.data() + 16) - 1, 0x55))};
    return true;
  }));
  file = g.Open();
  std::fill(destination.begin(), destination.end(), 0);
  EXPECT_EQ(KOVA_ReadFile(file, &offset, 100, destination.data()), ERROR_HANDLE_EOF);
  EXPECT_EQ(destination[98], 0x55);
  EXPECT_EQ(destination[99], 0);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

TEST(RemoteFileTest, OversizeAnnouncedPayloadIsRefusedWithoutOverrun) {
  struct Case {
    const char* what;
    uint16_t code;
    uint32_t announced;
  };
  for (const Case& c : {Case{"read beyond its piece", OP_READ_FILE, 101},
                        Case{"read of a whole frame", OP_READ_FILE, 65764},
                        Case{"size beyond the frame", OP_GET_FILE_SIZE, 65765},
                        Case{"size of 4 GiB", OP_GET_FILE_SIZE, 0xFFFFFFFF},
                        Case{"payload on a set-size reply", OP_SET_FILE_SIZE, 4},
                        Case{"payload on a close reply", OP_CLOSE_FILE, 1}}) {
    SCOPED_TRACE(c.what);
    const Case this_case = c;
    Fixture f(FileServer([this_case](const Request& r, Answer* a) {
      if (r.header.code != this_case.code) return false;
      // The bytes really follow (as far as 64 KiB), so a client that trusted
      // the figure would write them.
      std::vector<uint8_t> flood(std::min<uint32_t>(this_case.announced, 70000), 0xCC);
      *a = Answer{FakePeer::ReplyAnnouncing(r, 0, this_case.announced, flood)};
      return true;
    }));
    RemoteFile* file = f.Open();
    ASSERT_NE(file, nullptr);
    std::unique_ptr<uint8_t[]> destination(new uint8_t[100]());
    const uint64_t offset = 0;
    uint64_t size = 77;
    uint32_t rc = 0;
    if (c.code == OP_READ_FILE) rc = KOVA_ReadFile(file, &offset, 100, destination.get());
    if (c.code == OP_GET_FILE_SIZE) rc = KOVA_GetFileSize(file, &size);
    if (c.code == OP_SET_FILE_SIZE) rc = KOVA_SetFileSize(file, &offset);
    if (c.code == OP_CLOSE_FILE) {
      EXPECT_EQ(KOVA_CloseFile(file), ERROR_INVALID_DATA);
      file = nullptr;
      EXPECT_EQ(f.session->socket, -1);
      continue;
    }
    EXPECT_EQ(rc, ERROR_INVALID_DATA);
    EXPECT_EQ(size, 77u);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(destination[i], 0) << i;
    // The connection is closed and every later call fails cleanly.
    EXPECT_EQ(f.session->socket, -1);
    EXPECT_EQ(KOVA_GetFileSize(file, &size), WSAENOTCONN);
    EXPECT_EQ(KOVA_CloseFile(file), WSAENOTCONN);  // and frees it all the same
  }
}

TEST(RemoteFileTest, ShortFixedRepliesAreInvalidData) {
  Fixture f(FileServer([](const Request& r, Answer* a) {
    if (r.header.code == OP_GET_FILE_SIZE) *a = Answer{FakePeer::Reply(r, 0, Bytes().U32(5))};
    else if (r.header.code == OP_GET_FILE_TIME) *a = Answer{FakePeer::Reply(r, 0, Bytes().U64(1).U64(2))};
    else return false;
    return true;
  }));
  RemoteFile* file = f.Open();
  uint64_t size = 9, c = 9;
  EXPECT_EQ(KOVA_GetFileSize(file, &size), ERROR_INVALID_DATA);
  EXPECT_EQ(KOVA_GetFileTime(file, &c, nullptr, nullptr), ERROR_INVALID_DATA);
  EXPECT_EQ(size, 9u);
  EXPECT_EQ(c, 9u);
  // All of the reply was read, so the connection is still usable.
  EXPECT_EQ(KOVA_Heartbeat(f.session), 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

TEST(RemoteFileTest, FailedPieceStopsTheWrite) {
  Fixture f(FileServer([](const Request& r, Answer* a) {
    if (r.header.code != OP_WRITE_FILE || LoadU64(r.payload.data() + 8) != 65536) return false;
    *a = Answer{FakePeer::Reply(r, ERROR_DISK_FULL)};
    return true;
  }));
  RemoteFile* file = f.Open();
  std::vector<uint8_t> data(3 * 65536, 1);
  const uint64_t offset = 0;
  EXPECT_EQ(KOVA_WriteFile(file, &offset, static_cast<uint32_t>(data.size()), data.data()), ERROR_DISK_FULL);
  EXPECT_EQ(f.peer.CountOf(OP_WRITE_FILE), 2u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

TEST(RemoteFileTest, CloseFileFreesTheRecordOnEveryPath) {
  // Server refuses the close: the record goes all the same (LeakSanitizer).
  {
    Fixture f(FileServer([](const Request& r, Answer* a) {
      if (r.header.code != OP_CLOSE_FILE) return false;
      *a = Answer{FakePeer::Reply(r, ERROR_INVALID_HANDLE)};
      return true;
    }));
    EXPECT_EQ(KOVA_CloseFile(f.Open()), ERROR_INVALID_HANDLE);
  }
  // The connection is gone.
  {
    Fixture f(FileServer());
    RemoteFile* file = f.Open();
    KOVA_AbandonConnection(f.session);
    EXPECT_EQ(KOVA_CloseFile(file), WSAENOTCONN);
  }
  // The server closes inside the close reply.
  {
    Fixture f(FileServer([](const Request& r, Answer* a) {
      if (r.header.code != OP_CLOSE_FILE) return false;
      *a = Answer{{}, true, false};
      return true;
    }));
    EXPECT_EQ(KOVA_CloseFile(f.Open()), ERROR_INVALID_DATA);
  }
}

TEST(RemoteFileTest, PiecesOfOneCallAreNeverSplitByAnotherThread) {
  Fixture f(FileServer());
  RemoteFile* file = f.Open();
  ASSERT_NE(file, nullptr);
  std::vector<uint8_t> data(3 * 65536, 7);
  std::atomic<bool> writing{true};
  std::atomic<int> heartbeat_failures{0};
  std::atomic<int> heartbeats{0};
  std::thread other([&] {
    while (writing) {
      heartbeat_failures += KOVA_Heartbeat(f.session) != 0 ? 1 : 0;
      ++heartbeats;
    }
  });
  // The session lock is not fair: keep writing until the other thread has
  // got in between two calls at least once (bounded), so both interleave.
  size_t calls = 0;
  for (; calls < 20 || (heartbeats == 0 && calls < 200); ++calls) {
    const uint64_t offset = 0;
    ASSERT_EQ(KOVA_WriteFile(file, &offset, static_cast<uint32_t>(data.size()), data.data()), 0u);
    if (calls >= 20) std::this_thread::yield();
  }
  writing = false;
  other.join();
  EXPECT_EQ(heartbeat_failures, 0);
  const auto rs = f.After();
  size_t writes = 0;
  for (size_t i = 0; i < rs.size(); ++i) {
    if (rs[i].header.code != OP_WRITE_FILE) continue;
    ++writes;
    const uint64_t at = LoadU64(rs[i].payload.data() + 8);
    if (at != 0) {
      // The piece before it on the wire is the same call's previous piece.
      ASSERT_GT(i, 0u);
      EXPECT_EQ(rs[i - 1].header.code, OP_WRITE_FILE);
      EXPECT_EQ(LoadU64(rs[i - 1].payload.data() + 8), at - 65536);
    }
  }
  EXPECT_EQ(writes, 3 * calls);
  EXPECT_GT(f.peer.CountOf(OP_HEARTBEAT), 0u);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);
}

}  // namespace
}  // namespace tervane
