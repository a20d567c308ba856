// Every request row over loopback against the real tervanesvr: its result
// codes, its reply payload, its log line, and what it leaves on disk.
#include "server/net/request_handlers.h"

#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testing/test_client.h"
#include "testing/test_server.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

namespace fs = std::filesystem;
using testing::CountOf;
using testing::Reply;
using testing::TestClient;
using testing::TestServer;
using testing::UserList;

constexpr char kPassword[] = "0123456789abcdef0123456789abcdef";

std::vector<uint8_t> PathPayload(std::string_view path) {
  std::vector<uint8_t> p(400);
  p.resize(EncodePathRequest(path, p.data(), p.size()));
  return p;
}

std::vector<uint8_t> TwoStrings(std::string_view a, std::string_view b) {
  std::vector<uint8_t> p(400);
  p.resize(EncodeTwoStringRequest(a, b, p.data(), p.size()));
  return p;
}

std::vector<uint8_t> HandlePayload(uint32_t handle) {
  std::vector<uint8_t> p(8);
  EncodeHandleRequest(handle, p.data(), p.size());
  return p;
}

std::vector<uint8_t> ReadPayload(uint32_t handle, uint64_t offset, uint32_t count) {
  std::vector<uint8_t> p(kDataRequestFixed);
  DataRequest r;
  r.handle = handle;
  r.offset = offset;
  r.count = count;
  EncodeDataRequestFields(r, p.data());
  return p;
}

std::vector<uint8_t> WritePayload(uint32_t handle, uint64_t offset, const std::string& data) {
  std::vector<uint8_t> p = ReadPayload(handle, offset, static_cast<uint32_t>(data.size()));
  p.insert(p.end(), data.begin(), data.end());
  return p;
}

std::vector<uint8_t> ListPayload(std::string_view name, uint32_t capacity = kListingCapacity) {
  std::vector<uint8_t> p(400);
  p.resize(EncodeListDirectoryRequest(name, capacity, p.data(), p.size()));
  return p;
}

class RequestHandlersTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(server_.Start()) << server_.Errors();
    ASSERT_TRUE(client_.Connect(server_.port()));
    ASSERT_EQ(client_.OpenSession(), 0u);
    ASSERT_EQ(client_.Login("alice", kPassword), 0u);
  }

  std::string Home() const { return server_.share() + "alice/"; }

  // One exchange; its result (or kExchangeFailed) and the reply in *reply.
  uint32_t Call(uint16_t code, const std::vector<uint8_t>& payload, Reply* reply = nullptr) {
    Reply local;
    Reply* r = reply != nullptr ? reply : &local;
    if (!client_.Exchange(code, payload, r)) return testing::kExchangeFailed;
    if (r->result() != 0) {
      EXPECT_EQ(r->payload.size(), 0u) << "error replies carry no payload";
    }
    return r->result();
  }

  uint32_t Open(std::string_view path, uint32_t access, uint32_t share, uint32_t disposition) {
    uint32_t handle = 0;
    EXPECT_EQ(client_.CreateFile(path, access, share, disposition, &handle), 0u) << path;
    return handle;
  }

  void WriteFile(const std::string& relative, const std::string& text) {
    fs::create_directories(fs::path(Home() + relative).parent_path());
    std::ofstream(Home() + relative, std::ios::binary) << text;
  }

  TestServer server_{UserList{{"alice", kPassword}, {"bob", kPassword}}};
  TestClient client_;
};

TEST_F(RequestHandlersTest, ANotLoggedInConnectionIsRefusedEverywhereAndTouchesNothing) {
  WriteFile("keep.txt", "keep");
  fs::create_directories(Home() + "dir");
  TestClient anon;
  ASSERT_TRUE(anon.Connect(server_.port()));
  ASSERT_EQ(anon.OpenSession(), 0u);
  std::vector<uint8_t> create(400);
  CreateFileRequest cr;
  cr.desired_access = GENERIC_WRITE;
  cr.creation_disposition = CREATE_ALWAYS;
  cr.path = "new\\file.txt";
  create.resize(EncodeCreateFileRequest(cr, create.data(), create.size()));
  std::vector<uint8_t> attrs(400);
  attrs.resize(EncodeSetAttributesRequest(0x01, "keep.txt", attrs.data(), attrs.size()));
  std::vector<uint8_t> space(8, 0);
  const std::vector<std::pair<uint16_t, std::vector<uint8_t>>> requests = {
      {OP_CREATE_FILE, create},
      {OP_DELETE_FILE, PathPayload("keep.txt")},
      {OP_GET_FILE_ATTRIBUTES, PathPayload("keep.txt")},
      {OP_SET_FILE_ATTRIBUTES, attrs},
      {OP_CREATE_DIRECTORY, PathPayload("made")},
      {OP_REMOVE_DIRECTORY, PathPayload("dir")},
      {OP_RENAME, TwoStrings("keep.txt", "moved.txt")},
      {OP_LIST_DIRECTORY, ListPayload("\\")},
      {OP_GET_SPACE_INFO, space},
      {OP_SET_SPACE_INFO, space},
  };
  for (const auto& [code, payload] : requests) {
    Reply reply;
    ASSERT_TRUE(anon.Exchange(code, payload, &reply)) << code;
    EXPECT_EQ(reply.result(), RESULT_NOT_LOGGED_IN) << code;
    EXPECT_EQ(reply.payload.size(), 0u) << code;
  }
  EXPECT_TRUE(fs::exists(Home() + "keep.txt"));
  EXPECT_TRUE(fs::exists(Home() + "dir"));
  EXPECT_FALSE(fs::exists(Home() + "new"));
  EXPECT_FALSE(fs::exists(Home() + "made"));
  EXPECT_FALSE(fs::exists(Home() + "moved.txt"));
  EXPECT_EQ(fs::status(Home() + "keep.txt").permissions() & fs::perms::owner_write, fs::perms::owner_write);
}

// One registration per connection, names unique ignoring case and matched
// exactly at login; each refusal and failed login logged with the peer's
// address and the name.
TEST_F(RequestHandlersTest, RegistrationAndLogin) {
  TestClient first;
  ASSERT_TRUE(first.Connect(server_.port()));
  // Refused registrations do not use up the connection's one.
  std::vector<uint8_t> cut = TwoStrings("dave", kPassword);
  cut.pop_back();  // the password has no terminator
  Reply reply;
  ASSERT_TRUE(first.Exchange(OP_REGISTER_USER, cut, &reply));
  EXPECT_EQ(reply.result(), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(first.Register(std::string(65, 'n'), kPassword), ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(first.Register("Carol", kPassword), 0u);
  EXPECT_EQ(first.Register("Dave", kPassword), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(server_.share() + "dave"));
  EXPECT_FALSE(fs::exists(server_.share() + "Dave"));
  EXPECT_TRUE(fs::is_directory(server_.share() + "Carol"));
  std::ifstream cfg(server_.config_path(), std::ios::binary);
  std::string text((std::istreambuf_iterator<char>(cfg)), std::istreambuf_iterator<char>());
  EXPECT_NE(text.find("[User]\r\nCarol\r\n" + std::string(kPassword) + "\r\n"), std::string::npos);
  EXPECT_EQ(text.find("Dave"), std::string::npos);

  // A refused login may delay its connection's next request, so each
  // refusal here has a connection of its own.
  const struct {
    const char* name;
    const char* password;
    uint32_t result;
  } failures[] = {
      {"carol", kPassword, RESULT_NOT_LOGGED_IN},  // names match exactly at login
      {"Carol", "wrong", RESULT_WRONG_PASSWORD},
      {"alice", kPassword, RESULT_ALREADY_LOGGED_IN},
  };
  for (const auto& f : failures) {
    TestClient c;
    ASSERT_TRUE(c.Connect(server_.port()));
    EXPECT_EQ(c.Login(f.name, f.password), f.result) << f.name;
  }
  TestClient second;
  ASSERT_TRUE(second.Connect(server_.port()));
  EXPECT_EQ(second.Register("carol", kPassword), RESULT_USER_EXISTS);
  EXPECT_EQ(second.Login("Carol", kPassword), 0u);

  std::string log = server_.Log();
  EXPECT_EQ(CountOf(log, "Registration refused: [127.0.0.1] name [Dave], one registration per connection\n"), 1);
  EXPECT_EQ(CountOf(log, "Login failed: [127.0.0.1] name [carol] Result: 13569\n"), 1);
  EXPECT_EQ(CountOf(log, "Login failed: [127.0.0.1] name [Carol] Result: 13570\n"), 1);
  EXPECT_EQ(CountOf(log, "Login failed: [127.0.0.1] name [alice] Result: 13571\n"), 1);
  // Successful registrations and logins, and other refusals, write no line.
  EXPECT_EQ(CountOf(log, "Registration"), 1);
  EXPECT_EQ(CountOf(log, "Login"), 3);
  // A home already on disk is refused, kept, and named in the log.
  fs::create_directories(server_.share() + "erin/Mon");
  TestClient fresh;
  ASSERT_TRUE(fresh.Connect(server_.port()));
  EXPECT_EQ(fresh.Register("erin", kPassword), RESULT_USER_EXISTS);
  EXPECT_TRUE(fs::is_directory(server_.share() + "erin/Mon"));
  EXPECT_TRUE(server_.WaitForLog("[注册用户] 目录已存在:[" + server_.share() + "erin] Result: 13568\n"))
      << server_.Log();
}

TEST_F(RequestHandlersTest, CreateFileOpensCreatesChainsAndReportsFailures) {
  Reply reply;
  // A path ending in "|" creates the directories only.
  uint32_t handle = 0xFFFF;
  EXPECT_EQ(client_.CreateFile("Mon\\C\\data\\|", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), 0u);
  EXPECT_EQ(handle, 0u);
  EXPECT_TRUE(fs::is_directory(Home() + "Mon/C/data"));

  EXPECT_EQ(client_.CreateFile("missing.txt", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, &handle), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(server_.WaitForLog("[打开文件] Result: 2\n"));

  std::vector<uint8_t> create(400);
  CreateFileRequest cr;
  cr.desired_access = GENERIC_READ | GENERIC_WRITE;
  cr.share_mode = FILE_SHARE_READ | FILE_SHARE_WRITE;
  cr.creation_disposition = CREATE_ALWAYS;
  cr.path = "Mon\\C\\data\\a.txt";
  create.resize(EncodeCreateFileRequest(cr, create.data(), create.size()));
  ASSERT_EQ(Call(OP_CREATE_FILE, create, &reply), 0u);
  ASSERT_EQ(reply.payload.size(), 8u);
  uint32_t first = LoadU32(reply.payload.data());
  EXPECT_NE(first, 0u);
  EXPECT_EQ(LoadU32(reply.payload.data() + 4), FILE_SHARE_READ | FILE_SHARE_WRITE);  // the request's share field
  EXPECT_TRUE(fs::is_regular_file(Home() + "Mon/C/data/a.txt"));
  EXPECT_TRUE(server_.WaitForLog("[打开文件] Result: 0\n"));

  // Opened again on this connection with a share mode that admits it: the
  // newer handle replaces the older, which is closed.
  ASSERT_EQ(Call(OP_CREATE_FILE, create, &reply), 0u);
  uint32_t second = LoadU32(reply.payload.data());
  EXPECT_NE(second, first);
  EXPECT_EQ(Call(OP_GET_FILE_SIZE, HandlePayload(first)), ERROR_INVALID_HANDLE);
  EXPECT_EQ(Call(OP_GET_FILE_SIZE, HandlePayload(second)), 0u);

  // Exclusive opens: the second one is a sharing violation and the first stays.
  uint32_t exclusive = Open("ex.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_EQ(client_.CreateFile("ex.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), ERROR_SHARING_VIOLATION);
  EXPECT_EQ(Call(OP_GET_FILE_SIZE, HandlePayload(exclusive)), 0u);

  // Names that leave the home, or are too long, are refused before anything happens.
  EXPECT_EQ(client_.CreateFile("..\\bob\\x.txt", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(server_.share() + "bob/x.txt"));
  EXPECT_EQ(client_.CreateFile(std::string(300, 'p'), GENERIC_WRITE, 0, CREATE_ALWAYS, &handle),
            ERROR_FILENAME_EXCED_RANGE);
  EXPECT_EQ(Call(OP_CREATE_FILE, std::vector<uint8_t>(5, 0)), ERROR_INVALID_PARAMETER);
}

TEST_F(RequestHandlersTest, TheSeventeenthOpenFileIsRefusedWith122AndClosedAgain) {
  uint32_t handles[16];
  for (int i = 0; i < 16; ++i) handles[i] = Open("f" + std::to_string(i), GENERIC_WRITE, 0, CREATE_ALWAYS);
  uint32_t handle = 0;
  EXPECT_EQ(client_.CreateFile("f16", GENERIC_WRITE, 0, CREATE_ALWAYS, &handle), ERROR_INSUFFICIENT_BUFFER);
  EXPECT_TRUE(server_.WaitForLog("[打开文件] Result: 122\n"));
  // The refused open was closed again: once an entry is free, the file
  // opens exclusively.
  EXPECT_EQ(client_.CloseFile(handles[0]), 0u);
  EXPECT_NE(Open("f16", GENERIC_WRITE, 0, OPEN_EXISTING), 0u);
}

TEST_F(RequestHandlersTest, ReadsAndWritesMoveExactCounts) {
  uint32_t h = Open("data.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  std::string text;
  for (int i = 0; i < 100; ++i) text += "0123456789";
  ASSERT_EQ(Call(OP_WRITE_FILE, WritePayload(h, 0, text)), 0u);
  EXPECT_TRUE(server_.WaitForLog("[写文件] Result: 0\n"));
  Reply reply;
  EXPECT_EQ(Call(OP_READ_FILE, ReadPayload(h, 900, 4096), &reply), ERROR_HANDLE_EOF);
  EXPECT_TRUE(server_.WaitForLog("[读文件] Result: 38\n"));
  ASSERT_EQ(Call(OP_READ_FILE, ReadPayload(h, 900, 100), &reply), 0u);
  EXPECT_EQ(std::string(reply.payload.begin(), reply.payload.end()), text.substr(900));
  EXPECT_EQ(Call(OP_READ_FILE, ReadPayload(h, 0, 0x10001)), ERROR_INVALID_PARAMETER);
  // A write whose count exceeds the data that came with it.
  std::vector<uint8_t> short_write = WritePayload(h, 0, "abc");
  StoreU32(short_write.data() + 16, 4);
  EXPECT_EQ(Call(OP_WRITE_FILE, short_write), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Call(OP_READ_FILE, std::vector<uint8_t>(12, 0)), ERROR_INVALID_PARAMETER);
  // The largest read: 65,536 bytes in one reply.
  ASSERT_EQ(Call(OP_WRITE_FILE, WritePayload(h, 70000, "z")), 0u);
  ASSERT_EQ(Call(OP_READ_FILE, ReadPayload(h, 0, 0x10000), &reply), 0u);
  EXPECT_EQ(reply.payload.size(), 0x10000u);
  EXPECT_EQ(std::string(reply.payload.begin(), reply.payload.begin() + 10), "0123456789");
}

TEST_F(RequestHandlersTest, SizesTimesAndSparse) {
  uint32_t h = Open("s.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS);
  std::vector<uint8_t> set_size(16);
  EncodeSetFileSizeRequest(h, 5000, set_size.data(), set_size.size());
  EXPECT_EQ(Call(OP_SET_FILE_SIZE, set_size), 0u);
  EXPECT_TRUE(server_.WaitForLog("[设置文件大小] Result: 0\n"));
  Reply reply;
  ASSERT_EQ(Call(OP_GET_FILE_SIZE, HandlePayload(h), &reply), 0u);
  ASSERT_EQ(reply.payload.size(), 8u);
  EXPECT_EQ(LoadU64(reply.payload.data()), 5000u);
  EXPECT_EQ(fs::file_size(Home() + "s.bin"), 5000u);
  EXPECT_TRUE(server_.WaitForLog("[得到文件大小] Result: 0\n"));

  ASSERT_EQ(Call(OP_GET_FILE_TIME, HandlePayload(h), &reply), 0u);
  FileTimes before;
  ASSERT_TRUE(DecodeFileTimesReply(reply.payload.data(), reply.payload.size(), &before));
  EXPECT_EQ(reply.payload.size(), 24u);
  // Only the last-write time given: only it changes.
  FileTimes times;
  times.last_write = 132000000000000000ull;  // 2019-04-17
  std::vector<uint8_t> set_time(32);
  EncodeSetFileTimeRequest(h, times, set_time.data(), set_time.size());
  EXPECT_EQ(Call(OP_SET_FILE_TIME, set_time), 0u);
  EXPECT_TRUE(server_.WaitForLog("[设置文件时间] Result: 0\n"));
  ASSERT_EQ(Call(OP_GET_FILE_TIME, HandlePayload(h), &reply), 0u);
  FileTimes after;
  ASSERT_TRUE(DecodeFileTimesReply(reply.payload.data(), reply.payload.size(), &after));
  EXPECT_EQ(after.last_write, times.last_write);
  EXPECT_EQ(after.last_access, before.last_access);
  EXPECT_TRUE(server_.WaitForLog("[得到文件时间] Result: 0\n"));
  // All three times 0 changes nothing.
  EncodeSetFileTimeRequest(h, FileTimes{}, set_time.data(), set_time.size());
  EXPECT_EQ(Call(OP_SET_FILE_TIME, set_time), 0u);
  ASSERT_EQ(Call(OP_GET_FILE_TIME, HandlePayload(h), &reply), 0u);
  ASSERT_TRUE(DecodeFileTimesReply(reply.payload.data(), reply.payload.size(), &after));
  EXPECT_EQ(after.last_write, times.last_write);

  std::vector<uint8_t> sparse(4);
  EncodeSparseRequest(h, sparse.data(), sparse.size());
  EXPECT_EQ(Call(OP_SET_SPARSE, sparse), 0u);
  EXPECT_TRUE(server_.WaitForLog("[设置稀疏文件] \n"));
}

TEST_F(RequestHandlersTest, AttributesOfFilesAndDirectories) {
  WriteFile("a.txt", "x");
  fs::create_directories(Home() + "d");
  Reply reply;
  ASSERT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("a.txt"), &reply), 0u);
  ASSERT_EQ(reply.payload.size(), 4u);
  EXPECT_EQ(LoadU32(reply.payload.data()) & 0x31u, 0x20u);
  ASSERT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("d"), &reply), 0u);
  EXPECT_EQ(LoadU32(reply.payload.data()) & 0x10u, 0x10u);
  EXPECT_TRUE(server_.WaitForLog("[得到文件属性] Result: 0\n"));

  std::vector<uint8_t> set(400);
  set.resize(EncodeSetAttributesRequest(0x01, "a.txt", set.data(), set.size()));
  EXPECT_EQ(Call(OP_SET_FILE_ATTRIBUTES, set), 0u);
  EXPECT_TRUE(server_.WaitForLog("[设置文件属性] Result: 0\n"));
  ASSERT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("a.txt"), &reply), 0u);
  EXPECT_EQ(LoadU32(reply.payload.data()) & 0x01u, 0x01u);

  EXPECT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("nope.txt")), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(server_.WaitForLog("[得到文件属性] Result: 2\n"));
  set.resize(400);
  set.resize(EncodeSetAttributesRequest(0x01, "nope.txt", set.data(), set.size()));
  EXPECT_EQ(Call(OP_SET_FILE_ATTRIBUTES, set), ERROR_FILE_NOT_FOUND);
  EXPECT_EQ(Call(OP_GET_FILE_ATTRIBUTES, PathPayload("..\\bob")), ERROR_ACCESS_DENIED);
}

TEST_F(RequestHandlersTest, DeletingFiles) {
  WriteFile("gone.txt", "12345");
  EXPECT_EQ(Call(OP_DELETE_FILE, PathPayload("gone.txt")), 0u);
  EXPECT_FALSE(fs::exists(Home() + "gone.txt"));
  EXPECT_TRUE(server_.WaitForLog("[删除文件] Result: 0\n"));
  EXPECT_EQ(Call(OP_DELETE_FILE, PathPayload("gone.txt")), ERROR_FILE_NOT_FOUND);
  EXPECT_TRUE(server_.WaitForLog("[删除文件] Result: 2\n"));
  // Held open without delete sharing.
  Open("held.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_EQ(Call(OP_DELETE_FILE, PathPayload("held.txt")), ERROR_SHARING_VIOLATION);
  EXPECT_TRUE(fs::exists(Home() + "held.txt"));
  WriteFile("../bob/bobs.txt", "b");
  EXPECT_EQ(Call(OP_DELETE_FILE, PathPayload("..\\bob\\bobs.txt")), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::exists(server_.share() + "bob/bobs.txt"));
  EXPECT_EQ(Call(OP_DELETE_FILE, {0x01}), ERROR_INVALID_PARAMETER);
}

TEST_F(RequestHandlersTest, CreatingRemovingAndQueryingDirectories) {
  EXPECT_EQ(Call(OP_CREATE_DIRECTORY, PathPayload("x\\y\\z")), 0u);
  EXPECT_TRUE(fs::is_directory(Home() + "x/y/z"));
  EXPECT_TRUE(server_.WaitForLog("[创建目录] Result: 0\n"));
  EXPECT_EQ(Call(OP_CREATE_DIRECTORY, PathPayload("x\\y\\z")), ERROR_ALREADY_EXISTS);
  EXPECT_TRUE(server_.WaitForLog("[创建目录] Result: 183\n"));

  WriteFile("x/y/z/f1.txt", "abc");
  WriteFile("x/f2.txt", "de");
  EXPECT_EQ(Call(OP_REMOVE_DIRECTORY, PathPayload("x")), 0u);
  EXPECT_FALSE(fs::exists(Home() + "x"));
  ASSERT_TRUE(server_.WaitForLog("[移除目录] Result: 0\n"));
  std::string log = server_.Log();
  EXPECT_EQ(CountOf(log, "MyDeleteFile:["), 2);
  EXPECT_EQ(CountOf(log, "ZOT_DeleteDirectoryTree:["), 2);  // y and z
  EXPECT_EQ(CountOf(log, "MyRemoveDirectory:["), 3);  // z, y and x itself
  // The tree-delete lines come before the request's own line.
  EXPECT_LT(log.rfind("MyRemoveDirectory:["), log.find("[移除目录] Result: 0\n"));

  uint32_t missing = Call(OP_REMOVE_DIRECTORY, PathPayload("x"));
  EXPECT_TRUE(missing == ERROR_FILE_NOT_FOUND || missing == ERROR_PATH_NOT_FOUND) << missing;
  EXPECT_EQ(Call(OP_REMOVE_DIRECTORY, PathPayload("..")), ERROR_ACCESS_DENIED);
  EXPECT_TRUE(fs::is_directory(server_.share() + "alice"));

  EXPECT_EQ(Call(OP_QUERY_DIRECTORY, {0}), 0u);
  EXPECT_TRUE(server_.WaitForLog("[查询目录] Result: 0\n"));
}

TEST_F(RequestHandlersTest, CloseFileAlwaysAnswersZero) {
  uint32_t h = Open("c.txt", GENERIC_WRITE, 0, CREATE_ALWAYS);
  EXPECT_EQ(client_.CloseFile(0x7777), 0u);
  EXPECT_EQ(client_.CloseFile(h), 0u);
  EXPECT_EQ(client_.CloseFile(h), 0u);
  EXPECT_TRUE(server_.WaitForLog("[关闭文件] \n", 3));
  // Closed for real: it opens exclusively again, and the old handle is gone.
  EXPECT_NE(Open("c.txt", GENERIC_WRITE, 0, OPEN_EXISTING), 0u);
  EXPECT_EQ(Call(OP_GET_FILE_SIZE, HandlePayload(h)), ERROR_INVALID_HANDLE);
}

TEST_F(RequestHandlersTest, SpaceInformationEchoesTheRequest) {
  std::vector<uint8_t> space = {1, 2, 3, 4, 5, 6, 7, 8};
  Reply reply;
  ASSERT_EQ(Call(OP_GET_SPACE_INFO, space, &reply), 0u);
  EXPECT_EQ(reply.payload, space);
  EXPECT_EQ(Call(OP_SET_SPACE_INFO, space), 0u);
  EXPECT_EQ(Call(OP_GET_SPACE_INFO, {1, 2, 3, 4}), ERROR_INVALID_PARAMETER);
}

TEST_F(RequestHandlersTest, ListingPagesAndMovesTheCurrentDirectory) {
  fs::create_directories(Home() + "L");
  WriteFile("L/a", "1");
  WriteFile("L/bc", "2");
  Reply reply;
  ASSERT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("L"), &reply), 0u);
  ASSERT_EQ(reply.payload.size(), 33u);
  ListingHeader header;
  ASSERT_TRUE(DecodeListingHeader(reply.payload.data(), reply.payload.size(), &header));
  EXPECT_EQ(header.count, 2u);
  EXPECT_EQ(header.records_length, 25u);
  // The current directory is now \L\: names are relative to it.
  EXPECT_EQ(Call(OP_CREATE_DIRECTORY, PathPayload("sub")), 0u);
  EXPECT_TRUE(fs::is_directory(Home() + "L/sub"));
  EXPECT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("nowhere")), RESULT_NO_SUCH_DIRECTORY);
  ASSERT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("\\"), &reply), 0u);
  ASSERT_TRUE(DecodeListingHeader(reply.payload.data(), reply.payload.size(), &header));
  EXPECT_EQ(header.count, 1u);
  ListingRecord record;
  size_t size = 0;
  ASSERT_TRUE(DecodeListingRecord(reply.payload.data() + 8, reply.payload.size() - 8, &record, &size));
  EXPECT_EQ(record.name, "L");
  EXPECT_TRUE(record.is_directory);
  EXPECT_TRUE(record.is_last);
  // Capacity under a header is refused; a capacity beyond the buffer is cut to it.
  EXPECT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("\\", 4)), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(Call(OP_LIST_DIRECTORY, ListPayload("\\", 0xFFFFFFFF), &reply), 0u);
  EXPECT_EQ(reply.payload.size(), 8u + 12u);
  // Listing writes no log line.
  EXPECT_EQ(CountOf(server_.Log(), "Result"), 1);  // the create-directory line only
}

TEST_F(RequestHandlersTest, RenamingFilesAndDirectories) {
  WriteFile("old.txt", "o");
  WriteFile("taken.txt", "t");
  EXPECT_EQ(Call(OP_RENAME, TwoStrings("old.txt", "new.txt")), 0u);
  EXPECT_TRUE(fs::exists(Home() + "new.txt"));
  EXPECT_FALSE(fs::exists(Home() + "old.txt"));
  EXPECT_EQ(Call(OP_RENAME, TwoStrings("new.txt", "taken.txt")), RESULT_RENAME_FAILED);
  EXPECT_EQ(Call(OP_RENAME, TwoStrings("missing.txt", "x.txt")), RESULT_RENAME_FAILED);
  EXPECT_EQ(Call(OP_RENAME, TwoStrings("new.txt", "..\\bob\\stolen.txt")), ERROR_ACCESS_DENIED);
  EXPECT_FALSE(fs::exists(server_.share() + "bob/stolen.txt"));
  EXPECT_TRUE(fs::exists(Home() + "new.txt"));
  EXPECT_EQ(Call(OP_RENAME, {0, 0, 0}), ERROR_INVALID_PARAMETER);
  EXPECT_EQ(CountOf(server_.Log(), "Result"), 0);  // renames write no log line
}

}  // namespace
}  // namespace tervane
