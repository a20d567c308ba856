#include "client/net/list_task.h"

#include <mutex>
#include <string>

#include "testing/fake_peer.h"
#include "testing/fake_listing.h"
#include "testing/test_recorders.h"
#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::FakeListing;
using testing::RecordingStatus;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;

struct Fixture {
  explicit Fixture(FakePeer::Script script) : peer(std::move(script)) {
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  }
  ~Fixture() { KOVA_Disconnect(session); }
  uint32_t Run(const std::string& name, std::vector<uint8_t>* listing = nullptr) {
    auto task = std::make_unique<ListTask>();
    task->directory_name = name;
    task->status = &sink;
    task->session = session;
    task->listing = listing;
    return RunListTask(std::move(task));
  }
  FakePeer peer;
  RemoteSession* session = nullptr;
  RecordingStatus sink;
};

FakePeer::Script Serving(FakeListing* listing) {
  return [listing](const Request& r) {
    if (r.header.code == OP_LIST_DIRECTORY) return listing->Answer(r);
    return FakePeer::SessionAnswer(r);
  };
}

TEST(ListTaskTest, SmallOrEmptyListingIsCollectedInOnePass) {
  FakeListing listing(FakeListing::Numbered(20, 17));
  Fixture f(Serving(&listing));
  std::vector<uint8_t> collected;
  EXPECT_EQ(f.Run("\\", &collected), 0u);
  EXPECT_EQ(collected, listing.WholeListing(272));
  EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), 3u);
  EXPECT_TRUE(f.sink.lines().empty());
  EXPECT_EQ(LoadU16(f.peer.Requests().at(1).payload.data()), 1u);
  EXPECT_EQ(f.peer.Requests().at(1).payload.data()[6], '\\');

  // An empty directory hands on nothing.
  FakeListing empty({});
  Fixture g(Serving(&empty));
  collected.assign(3, 1);
  EXPECT_EQ(g.Run("empty", &collected), 0u);
  EXPECT_TRUE(collected.empty());
  EXPECT_TRUE(g.sink.lines().empty());
}

TEST(ListTaskTest, ListingLargerThan10240BytesSucceedsOnTheSecondCall) {
  // 400 records of 31 bytes, 8 to a chunk: 50 chunks, 12,800 bytes.
  FakeListing listing(FakeListing::Numbered(400, 20));
  const std::vector<uint8_t> whole = listing.WholeListing(272);
  ASSERT_EQ(whole.size(), 12800u);
  Fixture f(Serving(&listing));
  std::vector<uint8_t> collected;
  EXPECT_EQ(f.Run("big", &collected), 0u);
  EXPECT_TRUE(f.sink.lines().empty());
  // The first pass walks the whole listing to learn its size, the second
  // collects it into a buffer of exactly that size.
  EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), 100u);
  EXPECT_EQ(collected, whole);
}

TEST(ListTaskTest, FailuresShowTheirTextsOnTheStatusLine) {
  // A foreign reply.
  {
    Fixture f([](const Request& r) {
      if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
      std::vector<uint8_t> reply = FakePeer::Reply(r, 0, Bytes().U32(0).U32(0));
      StoreU32(reply.data() + kOffRequestTag, r.header.request_tag + 1000);
      return Answer{reply};
    });
    std::vector<uint8_t> collected;
    EXPECT_EQ(f.Run("\\", &collected), 0u);
    EXPECT_EQ(f.sink.lines(), std::vector<std::string>{"ERROR_BAD_FORMAT"});
    EXPECT_TRUE(collected.empty());
  }
  // Not logged in, or any other result: nothing shown.
  for (uint32_t result : {RESULT_NOT_LOGGED_IN, RESULT_NO_SUCH_DIRECTORY, ERROR_ACCESS_DENIED}) {
    Fixture f([result](const Request& r) {
      if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
      return Answer{FakePeer::Reply(r, result)};
    });
    EXPECT_EQ(f.Run("\\"), 0u);
    EXPECT_TRUE(f.sink.lines().empty()) << result;
  }
  // The second call with the grown buffer fails.
  {
    FakeListing listing(FakeListing::Numbered(400, 20));
    int calls = 0;
    Fixture f([&listing, &calls](const Request& r) {
      if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
      if (++calls > 50) return Answer{FakePeer::Reply(r, ERROR_ACCESS_DENIED)};
      return listing.Answer(r);
    });
    EXPECT_EQ(f.Run("big"), 0u);
    EXPECT_EQ(f.sink.lines(),
              std::vector<std::string>{"获取文件列表错误[KOVA_SetCurDirectory Error:5]"});
  }
  // The connection dropped under the second call: the code is a socket one.
  {
    FakeListing listing(FakeListing::Numbered(400, 20));
    int calls = 0;
    Fixture f([&listing, &calls](const Request& r) {
      if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
      if (++calls > 50) return Answer{{}, true, false};
      return listing.Answer(r);
    });
    EXPECT_EQ(f.Run("big"), 0u);
    EXPECT_EQ(f.sink.lines(),
              std::vector<std::string>{"获取文件列表错误[KOVA_SetCurDirectory Error:13]"});
  }
}

TEST(ListTaskTest, TaskWithoutSinkOrSessionEndsQuietly) {
  auto task = std::make_unique<ListTask>();
  task->directory_name = "\\";
  EXPECT_EQ(RunListTask(std::move(task)), 0u);  // no session: 87, shown nowhere
  EXPECT_EQ(RunListTask(nullptr), 0u);
}

}  // namespace
}  // namespace tervane
