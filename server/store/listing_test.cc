#include "server/store/listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "testing/temp_dir.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

struct Entry {
  std::string name;
  bool is_directory;
  bool is_last;
};

// Decodes a chunk, checking the header against the records.
std::vector<Entry> Decode(const uint8_t* p, uint32_t len) {
  std::vector<Entry> out;
  ListingHeader h;
  EXPECT_TRUE(DecodeListingHeader(p, len, &h));
  EXPECT_EQ(h.records_length, len - 8);
  size_t off = 8;
  for (uint32_t i = 0; i < h.count; ++i) {
    ListingRecord r;
    size_t size = 0;
    EXPECT_TRUE(DecodeListingRecord(p + off, len - off, &r, &size));
    out.push_back({std::string(r.name), r.is_directory, r.is_last});
    off += size;
  }
  EXPECT_EQ(off, len);
  return out;
}

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_.MakeDir("home/d"); }
  Result List(uint32_t capacity, char* resume, ListingCursor* cursor = nullptr) {
    capacity_ = capacity;
    return BuildListing(dir_.Path("home", "d"), buf_.data(), &capacity_, resume, cursor);
  }

  testing::TempDir dir_;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kMaxPayload + 64, 0xEE);
  uint32_t capacity_ = 0;
};

TEST_F(ListingTest, AnEmptyDirectoryIsAHeaderAloneTwoFilesTheExactThirtyThreeBytes) {
  char resume[kMaxPath] = "";
  ASSERT_EQ(List(272, resume), 0u);
  EXPECT_EQ(std::vector<uint8_t>(buf_.begin(), buf_.begin() + capacity_), std::vector<uint8_t>(8, 0));
  dir_.WriteFile("home/d/a", "1");
  dir_.WriteFile("home/d/bc", "22");
  ASSERT_EQ(List(272, resume), 0u);
  ASSERT_EQ(capacity_, 33u);
  std::vector<Entry> e = Decode(buf_.data(), capacity_);
  ASSERT_EQ(e.size(), 2u);
  // Entries come in the file system's order; build the expected bytes in it.
  std::vector<uint8_t> expect = {2, 0, 0, 0, 25, 0, 0, 0};
  for (size_t i = 0; i < e.size(); ++i) {
    const std::string& n = e[i].name;
    ASSERT_TRUE(n == "a" || n == "bc");
    expect.insert(expect.end(), {static_cast<uint8_t>(n.size()), 0, 0, 0, 0, 0});
    expect.insert(expect.end(), {static_cast<uint8_t>(i == 1 ? 1 : 0), 0, 0, 0});
    expect.insert(expect.end(), n.begin(), n.end());
    expect.push_back(0);
  }
  EXPECT_EQ(std::vector<uint8_t>(buf_.begin(), buf_.begin() + 33), expect);
  EXPECT_STREQ(resume, "");
}

TEST_F(ListingTest, DirectoriesAreFlaggedAndNamesGoOutInGb18030) {
  dir_.MakeDir("home/d/sub");
  dir_.WriteFile("home/d/\xE4\xBD\xA0\xE5\xA5\xBD", "");  // 你好
  char resume[kMaxPath] = "";
  ASSERT_EQ(List(272, resume), 0u);
  std::vector<Entry> e = Decode(buf_.data(), capacity_);
  ASSERT_EQ(e.size(), 2u);
  for (const Entry& x : e) {
    if (x.name == "sub") {
      EXPECT_TRUE(x.is_directory);
    } else {
      EXPECT_EQ(x.name, "\xC4\xE3\xBA\xC3");
      EXPECT_FALSE(x.is_directory);
    }
  }
  EXPECT_TRUE(e.back().is_last);
}

TEST_F(ListingTest, PagingResumesAtTheFirstEntryLeftOutByItsExactName) {
  std::set<std::string> names;
  for (int i = 0; i < 38; ++i) {
    std::string n = "file-" + std::to_string(1000 + i);  // 9 bytes: 20-byte records
    dir_.WriteFile("home/d/" + n, "x");
    names.insert(n);
  }
  for (const char* n : {"Report.txt", "report.txt"}) {  // 10 bytes: 21-byte records
    dir_.WriteFile(std::string("home/d/") + n, "x");
    names.insert(n);
  }
  // Read from the start on every chunk, and carried on by a cursor.
  ListingCursor cursor;
  for (ListingCursor* c : {static_cast<ListingCursor*>(nullptr), &cursor}) {
    char resume[kMaxPath] = "";
    std::vector<std::string> seen;
    bool ended = false;
    for (int page = 0; page < 20 && !ended; ++page) {
      std::string expected_first = resume;
      ASSERT_EQ(List(272, resume, c), 0u);
      ASSERT_LE(capacity_, 272u);
      std::vector<Entry> e = Decode(buf_.data(), capacity_);
      ASSERT_FALSE(e.empty());
      EXPECT_GE(e.size(), page < 3 ? 12u : 1u) << "264 bytes hold 12 or 13 records";
      if (!expected_first.empty()) {
        EXPECT_EQ(e.front().name, expected_first);
      }
      for (size_t i = 0; i < e.size(); ++i) {
        seen.push_back(e[i].name);
        if (i + 1 < e.size()) {
          EXPECT_FALSE(e[i].is_last);
        }
      }
      ended = e.back().is_last;
      if (!ended) {
        EXPECT_EQ(names.count(resume), 1u);
        if (c != nullptr) {
          EXPECT_TRUE(c->open());
        }
      }
    }
    ASSERT_TRUE(ended);
    EXPECT_STREQ(resume, "") << "a complete listing clears the resume name";
    EXPECT_EQ(seen.size(), 40u) << "each entry once, both cases of Report.txt included";
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), names);
    EXPECT_FALSE(cursor.open()) << "a complete listing closes its stream";
  }
  EXPECT_EQ(buf_[kMaxPayload], 0xEE);
  // A cursor stopped at another name than the one asked for is not used.
  char resume[kMaxPath] = "";
  ASSERT_EQ(List(8 + 21, resume, &cursor), 0u);
  std::string second = resume;
  ASSERT_EQ(List(8 + 21, resume, &cursor), 0u);
  std::strcpy(resume, second.c_str());
  ASSERT_EQ(List(8 + 21, resume, &cursor), 0u);
  EXPECT_EQ(Decode(buf_.data(), capacity_).front().name, second);
}

TEST_F(ListingTest, CapacityEdgesAndResumeCases) {
  dir_.WriteFile("home/d/abc", "");
  char resume[kMaxPath] = "";
  ASSERT_EQ(List(8 + 3 + 11, resume), 0u) << "an entry ending exactly at the capacity fits";
  EXPECT_EQ(capacity_, 22u);
  EXPECT_TRUE(Decode(buf_.data(), capacity_).back().is_last);
  ASSERT_EQ(List(21, resume), 0u);
  EXPECT_EQ(capacity_, 8u) << "a first entry that does not fit: no records";
  EXPECT_STREQ(resume, "abc");
  ASSERT_EQ(List(272, resume), 0u) << "the next listing starts at it";
  EXPECT_EQ(Decode(buf_.data(), capacity_).size(), 1u);
  EXPECT_STREQ(resume, "");
  std::strcpy(resume, "ABC");
  ASSERT_EQ(List(272, resume), 0u);
  EXPECT_EQ(capacity_, 8u) << "resume names are exact bytes";
  std::strcpy(resume, "gone");
  ASSERT_EQ(List(272, resume), 0u);
  EXPECT_EQ(capacity_, 8u);
  EXPECT_STREQ(resume, "") << "a vanished resume name is dropped, so the next listing is whole";
  ASSERT_EQ(List(272, resume), 0u);
  EXPECT_EQ(Decode(buf_.data(), capacity_).size(), 1u);
  EXPECT_EQ(List(7, resume), ERROR_INVALID_PARAMETER);
}

TEST_F(ListingTest, CapacityIsCutToThePayloadRoomAndFailuresTouchNothing) {
  for (int i = 0; i < 3; ++i) dir_.WriteFile("home/d/f" + std::to_string(i), "");
  char resume[kMaxPath] = "";
  ASSERT_EQ(List(0xFFFFFFFFu, resume), 0u);
  EXPECT_EQ(Decode(buf_.data(), capacity_).size(), 3u);
  for (size_t i = kMaxPayload; i < buf_.size(); ++i) ASSERT_EQ(buf_[i], 0xEE) << "written past the room";
  std::vector<uint8_t> before = buf_;
  std::strcpy(resume, "keep");
  uint32_t cap = 272;
  EXPECT_EQ(BuildListing(dir_.Path("home", "missing"), buf_.data(), &cap, resume), RESULT_NO_SUCH_DIRECTORY);
  dir_.WriteFile("home/file", "");
  EXPECT_EQ(BuildListing(dir_.Path("home", "file"), buf_.data(), &cap, resume), RESULT_NO_SUCH_DIRECTORY);
  ASSERT_EQ(::symlink(dir_.At("home/d").c_str(), dir_.At("home/link").c_str()), 0);
  EXPECT_EQ(BuildListing(dir_.Path("home", "link"), buf_.data(), &cap, resume), ERROR_ACCESS_DENIED);
  EXPECT_EQ(BuildListing(dir_.Path("home", "link/x"), buf_.data(), &cap, resume), ERROR_ACCESS_DENIED);
  EXPECT_EQ(buf_, before);
  EXPECT_STREQ(resume, "keep");
}

}  // namespace
}  // namespace tervane
