// Attempts to leave a user's home by every road the protocol carries: ".."
// in each request that carries a name (from the home and from a directory
// below it), links planted in the home that point outside it or into
// another user's home, absolute names, registration names that would put a
// home outside the share, and another connection's file handle. Each is
// refused, and nothing outside the home is read, written, created or
// deleted: the trees outside are compared entry by entry, mode and content,
// before and after, and no reply carries a byte of the files outside.
#include <unistd.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "testing/raw_requests.h"
#include "testing/test_server.h"
#include "testing/temp_dir.h"

namespace tervane::robust {
namespace {

using namespace tervane::testing;
using Bytes = std::vector<uint8_t>;

using testing::kExchangeFailed;
using testing::Reply;
using testing::TestClient;


constexpr char kSecret[] = "OUTSIDE-SECRET-a41f";
constexpr char kBobsSecret[] = "BOB-PRIVATE-77c2";

// Names that reach outside alice's home through "..", from wherever the
// current directory is.
const std::vector<std::string> kDotDotNames = {
    "..",
    "..\\..",
    "..\\bob",
    "..\\bob\\b.txt",
    "../bob/b.txt",
    "..\\..\\outside\\secret.txt",
    "../../outside/secret.txt",
    "\\..\\..\\outside\\secret.txt",
    "docs\\..\\..\\bob\\b.txt",
    "docs/../../../outside",
    "..\\..\\..\\..\\..\\..\\..\\etc\\passwd",
    "..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\..\\tmp",
};

// Names that reach outside through a link planted in the home (relative to
// the home itself).
const std::vector<std::string> kLinkThroughNames = {
    "outlink\\secret.txt",
    "outlink\\sub",
    "outlink\\sub\\inner.txt",
    "outlink\\new.txt",
    "outlink\\sub\\..\\secret.txt",
    "bobhome\\b.txt",
    "rootlink\\etc\\passwd",
    "docs\\escape\\b.txt",
};

// The links themselves: a request may act on the entry in the home, never
// on what it points to.
const std::vector<std::string> kLinkNames = {"outlink", "secretlink", "bobhome", "rootlink", "docs\\escape"};

class EscapeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built (TERVANE_BIN_DIR)";
    server_ = std::make_unique<TestServer>(UserList{{"alice", "pw-a"}, {"bob", "pw-b"}});
    ASSERT_TRUE(server_->Start()) << server_->Log();  // makes the homes

    outside_ = server_->dir() + "/outside";
    ASSERT_TRUE(MakeDirs(outside_ + "/sub"));
    ASSERT_TRUE(WriteFile(outside_ + "/secret.txt", kSecret));
    ASSERT_TRUE(WriteFile(outside_ + "/sub/inner.txt", kSecret));
    const std::string share = server_->share();
    ASSERT_TRUE(WriteFile(share + "bob/b.txt", kBobsSecret));
    const std::string home = share + "alice/";
    ASSERT_TRUE(MakeDirs(home + "docs"));
    ASSERT_TRUE(WriteFile(home + "docs/own.txt", "alice's own"));
    ASSERT_TRUE(WriteFile(home + "mine.txt", "alice's file"));
    ASSERT_EQ(::symlink(outside_.c_str(), (home + "outlink").c_str()), 0);
    ASSERT_EQ(::symlink((outside_ + "/secret.txt").c_str(), (home + "secretlink").c_str()), 0);
    ASSERT_EQ(::symlink((share + "bob").c_str(), (home + "bobhome").c_str()), 0);
    ASSERT_EQ(::symlink("/", (home + "rootlink").c_str()), 0);
    ASSERT_EQ(::symlink("../../bob", (home + "docs/escape").c_str()), 0);

    before_outside_ = ReadTree(outside_, true);
    before_bob_ = ReadTree(share + "bob", true);
    before_config_ = ReadFile(server_->config_path());
    before_share_entries_ = ReadTree(share, true).size();
    before_top_ = TopNames();
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
  uint32_t Ask(TestClient& c, uint16_t code, const Bytes& payload) {
    Reply reply;
    const uint32_t result = Call(c, code, payload, &reply);
    const std::string seen(reply.payload.begin(), reply.payload.end());
    EXPECT_EQ(seen.find(kSecret), std::string::npos) << "a reply carries the file outside the share";
    EXPECT_EQ(seen.find(kBobsSecret), std::string::npos) << "a reply carries bob's file";
    EXPECT_EQ(seen.find("inner.txt"), std::string::npos) << "a listing shows the directory outside the share";
    return result;
  }

  // Every request that carries a name, with `name`; with `expect_refused`
  // each of them must be refused with ERROR_ACCESS_DENIED (5), whether the
  // name climbs out with ".." or goes through a link.
  void EveryNameRequest(TestClient& c, const std::string& name, bool expect_refused) {
    SCOPED_TRACE("name: " + name);
    std::vector<std::pair<const char*, uint32_t>> results;
    uint32_t handle = 0;
    Reply reply;
    const uint32_t created = Call(c, OP_CREATE_FILE, CreatePayload(name, GENERIC_READ | GENERIC_WRITE, (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE),
                                                                   OPEN_ALWAYS), &reply);
    if (created == 0 && reply.payload.size() >= 4) {
      handle = reply.payload[0] | reply.payload[1] << 8 | reply.payload[2] << 16 | uint32_t{reply.payload[3]} << 24;
      Ask(c, OP_READ_FILE, ReadPayload(handle, 0, 16));
      Ask(c, OP_CLOSE_FILE, Bytes{static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8),
                                  static_cast<uint8_t>(handle >> 16), static_cast<uint8_t>(handle >> 24), 0, 0, 0, 0});
    }
    results.emplace_back("create", created);
    results.emplace_back("create always",
                         Ask(c, OP_CREATE_FILE, CreatePayload(name, GENERIC_WRITE, (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), CREATE_ALWAYS)));
    results.emplace_back("directory marker",
                         Ask(c, OP_CREATE_FILE, CreatePayload(name + "\\made|", GENERIC_WRITE, 0, OPEN_ALWAYS)));
    results.emplace_back("attributes", Ask(c, OP_GET_FILE_ATTRIBUTES, PathPayload(name)));
    results.emplace_back("set attributes", Ask(c, OP_SET_FILE_ATTRIBUTES, SetAttributesPayload(1, name)));
    results.emplace_back("create directory", Ask(c, OP_CREATE_DIRECTORY, PathPayload(name + "\\made")));
    results.emplace_back("list", Ask(c, OP_LIST_DIRECTORY, ListPayload(name, 4096)));
    results.emplace_back("rename into", Ask(c, OP_RENAME, TwoStringPayload("mine.txt", name + "\\stolen.txt")));
    results.emplace_back("rename from", Ask(c, OP_RENAME, TwoStringPayload(name, "taken")));
    results.emplace_back("delete", Ask(c, OP_DELETE_FILE, PathPayload(name)));
    results.emplace_back("remove directory", Ask(c, OP_REMOVE_DIRECTORY, PathPayload(name)));
    for (const auto& [what, result] : results) {
      EXPECT_NE(result, kExchangeFailed) << what << ": the connection failed";
      if (expect_refused) {
        EXPECT_EQ(result, 5u) << what;
      }
    }
    // Whatever a request did, the current directory is still in the home.
    EXPECT_EQ(Ask(c, OP_LIST_DIRECTORY, ListPayload("\\", 4096)), 0u);
  }

  TempDir tmp_;
  std::unique_ptr<TestServer> server_;
  std::string outside_;
  std::map<std::string, std::string> before_outside_;
  std::map<std::string, std::string> before_bob_;
  std::string before_config_;
  size_t before_share_entries_ = 0;
  std::vector<std::string> before_top_;
};

TEST_F(EscapeTest, DotDotAndLinksInEveryNameRequestFromTheHome) {
  TestClient alice;
  ASSERT_TRUE(ConnectAndLogIn(alice, server_->port(), "alice", "pw-a"));
  for (const std::string& name : kDotDotNames) EveryNameRequest(alice, name, true);
  for (const std::string& name : kLinkThroughNames) EveryNameRequest(alice, name, true);
  EXPECT_TRUE(Exists(server_->share() + "alice/mine.txt")) << "a refused rename moved the file";
}

TEST_F(EscapeTest, DotDotAndLinksInEveryNameRequestFromBelowTheHome) {
  TestClient alice;
  ASSERT_TRUE(ConnectAndLogIn(alice, server_->port(), "alice", "pw-a"));
  // The current directory moves into docs: names are relative to it now.
  ASSERT_EQ(Ask(alice, OP_LIST_DIRECTORY, ListPayload("docs", 4096)), 0u);
  ASSERT_TRUE(WriteFile(server_->share() + "alice/docs/mine.txt", "in docs"));
  std::vector<std::string> names = kDotDotNames;
  for (const std::string& name : kLinkThroughNames) names.push_back("..\\" + name);
  for (const std::string& name : names) {
    EveryNameRequest(alice, name, true);
    ASSERT_EQ(Ask(alice, OP_LIST_DIRECTORY, ListPayload("docs", 4096)), 0u);
  }
  EXPECT_TRUE(Exists(server_->share() + "alice/docs/mine.txt")) << "a refused rename moved the file";
}

TEST_F(EscapeTest, LinksPlantedInTheHomeAreNeverFollowed) {
  TestClient alice;
  ASSERT_TRUE(ConnectAndLogIn(alice, server_->port(), "alice", "pw-a"));
  for (const std::string& name : kLinkNames) {
    // A link is no file to open and no directory to list.
    EXPECT_NE(Ask(alice, OP_CREATE_FILE, CreatePayload(name, GENERIC_READ, (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), 3)), 0u) << name;
    EXPECT_NE(Ask(alice, OP_LIST_DIRECTORY, ListPayload(name, 4096)), 0u) << name;
    // The rest may act on the entry in the home; what it points to stays.
    EveryNameRequest(alice, name, false);
  }
}

TEST_F(EscapeTest, AbsoluteAndDriveNamesStayInTheHome) {
  TestClient alice;
  ASSERT_TRUE(ConnectAndLogIn(alice, server_->port(), "alice", "pw-a"));
  const std::string outside_file = outside_ + "/secret.txt";
  for (const std::string& name : {outside_file, std::string("/etc/passwd"), std::string("\\etc\\passwd"),
                                  std::string("C:\\outside\\secret.txt")}) {
    // Absolute or not, a name only ever means a path below the home.
    EveryNameRequest(alice, name, false);
  }
}

TEST_F(EscapeTest, RegistrationNamesThatWouldLeaveTheShareAreRefused) {
  TestClient c;
  ASSERT_TRUE(c.Connect(server_->port()));
  ASSERT_EQ(c.OpenSession(), 0u);
  for (const char* name : {"..", ".", "../x", "..\\x", "a/b", "a\\b", "/etc", "\\", "x:y", "", "../../outside"}) {
    EXPECT_NE(Ask(c, OP_REGISTER_USER, TwoStringPayload(name, "pw")), 0u) << "registered \"" << name << "\"";
    // The fifth refused login closes a connection: each has one of its own.
    TestClient login;
    ASSERT_TRUE(login.Connect(server_->port()));
    const uint32_t result = Ask(login, OP_LOGIN, TwoStringPayload(name, "pw"));
    EXPECT_TRUE(result != 0 && result != kExchangeFailed) << "login as \"" << name << "\": " << result;
  }
  EXPECT_EQ(ReadFile(server_->config_path()), before_config_) << "a refused name reached Config.cfg";
  EXPECT_EQ(ReadTree(server_->share(), true).size(), before_share_entries_) << "a refused name made a home";
}

TEST_F(EscapeTest, AnotherConnectionsHandleIsRefused) {
  TestClient bob;
  ASSERT_TRUE(ConnectAndLogIn(bob, server_->port(), "bob", "pw-b"));
  uint32_t handle = 0;
  ASSERT_EQ(bob.CreateFile("b.txt", GENERIC_READ | GENERIC_WRITE, (FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE), 3, &handle), 0u);
  TestClient alice;
  ASSERT_TRUE(ConnectAndLogIn(alice, server_->port(), "alice", "pw-a"));
  const Bytes handle_only{static_cast<uint8_t>(handle), static_cast<uint8_t>(handle >> 8),
                          static_cast<uint8_t>(handle >> 16), static_cast<uint8_t>(handle >> 24), 0, 0, 0, 0};
  EXPECT_NE(Ask(alice, OP_READ_FILE, ReadPayload(handle, 0, 16)), 0u);
  EXPECT_NE(Ask(alice, OP_WRITE_FILE, WritePayload(handle, 0, "overwritten")), 0u);
  EXPECT_NE(Ask(alice, OP_SET_FILE_SIZE, SetSizePayload(handle, 0)), 0u);
  EXPECT_NE(Ask(alice, OP_GET_FILE_SIZE, handle_only), 0u);
  EXPECT_NE(Ask(alice, OP_GET_FILE_TIME, handle_only), 0u);
  EXPECT_EQ(Ask(alice, OP_CLOSE_FILE, handle_only), 0u);  // answered 0, and left alone:
  EXPECT_EQ(Call(bob, OP_READ_FILE, ReadPayload(handle, 0, sizeof kBobsSecret - 1)), 0u)
      << "alice's close reached bob's handle";
  EXPECT_EQ(bob.CloseFile(handle), 0u);
}

}  // namespace
}  // namespace tervane::robust
