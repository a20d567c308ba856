// The connection manager over loopback: framing, the pool limit, releases,
// the idle sweep. Most cases run the real tervanesvr; the in-process cases
// drive a DataService directly where a count of connections is wanted.
#include "server/net/data_service.h"

#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "testing/captured_stdout.h"
#include "testing/test_client.h"
#include "testing/test_server.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::CountOf;
using testing::Reply;
using testing::TestClient;
using testing::TestServer;
using testing::UserList;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";

std::vector<uint8_t> Header(uint16_t code, uint32_t payload_length, uint32_t tag) {
  std::vector<uint8_t> h(kHeaderSize);
  EncodeFrameHeader(MakeRequestHeader(code, payload_length, tag), h.data());
  return h;
}

TEST(DataServiceTest, AHeaderSentOneByteAtATimeIsJoinedAndAnsweredOnce) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  std::vector<uint8_t> h = Header(OP_HEARTBEAT, 0, 0xABCD1234);
  for (uint8_t b : h) {
    ASSERT_TRUE(client.SendBytes(&b, 1));
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  Reply reply;
  ASSERT_TRUE(client.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 0xABCD1234u);
  EXPECT_EQ(reply.header.direction, kDirectionReply);
  EXPECT_EQ(reply.header.code, OP_HEARTBEAT);
  EXPECT_EQ(reply.payload.size(), 0u);

  // A request with a payload split at every byte, header and payload alike.
  std::vector<uint8_t> login(300);
  login.resize(EncodeTwoStringRequest("alice", kPassword, login.data(), login.size()));
  std::vector<uint8_t> frame = Header(OP_LOGIN, static_cast<uint32_t>(login.size()), 77);
  frame.insert(frame.end(), login.begin(), login.end());
  for (uint8_t b : frame) ASSERT_TRUE(client.SendBytes(&b, 1));
  ASSERT_TRUE(client.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 77u);
  EXPECT_EQ(reply.result(), 0u);
  EXPECT_TRUE(client.StaysQuiet(100));  // exactly one reply each
}

// A client that sends many requests before reading any reply: each is
// served in order with exactly one reply, long payloads and long replies
// included, and logged as if sent one by one.
TEST(DataServiceTest, PipelinedRequestsAreServedInOrderOneReplyEach) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_EQ(client.Login("alice", kPassword), 0u);
  uint32_t h = 0;
  ASSERT_EQ(client.CreateFile("p.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &h),
            0u);

  constexpr uint32_t kPieces = 40;
  auto pattern = [](uint64_t at) { return static_cast<uint8_t>(at * 7 + (at >> 16)); };
  std::vector<uint8_t> stream;
  std::vector<std::pair<uint32_t, uint16_t>> sent;  // tag and code, in order
  auto add = [&](uint16_t code, const std::vector<uint8_t>& payload) {
    const uint32_t tag = 9000 + static_cast<uint32_t>(sent.size());
    const std::vector<uint8_t> header = Header(code, static_cast<uint32_t>(payload.size()), tag);
    stream.insert(stream.end(), header.begin(), header.end());
    stream.insert(stream.end(), payload.begin(), payload.end());
    sent.emplace_back(tag, code);
  };
  DataRequest req;
  req.handle = h;
  req.count = static_cast<uint32_t>(kMaxDataPiece);
  for (uint32_t i = 0; i < kPieces; ++i) {
    req.offset = uint64_t{i} * kMaxDataPiece;
    std::vector<uint8_t> write(kDataRequestFixed + kMaxDataPiece);
    EncodeDataRequestFields(req, write.data());
    for (size_t k = 0; k < kMaxDataPiece; ++k) write[kDataRequestFixed + k] = pattern(req.offset + k);
    add(OP_WRITE_FILE, write);
    if (i % 5 == 0) add(OP_HEARTBEAT, {});
  }
  req.offset = 3 * kMaxDataPiece;
  std::vector<uint8_t> read(kDataRequestFixed);
  EncodeDataRequestFields(req, read.data());
  add(OP_READ_FILE, read);
  std::vector<uint8_t> handle8(8);
  EncodeHandleRequest(h, handle8.data(), handle8.size());
  add(OP_GET_FILE_SIZE, handle8);
  add(OP_CLOSE_FILE, handle8);
  ASSERT_TRUE(client.SendBytes(stream.data(), stream.size()));

  for (const auto& [tag, code] : sent) {
    Reply reply;
    ASSERT_TRUE(client.ReadReply(&reply)) << tag;
    ASSERT_EQ(reply.header.request_tag, tag);
    ASSERT_EQ(reply.result(), 0u) << tag;
    if (code == OP_READ_FILE) {
      ASSERT_EQ(reply.payload.size(), kMaxDataPiece);
      for (size_t k = 0; k < kMaxDataPiece; ++k) ASSERT_EQ(reply.payload[k], pattern(req.offset + k)) << k;
    } else if (code == OP_GET_FILE_SIZE) {
      uint64_t size = 0;
      ASSERT_TRUE(DecodeU64Reply(reply.payload.data(), reply.payload.size(), &size));
      EXPECT_EQ(size, uint64_t{kPieces} * kMaxDataPiece);
    } else {
      EXPECT_TRUE(reply.payload.empty());
    }
  }
  EXPECT_TRUE(client.StaysQuiet(100));
  EXPECT_EQ(CountOf(server.Log(), "[写文件] Result: 0\n"), static_cast<int>(kPieces));
  EXPECT_EQ(CountOf(server.Log(), "[心跳包]\n"), static_cast<int>(kPieces / 5));
}

TEST(DataServiceTest, UnknownCodesAreAnsweredWithZeroAndTheConnectionGoesOn) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  Reply reply;
  ASSERT_TRUE(client.Exchange(600, {}, &reply));
  EXPECT_EQ(reply.result(), 0u);
  EXPECT_EQ(reply.header.payload_length, 0u);
  EXPECT_EQ(client.Heartbeat(), 0u);

  // A header-only request announcing a payload: the announced bytes are not
  // read as payload; here they are a whole heartbeat, answered in turn.
  std::vector<uint8_t> frame = Header(OP_HEARTBEAT, kHeaderSize, 501);
  std::vector<uint8_t> next = Header(OP_HEARTBEAT, 0, 502);
  frame.insert(frame.end(), next.begin(), next.end());
  ASSERT_TRUE(client.SendBytes(frame.data(), frame.size()));
  ASSERT_TRUE(client.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 501u);
  ASSERT_TRUE(client.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 502u);
  EXPECT_EQ(client.Heartbeat(), 0u);
  // Unknown codes write no log line.
  EXPECT_EQ(CountOf(server.Log(), "[心跳包]\n"), 4);
  EXPECT_EQ(server.LogLines().size(), 7u);
}

TEST(DataServiceTest, ThePoolHoldsMaxConnectionsRefusesOneMoreAndReusesAFreedSlot) {
  constexpr int kSlots = 30;
  TestServer server;
  ASSERT_TRUE(server.Start({"--max-connections", std::to_string(kSlots)})) << server.Errors();
  std::vector<TestClient> clients(kSlots);
  for (TestClient& c : clients) {
    ASSERT_TRUE(c.Connect(server.port()));
    ASSERT_EQ(c.OpenSession(), 0u);
  }
  TestClient one_more;
  ASSERT_TRUE(one_more.Connect(server.port()));
  EXPECT_TRUE(one_more.WaitClosed(3000));
  EXPECT_EQ(CountOf(server.Log(), "连接文件服务器!\n"), kSlots);
  for (TestClient& c : clients) EXPECT_EQ(c.Heartbeat(), 0u);

  clients[3].Close();
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));
  TestClient late;
  ASSERT_TRUE(late.Connect(server.port()));
  EXPECT_EQ(late.OpenSession(), 0u);
  EXPECT_EQ(CountOf(server.Log(), "连接文件服务器!\n"), kSlots + 1);
}

TEST(DataServiceTest, AnOversizeFrameReleasesOnlyItsOwnConnection) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient good;
  ASSERT_TRUE(good.Connect(server.port()));
  ASSERT_EQ(good.Login("alice", kPassword), 0u);
  uint32_t handle = 0;
  ASSERT_EQ(good.CreateFile("big.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS,
                            &handle),
            0u);

  TestClient bad;
  ASSERT_TRUE(bad.Connect(server.port()));
  std::vector<uint8_t> h = Header(OP_WRITE_FILE, static_cast<uint32_t>(kMaxPayload + 1), 9);
  ASSERT_TRUE(bad.SendBytes(h.data(), h.size()));
  EXPECT_TRUE(bad.WaitClosed(3000));
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));

  // The largest frame that fits is served: a write of 65,744 bytes.
  const uint32_t count = static_cast<uint32_t>(kMaxPayload - kDataRequestFixed);
  std::vector<uint8_t> write(kMaxPayload);
  DataRequest req;
  req.handle = handle;
  req.count = count;
  EncodeDataRequestFields(req, write.data());
  for (uint32_t i = 0; i < count; ++i) write[kDataRequestFixed + i] = static_cast<uint8_t>(i * 7);
  Reply reply;
  ASSERT_TRUE(good.Exchange(OP_WRITE_FILE, write, &reply));
  EXPECT_EQ(reply.result(), 0u);
  std::vector<uint8_t> size_req(8);
  EncodeHandleRequest(handle, size_req.data(), size_req.size());
  ASSERT_TRUE(good.Exchange(OP_GET_FILE_SIZE, size_req, &reply));
  ASSERT_EQ(reply.payload.size(), 8u);
  EXPECT_EQ(LoadU64(reply.payload.data()), count);
}

TEST(DataServiceTest, AMappedRequestWithoutPayloadEndsItsConnection) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_TRUE(client.SendRequest(OP_GET_SPACE_INFO, nullptr, 0));
  EXPECT_TRUE(client.WaitClosed(3000));
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));
  EXPECT_EQ(CountOf(server.Log(), "Client is close socket!\nServer Close ClientSocket!\n"), 1);
}

TEST(DataServiceTest, APeerResetIsLoggedAndReleased) {
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient client;
  ASSERT_TRUE(client.Connect(server.port()));
  ASSERT_EQ(client.OpenSession(), 0u);
  // Half a header outstanding, then an abortive close: the server sees a reset.
  std::vector<uint8_t> h = Header(OP_HEARTBEAT, 0, 1);
  ASSERT_TRUE(client.SendBytes(h.data(), 10));
  ASSERT_TRUE(client.Reset());
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n"));
  EXPECT_EQ(CountOf(server.Log(), "GetQueuedCompletionStatus failed: 64\nServer Close ClientSocket!\n"), 1);
}

TEST(DataServiceTest, FilesLeftOpenByADroppedClientOpenAgainAtOnce) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  {
    TestClient first;
    ASSERT_TRUE(first.Connect(server.port()));
    ASSERT_EQ(first.Login("alice", kPassword), 0u);
    uint32_t handle = 0;
    ASSERT_EQ(first.CreateFile("Mon\\C\\a.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
    ASSERT_EQ(first.CreateFile("Mon\\C\\b.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
    // Still held: a second connection of another session cannot log in as alice.
    TestClient second;
    ASSERT_TRUE(second.Connect(server.port()));
    EXPECT_EQ(second.Login("alice", kPassword), RESULT_ALREADY_LOGGED_IN);
  }
  ASSERT_TRUE(server.WaitForLog("Server Close ClientSocket!\n", 2));
  TestClient next;
  ASSERT_TRUE(next.Connect(server.port()));
  ASSERT_EQ(next.Login("alice", kPassword), 0u);
  uint32_t handle = 0;
  EXPECT_EQ(next.CreateFile("Mon\\C\\a.txt", GENERIC_WRITE, 0, OPEN_EXISTING, &handle), 0u);
  EXPECT_EQ(next.CreateFile("Mon\\C\\b.txt", GENERIC_WRITE, 0, OPEN_EXISTING, &handle), 0u);
}

TEST(DataServiceTest, AForeignHandleIsRefusedAndItsFileUntouched) {
  TestServer server(UserList{{"alice", kPassword}, {"bob", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient alice;
  TestClient bob;
  ASSERT_TRUE(alice.Connect(server.port()));
  ASSERT_TRUE(bob.Connect(server.port()));
  ASSERT_EQ(alice.Login("alice", kPassword), 0u);
  ASSERT_EQ(bob.Login("bob", kPassword), 0u);
  uint32_t h = 0;
  ASSERT_EQ(alice.CreateFile("secret.txt", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ,
                             CREATE_ALWAYS, &h),
            0u);
  std::vector<uint8_t> write(kDataRequestFixed + 5);
  DataRequest req;
  req.handle = h;
  req.count = 5;
  EncodeDataRequestFields(req, write.data());
  std::memcpy(write.data() + kDataRequestFixed, "hello", 5);
  Reply reply;
  ASSERT_TRUE(alice.Exchange(OP_WRITE_FILE, write, &reply));
  ASSERT_EQ(reply.result(), 0u);

  std::vector<uint8_t> read(kDataRequestFixed);
  EncodeDataRequestFields(req, read.data());
  std::vector<uint8_t> handle8(8);
  EncodeHandleRequest(h, handle8.data(), handle8.size());
  std::vector<uint8_t> sparse(4);
  EncodeSparseRequest(h, sparse.data(), sparse.size());
  std::vector<uint8_t> set_size(16);
  EncodeSetFileSizeRequest(h, 0, set_size.data(), set_size.size());
  std::vector<uint8_t> set_time(32);
  FileTimes times;
  times.last_write = 1;
  EncodeSetFileTimeRequest(h, times, set_time.data(), set_time.size());
  const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> foreign = {
      {OP_READ_FILE, read},          {OP_WRITE_FILE, write},     {OP_GET_FILE_SIZE, handle8},
      {OP_GET_FILE_TIME, handle8},   {OP_SET_FILE_SIZE, set_size}, {OP_SET_FILE_TIME, set_time},
      {OP_SET_SPARSE, sparse},
  };
  for (const auto& [code, payload] : foreign) {
    ASSERT_TRUE(bob.Exchange(code, payload, &reply)) << code;
    EXPECT_EQ(reply.result(), ERROR_INVALID_HANDLE) << code;
    EXPECT_EQ(reply.payload.size(), 0u) << code;
  }
  // Closing it from bob answers 0 and closes nothing.
  EXPECT_EQ(bob.CloseFile(h), 0u);
  ASSERT_TRUE(alice.Exchange(OP_READ_FILE, read, &reply));
  ASSERT_EQ(reply.result(), 0u);
  EXPECT_EQ(std::string(reply.payload.begin(), reply.payload.end()), "hello");
}

TEST(DataServiceTest, TheSweepDropsIdleClientsAndKeepsHeartbeatingOnes) {
  TestServer server;
  ASSERT_TRUE(server.Start({"--idle-ms", "400", "--sweep-ms", "100"})) << server.Errors();
  TestClient idle;
  TestClient busy;
  ASSERT_TRUE(idle.Connect(server.port()));
  ASSERT_TRUE(busy.Connect(server.port()));
  ASSERT_EQ(idle.OpenSession(), 0u);
  ASSERT_EQ(busy.OpenSession(), 0u);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
  while (std::chrono::steady_clock::now() < deadline) {
    ASSERT_EQ(busy.Heartbeat(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(idle.WaitClosed(2000));
  EXPECT_EQ(busy.Heartbeat(), 0u);
  EXPECT_EQ(CountOf(server.Log(), "Free SockResource: "), 1);
  EXPECT_EQ(CountOf(server.Log(), "Server Close ClientSocket!\n"), 1);
}

// A connection has its login time from its accept: silent or sending
// heartbeats, it is dropped once that time is up; one that logged in stays.
TEST(DataServiceTest, ConnectionsThatDoNotLogInInTimeAreDropped) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start({"--login-ms", "300"})) << server.Errors();
  TestClient silent;
  TestClient chatty;
  TestClient member;
  ASSERT_TRUE(silent.Connect(server.port()));
  ASSERT_TRUE(chatty.Connect(server.port()));
  ASSERT_TRUE(member.Connect(server.port()));
  ASSERT_EQ(member.Login("alice", kPassword), 0u);
  bool dropped = false;
  for (int i = 0; i < 100 && !dropped; ++i) {
    dropped = chatty.Heartbeat() == testing::kExchangeFailed;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  EXPECT_TRUE(dropped);
  EXPECT_TRUE(silent.WaitClosed(5000));
  EXPECT_EQ(member.Heartbeat(), 0u);
  EXPECT_EQ(CountOf(server.Log(), "No login within 300 ms: [127.0.0.1] connection closed\nServer Close ClientSocket!\n"),
            2);
}

// After a failed login the connection's next request is read only a second
// later, while the workers serve every other connection meanwhile.
TEST(DataServiceTest, AFailedLoginDelaysOnlyItsOwnConnection) {
  TestServer server(UserList{{"alice", kPassword}});
  ASSERT_TRUE(server.Start()) << server.Errors();
  TestClient guessers[2];
  TestClient other;
  ASSERT_TRUE(other.Connect(server.port()));
  const auto sent = std::chrono::steady_clock::now();
  for (TestClient& g : guessers) {
    ASSERT_TRUE(g.Connect(server.port()));
    ASSERT_EQ(g.Login("alice", "wrong"), RESULT_WRONG_PASSWORD);
  }
  // One tries again, the other asks for anything: both wait.
  std::vector<uint8_t> login(300);
  login.resize(EncodeTwoStringRequest("alice", kPassword, login.data(), login.size()));
  ASSERT_TRUE(guessers[0].SendRequest(OP_LOGIN, login));
  ASSERT_TRUE(guessers[1].SendRequest(OP_HEARTBEAT, nullptr, 0));
  EXPECT_EQ(other.Heartbeat(), 0u);
  EXPECT_TRUE(guessers[0].StaysQuiet(0));
  EXPECT_TRUE(guessers[1].StaysQuiet(0));
  Reply reply;
  ASSERT_TRUE(guessers[0].ReadReply(&reply));
  EXPECT_EQ(reply.result(), 0u);
  ASSERT_TRUE(guessers[1].ReadReply(&reply));
  EXPECT_EQ(reply.result(), 0u);
  EXPECT_GE(std::chrono::steady_clock::now() - sent, std::chrono::milliseconds(1000));

  // A request that came in one segment with the failed login, so that the
  // server has received it already, waits as well and is then answered.
  TestClient eager;
  ASSERT_TRUE(eager.Connect(server.port()));
  std::vector<uint8_t> wrong(300);
  wrong.resize(EncodeTwoStringRequest("alice", "wrong", wrong.data(), wrong.size()));
  std::vector<uint8_t> both = Header(OP_LOGIN, static_cast<uint32_t>(wrong.size()), 1);
  both.insert(both.end(), wrong.begin(), wrong.end());
  const std::vector<uint8_t> heartbeat = Header(OP_HEARTBEAT, 0, 2);
  both.insert(both.end(), heartbeat.begin(), heartbeat.end());
  const auto eager_sent = std::chrono::steady_clock::now();
  ASSERT_TRUE(eager.SendBytes(both.data(), both.size()));
  ASSERT_TRUE(eager.ReadReply(&reply));
  EXPECT_EQ(reply.result(), RESULT_WRONG_PASSWORD);
  ASSERT_TRUE(eager.ReadReply(&reply));
  EXPECT_EQ(reply.header.request_tag, 2u);
  EXPECT_GE(std::chrono::steady_clock::now() - eager_sent, std::chrono::milliseconds(1000));
  EXPECT_EQ(CountOf(server.Log(), "Login failed: [127.0.0.1] name [alice] Result: 13570\n"), 3);
}

TEST(DataServiceTest, ManyClientsAtOnceWhileTheSweepRuns) {
  UserList users;
  for (int i = 0; i < 6; ++i) users.emplace_back("user" + std::to_string(i), kPassword);
  TestServer server(users);
  // The sweep scans every few milliseconds while the workers serve; silent
  // connections are dropped meanwhile.
  ASSERT_TRUE(server.Start({"--idle-ms", "300", "--sweep-ms", "5"})) << server.Errors();
  std::atomic<int> failures{0};
  std::vector<std::thread> threads;
  for (int i = 0; i < 6; ++i) {
    threads.emplace_back([&, i] {
      TestClient c;
      if (!c.Connect(server.port()) || c.Login("user" + std::to_string(i), kPassword) != 0) {
        ++failures;
        return;
      }
      uint32_t h = 0;
      if (c.CreateFile("f.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, &h) != 0) {
        ++failures;
        return;
      }
      for (int n = 0; n < 60; ++n) {
        std::string data(100 + n, static_cast<char>('a' + i));
        std::vector<uint8_t> write(kDataRequestFixed + data.size());
        DataRequest req;
        req.handle = h;
        req.offset = static_cast<uint64_t>(n) * 1000;
        req.count = static_cast<uint32_t>(data.size());
        EncodeDataRequestFields(req, write.data());
        std::memcpy(write.data() + kDataRequestFixed, data.data(), data.size());
        Reply reply;
        if (!c.Exchange(OP_WRITE_FILE, write, &reply) || reply.result() != 0) ++failures;
        std::vector<uint8_t> read(kDataRequestFixed);
        EncodeDataRequestFields(req, read.data());
        if (!c.Exchange(OP_READ_FILE, read, &reply) || reply.result() != 0 ||
            std::string(reply.payload.begin(), reply.payload.end()) != data) {
          ++failures;
        }
      }
    });
  }
  // Meanwhile connections come and go, and some fall silent for the sweep.
  threads.emplace_back([&] {
    for (int n = 0; n < 10; ++n) {
      TestClient quick;
      if (!quick.Connect(server.port()) || quick.Heartbeat() != 0) ++failures;
      if (n % 3 == 0 && !quick.WaitClosed(3000)) ++failures;
    }
  });
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_GE(CountOf(server.Log(), "Free SockResource: "), 4);
  EXPECT_EQ(server.Stop(), 0);
}

// In-process: the service object itself, for the connection count.
class InProcessServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tervane_ds_XXXXXX";
    dir_ = ::mkdtemp(name);
    std::filesystem::create_directories(dir_ + "/share");
    std::ofstream(dir_ + "/Config.cfg", std::ios::binary) << "[SharePath]\r\n" << dir_ << "/share/\r\n";
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  ServiceSettings Settings() {
    ServiceSettings s;
    s.config_path = dir_ + "/Config.cfg";
    s.listen_address = 0x7f000001;
    s.port = 0;
    return s;
  }

  std::string dir_;
  AccountManager accounts_;
  FileRegistry files_;
};

TEST_F(InProcessServiceTest, StartServeAndStopReleaseEveryConnection) {
  testing::CapturedStdout quiet;
  DataService service(accounts_, files_);
  ASSERT_EQ(service.Start(Settings()), 0u);
  ASSERT_NE(service.port(), 0);
  std::vector<TestClient> clients(4);
  for (TestClient& c : clients) {
    ASSERT_TRUE(c.Connect(service.port()));
    ASSERT_EQ(c.OpenSession(), 0u);
  }
  EXPECT_EQ(service.ConnectionCount(), 4u);
  clients[0].Close();
  for (int i = 0; i < 200 && service.ConnectionCount() != 3; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  EXPECT_EQ(service.ConnectionCount(), 3u);
  EXPECT_TRUE(service.Stop());
  EXPECT_EQ(service.ConnectionCount(), 0u);
  for (size_t i = 1; i < clients.size(); ++i) EXPECT_TRUE(clients[i].WaitClosed(2000));
  EXPECT_TRUE(service.Stop());  // a second stop does nothing
}

TEST_F(InProcessServiceTest, AMissingConfigStartsNothing) {
  DataService service(accounts_, files_);
  ServiceSettings s = Settings();
  s.config_path = dir_ + "/missing.cfg";
  EXPECT_EQ(service.Start(s), RESULT_CONFIG_MISSING);
  EXPECT_FALSE(service.started());
  EXPECT_EQ(service.port(), 0);
}

}  // namespace
}  // namespace tervane
