// The benchmark's generated datasets. Every byte comes from a seeded
// generator, so two machines (or two runs) given the same arguments write the
// same tree, name for name and byte for byte; the content does not compress.
//
//   small    `files` files of 1 to 8 KiB, spread evenly over `directories`
//            directories that sit in groups of ten below the root
//   large    `files` files of `file_bytes` each
//   empties  `directories` empty directories three levels down (ten to a
//            parent), their parents holding nothing but directories
//
// The functions create `root` (which must not exist yet) and everything in
// it. Results are 0 or the Windows code of the failed call, with the path it
// failed on in *failed_path. Thread-compatible: each call touches only its
// own tree.
#ifndef TERVANE_BENCH_DATASET_H_
#define TERVANE_BENCH_DATASET_H_

#include <cstdint>
#include <string>

namespace tervane::bench {

// What a tree holds, as TreeStats counts it: regular files, directories
// below the root (the root itself not counted) and the files' bytes.
struct TreeStats {
  uint64_t files = 0;
  uint64_t directories = 0;
  uint64_t bytes = 0;
  uint64_t others = 0;  // links, FIFOs, sockets, devices
};

// The numbers the benchmark uses unless told otherwise.
inline constexpr uint32_t kSmallFiles = 20000;
inline constexpr uint32_t kSmallDirectories = 200;
inline constexpr uint32_t kSmallMinBytes = 1024;
inline constexpr uint32_t kSmallMaxBytes = 8192;
inline constexpr uint32_t kLargeFiles = 4;
inline constexpr uint64_t kLargeFileBytes = 256ull << 20;
inline constexpr uint32_t kEmptyDirectories = 1000;
inline constexpr uint64_t kDefaultSeed = 20260101;

// A small, fast generator (splitmix64): the same seed gives the same stream
// everywhere. Fill() writes whole 8-byte words little-endian, so the bytes
// do not depend on the machine's byte order.
class ByteStream {
 public:
  explicit ByteStream(uint64_t seed) : state_(seed) {}
  uint64_t Next();
  // A value in [low, high], both included; high >= low.
  uint64_t Between(uint64_t low, uint64_t high);
  void Fill(uint8_t* out, size_t count);

 private:
  uint64_t state_;
};

uint32_t WriteSmallDataset(const std::string& root, uint32_t files, uint32_t directories, uint64_t seed,
                           TreeStats* stats, std::string* failed_path);

uint32_t WriteLargeDataset(const std::string& root, uint32_t files, uint64_t file_bytes, uint64_t seed,
                           TreeStats* stats, std::string* failed_path);

uint32_t WriteEmptiesDataset(const std::string& root, uint32_t directories, TreeStats* stats,
                             std::string* failed_path);

// Adds what lies below `root` to *stats, without following links. 0 or the
// code of the first entry that could not be read.
uint32_t CountTree(const std::string& root, TreeStats* stats, std::string* failed_path);

}  // namespace tervane::bench

#endif  // TERVANE_BENCH_DATASET_H_
