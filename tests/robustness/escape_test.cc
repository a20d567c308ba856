// Attempts to leave a user's home by every road the protocol carries: ".."
// in each request that carries a name (from the home and from a directory
// below it), links planted in the home that point outside it or into
// another user's home, absolute names, and another connection's file
// handle. Each is refused, and nothing outside the home is read, written,
// created or deleted: the trees outside are compared entry by entry, mode
// and content, before and after, and no reply carries a byte of the files
// outside.
#include <unistd.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "testing/test_client.h"
#include "testing/temp_dir.h"
#include "testing/test_server.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;
using Bytes = std::vector<uint8_t>;
using testing::kExchangeFailed;
using testing::Reply;
using testing::TestClient;

constexpr char kSecret[] = "OUTSIDE-SECRET-a41f";
constexpr char kBobsSecret[] = "BOB-PRIVATE-77c2";
constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Names that reach outside alice's home through "..", from wherever the
// current directory is.
const std::vector<std::string> kDotDotNames = {
    "..", "..\\..", "..\\bob", "..\\bob\\b.txt", "../bob/b.txt", "..\\..\\outside\\secret.txt",
    "../../outside/secret.txt", "\\..\\..\\outside\\secret.txt", "docs\\..\\..\\bob\\b.txt", "docs/../../../outside",
    "..\\..\\..\\..\\..\\..\\..\\etc\\passwd", "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\tmp",
};

// Names that reach outside through a link planted in the home (relative to
// the home itself).
const std::vector<std::string> kLinkThroughNames = {
    "outlink\\secret.txt", "outlink\\sub", "outlink\\sub\\inner.txt", "outlink\\new.txt",
    "outlink\\sub\\..\\secret.txt", "bobhome\\b.txt", "rootlink\\etc\\passwd", "docs\\escape\\b.txt",
};

class EscapeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built (TERVANE_BIN_DIR)";
    server_ = std::make_unique<TestServer>(UserList{{"alice", "pw-a"}, {"bob", "pw-b"}});
    ASSERT_TRUE(server_->Start()) << server_->Errors();  // makes the homes

    outside_ = server_->dir() + "/outside";
    ASSERT_TRUE(MakeDirs(outside_ + "/sub"));
    ASSERT_TRUE(WriteFile(outside_ + "/secret.txt", kSecret));
    ASSERT_TRUE(WriteFile(outside_ + "/sub/inner.txt", kSecret));
    const std::string share = server_->share();
    ASSERT_TRUE(WriteFile(share + "bob/b.txt", kBobsSecret));
    const std::string home = share + "alice/";
    ASSERT_TRUE(MakeDirs(home + "docs"));
    ASSERT_TRUE(WriteFile(home + "mine.txt", "alice's file"));
    ASSERT_TRUE(WriteFile(home + "docs/mine.txt", "in docs"));
    for (const auto& [target, link] : {std::pair<std::string, std::string>{outside_, "outlink"},
                                       {outside_ + "/secret.txt", "secretlink"}, {share + "bob", "bobhome"},
                                       {"/", "rootlink"}, {"../../bob", "docs/escape"}}) {
      ASSERT_EQ(::symlink(target.c_str(), (home + link).c_str()), 0) << link;
    }
    before_outside_ = ReadTree(outside_, true);
    before_bob_ = ReadTree(share + "bob", true);
    before_top_ = TopNames();
    ASSERT_TRUE(ConnectAndLogIn(alice_, server_->port(), "alice", "pw-a"));
  }

  void TearDown() override {
    if (server_ == nullptr) return;
    EXPECT_EQ(ReadTree(outside_, true), before_outside_) << "something outside the share changed";
    EXPECT_EQ(ReadTree(server_->share() + "bob", true), before_bob_) << "bob's home changed";
    EXPECT_EQ(TopNames(), before_top_) << "something was made or removed beside the share";
    std::string problem;
    EXPECT_TRUE(server_->StopCleanly(&problem)) << problem << "\n" << server_->Log();
  }

  // The names in the server's directory, beside the share.
  std::vector<std::string> TopNames() const {
    std::vector<std::string> names;
    for (const auto& [path, kind] : ReadTree(server_->dir(), true)) {
      const size_t slash = path.find('/');
      if (slash == std::string::npos || slash + 1 == path.size()) names.push_back(path);
    }
    return names;
  }

  // One exchange; fails the test when a reply carries a byte string only
  // the files outside the home hold.
  uint32_t Ask(TestClient& c, uint16_t code, const Bytes& payload, Reply* reply_out = nullptr) {
    Reply reply;
    const uint32_t result = Call(c, code, payload, &reply);
    const std::string seen(reply.payload.begin(), reply.payload.end());
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << "a reply carries the file outside the share";
    EXPECT_EQ(seen.find(kBobsSecret), std::string::npos) << "a reply carries bob's file";
    EXPECT_EQ(seen.find("inner.txt"), std::string::npos) << "a listing shows the directory outside the share";
    if (reply_out != nullptr) *reply_out = reply;
    return result;
  }

  // Every request that carries a name, with `name`; with `expect_refused`
  // each of them must be refused with ERROR_ACCESS_DENIED (5), whether the
  // name climbs out with ".." or goes through a link.
  void EveryNameRequest(const std::string& name, bool expect_refused) {
    SCOPED_TRACE("name: " + name);
    Reply reply;
    const uint32_t created =
        Ask(alice_, OP_CREATE_FILE, CreatePayload(name, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS), &reply);
    if (created == 0 && reply.payload.size() >= 4) {
      const uint32_t handle = LoadU32(reply.payload.data());
      Ask(alice_, OP_READ_FILE, ReadPayload(handle, 0, 16));
      Bytes close(8, 0);  // the handle and four zero bytes
      StoreU32(close.data(), handle);
      Ask(alice_, OP_CLOSE_FILE, close);
    }
    const std::pair<const char*, uint32_t> results[] = {
        {"create", created},
        {"create always", Ask(alice_, OP_CREATE_FILE, CreatePayload(name, GENERIC_WRITE, kShareAll, CREATE_ALWAYS))},
        {"directory marker", Ask(alice_, OP_CREATE_FILE, CreatePayload(name + "\\made|", GENERIC_WRITE, 0, OPEN_ALWAYS))},
        {"attributes", Ask(alice_, OP_GET_FILE_ATTRIBUTES, PathPayload(name))},
        {"set attributes", Ask(alice_, OP_SET_FILE_ATTRIBUTES, SetAttributesPayload(1, name))},
        {"create directory", Ask(alice_, OP_CREATE_DIRECTORY, PathPayload(name + "\\made"))},
        {"list", Ask(alice_, OP_LIST_DIRECTORY, ListPayload(name, 4096))},
        {"rename into", Ask(alice_, OP_RENAME, TwoStringPayload("mine.txt", name + "\\stolen.txt"))},
        {"rename from", Ask(alice_, OP_RENAME, TwoStringPayload(name, "taken"))},
        {"delete", Ask(alice_, OP_DELETE_FILE, PathPayload(name))},
        {"remove directory", Ask(alice_, OP_REMOVE_DIRECTORY, PathPayload(name))},
    };
    for (const auto& [what, result] : results) {
      EXPECT_NE(result, kExchangeFailed) << what << ": the connection failed";
      if (expect_refused) {
        EXPECT_EQ(result, 5u) << what;
      }
    }
    // Whatever a request did, the current directory is still in the home.
    EXPECT_EQ(Ask(alice_, OP_LIST_DIRECTORY, ListPayload("\\", 4096)), 0u);
  }

  std::unique_ptr<TestServer> server_;
  TestClient alice_;
  std::string outside_;
  Tree before_outside_;
  Tree before_bob_;
  std::vector<std::string> before_top_;
};

TEST_F(EscapeTest, DotDotAndLinksInEveryNameRequestFromTheHomeAndBelowIt) {
  for (const std::string& name : kDotDotNames) EveryNameRequest(name, true);
  for (const std::string& name : kLinkThroughNames) EveryNameRequest(name, true);
  EXPECT_TRUE(Exists(server_->share() + "alice/mine.txt")) << "a refused rename moved the file";
  // The current directory moves into docs: names are relative to it now.
  for (const std::string& name : kDotDotNames) {
    ASSERT_EQ(Ask(alice_, OP_LIST_DIRECTORY, ListPayload("docs", 4096)), 0u);
    EveryNameRequest(name, true);
  }
  for (const std::string& name : kLinkThroughNames) {
    ASSERT_EQ(Ask(alice_, OP_LIST_DIRECTORY, ListPayload("docs", 4096)), 0u);
    EveryNameRequest("..\\" + name, true);
  }
  EXPECT_TRUE(Exists(server_->share() + "alice/docs/mine.txt")) << "a refused rename moved the file";
}

// A request may act on a link as an entry in the home, never on what it
// points to; absolute or not, a name only ever means a path below the home.
TEST_F(EscapeTest, LinksAreNeverFollowedAndAbsoluteNamesStayInTheHome) {
  for (const std::string name : {"outlink", "secretlink", "bobhome", "rootlink", "docs\\escape"}) {
    // A link is no file to open and no directory to list.
    EXPECT_NE(Ask(alice_, OP_CREATE_FILE, CreatePayload(name, GENERIC_READ, kShareAll, OPEN_EXISTING)), 0u) << name;
    EXPECT_NE(Ask(alice_, OP_LIST_DIRECTORY, ListPayload(name, 4096)), 0u) << name;
    EveryNameRequest(name, false);
  }
  for (const std::string& name : {outside_ + "/secret.txt", std::string("/etc/passwd"), std::string("\\etc\\passwd"),
                                  std::string("C:\\outside\\secret.txt")}) {
    EveryNameRequest(name, false);
  }
}

// A handle another connection opened can be neither read, written, sized,
// timed nor made sparse from here (6, ERROR_INVALID_HANDLE, and no payload);
// closing it answers 0 and leaves it open for its owner.
TEST_F(EscapeTest, AnotherConnectionsHandleIsRefused) {
  TestClient bob;
  ASSERT_TRUE(ConnectAndLogIn(bob, server_->port(), "bob", "pw-b"));
  uint32_t handle = 0;
  ASSERT_EQ(bob.CreateFile("b.txt", GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_EXISTING, &handle), 0u);
  Bytes handle_only(8, 0), set_time(32, 0);
  StoreU32(handle_only.data(), handle);
  EncodeSetFileTimeRequest(handle, FileTimes{1, 1, 1}, set_time.data(), set_time.size());
  const std::pair<uint16_t, Bytes> requests[] = {
      {OP_READ_FILE, ReadPayload(handle, 0, 16)}, {OP_WRITE_FILE, WritePayload(handle, 0, "overwritten")},
      {OP_SET_FILE_SIZE, SetSizePayload(handle, 0)}, {OP_GET_FILE_SIZE, handle_only},
      {OP_GET_FILE_TIME, handle_only}, {OP_SET_FILE_TIME, set_time},
      {OP_SET_SPARSE, Bytes(handle_only.begin(), handle_only.begin() + 4)}};
  for (const auto& [code, payload] : requests) {
    Reply reply;
    EXPECT_EQ(Ask(alice_, code, payload, &reply), 6u) << code;
    EXPECT_TRUE(reply.payload.empty()) << code;
  }
  EXPECT_EQ(Ask(alice_, OP_CLOSE_FILE, handle_only), 0u);
  EXPECT_EQ(Call(bob, OP_READ_FILE, ReadPayload(handle, 0, sizeof kBobsSecret - 1)), 0u)
      << "alice's close reached bob's handle";
  EXPECT_EQ(bob.CloseFile(handle), 0u);
}

}  // namespace
}  // namespace tervane::robust
