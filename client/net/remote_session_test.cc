#include "client/net/remote_session.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <thread>

#include "testing/fake_peer.h"
#include "testing/free_port.h"
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
using testing::OpenDescriptorCount;
using testing::PickFreePort;
using testing::TagTakenBetween;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

TEST(RemoteSessionTest, ConnectOpensTheSessionAndDisconnectClosesIt) {
  FakePeer peer([](const Request& r) { return FakePeer::SessionAnswer(r); });
  const uint32_t before = GetTickCount();
  RemoteSession* session = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  const uint32_t after = GetTickCount();
  ASSERT_NE(session, nullptr);
  EXPECT_EQ(session->server_session_value, 0x11223344u);
  EXPECT_EQ(session->server_address, htonl(INADDR_LOOPBACK));
  EXPECT_GE(session->socket, 0);
  EXPECT_EQ(session->reply_timeout_ms, kDefaultReplyTimeoutMs);

  EXPECT_EQ(KOVA_Disconnect(session), 0u);
  ASSERT_TRUE(peer.WaitForClientClose(2000));
  const auto requests = peer.Requests();
  ASSERT_EQ(requests.size(), 2u);
  const uint32_t open_tag = requests[0].header.request_tag;
  EXPECT_TRUE(TagTakenBetween(open_tag, before, after));
  EXPECT_EQ(requests[0].bytes, RequestHeaderBytes(OP_OPEN_SESSION, 0, open_tag));
  EXPECT_EQ(requests[1].bytes,
            RequestHeaderBytes(OP_CLOSE_SESSION, 0, requests[1].header.request_tag));
}

TEST(RemoteSessionTest, DisconnectIgnoresAFailedCloseAndStillFrees) {
  FakePeer peer([](const Request& r) {
    if (r.header.code == OP_OPEN_SESSION) return FakePeer::SessionAnswer(r);
    return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED), true, false};
  });
  RemoteSession* session = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  EXPECT_EQ(KOVA_Disconnect(session), 0u);  // LeakSanitizer sees a lost record
  EXPECT_EQ(peer.CountOf(OP_CLOSE_SESSION), 1u);
}

TEST(RemoteSessionTest, FailedConnectsLeaveNoSocketAndNoRecord) {
  const size_t open_before = OpenDescriptorCount();
  RemoteSession* session = reinterpret_cast<RemoteSession*>(0x1);

  // Nobody listening.
  EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, PickFreePort()), WSAECONNREFUSED);
  EXPECT_EQ(session, nullptr);

  // Not a dotted address: the connect step fails with a socket error.
  session = reinterpret_cast<RemoteSession*>(0x1);
  const uint32_t rc = KOVA_Connect("no.such.address", &session, PickFreePort());
  EXPECT_GE(rc, 10000u);
  EXPECT_LT(rc, 11100u);
  EXPECT_EQ(session, nullptr);

  EXPECT_EQ(KOVA_Connect(nullptr, &session), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(KOVA_Connect("127.0.0.1", nullptr), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(OpenDescriptorCount(), open_before);
}

TEST(RemoteSessionTest, RefusedOrForeignSessionOpenLeavesNothing) {
  const size_t open_before = OpenDescriptorCount();
  {
    FakePeer peer([](const Request& r) { return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED)}; });
    RemoteSession* session = nullptr;
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), ERROR_ACCESS_DENIED);
    EXPECT_EQ(session, nullptr);
    EXPECT_TRUE(peer.WaitForClientClose(2000));
  }
  {
    FakePeer peer([](const Request& r) {
      std::vector<uint8_t> reply = FakePeer::Reply(r, 0, Bytes().U32(7));
      StoreU32(reply.data() + kOffRequestTag, r.header.request_tag + 1);
      return Answer{reply};
    });
    RemoteSession* session = nullptr;
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), ERROR_BAD_FORMAT);
    EXPECT_EQ(session, nullptr);
    EXPECT_TRUE(peer.WaitForClientClose(2000));
  }
  {
    // A session-open reply announcing more than a small frame holds.
    FakePeer peer([](const Request& r) {
      return Answer{FakePeer::Reply(r, 0, std::vector<uint8_t>(1000, 0xAB))};
    });
    RemoteSession* session = nullptr;
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), ERROR_INVALID_DATA);
    EXPECT_EQ(session, nullptr);
  }
  EXPECT_EQ(OpenDescriptorCount(), open_before);
}

TEST(RemoteSessionTest, SessionOpenThatNeverComesTimesOutWithinTheConnectLimit) {
  FakePeer peer([](const Request&) { return Answer{{}, false, true}; });
  RemoteSession* session = nullptr;
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), WSAETIMEDOUT);
  const auto took = std::chrono::steady_clock::now() - start;
  EXPECT_EQ(session, nullptr);
  EXPECT_GE(took, std::chrono::milliseconds(kConnectTimeoutMs - 100));
  EXPECT_LT(took, std::chrono::milliseconds(kConnectTimeoutMs + 3000));
}

TEST(RemoteSessionTest, SendAllAndReceiveAllMoveWholeRangesAndReportClosing) {
  int fds[2];
  ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);
  std::vector<uint8_t> out(3 * 1024 * 1024);
  for (size_t i = 0; i < out.size(); ++i) out[i] = static_cast<uint8_t>(i * 7 + i / 251);
  std::vector<uint8_t> in(out.size());
  uint32_t receive_rc = 99;
  // The other end reads while we send: more than one socket buffer's worth
  // has to go through several short sends and receives.
  std::thread reader([&] { receive_rc = ReceiveAll(fds[1], in.data(), in.size()); });
  EXPECT_EQ(SendAll(fds[0], out.data(), out.size()), 0u);
  reader.join();
  EXPECT_EQ(receive_rc, 0u);
  EXPECT_EQ(in, out);

  // Fewer bytes than asked, then the peer closes: 13.
  ASSERT_EQ(SendAll(fds[0], out.data(), 10), 0u);
  close(fds[0]);
  EXPECT_EQ(ReceiveAll(fds[1], in.data(), 11), ERROR_INVALID_DATA);
  // Sending to a closed peer is a socket error, not a signal.
  EXPECT_EQ(SendAll(fds[1], out.data(), 10), WSAECONNRESET);
  close(fds[1]);
  EXPECT_EQ(SendAll(-1, out.data(), 1), WSAEBADF);
  EXPECT_EQ(ReceiveAll(-1, in.data(), 1), WSAEBADF);
  EXPECT_EQ(SendAll(-1, out.data(), 0), 0u);
}

// A reply that breaks the stream (cut short, late, another request's, or an
// error carrying a payload, whose result still counts) fails its call and
// closes the connection; every later call fails at once without a byte on
// the wire.
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
      {"closed before the reply", cut(0, false), ERROR_INVALID_DATA},
      {"closed inside the header", cut(5, false), ERROR_INVALID_DATA},
      {"closed a byte short", cut(27, false), ERROR_INVALID_DATA},
      {"half a header, then silence", cut(10, true), WSAETIMEDOUT},
      {"a stale reply's tag",
       [](const Request& r) {
         std::vector<uint8_t> reply = FakePeer::Reply(r, 0);
         StoreU32(reply.data() + kOffRequestTag, r.header.request_tag - 5);
         return Answer{reply};
       },
       ERROR_BAD_FORMAT},
      {"an error with a payload",
       [](const Request& r) { return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED, Bytes().U32(1))}; },
       ERROR_ACCESS_DENIED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    FakePeer peer([&c](const Request& r) {
      return r.header.code == OP_OPEN_SESSION ? FakePeer::SessionAnswer(r) : c.answer(r);
    });
    RemoteSession* session = nullptr;
    ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
    KOVA_SetReplyTimeout(session, 200);
    EXPECT_EQ(session->reply_timeout_ms, 200u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(KOVA_DeleteFile(session, "x"), c.code);
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took, std::chrono::milliseconds(3000));
    EXPECT_TRUE(c.code != WSAETIMEDOUT || took >= std::chrono::milliseconds(150));
    EXPECT_EQ(session->socket, -1);
    EXPECT_EQ(KOVA_Heartbeat(session), WSAENOTCONN);
    uint32_t attributes = 0;
    EXPECT_EQ(KOVA_GetFileAttributes(session, "a", &attributes), WSAENOTCONN);
    EXPECT_EQ(KOVA_Disconnect(session), 0u);
    EXPECT_EQ(peer.Requests().size(), 2u);  // the session open and the delete
  }
}

TEST(RemoteSessionTest, AbandonClosesOnceAndStartupCallsAreHarmless) {
  FakePeer peer([](const Request& r) { return FakePeer::SessionAnswer(r); });
  RemoteSession* session = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  EXPECT_EQ(KOVA_Heartbeat(session), 0u);
  KOVA_AbandonConnection(session);
  KOVA_AbandonConnection(session);
  KOVA_AbandonConnection(nullptr);
  EXPECT_TRUE(peer.WaitForClientClose(2000));
  EXPECT_EQ(KOVA_Heartbeat(session), WSAENOTCONN);
  KOVA_SetReplyTimeout(session, 0);
  EXPECT_EQ(session->reply_timeout_ms, 1u);
  EXPECT_EQ(KOVA_Disconnect(session), 0u);
  EXPECT_EQ(KOVA_Disconnect(nullptr), 0u);
  EXPECT_EQ(KOVA_NetStartup(), 0u);
  EXPECT_EQ(KOVA_NetCleanup(), 0u);
}

}  // namespace
}  // namespace tervane
