#include "server/store/listing.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "shared/platform/remote_name.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"
#include "testing/temp_dir.h"

namespace tervane {
namespace {

class ListingTest : public ::testing::Test {
 protected:
  void SetUp() override { dir_.MakeDir("home/d"); }
  Result List(uint32_t capacity, ListingCursor* cursor = nullptr, const char* rel = "d") {
    capacity_ = capacity;
    return BuildListing(dir_.Path("home", rel), buf_.data(), &capacity_, resume_, cursor);
  }
  // The chunk's names ("/" after a directory's), after checking the header
  // against the records and that only the last record of a complete
  // listing is marked last.
  std::vector<std::string> Entries() const {
    std::vector<std::string> names;
    ListingHeader h;
    EXPECT_TRUE(DecodeListingHeader(buf_.data(), capacity_, &h));
    EXPECT_EQ(h.records_length, capacity_ - 8);
    size_t off = 8;
    for (uint32_t i = 0; i < h.count; ++i) {
      ListingRecord r;
      size_t size = 0;
      EXPECT_TRUE(DecodeListingRecord(buf_.data() + off, capacity_ - off, &r, &size));
      EXPECT_EQ(r.is_last, i + 1 == h.count && resume_[0] == '\0') << r.name;
      names.push_back(std::string(r.name) + (r.is_directory ? "/" : ""));
      off += size;
    }
    EXPECT_EQ(off, capacity_);
    return names;
  }

  testing::TempDir dir_;
  std::vector<uint8_t> buf_ = std::vector<uint8_t>(kMaxPayload + 64, 0xEE);
  uint32_t capacity_ = 0;
  char resume_[kMaxPath] = "";
};

TEST_F(ListingTest, TheExactBytesDirectoriesFlaggedAndNamesInGb18030) {
  ASSERT_EQ(List(272), 0u);
  EXPECT_EQ(std::vector<uint8_t>(buf_.begin(), buf_.begin() + capacity_), std::vector<uint8_t>(8, 0));
  dir_.WriteFile("home/d/a", "1");
  dir_.WriteFile("home/d/bc", "22");
  ASSERT_EQ(List(272), 0u);
  std::vector<std::string> e = Entries();
  ASSERT_EQ(capacity_, 33u);
  // Entries come in the file system's order; the expected bytes follow it.
  std::vector<uint8_t> expect = {2, 0, 0, 0, 25, 0, 0, 0};
  for (size_t i = 0; i < e.size(); ++i) {
    expect.insert(expect.end(), {static_cast<uint8_t>(e[i].size()), 0, 0, 0, 0, 0, static_cast<uint8_t>(i), 0, 0, 0});
    expect.insert(expect.end(), e[i].c_str(), e[i].c_str() + e[i].size() + 1);
  }
  EXPECT_EQ(std::vector<uint8_t>(buf_.begin(), buf_.begin() + 33), expect);
  dir_.MakeDir("home/d/sub");
  dir_.WriteFile("home/d/\xE4\xBD\xA0\xE5\xA5\xBD", "");  // 你好
  ASSERT_EQ(List(272), 0u);
  e = Entries();
  std::sort(e.begin(), e.end());
  EXPECT_EQ(e, (std::vector<std::string>{"a", "bc", "sub/", "\xC4\xE3\xBA\xC3"}));
}

TEST_F(ListingTest, PagingResumesAtTheFirstEntryLeftOutByItsExactName) {
  std::set<std::string> names = {"Report.txt", "report.txt"};  // 21-byte records
  for (int i = 0; i < 38; ++i) names.insert("file-" + std::to_string(1000 + i));  // 20-byte records
  for (const std::string& n : names) dir_.WriteFile("home/d/" + n, "x");
  // Read from the start on every chunk, and carried on by a cursor.
  ListingCursor cursor;
  for (ListingCursor* c : {static_cast<ListingCursor*>(nullptr), &cursor}) {
    std::vector<std::string> seen;
    for (int page = 0; page < 20 && (page == 0 || resume_[0] != '\0'); ++page) {
      std::string expected_first = resume_;
      ASSERT_EQ(List(272, c), 0u);
      std::vector<std::string> e = Entries();
      ASSERT_GE(e.size(), page < 3 ? 12u : 1u) << "264 bytes hold 12 or 13 records";
      EXPECT_TRUE(expected_first.empty() || e.front() == expected_first) << expected_first;
      seen.insert(seen.end(), e.begin(), e.end());
      EXPECT_TRUE(resume_[0] == '\0' || (names.count(resume_) == 1 && (c == nullptr || c->open()))) << resume_;
    }
    EXPECT_TRUE(resume_[0] == '\0' && seen.size() == 40u) << "complete, each entry once, both cases of Report.txt";
    EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()), names);
    EXPECT_FALSE(cursor.open()) << "a complete listing closes its stream";
  }
  // A cursor stopped at another name than the one asked for is not used.
  ASSERT_EQ(List(8 + 21, &cursor), 0u);
  std::string second = resume_;
  ASSERT_EQ(List(8 + 21, &cursor), 0u);
  std::strcpy(resume_, second.c_str());
  ASSERT_EQ(List(8 + 21, &cursor), 0u);
  EXPECT_EQ(Entries().front(), second);
}

TEST_F(ListingTest, CapacityEdgesResumeCasesAndFailuresThatTouchNothing) {
  dir_.WriteFile("home/d/abc", "");
  const std::vector<std::string> one = {"abc"};
  ASSERT_EQ(List(8 + 3 + 11), 0u) << "an entry ending exactly at the capacity fits";
  EXPECT_EQ(Entries(), one);
  ASSERT_EQ(List(21), 0u);
  EXPECT_TRUE(capacity_ == 8u && std::string(resume_) == "abc") << "a first entry that does not fit: no records";
  ASSERT_EQ(List(272), 0u) << "the next listing starts at it";
  EXPECT_EQ(Entries(), one);
  std::strcpy(resume_, "ABC");  // resume names are exact bytes; a vanished one is dropped
  ASSERT_EQ(List(272), 0u);
  EXPECT_TRUE(capacity_ == 8u && resume_[0] == '\0');
  EXPECT_EQ(List(7), ERROR_INVALID_PARAMETER);
  for (int i = 0; i < 2; ++i) dir_.WriteFile("home/d/f" + std::to_string(i), "");
  ASSERT_EQ(List(0xFFFFFFFFu), 0u);
  EXPECT_EQ(Entries().size(), 3u);
  EXPECT_EQ(std::vector<uint8_t>(buf_.begin() + kMaxPayload, buf_.end()), std::vector<uint8_t>(64, 0xEE))
      << "the capacity is cut to the payload room";

  const std::vector<uint8_t> before = buf_;
  std::strcpy(resume_, "keep");
  dir_.WriteFile("home/file", "");
  ASSERT_EQ(::symlink(dir_.At("home/d").c_str(), dir_.At("home/link").c_str()), 0);
  EXPECT_EQ((std::vector<Result>{List(272, nullptr, "missing"), List(272, nullptr, "file"), List(272, nullptr, "link"),
                                 List(272, nullptr, "link/x")}),
            (std::vector<Result>{RESULT_NO_SUCH_DIRECTORY, RESULT_NO_SUCH_DIRECTORY, ERROR_ACCESS_DENIED,
                                 ERROR_ACCESS_DENIED}));
  EXPECT_TRUE(buf_ == before && std::string(resume_) == "keep");
}

}  // namespace
}  // namespace tervane
