// The library against the real server over loopback: that both sides read
// each form of request and reply alike, which no fake peer can show
// (listings: the load test's clients check theirs; the path forms are tied by
// testing/'s request builders, which this folder's golden bytes and the
// server's handler tests both use). The replies' details and every failure
// are shown against fake peers in the other tests of this folder, and the
// server's own rules in the server's tests.
#include <algorithm>
#include <string>
#include <vector>

#include "client/net/kova.h"
#include "gtest/gtest.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/open_flags.h"
#include "testing/test_server.h"

namespace tervane {
namespace {

using testing::TestServer;

constexpr char kDigest[] = "5f4dcc3b5aa765d61d8327deb882cf99";

TEST(RealServerTest, EveryCallIsUnderstoodByTheServer) {
  if (TestServer::Binary().empty()) GTEST_SKIP() << "tervanesvr has not been built yet";
  TestServer server;
  ASSERT_TRUE(server.Start()) << server.Errors();
  RemoteSession* s = nullptr;
  ASSERT_EQ(KOVA_Connect("127.0.0.1", &s, server.port()), 0u);
  ASSERT_EQ(KOVA_RegisterUser(s, "alice", kDigest), 0u);
  ASSERT_EQ(KOVA_Login(s, "alice", kDigest), 0u);

  // A file of a whole piece and one byte more, read back past its end: the
  // whole first piece arrives, the one reaching the end gives 38.
  RemoteFile* file = nullptr;
  ASSERT_EQ(KOVA_CreateFile(s, "Mon\\C\\a.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                            &file), 0u);
  std::vector<uint8_t> data(65537);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 31 + (i >> 12));
  const uint64_t zero = 0;
  ASSERT_EQ(KOVA_WriteFile(file, &zero, static_cast<uint32_t>(data.size()), data.data()), 0u);
  std::vector<uint8_t> back(data.size() + 1);
  EXPECT_EQ(KOVA_ReadFile(file, &zero, static_cast<uint32_t>(back.size()), back.data()), ERROR_HANDLE_EOF);
  EXPECT_TRUE(std::equal(data.begin(), data.begin() + 65536, back.begin()));
  const uint64_t when = 132223104000000000ull;  // 2020-01-01 00:00:00 UTC as a FILETIME
  EXPECT_EQ(KOVA_SetFileTime(file, nullptr, nullptr, &when), 0u);
  uint64_t written = 0;
  EXPECT_EQ(KOVA_GetFileTime(file, nullptr, nullptr, &written), 0u);
  EXPECT_EQ(written, when);
  EXPECT_EQ(KOVA_CloseFile(file), 0u);

  EXPECT_EQ(KOVA_DeleteFile(s, "Mon\\C\\a.bin"), 0u);
  EXPECT_EQ(KOVA_Disconnect(s), 0u);
}

}  // namespace
}  // namespace tervane
