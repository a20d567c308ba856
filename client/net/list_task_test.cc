#include "client/net/list_task.h"

#include <memory>
#include <string>

#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/result_codes.h"
#include "testing/fake_peer.h"
#include "testing/peer_session.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

using testing::FakePeer;
using testing::FakeListing;
using Answer = FakePeer::Answer;
using Request = FakePeer::Request;
using Lines = std::vector<std::string>;

// Serves `listing`; with `then`, list requests after the first `good` get
// that instead.
FakePeer::Script Serving(std::shared_ptr<FakeListing> listing, int good, FakePeer::Script then) {
  auto calls = std::make_shared<int>(0);
  return [listing, good, then, calls](const Request& r) {
    if (r.header.code != OP_LIST_DIRECTORY) return FakePeer::SessionAnswer(r);
    return then && ++*calls > good ? then(r) : listing->Answer(r);
  };
}

// A listing larger than the first 10240-byte buffer is collected on the
// second call into a buffer of the size the first pass learned; a failure
// shows its text on the status line and leaves the caller's listing alone.
TEST(ListTaskTest, ListingsAreCollectedAndFailuresShowTheirTexts) {
  auto refuse = [](uint32_t result) {
    return [result](const Request& r) { return Answer{FakePeer::Reply(r, result)}; };
  };
  struct Case {
    const char* what;
    size_t records;
    int good;  // list requests answered from the listing (without `then`: all, and how many)
    FakePeer::Script then;
    Lines shown;
  };
  // 400 records of 31 bytes, 8 to a chunk: 50 chunks, 12,800 bytes, walked twice.
  const Case cases[] = {
      {"one pass", 20, 3, nullptr, {}},
      {"empty", 0, 1, nullptr, {}},
      {"two passes", 400, 100, nullptr, {}},
      {"the first call failed with 11 (a foreign reply)", 400, 0, refuse(ERROR_BAD_FORMAT), {"ERROR_BAD_FORMAT"}},
      {"no such directory", 400, 0, refuse(RESULT_NO_SUCH_DIRECTORY), {}},
      {"the second call refused", 400, 50, refuse(ERROR_ACCESS_DENIED),
       {"获取文件列表错误[KOVA_SetCurDirectory Error:5]"}},
      {"the connection lost under the second call", 400, 50,
       [](const Request&) { return Answer{{}, true, false}; }, {"获取文件列表错误[KOVA_SetCurDirectory Error:13]"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    auto listing = std::make_shared<FakeListing>(FakeListing::Numbered(c.records, 20));
    testing::PeerSession f(Serving(listing, c.good, c.then));
    testing::RecordingStatus sink;
    std::vector<uint8_t> collected(3, 1);
    EXPECT_EQ(RunListTask(std::make_unique<ListTask>(ListTask{"\\", &sink, f.session, &collected})), 0u);
    EXPECT_EQ(sink.lines(), c.shown);
    EXPECT_EQ(collected, c.then ? std::vector<uint8_t>(3, 1) : listing->WholeListing(272));
    if (!c.then) {
      EXPECT_EQ(f.peer.CountOf(OP_LIST_DIRECTORY), static_cast<size_t>(c.good));
    }
  }
  EXPECT_EQ(RunListTask(nullptr), 0u);
}

}  // namespace
}  // namespace tervane
