#include "client/net/remote_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <thread>

#include "client/net/remote_path_ops.h"
#include "gtest/gtest.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "testing/fake_peer.h"
#include "testing/loopback.h"
#include "testing/peer_session.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::RequestHeaderBytes;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

// Disconnect ignores a refused close and frees the record all the same
// (LeakSanitizer); abandoning closes once. A failed connect leaves no socket
// and no record: the session open refused (connection 2), answered with more
// than a small frame holds (3), never answered (4).
TEST(RemoteSessionTest, ConnectOpensTheSessionOrLeavesNothingAndDisconnectOrAbandonCloseIt) {
  FakePeer peer([](const Request& r) {
    if (r.connection == 2) return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED)};
    if (r.connection == 3) return Answer{FakePeer::Reply(r, 0, std::vector<uint8_t>(1000, 0xAB))};
    if (r.connection == 4) return Answer{{}, false, true};
    if (r.header.code == OP_OPEN_SESSION || r.header.code == OP_HEARTBEAT) return FakePeer::SessionAnswer(r);
    return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED), true, false};
  });
  const size_t open_before = testing::OpenDescriptorCount();
  const uint32_t before = GetTickCount();
  RemoteSession* session = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  const uint32_t after = GetTickCount();
  EXPECT_EQ(session->server_session_value, 0x11223344u);
  EXPECT_EQ(session->server_address, htonl(INADDR_LOOPBACK));
  EXPECT_EQ(KOVA_Disconnect(session), 0u);
  const auto rs = peer.Requests();
  ASSERT_EQ(rs.size(), 2u);
  EXPECT_TRUE(testing::TagTakenBetween(rs[0].header.request_tag, before, after));
  EXPECT_EQ(rs[0].bytes, RequestHeaderBytes(OP_OPEN_SESSION, 0, rs[0].header.request_tag));
  EXPECT_EQ(rs[1].bytes, RequestHeaderBytes(OP_CLOSE_SESSION, 0, rs[1].header.request_tag));

  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  EXPECT_EQ(KOVA_Heartbeat(session), 0u);
  KOVA_AbandonConnection(session);
  KOVA_AbandonConnection(session);
  KOVA_AbandonConnection(nullptr);
  EXPECT_TRUE(peer.WaitForClientClose(2000));
  EXPECT_EQ(KOVA_Heartbeat(session), WSAENOTCONN);
  KOVA_SetReplyTimeout(session, 0);  // 0 would wait for ever
  {
    MutexLock hold(&session->lock);
    EXPECT_EQ(session->reply_timeout_ms, 1u);
  }
  EXPECT_EQ(KOVA_Disconnect(session), 0u);
  EXPECT_EQ(peer.CountOf(OP_CLOSE_SESSION), 1u);
  EXPECT_EQ(KOVA_Disconnect(nullptr), 0u);

  session = reinterpret_cast<RemoteSession*>(0x1);
  EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, testing::PickFreePort()), WSAECONNREFUSED);
  EXPECT_EQ(session, nullptr);
  session = reinterpret_cast<RemoteSession*>(0x1);
  const uint32_t rc = KOVA_Connect("no.such.address", &session, testing::PickFreePort()).code();
  EXPECT_TRUE(rc >= 10000u && rc < 11100u) << rc;  // a socket error
  EXPECT_EQ(session, nullptr);
  EXPECT_EQ(KOVA_Connect(nullptr, &session), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_Connect("127.0.0.1", nullptr), ERROR_INVALID_PARAMETER);
  for (const uint32_t code : {ERROR_ACCESS_DENIED, ERROR_INVALID_DATA, WSAETIMEDOUT}) {
    SCOPED_TRACE(code);
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), code);
    EXPECT_EQ(session, nullptr);
    EXPECT_TRUE(peer.WaitForClientClose(2000));
  }
  EXPECT_EQ(testing::OpenDescriptorCount(), open_before);
}

TEST(RemoteSessionTest, SendAllAndReceiveAllMoveWholeRangesAndReportClosing) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::vector<uint8_t> out(3 * 1024 * 1024);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> in(out.size());
  Result receive_rc = 99u;
  // More than a socket buffer: several short sends and receives.
  std::thread reader([&] { receive_rc = ReceiveAll(fds[1], in.data(), in.size()); });
  EXPECT_EQ(SendAll(fds[0], out.data(), out.size()), 0u);
  reader.join();
  EXPECT_EQ(receive_rc, 0u);
  EXPECT_EQ(in, out);
  close(fds[0]);
  EXPECT_EQ(SendAll(fds[1], out.data(), 10), WSAECONNRESET);  // an error, not a signal
  close(fds[1]);
}

// A reply that breaks the stream (cut short, late, another request's, or an
// error carrying a payload, whose result still counts) fails its call and
// closes the connection; later calls fail at once with nothing sent.
TEST(RemoteSessionTest, BrokenReplyFailsTheCallAndClosesTheConnection) {
  struct Case {
    const char* what;
    FakePeer::Script answer;
    uint32_t code;
  };
  auto cut = [](size_t length, bool stall) {
    return [length, stall](const Request& r) {
      std::vector<uint8_t> reply = FakePeer::Reply(r, 0);
      reply.resize(length);
      return Answer{reply, !stall, stall};
    };
  };
  const Case cases[] = {
      {"closed a byte short", cut(27, false), ERROR_INVALID_DATA},
      {"half a header, then silence", cut(10, true), WSAETIMEDOUT},
      {"a stale reply's tag",
       [](Request r) {
         StoreU32(r.bytes.data() + kOffRequestTag, r.header.request_tag - 5);
         return Answer{FakePeer::Reply(r, 0)};
       },
       ERROR_BAD_FORMAT},
      {"an error with a payload",
       [](const Request& r) { return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED, Bytes().U32(1))}; },
       ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    testing::PeerSession p([&c](const Request& r) {
      return r.header.code == OP_OPEN_SESSION ? FakePeer::SessionAnswer(r) : c.answer(r);
    });
    KOVA_SetReplyTimeout(p.session, 200);
    EXPECT_EQ(KOVA_DeleteFile(p.session, "x"), c.code);
    EXPECT_FALSE(KOVA_IsConnected(p.session));
    EXPECT_EQ(KOVA_Heartbeat(p.session), WSAENOTCONN);
    EXPECT_EQ(p.peer.Requests().size(), 2u);  // the session open and the delete
  }
}

}  // namespace
}  // namespace tervane
