// The connection manager over loopback: framing and batching, the ends of a
// transfer and the timers (sweep, login deadline, the pause after a failed
// login) against the real tervanesvr; the pool's limit, the stop and a
// restart in-process, where the connection count can be read.
#include "server/net/data_service.h"

#include <chrono>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"
#include "testing/test_recorders.h"
#include "testing/test_client.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"

namespace tervane {
namespace {

using testing::CountOf;
using testing::ReadPayload;
using testing::Reply;
using testing::TestClient;
using testing::TestServer;
using testing::TwoStringPayload;
using testing::UserList;
using testing::WritePayload;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";
constexpr char kClosed[] = "Server Close ClientSocket!\n";

std::vector<uint8_t> Frame(uint16_t code, const std::vector<uint8_t>& payload, uint32_t tag) {
  const uint32_t length = static_cast<uint32_t>(payload.size());
  return testing::Bytes().Raw(testing::RequestHeaderBytes(code, length, tag)).Raw(payload);
}

// One server, three stories. Frames split at every byte are joined;
// requests sent before any reply is read are served in order, the largest
// frame and a long reply included, each with exactly one reply (the handler
// logs what it serves: RequestHandlersTest). After a failed login the connection's next request
// is read only a second later, even one that came in the same segment, while
// the workers serve every other connection. The peer's reset and a mapped
// request announcing no payload (taken for a close, as it always was) each
// release the connection after their own line; the peer's close shows in
// ServiceHostTest's log.
TEST(DataServiceTest, FramingPipeliningTheLoginPauseAndTheEndsOfATransfer) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  const std::vector<uint8_t> frames[] = {Frame(OP_HEARTBEAT, {}, 0xABCD1234),
                                         Frame(OP_LOGIN, TwoStringPayload("alice", kPassword), 77)};
  for (const std::vector<uint8_t>& frame : frames) {
    for (uint8_t b : frame) {
      ASSERT_TRUE(client.SendBytes(&b, 1));
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    Reply reply;
    ASSERT_TRUE(client.ReadReply(&reply));
    EXPECT_EQ(reply.header.request_tag, LoadU32(frame.data() + kOffRequestTag));
    EXPECT_EQ(reply.result(), 0u);
  }
  uint32_t h = 0;
  ASSERT_EQ(client.CreateFile("p.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &h), 0u);

  constexpr uint32_t kPieces = 40;
  constexpr uint32_t kPiece = static_cast<uint32_t>(kMaxPayload - kDataRequestFixed);  // fills the frame
  const std::string data = testing::PatternBytes(uint64_t{kPieces} * kPiece, 3);
  testing::Bytes stream;
  uint32_t frames_sent = 0;
  for (uint32_t i = 0; i < kPieces; ++i) {
    const std::string_view piece = std::string_view(data).substr(uint64_t{i} * kPiece, kPiece);
    stream.Raw(Frame(OP_WRITE_FILE, WritePayload(h, uint64_t{i} * kPiece, piece), 9000 + frames_sent++));
    if (i % 5 == 0) stream.Raw(Frame(OP_HEARTBEAT, {}, 9000 + frames_sent++));
  }
  const uint32_t read_tag = 9000 + frames_sent++;
  stream.Raw(Frame(OP_READ_FILE, ReadPayload(h, 3 * kPiece, static_cast<uint32_t>(kMaxDataPiece)), read_tag));
  ASSERT_TRUE(client.SendBytes(stream.get().data(), stream.get().size()));

  for (uint32_t i = 0; i < frames_sent; ++i) {  // the read is last
    Reply reply;
    ASSERT_TRUE(client.ReadReply(&reply) && reply.header.request_tag == 9000 + i && reply.result() == 0) << i;
    EXPECT_EQ(std::string(reply.payload.begin(), reply.payload.end()),
              i + 1 == frames_sent ? data.substr(3 * kPiece, kMaxDataPiece) : "");
  }
  EXPECT_TRUE(client.StaysQuiet(100));

  TestClient eager;
  ASSERT_TRUE(eager.Connect(server.port()));
  const auto start = std::chrono::steady_clock::now();
  const std::vector<uint8_t> both =
      testing::Bytes().Raw(Frame(OP_LOGIN, TwoStringPayload("alice", "wrong"), 1)).Raw(Frame(OP_HEARTBEAT, {}, 2));
  ASSERT_TRUE(eager.SendBytes(both.data(), both.size()));
  Reply reply;
  ASSERT_TRUE(eager.ReadReply(&reply));
  EXPECT_EQ(reply.result(), RESULT_WRONG_PASSWORD);
  EXPECT_EQ(client.Heartbeat(), 0u);
  EXPECT_TRUE(eager.StaysQuiet(0));
  ASSERT_TRUE(eager.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 2u);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));

  for (int cause = 1; cause < 3; ++cause) {
    TestClient ending;
    ASSERT_TRUE(ending.Connect(server.port()));
    ASSERT_EQ(ending.OpenSession(), 0u);
    // Reset with half a header outstanding.
    const bool ended = cause == 1 ? ending.SendBytes(Frame(OP_HEARTBEAT, {}, 1).data(), 10) && ending.Reset()
                                  : ending.SendRequest(OP_GET_SPACE_INFO, nullptr, 0) && ending.WaitClosed(3000);
    ASSERT_TRUE(ended && server.WaitForLog(kClosed, cause)) << cause;
  }
  EXPECT_EQ(CountOf(server.Log(), std::string("Client is close socket!\n") + kClosed), 1);
  EXPECT_EQ(CountOf(server.Log(), std::string("GetQueuedCompletionStatus failed: 64\n") + kClosed), 1);
}

// A connection has its login time from its accept, heartbeats or not; one
// logged in stays until it falls silent for the idle limit.
TEST(DataServiceTest, TimersDropLateLoginsAndSilentConnectionsOnly) {
  TestServer server(UserList{{"alice", kPassword}, {"bob", kPassword}});
  ASSERT_TRUE(server.Start({"--login-ms", "500", "--idle-ms", "1000", "--sweep-ms", "50"})) << server.Errors();
  TestClient chatty, member, idle;
  for (TestClient* c : {&chatty, &member, &idle}) ASSERT_TRUE(c->Connect(server.port()));
  ASSERT_EQ(member.Login("alice", kPassword), 0u);
  ASSERT_EQ(idle.Login("bob", kPassword), 0u);
  bool dropped = false;
  bool idle_closed = false;
  for (int i = 0; i < 50 && !(dropped && idle_closed); ++i) {
    dropped = dropped || chatty.Heartbeat() == testing::kExchangeFailed;
    idle_closed = idle_closed || idle.WaitClosed(1);
    ASSERT_EQ(member.Heartbeat(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(dropped && idle_closed);
  ASSERT_TRUE(server.WaitForLog(kClosed, 2));
  const std::string log = server.Log();
  EXPECT_EQ(CountOf(log, "No login within 500 ms: [127.0.0.1] connection closed\n" + std::string(kClosed)), 1);
  EXPECT_EQ(CountOf(log, "Free SockResource: "), 1);
}

// In-process: a connection beyond the pool is closed at once, a stop
// releases every connection, a second stop does nothing, and the same
// service starts again.
TEST(DataServiceTest, ThePoolsLimitTheStopAndARestart) {
  const TestServer unstarted;  // for its directory and Config.cfg only
  AccountManager accounts;
  FileRegistry files;
  const ServiceSettings settings{
      .config_path = unstarted.config_path(), .listen_address = 0x7f000001, .port = 0, .max_connections = 2};
  testing::CapturedStdout quiet;
  DataService service(accounts, files);
  for (int run = 0; run < 2; ++run) {
    ASSERT_EQ(service.Start(settings), 0u);
    std::vector<TestClient> clients(2);
    for (TestClient& c : clients) ASSERT_TRUE(c.Connect(service.port()) && c.OpenSession() == 0);
    TestClient one_more;  // beyond the pool: closed at once
    ASSERT_TRUE(one_more.Connect(service.port()));
    EXPECT_TRUE(one_more.WaitClosed(3000));
    EXPECT_EQ(service.ConnectionCount(), 2u);
    EXPECT_TRUE(service.Stop());
    EXPECT_EQ(service.ConnectionCount(), 0u);
    for (TestClient& c : clients) EXPECT_TRUE(c.WaitClosed(2000));
    EXPECT_TRUE(service.Stop());
  }
}

}  // namespace
}  // namespace tervane
