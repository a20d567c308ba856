#include "server/net/request_dispatcher.h"

#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/frame_header.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"
#include "testing/test_recorders.h"

namespace tervane {
namespace {

class RequestDispatcherTest : public ::testing::Test {
 protected:
  // A request header with every field the server must hand back unchanged
  // set to something recognisable.
  void PutHeader(uint16_t code, uint32_t payload_length) {
    FrameHeader h = MakeRequestHeader(code, payload_length, 0xCAFEF00D);
    h.reserved1 = 0x1234;
    h.reserved2 = 0x56;
    h.reserved3 = 0x789ABCDE;
    h.version = 0x0202;
    EncodeFrameHeader(h, c_.buffer);
    std::memcpy(request_, c_.buffer, kHeaderSize);
  }
  // The reply is built over the request and ready to send: every header
  // byte but direction, result and payload length as the request had it.
  void ExpectReply(uint32_t result, uint32_t length) {
    for (size_t i = 0; i < kHeaderSize; ++i) {
      if (i == kOffDirection || (i >= kOffResult && i < kOffRequestTag)) continue;
      EXPECT_EQ(c_.buffer[i], request_[i]) << "header byte " << i;
    }
    EXPECT_EQ(c_.buffer[kOffDirection], kDirectionReply);
    EXPECT_EQ(HeaderResult(c_.buffer), result);
    EXPECT_EQ(HeaderPayloadLength(c_.buffer), length);
    EXPECT_EQ(c_.stage, STAGE_REPLY);
    EXPECT_EQ(c_.io_kind, IO_SEND);
    EXPECT_EQ(c_.offset, 0u);
    EXPECT_EQ(c_.remaining, kHeaderSize + length);
  }

  ClientContext c_;
  AccountManager accounts_;
  FileRegistry files_;
  RequestDispatcher dispatcher_{accounts_, files_};
  uint8_t request_[kHeaderSize] = {};
};

// Session requests are answered from the header alone; a payload announced
// by one, or by an unknown code, is not read. Mapped codes ask for their
// payload, which must fit the buffer.
TEST_F(RequestDispatcherTest, SessionRequestsAreAnsweredFromTheHeaderMappedOnesReadTheirPayload) {
  testing::CapturedStdout out;
  const uint32_t before = GetTickCount();
  const struct {
    uint16_t code;
    uint32_t announced;
    uint32_t length;
    bool open;
  } rows[] = {{OP_OPEN_SESSION, 0, 4, true}, {OP_HEARTBEAT, 500, 0, true}, {OP_CLOSE_SESSION, 0, 0, false},
              {600, 12, 0, false}};
  for (const auto& r : rows) {
    PutHeader(r.code, r.announced);
    ASSERT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kSendReply) << r.code;
    ExpectReply(0, r.length);
    EXPECT_EQ(c_.session.open, r.open) << r.code;
    // The open is answered with the server's tick, taken now.
    if (r.code == OP_OPEN_SESSION) {
      EXPECT_LE(LoadU32(c_.payload()) - before, 5000u);
    }
  }
  out.Restore();
  EXPECT_EQ(out.Text(), "[打开会话]\n[心跳包]\n[关闭会话]\n");

  c_.last_activity = 0;
  PutHeader(OP_SET_SPARSE, 4);
  ASSERT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kReceivePayload);
  EXPECT_EQ(c_.stage, STAGE_SET_SPARSE);
  EXPECT_EQ(c_.io_kind, IO_RECEIVE);
  EXPECT_EQ(c_.offset, kHeaderSize);
  EXPECT_EQ(c_.remaining, 4u);
  EXPECT_NE(c_.last_activity.load(), 0u);

  PutHeader(OP_WRITE_FILE, static_cast<uint32_t>(kMaxPayload));
  EXPECT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kReceivePayload);
  EXPECT_EQ(c_.remaining, kMaxPayload);
  PutHeader(OP_WRITE_FILE, static_cast<uint32_t>(kMaxPayload + 1));
  EXPECT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kRelease);
  PutHeader(OP_LOGIN, 0xFFFFFFFFu);
  EXPECT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kRelease);
}

// Once a reply is out the next header is awaited, and the time the request
// took counts as activity. A payload runs the handler of its stage on the
// connection's session and buffer, the reply built over the request. A
// refused login delays the next request (not an unknown name, with which
// every first run begins) and the fifth refusal of any kind releases the
// connection with a line naming the peer. The handler's own line for each
// refusal is shown in RequestHandlersTest.
TEST_F(RequestDispatcherTest, AfterTheReplyRefusedLoginsAreDelayedAndTheFifthReleases) {
  testing::CapturedStdout out;
  PutHeader(OP_HEARTBEAT, 0);
  ASSERT_EQ(dispatcher_.OnHeader(c_), DispatchOutcome::kSendReply);
  c_.last_activity = 0;
  EXPECT_EQ(dispatcher_.OnReplySent(c_), DispatchOutcome::kReceiveHeader);
  EXPECT_NE(c_.last_activity.load(), 0u);
  EXPECT_TRUE(c_.stage == STAGE_HEADER && c_.io_kind == IO_RECEIVE && c_.offset == 0 && c_.remaining == kHeaderSize);

  c_.session.key = 9;
  c_.session.peer_address = htonl(0x7f000001);
  using enum DispatchOutcome;
  const struct {
    bool cut;  // the password loses its terminator: the payload does not decode
    uint32_t result;
    DispatchOutcome next;
  } logins[] = {{false, RESULT_NOT_LOGGED_IN, kReceiveHeader}, {true, ERROR_INVALID_PARAMETER, kReceiveHeaderLater},
                {false, RESULT_NOT_LOGGED_IN, kReceiveHeader}, {true, ERROR_INVALID_PARAMETER, kReceiveHeaderLater},
                {false, RESULT_NOT_LOGGED_IN, kRelease}};
  for (const auto& l : logins) {
    std::vector<uint8_t> login(200);
    login.resize(EncodeTwoStringRequest("mallory", "pw", login.data(), login.size()) - (l.cut ? 1 : 0));
    PutHeader(OP_LOGIN, static_cast<uint32_t>(login.size()));
    ASSERT_EQ(dispatcher_.OnHeader(c_), kReceivePayload);
    std::memcpy(c_.payload(), login.data(), login.size());
    ASSERT_EQ(dispatcher_.OnPayload(c_), kSendReply);
    ExpectReply(l.result, 0);
    EXPECT_EQ(dispatcher_.OnReplySent(c_), l.next) << l.cut;
  }
  out.Restore();
  EXPECT_TRUE(out.Text().ends_with("] Result: 13569\nLogin failed 5 times: [127.0.0.1] connection closed\n"))
      << out.Text();
}

}  // namespace
}  // namespace tervane
