// Attempts to leave a user's home: ".." in every request that carries a
// name, links planted in the home pointing outside it or into another home,
// absolute names. Each is refused; the trees outside keep every entry, mode
// and content, and no reply carries a byte of the files outside.
#include <unistd.h>

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "testing/temp_dir.h"
#include "testing/test_client.h"
#include "testing/test_server.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;
using Bytes = std::vector<uint8_t>;

constexpr char kSecret[] = "OUTSIDE-SECRET-a41f";
constexpr char kBobsSecret[] = "BOB-PRIVATE-77c2";
constexpr uint32_t kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Names that reach outside alice's home through "..", wherever its current directory.
const std::vector<std::string> kDotDotNames = {
    "..", "..\\..", "..\\bob", "..\\bob\\b.txt", "../bob/b.txt", "..\\..\\outside\\secret.txt",
    "../../outside/secret.txt", "\\..\\..\\outside\\secret.txt", "docs\\..\\..\\bob\\b.txt", "docs/../../../outside",
    "..\\..\\..\\..\\..\\..\\..\\etc\\passwd", "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\tmp",
};

// Names that reach outside through a link planted in the home (relative to it).
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
    ASSERT_TRUE(WriteFile(outside_ + "/secret.txt", kSecret));  // WriteFile makes the folders
    ASSERT_TRUE(WriteFile(outside_ + "/sub/inner.txt", kSecret));
    const std::string share = server_->share();
    ASSERT_TRUE(WriteFile(share + "bob/b.txt", kBobsSecret));
    const std::string home = share + "alice/";
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
  }  // the server's clean stop is checked when server_ goes

  // The names in the server's directory, beside the share.
  std::set<std::string> TopNames() const {
    const std::vector<std::string> names = ListDir(server_->dir());
    return {names.begin(), names.end()};
  }

  // One exchange; fails when the reply carries bytes of the files outside.
  uint32_t Ask(uint16_t code, const Bytes& payload) {
    Reply reply;
    const uint32_t result = Call(alice_, code, payload, &reply);
    const std::string seen(reply.payload.begin(), reply.payload.end());
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << "a reply carries the file outside the share";
    EXPECT_EQ(seen.find(kBobsSecret), std::string::npos) << "a reply carries bob's file";
    EXPECT_EQ(seen.find("inner.txt"), std::string::npos) << "a listing shows the directory outside the share";
    return result;
  }

  // Every request that carries a name, with `name`; with `expect_refused`
  // each must be refused with ERROR_ACCESS_DENIED (5).
  void EveryNameRequest(const std::string& name, bool expect_refused) {
    SCOPED_TRACE("name: " + name);
    uint32_t handle = 0;  // a create's reply is the handle alone
    const uint32_t created = alice_.CreateFile(name, GENERIC_READ | GENERIC_WRITE, kShareAll, OPEN_ALWAYS, &handle);
    if (created == 0) {
      Ask(OP_READ_FILE, ReadPayload(handle, 0, 16));
      EXPECT_EQ(alice_.CloseFile(handle), 0u);
    }
    const std::pair<const char*, uint32_t> results[] = {
        {"create", created},
        {"create always", Ask(OP_CREATE_FILE, CreatePayload(name, GENERIC_WRITE, kShareAll, CREATE_ALWAYS))},
        {"directory marker", Ask(OP_CREATE_FILE, CreatePayload(name + "\\made|", GENERIC_WRITE, 0, OPEN_ALWAYS))},
        {"attributes", Ask(OP_GET_FILE_ATTRIBUTES, PathPayload(name))},
        {"set attributes", Ask(OP_SET_FILE_ATTRIBUTES, SetAttributesPayload(1, name))},
        {"create directory", Ask(OP_CREATE_DIRECTORY, PathPayload(name + "\\made"))},
        {"list", Ask(OP_LIST_DIRECTORY, ListPayload(name, 4096))},
        {"rename into", Ask(OP_RENAME, TwoStringPayload("mine.txt", name + "\\stolen.txt"))},
        {"rename from", Ask(OP_RENAME, TwoStringPayload(name, "taken"))},
        {"delete", Ask(OP_DELETE_FILE, PathPayload(name))},
        {"remove directory", Ask(OP_REMOVE_DIRECTORY, PathPayload(name))},
    };
    for (const auto& [what, result] : results) {
      EXPECT_NE(result, kExchangeFailed) << what << ": the connection failed";
      if (expect_refused) {
        EXPECT_EQ(result, 5u) << what;
      }
    }
    // Whatever a request did, the current directory is still in the home.
    EXPECT_EQ(Ask(OP_LIST_DIRECTORY, ListPayload("\\", 4096)), 0u);
  }

  std::unique_ptr<TestServer> server_;
  TestClient alice_;
  std::string outside_;
  Tree before_outside_;
  Tree before_bob_;
  std::set<std::string> before_top_;
};

// From the home and from docs below it (names are relative to the current
// directory). A request may act on a link as an entry in the home, never on
// what it points to; absolute or not, a name only means a path below the home.
TEST_F(EscapeTest, DotDotLinksAndAbsoluteNamesInEveryNameRequest) {
  for (const std::string from : {"", "..\\"}) {
    std::vector<std::string> names = kDotDotNames;
    for (const std::string& name : kLinkThroughNames) names.push_back(from + name);
    for (const std::string& name : names) {
      if (!from.empty()) {
        ASSERT_EQ(Ask(OP_LIST_DIRECTORY, ListPayload("docs", 4096)), 0u);
      }
      EveryNameRequest(name, true);
    }
  }
  EXPECT_TRUE(Exists(server_->share() + "alice/mine.txt") && Exists(server_->share() + "alice/docs/mine.txt"))
      << "a refused rename moved the file";
  for (const std::string name : {"outlink", "secretlink", "bobhome", "rootlink", "docs\\escape"}) {
    EveryNameRequest(name, false);
  }
  for (const std::string& name : {outside_ + "/secret.txt", std::string("/etc/passwd"), std::string("\\etc\\passwd"),
                                  std::string("C:\\outside\\secret.txt")}) {
    EveryNameRequest(name, false);
  }
}

}  // namespace
}  // namespace tervane::robust
