#include "client/net/list_task.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/result_codes.h"
#include "testing/fake_peer.h"
#include "testing/peer_session.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

using testing::Bytes;
using testing::FakePeer;
using testing::FakeListing;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;
using Lines = std::vector<std::string>;

struct Fixture : testing::PeerSession {
  using PeerSession::PeerSession;
  uint32_t Run(std::vector<uint8_t>* listing = nullptr) {
    auto task = std::make_unique<ListTask>();
    task->directory_name = "\\";
    task->status = &sink;
    task->session = session;
    task->listing = listing;
    return RunListTask(std::move(task));
  }
  testing::RecordingStatus sink;
};

// Serves `listing`; list requests after the first `good` get `then` instead.
FakePeer::Script Serving(std::shared_ptr<FakeListing> listing, int good = 1 << 30,
                         std::function<Answer(const Request&)> then = nullptr) {
  auto calls = std::make_shared<int>(0);
  return [listing, good, then, calls](const Request& r) {
    if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
    return ++*calls > good ? then(r) : listing->Answer(r);
  };
}

// A listing larger than the first 10240-byte buffer is collected on the
// second call into a buffer of the size the first pass learned.
TEST(ListTaskTest, ListingsOfEverySizeAreCollected) {
  struct Case {
    size_t records;
    size_t list_requests;
  };
  // 400 records of 31 bytes, 8 to a chunk: 50 chunks, 12,800 bytes, walked twice.
  for (const Case& c : {Case{20, 3}, Case{0, 1}, Case{400, 100}}) {
    SCOPED_TRACE(c.records);
    auto listing = std::make_shared<FakeListing>(FakeListing::Numbered(c.records, c.records == 400 ? 20 : 17));
    const std::vector<uint8_t> whole = c.records == 0 ? std::vector<uint8_t>() : listing->WholeListing(272);
    Fixture f(Serving(listing));
    std::vector<uint8_t> collected(3, 1);
    EXPECT_EQ(f.Run(&collected), 0u);
    EXPECT_EQ(collected, whole);
    EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), c.list_requests);
    EXPECT_TRUE(f.sink.lines().empty());
  }
}

TEST(ListTaskTest, FailuresShowTheirTextsOnTheStatusLine) {
  auto big = [] { return std::make_shared<FakeListing>(FakeListing::Numbered(400, 20)); };
  auto refuse = [](uint32_t result) {
    return [result](const Request& r) { return Answer{FakePeer::Reply(r, result)}; };
  };
  struct Case {
    const char* what;
    FakePeer::Script script;
    Lines shown;
  };
  const Case cases[] = {
      {"a foreign reply",
       Serving(big(), 0,
               [](const Request& r) {
                 std::vector<uint8_t> reply = FakePeer::Reply(r, 0, Bytes().U32(0).U32(0));
                 StoreU32(reply.data() + kOffRequestTag, r.header.request_tag + 1000);
                 return Answer{reply};
               }),
       {"ERROR_BAD_FORMAT"}},
      {"no such directory", Serving(big(), 0, refuse(RESULT_NO_SUCH_DIRECTORY)), {}},
      {"the second call refused", Serving(big(), 50, refuse(ERROR_ACCESS_DENIED)),
       {"获取文件列表错误[KOVA_SetCurDirectory Error:5]"}},
      {"the connection lost under the second call",
       Serving(big(), 50, [](const Request&) { return Answer{{}, true, false}; }),
       {"获取文件列表错误[KOVA_SetCurDirectory Error:13]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Fixture f(c.script);
    std::vector<uint8_t> collected;
    EXPECT_EQ(f.Run(&collected), 0u);
    EXPECT_EQ(f.sink.lines(), c.shown);
    EXPECT_TRUE(collected.empty());
  }
  EXPECT_EQ(RunListTask(nullptr), 0u);
}

}  // namespace
}  // namespace tervane
