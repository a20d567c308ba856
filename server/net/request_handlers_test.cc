// The request handlers in-process: a Session, a frame, and the store on a
// temporary share. What the store's own tests show (name rules, escapes,
// sharing, dispositions, the listing's layout) is not repeated here; these
// show what the handlers add: decoding, the session's handles and login
// state, the reply payload and the log line.
#include "server/net/request_handlers.h"

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"
#include "testing/test_client.h"
#include "testing/test_recorders.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;
using testing::CreatePayload;
using testing::ListPayload;
using testing::PathPayload;
using testing::ReadPayload;
using testing::TwoStringPayload;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";

class RequestHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_.WriteFile("Config.cfg", "[SharePath]\r\n" + dir_.At("share") + "/\r\n[User]\r\nalice\r\n" + kPassword +
                                     "\r\n[User]\r\nbob\r\n" + kPassword + "\r\n");
    uint32_t max_connections = 0;
    ASSERT_EQ(accounts_.LoadAccounts(dir_.At("Config.cfg"), &max_connections), 0u);
    alice_.key = 1;
    ASSERT_EQ(Call(OP_LOGIN, TwoStringPayload("alice", kPassword)), 0u);
    log_.clear();
  }

  // One request in `session` (alice's by default): its result; the reply
  // payload in reply_, the log lines appended to log_.
  Result Call(uint16_t code, const Bytes& payload, Session* session = nullptr) {
    if (payload.size() > kMaxPayload) ADD_FAILURE() << "a payload beyond the frame";
    EncodeFrameHeader(MakeRequestHeader(code, static_cast<uint32_t>(payload.size()), 7), buffer_);
    std::copy(payload.begin(), payload.end(), buffer_ + kHeaderSize);
    testing::CapturedStdout out;
    const HandlerReply r = handlers_.Handle(MapRequestCode(code), session ? *session : alice_, Frame(buffer_));
    out.Restore();
    log_ += out.Text();
    reply_.assign(buffer_ + kHeaderSize, buffer_ + kHeaderSize + (r.result.ok() ? r.length : 0));
    return r.result;
  }
  uint32_t Open(std::string_view path, Session* s = nullptr) {
    EXPECT_EQ(Call(OP_CREATE_FILE, CreatePayload(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS), s), 0u) << path;
    return reply_.size() == 8 ? LoadU32(reply_.data()) : 0;
  }
  std::string Home(const std::string& rel = "") const { return dir_.At("share/alice/" + rel); }

  testing::TempDir dir_;
  AccountManager accounts_;
  FileRegistry files_;  // closes what a test leaves open
  RequestHandlers handlers_{accounts_, files_};
  Session alice_;
  alignas(8) uint8_t buffer_[kFrameBufferSize] = {};
  Bytes reply_;
  std::string log_;
};

TEST_F(RequestHandlersTest, EveryPayloadItsDecoderRefusesIs87AndChangesNothing) {
  int mapped = 0;
  for (uint16_t code = OP_CREATE_FILE; code <= OP_SET_SPACE_INFO; ++code) {
    if (MapRequestCode(code) == STAGE_NOT_MAPPED || code == OP_QUERY_DIRECTORY) continue;
    EXPECT_EQ(Call(code, Bytes{'x'}), ERROR_INVALID_PARAMETER) << code;
    ++mapped;
  }
  EXPECT_EQ(mapped, 20);
  // Payloads that decode but ask for too much: a read over 64 KiB, a write
  // whose count exceeds the data that came with it.
  const uint32_t h = Open("d.bin");
  EXPECT_EQ(Call(OP_READ_FILE, ReadPayload(h, 0, kMaxReadCount + 1)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Call(OP_WRITE_FILE, testing::Bytes().Raw(ReadPayload(h, 0, 4)).Str("abc")), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(fs::file_size(Home("d.bin")), 0u);
  EXPECT_FALSE(alice_.registered);
  EXPECT_EQ(handlers_.Handle(STAGE_REPLY, alice_, Frame(buffer_)).result, ERROR_INVALID_PARAMETER);
}

// One registration per session (a refused one does not use it up); a home
// already on disk is named in the log; a failed login is logged with the
// peer's address and the name, and only a successful one logs the session in.
TEST_F(RequestHandlersTest, RegistrationAndLogin) {
  Session s;
  s.key = 2;
  s.peer_address = htonl(0x7f000001);
  dir_.MakeDir("share/erin");
  EXPECT_EQ(Call(OP_REGISTER_USER, TwoStringPayload("erin", kPassword), &s), RESULT_USER_EXISTS);
  EXPECT_EQ(Call(OP_REGISTER_USER, TwoStringPayload("Carol", kPassword), &s), 0u);
  EXPECT_TRUE(s.registered);
  EXPECT_EQ(Call(OP_REGISTER_USER, TwoStringPayload("Dave", kPassword), &s), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(dir_.Exists("share/Dave"));
  EXPECT_EQ(Call(OP_LOGIN, TwoStringPayload("Carol", "wrong"), &s), RESULT_WRONG_PASSWORD);
  // A name that is not text is logged as bytes.
  EXPECT_EQ(Call(OP_LOGIN, TwoStringPayload("\xFF\x01x", kPassword), &s), RESULT_NOT_LOGGED_IN);
  EXPECT_FALSE(s.logged_in);
  EXPECT_EQ(Call(OP_LOGIN, TwoStringPayload("Carol", kPassword), &s), 0u);
  EXPECT_TRUE(s.logged_in);
  EXPECT_EQ(log_, "[注册用户] 目录已存在:[" + dir_.At("share/erin") +
                      "] Result: 13568\n"
                      "Registration refused: [127.0.0.1] name [Dave], one registration per connection\n"
                      "Login failed: [127.0.0.1] name [Carol] Result: 13570\n"
                      "Login failed: [127.0.0.1] name [??x] Result: 13569\n");
}

TEST_F(RequestHandlersTest, CreateFileRepliesTheHandleAndHoldsIt) {
  // A path ending in "|" makes the directories only: no handle.
  EXPECT_EQ(Call(OP_CREATE_FILE, CreatePayload("Mon\\C\\|", GENERIC_WRITE, 0, CREATE_ALWAYS)), 0u);
  EXPECT_TRUE(reply_.empty());
  EXPECT_TRUE(fs::is_directory(Home("Mon/C")));
  EXPECT_EQ(Call(OP_CREATE_FILE, CreatePayload(std::string(kMaxPath, 'p'), GENERIC_WRITE, 0, CREATE_ALWAYS)),
            ERROR_FILENAME_EXCED_RANGE);
  const uint32_t share = FILE_SHARE_READ | FILE_SHARE_WRITE;
  ASSERT_EQ(Call(OP_CREATE_FILE, CreatePayload("Mon\\C\\a.txt", GENERIC_WRITE, share, CREATE_ALWAYS)), 0u);
  ASSERT_EQ(reply_.size(), 8u);
  EXPECT_TRUE(alice_.open_files.Contains(LoadU32(reply_.data())));
  EXPECT_EQ(LoadU32(reply_.data() + 4), share);  // the request's share field, left in place
  EXPECT_TRUE(fs::is_regular_file(Home("Mon/C/a.txt")));
  EXPECT_EQ(log_, "[打开文件] Result: 0\n[打开文件] Result: 206\n[打开文件] Result: 0\n");
  // The seventeenth file is refused, and the handle just opened for it closed again.
  for (int i = 1; i < 16; ++i) Open("f" + std::to_string(i));
  EXPECT_EQ(Call(OP_CREATE_FILE, CreatePayload("f16", GENERIC_WRITE, 0, CREATE_ALWAYS)), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(files_.OpenCount(), 16u);
}

// The handle requests on the session's own handle, and on one another
// session opened: refused (close answers 0) and the file left alone.
TEST_F(RequestHandlersTest, HandleRequestsActOnlyOnTheSessionsOwnHandles) {
  Session bob;
  bob.key = 2;
  ASSERT_EQ(Call(OP_LOGIN, TwoStringPayload("bob", kPassword), &bob), 0u);
  const uint32_t theirs = Open("b.bin", &bob);
  const uint32_t mine = Open("a.bin");
  const std::string text = testing::PatternBytes(kMaxReadCount, 1);
  log_.clear();
  for (uint32_t h : {theirs, mine}) {
    const Result want = h == mine ? Result() : Result(ERROR_INVALID_HANDLE);
    EXPECT_EQ(Call(OP_WRITE_FILE, testing::WritePayload(h, 0, text)), want);
    EXPECT_EQ(Call(OP_SET_FILE_TIME, testing::Bytes().U32(h).U32(0).U64(1).U64(2).U64(3)), want);
    EXPECT_EQ(Call(OP_SET_SPARSE, testing::Bytes().U32(h)), want);
    EXPECT_EQ(Call(OP_GET_FILE_TIME, testing::Bytes().U32(h)), want);
    EXPECT_EQ(reply_.size(), h == mine ? 24u : 0u);
    EXPECT_EQ(Call(OP_READ_FILE, ReadPayload(h, 0, kMaxReadCount)), want);
    EXPECT_EQ(std::string(reply_.begin(), reply_.end()), h == mine ? text.substr(0, kMaxReadCount) : "");
    EXPECT_EQ(Call(OP_SET_FILE_SIZE, testing::SetSizePayload(h, 0x100000005)), want);
    EXPECT_EQ(Call(OP_GET_FILE_SIZE, testing::Bytes().U32(h)), want);
    EXPECT_EQ(reply_, h == mine ? Bytes({5, 0, 0, 0, 1, 0, 0, 0}) : Bytes());  // sparse beyond 4 GiB
    EXPECT_EQ(Call(OP_CLOSE_FILE, testing::Bytes().U32(h)), 0u);
  }
  EXPECT_EQ(log_, "[写文件] Result: 6\n[设置文件时间] Result: 6\n[设置稀疏文件] \n[得到文件时间] Result: 6\n"
                  "[读文件] Result: 6\n[设置文件大小] Result: 6\n[得到文件大小] Result: 6\n[关闭文件] \n"
                  "[写文件] Result: 0\n[设置文件时间] Result: 0\n[设置稀疏文件] \n[得到文件时间] Result: 0\n"
                  "[读文件] Result: 0\n[设置文件大小] Result: 0\n[得到文件大小] Result: 0\n[关闭文件] \n");
  EXPECT_EQ(fs::file_size(dir_.At("share/bob/b.bin")), 0u);
  EXPECT_TRUE(bob.open_files.Contains(theirs));
  EXPECT_EQ(alice_.open_files.size(), 0u);
  EXPECT_EQ(files_.OpenCount(), 1u);  // bob's only
  const uint32_t again = Open("a.bin");
  EXPECT_EQ(Call(OP_READ_FILE, ReadPayload(again, 0x100000000, 6)), ERROR_HANDLE_EOF);
}

// Renames log nothing; a failure is one code of the system's own.
TEST_F(RequestHandlersTest, NameRequestsWorkInTheHomeAndLogTheirResult) {
  dir_.WriteFile("share/alice/a.txt", "x");
  dir_.WriteFile("share/alice/b.txt", "x");
  dir_.WriteFile("share/alice/old.txt", "o");
  dir_.MakeDir("share/alice/t");
  dir_.WriteFile("share/alice/t/u", "x");
  ASSERT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("t")), 0u);
  ASSERT_EQ(reply_.size(), 4u);
  EXPECT_EQ(LoadU32(reply_.data()) & 0x11u, 0x10u);  // a directory, not read-only
  const struct {
    uint16_t code;
    Bytes payload;
    uint32_t result;
    std::string line;  // the last line logged; a tree delete logs its own first
  } rows[] = {
      {OP_GET_FILE_ATTRIBUTES, PathPayload("no"), ERROR_FILE_NOT_FOUND, "[得到文件属性] Result: 2\n"},
      {OP_SET_FILE_ATTRIBUTES, testing::SetAttributesPayload(1, "a.txt"), 0, "[设置文件属性] Result: 0\n"},
      {OP_DELETE_FILE, PathPayload("b.txt"), 0, "[删除文件] Result: 0\n"},
      {OP_CREATE_DIRECTORY, PathPayload("x\\y"), 0, "[创建目录] Result: 0\n"},
      {OP_REMOVE_DIRECTORY, PathPayload("t"), 0, "[移除目录] Result: 0\n"},
      {OP_QUERY_DIRECTORY, Bytes{}, 0, "[查询目录] Result: 0\n"},
      {OP_RENAME, TwoStringPayload("old.txt", "new.txt"), 0, ""},
      {OP_RENAME, TwoStringPayload("new.txt", "a.txt"), RESULT_RENAME_FAILED, ""},
  };
  for (const auto& r : rows) {
    log_.clear();
    EXPECT_EQ(Call(r.code, r.payload), r.result) << r.line;
    EXPECT_TRUE(r.line.empty() ? log_.empty() : log_.ends_with(r.line)) << log_;
  }
  EXPECT_EQ(dir_.ReadFile("share/alice/new.txt"), "o");
  EXPECT_EQ(fs::status(Home("a.txt")).permissions() & fs::perms::owner_write, fs::perms::none);
  EXPECT_TRUE(fs::is_directory(Home("x/y")));
  EXPECT_FALSE(dir_.Exists("share/alice/b.txt") || dir_.Exists("share/alice/t"));
}

// The listing is written over the request and the current directory moves
// to what was listed; the space requests echo their payload. Neither logs.
TEST_F(RequestHandlersTest, ListingAndSpaceInformation) {
  dir_.MakeDir("share/alice/L");
  dir_.WriteFile("share/alice/L/a", "1");
  dir_.WriteFile("share/alice/L/bc", "2");
  ASSERT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("L")), 0u);
  ListingHeader header;
  ASSERT_TRUE(DecodeListingHeader(reply_.data(), reply_.size(), &header));
  EXPECT_EQ(header.count, 2u);
  EXPECT_EQ(reply_.size(), 33u);
  EXPECT_EQ(Call(OP_CREATE_DIRECTORY, PathPayload("sub")), 0u);  // now relative to \L
  EXPECT_TRUE(fs::is_directory(Home("L/sub")));
  EXPECT_EQ(Call(OP_LIST_DIRECTORY, ListPayload(std::string(kMaxPath, 'n'))), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("\\", 0xFFFFFFFF)), 0u);  // cut to the buffer
  EXPECT_EQ(reply_.size(), 8u + 12u);  // the header and L
  const Bytes space = {1, 2, 3, 4, 5, 6, 7, 8};
  EXPECT_EQ(Call(OP_GET_SPACE_INFO, space), 0u);
  EXPECT_EQ(reply_, space);
  EXPECT_EQ(Call(OP_SET_SPACE_INFO, space), 0u);
  EXPECT_EQ(log_, "[创建目录] Result: 0\n");
}

}  // namespace
}  // namespace tervane
