// The upload of a file of 4 GiB and more, in a program of its own: moving
// that much data over loopback takes seconds.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "client/app/client_session.h"
#include "client/app/sync_engine.h"
#include "testing/test_recorders.h"
#include "testing/fake_peer.h"
#include "testing/temp_dir.h"
#include "shared/protocol/byte_order.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"

namespace tervane {
namespace {

using testing::FakePeer;

// A file of 4 GiB and more is sized, written and reported with 64-bit
// figures: the end of file, every offset in order, every byte; the space
// figures stay 32-bit (space - size + previous size, files unchanged).
TEST(SyncEngineBigFileTest, FileOfFourGigabytesAndMore) {
  FakePeer fake(
      FakePeer::Answering([](const FakePeer::Request& r, std::vector<uint8_t>* reply) -> uint32_t {
        const uint16_t code = r.header.code;
        if (code == OP_OPEN_SESSION) reply->assign(4, 0);
        if (code == OP_GET_SPACE_INFO || code == OP_LIST_DIRECTORY || code == OP_CREATE_FILE || code == OP_GET_FILE_SIZE) {
          reply->assign(8, 0);  // an empty listing chunk; as a handle or a size: 77
          if (code == OP_GET_SPACE_INFO) EncodeSpaceInfo(0x10000000, 50, reply->data(), 8);
          if (code == OP_CREATE_FILE || code == OP_GET_FILE_SIZE) StoreU32(reply->data(), 77);
        }
        return 0;
      }),
      FakePeer::Options{.discard_write_data = true});
  testing::TempDir tmp;
  const std::string root = tmp.path() + "/big";
  const uint64_t size = (uint64_t{1} << 32) + 3;
  ASSERT_TRUE(testing::WriteFile(root + "/huge.bin", ""));
  std::filesystem::resize_file(root + "/huge.bin", size - 3);  // sparse: reads as zeros
  ASSERT_TRUE(std::ofstream(root + "/huge.bin", std::ios::app) << "end");

  ClientSession session;
  testing::RecordingStatus status;
  testing::RecordingUi ui;
  SyncEngine engine(&session, &status, &ui);
  const SyncReport report = engine.SyncTask(
      {.server_address = 0x7F000001, .port = fake.port(), .directories = {root}, .user = {}, .run_lock_path = {}});
  EXPECT_EQ(report.files_uploaded, 1u);
  EXPECT_EQ(report.ExitCode(), 0);
  uint64_t size_set = 0, next_offset = 0;  // where the next piece must start
  uint32_t handle = 0, space = 0, files = 0;
  for (const FakePeer::Request& r : fake.Requests()) {
    const uint16_t code = r.header.code;
    DataRequest d;
    if (code == OP_SET_FILE_SIZE) {
      EXPECT_TRUE(DecodeSetFileSizeRequest(r.payload.data(), r.payload.size(), &handle, &size_set));
    } else if (code == OP_WRITE_FILE) {
      // The data was dropped unread; the fixed fields read as a read's.
      ASSERT_TRUE(DecodeReadRequest(r.payload.data(), r.payload.size(), &d));
      ASSERT_EQ(d.count, r.discarded);
      ASSERT_EQ(d.offset, next_offset) << "a piece out of order";
      next_offset = d.offset + d.count;
    } else if (code == OP_SET_SPACE_INFO) {
      EXPECT_TRUE(DecodeSpaceInfo(r.payload.data(), r.payload.size(), &space, &files));
    }
  }
  EXPECT_EQ(size_set, size);
  EXPECT_EQ(next_offset, size) << "every byte, each once";
  EXPECT_EQ(fake.CountOf(OP_SET_SPACE_INFO), 1u);
  EXPECT_EQ(space, static_cast<uint32_t>(0x10000000u - 3u + 77u));
  EXPECT_EQ(files, 50u);
}

}  // namespace
}  // namespace tervane
