#include "client/net/request_pipeline.h"

#include <sys/socket.h>

#include <string>
#include <vector>

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

struct Reply {
  uint32_t result;
  std::vector<uint8_t> payload;
};

ReplyHandler Record(std::vector<Reply>* into) {
  return [into](Result result, const uint8_t* payload, uint32_t length) {
    into->push_back(Reply{result.code(), std::vector<uint8_t>(payload, payload + length)});
  };
}

// Answers a write with nothing, a read of n bytes with n bytes of its first
// payload byte, and any other request with its own payload; a delete is
// refused with 5.
Answer Echo(const Request& r) {
  if (MapRequestCode(r.header.code) == STAGE_NOT_MAPPED) return FakePeer::SessionAnswer(r);
  switch (r.header.code) {
    case OP_WRITE_FILE: return Answer{FakePeer::Reply(r, 0)};
    case OP_READ_FILE: return Answer{FakePeer::Reply(r, 0, std::vector<uint8_t>(LoadU32(r.payload.data() + 16), r.payload.data()[0]))};
    case OP_DELETE_FILE: return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED)};
    default: return Answer{FakePeer::Reply(r, 0, r.payload)};
  }
}

// Small socket buffers on both sides: a client that only read after sending
// everything would stall, as the server blocks on its replies, stops reading,
// and the client's sends block.
struct Connected : testing::PeerSession {
  explicit Connected(FakePeer::Script script)
      : PeerSession(std::move(script), FakePeer::Options{.socket_buffer = 16384}) {
    KOVA_SetReplyTimeout(session, 20'000);  // a hang fails the test instead of holding it
    const int small = 16384;
    MutexLock hold(&session->lock);
    setsockopt(session->socket, SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
    setsockopt(session->socket, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  }
};

// A refused request (every third small one) leaves the stream in step;
// every request in flight has a tag of its own; large writes and reads after
// them do not deadlock.
TEST(RequestPipelineTest, RepliesComeInOrderToTheirRequestsWhoseBytesAreUnchanged) {
  Connected c(Echo);
  std::vector<Reply> replies;
  auto code = [](uint32_t i) { return i % 3 == 2 ? OP_DELETE_FILE : OP_GET_FILE_SIZE; };
  const std::vector<uint8_t> data(kMaxDataPiece, 0x5A);
  {
    RequestPipeline pipeline(c.session);
    for (uint32_t i = 0; i < 300; ++i) {
      const std::vector<uint8_t> payload = Bytes().U32(i).U32(0);
      ASSERT_EQ(pipeline.Submit(code(i), payload.data(), payload.size(), nullptr, 0, 8, Record(&replies)), 0u);
    }
    for (uint32_t i = 0; i < 128; ++i) {
      const bool write = i % 2 == 0;
      const std::vector<uint8_t> fields = testing::ReadPayload(i, uint64_t{i} << 16, kMaxDataPiece);
      ASSERT_EQ(pipeline.Submit(write ? OP_WRITE_FILE : OP_READ_FILE, fields.data(), fields.size(),
                                write ? data.data() : nullptr, write ? data.size() : 0, write ? 0 : kMaxDataPiece,
                                Record(&replies)),
                0u);
    }
    EXPECT_EQ(pipeline.Drain(), 0u);
  }
  const auto requests = c.peer.Requests();
  ASSERT_EQ(replies.size(), 428u);
  ASSERT_EQ(requests.size(), 429u);  // the session open first
  for (uint32_t i = 0; i < 300; ++i) {
    const bool refused = code(i) == OP_DELETE_FILE;
    EXPECT_EQ(replies[i].result, refused ? ERROR_ACCESS_DENIED : 0u);
    EXPECT_EQ(replies[i].payload, refused ? std::vector<uint8_t>() : Bytes().U32(i).U32(0).get());
    const Request& r = requests[i + 1];
    EXPECT_EQ(r.bytes, Bytes().Raw(RequestHeaderBytes(code(i), 8, r.header.request_tag)).U32(i).U32(0).get());
    EXPECT_TRUE(i == 0 || static_cast<int32_t>(r.header.request_tag - requests[i].header.request_tag) > 0);
  }
  for (uint32_t i = 0; i < 128; ++i) {
    const std::vector<uint8_t> read(i % 2 == 0 ? 0 : kMaxDataPiece, static_cast<uint8_t>(i));
    EXPECT_EQ(replies[300 + i].result, 0u);
    EXPECT_TRUE(replies[300 + i].payload == read) << i;  // 64 KiB: no dump
  }
  EXPECT_EQ(KOVA_Heartbeat(c.session), 0u);  // in step for the single exchanges that follow
}

TEST(RequestPipelineTest, AReplyOutOfOrderOrALostConnectionFailsEveryOutstandingRequestOnce) {
  // Nothing is answered until the third request is in; then either the
  // second request's reply comes before the first's, or the peer closes.
  for (const bool swap : {true, false}) {
    SCOPED_TRACE(swap ? "out of order" : "closed");
    std::vector<std::vector<uint8_t>> held;
    Connected c([&held, swap](const Request& r) {
      if (r.header.code == OP_OPEN_SESSION) return FakePeer::SessionAnswer(r);
      held.push_back(FakePeer::Reply(r, 0, Bytes().U64(held.size())));
      if (held.size() < 3) return Answer{};
      if (!swap) return Answer{{}, true};
      std::vector<uint8_t> both = held[1];
      both.insert(both.end(), held[0].begin(), held[0].end());
      return Answer{both, false, true};
    });
    std::vector<Reply> replies;
    RequestPipeline pipeline(c.session);
    const std::vector<uint8_t> payload = Bytes().U32(7).U32(0);
    for (int i = 0; i < 3; ++i) {
      // The handlers record each result.
      static_cast<void>(pipeline.Submit(OP_GET_FILE_SIZE, payload.data(), payload.size(), nullptr, 0, 8,
                                        Record(&replies)));
    }
    const uint32_t code = pipeline.Drain().code();
    EXPECT_TRUE(swap ? code == ERROR_BAD_FORMAT : code != 0) << code;
    ASSERT_EQ(replies.size(), 3u);
    for (const Reply& r : replies) EXPECT_EQ(r.result, code);
    c.session->lock.AssertHeld();  // by the pipeline, on this thread
    EXPECT_EQ(c.session->socket, -1);
    // A request after the failure is not sent and is answered at once.
    EXPECT_EQ(pipeline.Submit(OP_GET_FILE_SIZE, payload.data(), payload.size(), nullptr, 0, 8, Record(&replies)), code);
    ASSERT_EQ(replies.size(), 4u);
    EXPECT_EQ(replies[3].result, code);
    EXPECT_EQ(c.peer.CountOf(OP_GET_FILE_SIZE), 3u);
  }
}

}  // namespace
}  // namespace tervane
