// Micro-benchmarks of the hot paths:
//   - the floor under every request: a bare 28-byte round trip between two
//     processes over loopback TCP, with nothing else done on either side;
//   - one heartbeat and one 64 KiB write, each a whole round trip from the
//     client library to a tervanesvr child on loopback and back (the server
//     is $TERVANE_BIN_DIR/tervanesvr);
//   - BuildListing of directories of 1,000, 10,000 and 100,000 entries, in
//     the 272-byte chunks the client asks for and in chunks of the largest
//     payload;
//   - the MD5 of 1 MiB;
//   - the client's walk of a local tree of 1,000 files in 10 directories.
// The listed and walked trees go to /dev/shm (or /tmp without it), so the
// file system's work is memory's; the server's share is the test server's
// own folder under /tmp (the 64 KiB write lands in the page cache).
#include <arpa/inet.h>
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "client/app/local_walk.h"
#include "client/app/md5.h"
#include "client/net/remote_file.h"
#include "client/net/remote_path_ops.h"
#include "client/net/remote_session.h"
#include "server/store/listing.h"
#include "server/store/store_path.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/result.h"
#include "testing/test_server.h"

namespace tervane::bench {
namespace {

std::string ScratchParent() {
  struct stat st {};
  return ::stat("/dev/shm", &st) == 0 && S_ISDIR(st.st_mode) ? "/dev/shm" : "/tmp";
}

// A scratch directory removed when the benchmark ends.
class ScratchDir {
 public:
  ScratchDir() {
    std::string pattern = ScratchParent() + "/tervane-micro-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data()) != nullptr) path_ = name.data();
  }
  ~ScratchDir() {
    std::error_code ignored;
    if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
  }
  const std::string& path() const { return path_; }

 private:
  std::string path_;
};

// Bytes that do not compress; what they are does not matter.
std::vector<uint8_t> NoiseBytes(size_t count, uint32_t seed) {
  std::mt19937 generator(seed);
  std::vector<uint8_t> bytes(count);
  for (uint8_t& b : bytes) b = static_cast<uint8_t>(generator());
  return bytes;
}

std::string Failed(const char* what, Result rc) { return std::string(what) + " failed: " + std::to_string(rc.code()); }

// A server of its own for each round-trip benchmark, and one connection to
// it.
class Connection {
 public:
  bool Open(benchmark::State& state) {
    if (!server_.Start()) {
      state.SkipWithError("tervanesvr did not start (is TERVANE_BIN_DIR set?)");
      return false;
    }
    Result rc = KOVA_Connect("127.0.0.1", &session_, server_.port());
    if (!rc.ok()) state.SkipWithError(Failed("connect", rc).c_str());
    return rc.ok();
  }
  bool Login(benchmark::State& state) {
    // A digest-like password: the server compares it unchanged.
    const char* digest = "0123456789abcdef0123456789abcdef";
    Result rc = KOVA_RegisterUser(session_, "bench", digest);
    if (rc.ok()) rc = KOVA_Login(session_, "bench", digest);
    if (!rc.ok()) state.SkipWithError(Failed("login", rc).c_str());
    return rc.ok();
  }
  ~Connection() {
    // The server is stopped next; how the session ends does not matter.
    if (session_ != nullptr) static_cast<void>(KOVA_Disconnect(session_));
  }
  RemoteSession* session() const { return session_; }

 private:
  testing::TestServer server_;
  RemoteSession* session_ = nullptr;
};

// A child process that echoes 28-byte frames on one loopback connection:
// what a request costs when neither side does any work.
void BM_LoopbackFloor(benchmark::State& state) {
  int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    state.SkipWithError("no loopback listener");
    return;
  }
  pid_t child = ::fork();
  if (child == 0) {
    int c = ::accept(listener, nullptr, nullptr);
    int one = 1;
    ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    uint8_t frame[kHeaderSize];
    while (::recv(c, frame, sizeof frame, MSG_WAITALL) == static_cast<ssize_t>(sizeof frame)) {
      if (::send(c, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame)) break;
    }
    ::_exit(0);
  }
  ::close(listener);
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int one = 1;
  bool ok = child > 0 && s >= 0 && ::connect(s, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
            ::setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) == 0;
  uint8_t frame[kHeaderSize] = {};
  for (auto _ : state) {
    if (!ok || ::send(s, frame, sizeof frame, MSG_NOSIGNAL) != static_cast<ssize_t>(sizeof frame) ||
        ::recv(s, frame, sizeof frame, MSG_WAITALL) != static_cast<ssize_t>(sizeof frame)) {
      state.SkipWithError("echo failed");
      break;
    }
  }
  if (s >= 0) ::close(s);
  if (child > 0) {
    int status = 0;
    if (::waitpid(child, &status, 0) != child) ::kill(child, SIGKILL);
  }
}
BENCHMARK(BM_LoopbackFloor)->UseRealTime();

void BM_HeartbeatRoundTrip(benchmark::State& state) {
  Connection c;
  if (!c.Open(state)) return;
  for (auto _ : state) {
    Result rc = KOVA_Heartbeat(c.session());
    if (!rc.ok()) {
      state.SkipWithError(Failed("heartbeat", rc).c_str());
      break;
    }
  }
}
BENCHMARK(BM_HeartbeatRoundTrip)->UseRealTime();

void BM_Write64KiBRoundTrip(benchmark::State& state) {
  Connection c;
  if (!c.Open(state) || !c.Login(state)) return;
  RemoteFile* file = nullptr;
  Result rc = KOVA_CreateFile(c.session(), "bench.bin", GENERIC_WRITE, 0, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, &file);
  if (!rc.ok()) {
    state.SkipWithError(Failed("create", rc).c_str());
    return;
  }
  const std::vector<uint8_t> piece = NoiseBytes(kMaxDataPiece, 1);
  const uint64_t offset = 0;
  for (auto _ : state) {
    rc = KOVA_WriteFile(file, &offset, static_cast<uint32_t>(piece.size()), piece.data());
    if (!rc.ok()) {
      state.SkipWithError(Failed("write", rc).c_str());
      break;
    }
  }
  // The file is only the target of the writes; its close changes no figure.
  static_cast<void>(KOVA_CloseFile(file));
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(piece.size()));
}
BENCHMARK(BM_Write64KiBRoundTrip)->UseRealTime();

// The listing of one directory of range(0) empty files, chunk after chunk
// until complete, with the connection's cursor as OP_LIST_DIRECTORY keeps it;
// range(1) is the capacity of one chunk. The per_entry counter is the time
// of one entry: it stays flat as the directory grows when paging is linear.
void BM_BuildListing(benchmark::State& state) {
  const uint32_t entries = static_cast<uint32_t>(state.range(0));
  ScratchDir scratch;
  std::string dir = scratch.path() + "/listed";
  if (scratch.path().empty() || ::mkdir(dir.c_str(), 0700) != 0) {
    state.SkipWithError("cannot make the directory");
    return;
  }
  for (uint32_t i = 0; i < entries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "/entry-%06u", i);
    int fd = ::open((dir + name).c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) {
      state.SkipWithError("cannot make the entries");
      return;
    }
    ::close(fd);
  }
  StorePath path;
  if (!Result(path.SetHome(dir)).ok()) {
    state.SkipWithError("bad path");
    return;
  }
  std::vector<uint8_t> out(kMaxPayload);
  ListingCursor cursor;
  uint32_t chunks = 0;
  for (auto _ : state) {
    char resume[kMaxPath] = {};
    uint32_t records = 0;
    do {
      uint32_t capacity = static_cast<uint32_t>(state.range(1));
      if (!Result(BuildListing(path, out.data(), &capacity, resume, &cursor)).ok()) {
        state.SkipWithError("listing failed");
        return;
      }
      uint32_t count = out[0] | out[1] << 8 | out[2] << 16 | static_cast<uint32_t>(out[3]) << 24;
      records += count;
      ++chunks;
      if (count == 0) break;
    } while (resume[0] != '\0');
    if (records != entries) {
      state.SkipWithError(("listed " + std::to_string(records) + " entries").c_str());
      return;
    }
  }
  state.counters["chunks"] = benchmark::Counter(chunks, benchmark::Counter::kAvgIterations);
  state.counters["per_entry"] = benchmark::Counter(
      static_cast<double>(entries), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_BuildListing)
    ->Args({1000, kListingCapacity})
    ->Args({10000, kListingCapacity})
    ->Args({100000, kListingCapacity})
    ->Args({1000, kMaxPayload})
    ->Args({100000, kMaxPayload})
    ->Unit(benchmark::kMicrosecond);

void BM_Md5OneMiB(benchmark::State& state) {
  const std::vector<uint8_t> data = NoiseBytes(1 << 20, 2);
  uint8_t digest[16];
  for (auto _ : state) {
    MD5_CTX md5;
    md5.Update(data.data(), data.size());
    md5.Final(digest);
    benchmark::DoNotOptimize(digest);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(data.size()));
}
BENCHMARK(BM_Md5OneMiB);

// Makes root/g000/d0000 ... d0009 with `files` empty files spread over
// them: 1,011 entries for 1,000 files. The walk reads names and kinds only,
// so the files' sizes would change nothing.
bool MakeWalkTree(const std::string& root, uint32_t files) {
  std::error_code error;
  for (uint32_t d = 0; d < 10; ++d) {
    std::filesystem::create_directories(root + "/g000/d000" + std::to_string(d), error);
    if (error) return false;
  }
  for (uint32_t i = 0; i < files; ++i) {
    char name[64];
    std::snprintf(name, sizeof name, "/g000/d%04u/f%06u.bin", i % 10, i);
    if (!std::ofstream(root + name)) return false;
  }
  return true;
}

// The client's walk of a local tree: the listing of every directory with
// each entry's kind, as the backup reads it before uploading.
void BM_ClientWalk(benchmark::State& state) {
  ScratchDir scratch;
  std::string root = scratch.path() + "/tree";
  if (scratch.path().empty() || !MakeWalkTree(root, 1000)) {
    state.SkipWithError("cannot make the tree");
    return;
  }
  uint64_t entries = 0;
  for (auto _ : state) {
    std::vector<std::string> pending = {root};
    while (!pending.empty()) {
      std::string dir = pending.back();
      pending.pop_back();
      std::vector<LocalEntry> listed;
      uint32_t read_error = 0;
      if (!ListLocalDirectory(dir, &listed, &read_error) || read_error != 0) {
        state.SkipWithError("walk failed");
        return;
      }
      for (const LocalEntry& e : listed) {
        ++entries;
        if (e.kind == LocalEntryKind::kDirectory) pending.push_back(dir + "/" + e.name);
      }
    }
  }
  state.counters["entries"] = benchmark::Counter(static_cast<double>(entries), benchmark::Counter::kAvgIterations);
}
BENCHMARK(BM_ClientWalk);

}  // namespace
}  // namespace tervane::bench

BENCHMARK_MAIN();
