#include "bench/dataset.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench/child_server.h"

namespace tervane::bench {
namespace {

class DatasetTest : public ::testing::Test {
 protected:
  void SetUp() override {
    char name[] = "/tmp/tervane-dataset-XXXXXX";
    ASSERT_NE(::mkdtemp(name), nullptr);
    dir_ = name;
  }
  void TearDown() override { RemoveTree(dir_); }

  std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  std::string dir_;
};

TEST(ByteStreamTest, SameSeedSameBytesOtherSeedOthers) {
  std::vector<uint8_t> a(1001), b(1001), c(1001);
  ByteStream(7).Fill(a.data(), a.size());
  ByteStream(7).Fill(b.data(), b.size());
  ByteStream(8).Fill(c.data(), c.size());
  EXPECT_EQ(a, b);
  EXPECT_NE(a, c);
  // The first word is the generator's first value, least significant byte first.
  uint64_t first = ByteStream(7).Next();
  for (int i = 0; i < 8; ++i) EXPECT_EQ(a[i], static_cast<uint8_t>(first >> (8 * i)));
  // The tail of an odd count comes from one more value, not from garbage.
  ByteStream s(7);
  for (int i = 0; i < 125; ++i) s.Next();
  uint64_t tail = s.Next();
  EXPECT_EQ(a[1000], static_cast<uint8_t>(tail));
}

TEST(ByteStreamTest, BetweenStaysInItsBoundsAndCoversThem) {
  ByteStream s(3);
  bool low = false, high = false;
  for (int i = 0; i < 10000; ++i) {
    uint64_t v = s.Between(5, 9);
    ASSERT_GE(v, 5u);
    ASSERT_LE(v, 9u);
    low = low || v == 5;
    high = high || v == 9;
  }
  EXPECT_TRUE(low && high);
  EXPECT_EQ(ByteStream(1).Between(4, 4), 4u);
}

TEST_F(DatasetTest, SmallSpreadsFilesOfOneToEightKibOverItsDirectories) {
  TreeStats stats;
  std::string failed;
  ASSERT_EQ(WriteSmallDataset(dir_ + "/small", 250, 20, 11, &stats, &failed), 0u) << failed;
  EXPECT_EQ(stats.files, 250u);
  EXPECT_EQ(stats.directories, 22u);  // 20 directories in 2 groups
  TreeStats counted;
  ASSERT_EQ(CountTree(dir_ + "/small", &counted, &failed), 0u);
  EXPECT_EQ(counted.files, stats.files);
  EXPECT_EQ(counted.directories, stats.directories);
  EXPECT_EQ(counted.bytes, stats.bytes);
  EXPECT_EQ(counted.others, 0u);
  EXPECT_GE(stats.bytes, 250u * kSmallMinBytes);
  EXPECT_LE(stats.bytes, 250u * kSmallMaxBytes);
  // File i sits in directory i % 20; directory 13 is in group 1.
  struct stat st {};
  ASSERT_EQ(::stat((dir_ + "/small/g001/d0013/f000233.bin").c_str(), &st), 0);
  EXPECT_GE(st.st_size, static_cast<off_t>(kSmallMinBytes));
  EXPECT_LE(st.st_size, static_cast<off_t>(kSmallMaxBytes));
}

TEST_F(DatasetTest, SmallIsTheSameForTheSameSeedAndDiffersForAnother) {
  ASSERT_EQ(WriteSmallDataset(dir_ + "/a", 30, 3, 5, nullptr, nullptr), 0u);
  ASSERT_EQ(WriteSmallDataset(dir_ + "/b", 30, 3, 5, nullptr, nullptr), 0u);
  ASSERT_EQ(WriteSmallDataset(dir_ + "/c", 30, 3, 6, nullptr, nullptr), 0u);
  const std::string file = "/g000/d0002/f000029.bin";
  EXPECT_EQ(Read(dir_ + "/a" + file), Read(dir_ + "/b" + file));
  EXPECT_NE(Read(dir_ + "/a" + file), Read(dir_ + "/c" + file));
}

TEST_F(DatasetTest, LargeFilesHaveTheirSizeAndDifferFromEachOther) {
  TreeStats stats;
  ASSERT_EQ(WriteLargeDataset(dir_ + "/large", 2, (1 << 20) + 3, 9, &stats, nullptr), 0u);
  EXPECT_EQ(stats.files, 2u);
  EXPECT_EQ(stats.directories, 0u);
  EXPECT_EQ(stats.bytes, 2u * ((1 << 20) + 3));
  std::string a = Read(dir_ + "/large/large-00.bin");
  std::string b = Read(dir_ + "/large/large-01.bin");
  ASSERT_EQ(a.size(), static_cast<size_t>((1 << 20) + 3));
  EXPECT_NE(a, b);
  // Each file is its own seed's stream: the second piece continues the first.
  std::vector<uint8_t> expected(a.size());
  ByteStream(9).Fill(expected.data(), 1 << 20);
  ByteStream rest(9);
  for (int i = 0; i < (1 << 17); ++i) rest.Next();
  rest.Fill(expected.data() + (1 << 20), 3);
  EXPECT_EQ(a, std::string(expected.begin(), expected.end()));
}

TEST_F(DatasetTest, EmptiesAreLeavesThreeLevelsDown) {
  TreeStats stats;
  ASSERT_EQ(WriteEmptiesDataset(dir_ + "/empties", 1000, &stats, nullptr), 0u);
  EXPECT_EQ(stats.files, 0u);
  EXPECT_EQ(stats.directories, 1000u + 100u + 10u);
  TreeStats counted;
  ASSERT_EQ(CountTree(dir_ + "/empties", &counted, nullptr), 0u);
  EXPECT_EQ(counted.directories, stats.directories);
  struct stat st {};
  EXPECT_EQ(::stat((dir_ + "/empties/t009/m0099/e00999").c_str(), &st), 0);
  EXPECT_TRUE(S_ISDIR(st.st_mode));
}

TEST_F(DatasetTest, AnExistingRootOrMissingParentIsRefusedWithItsPath) {
  std::string failed;
  ASSERT_EQ(::mkdir((dir_ + "/taken").c_str(), 0755), 0);
  EXPECT_EQ(WriteSmallDataset(dir_ + "/taken", 1, 1, 1, nullptr, &failed), 183u);  // ERROR_ALREADY_EXISTS
  EXPECT_EQ(failed, dir_ + "/taken");
  EXPECT_EQ(WriteEmptiesDataset(dir_ + "/no/such", 1, nullptr, &failed), 3u);  // ERROR_PATH_NOT_FOUND
  EXPECT_NE(WriteSmallDataset(dir_ + "/zero", 1, 0, 1, nullptr, &failed), 0u);
}

TEST_F(DatasetTest, CountTreeCountsLinksAsOthersWithoutFollowingThem) {
  ASSERT_EQ(WriteSmallDataset(dir_ + "/t", 4, 2, 1, nullptr, nullptr), 0u);
  ASSERT_EQ(::symlink((dir_ + "/t/g000").c_str(), (dir_ + "/t/link").c_str()), 0);
  TreeStats counted;
  ASSERT_EQ(CountTree(dir_ + "/t", &counted, nullptr), 0u);
  EXPECT_EQ(counted.files, 4u);
  EXPECT_EQ(counted.directories, 3u);
  EXPECT_EQ(counted.others, 1u);
  std::string failed;
  TreeStats none;
  EXPECT_EQ(CountTree(dir_ + "/missing", &none, &failed), 3u);
  EXPECT_EQ(failed, dir_ + "/missing");
}

}  // namespace
}  // namespace tervane::bench
