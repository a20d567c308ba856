#include "fuzz/fuzz_targets.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"
#include "server/net/client_context.h"
#include "server/net/context_pool.h"
#include "server/net/request_dispatcher.h"
#include "server/store/account_manager.h"
#include "server/store/file_registry.h"
#include "shared/protocol/frame_header.h"
#include "testing/temp_dir.h"

namespace tervane::fuzz {
namespace {

// Bytes no reply may ever carry: they stand only in the file outside the share.
constexpr char kOutsideSecret[] = "TERVANE-OUTSIDE-SECRET-5d1c9e";

class FrameHarness {
 public:
  FrameHarness() {
    Check(testing::WriteFile(outside_ + "/secret.txt", kOutsideSecret) &&
              ::chmod((outside_ + "/secret.txt").c_str(), 0600) == 0,
          "cannot plant the outside file");
    outside_before_ = testing::ReadTree(outside_, true);
  }

  void Run(const uint8_t* data, size_t size) {
    Reset();
    size_t at = 0;
    while (size - at >= 1 + kHeaderSize) {
      const size_t which = data[at] & 1;
      ++at;
      if (!Step(which, data, size, &at)) break;
    }
    pool_->DestroyAll();
    Verify();
  }

 private:
  // One frame on connection `which`; false when the input ended inside it.
  bool Step(size_t which, const uint8_t* data, size_t size, size_t* at) {
    ClientContext& c = *connections_[which];
    std::memcpy(c.buffer, data + *at, kHeaderSize);
    *at += kHeaderSize;
    uint8_t request[kHeaderSize];
    std::memcpy(request, c.buffer, kHeaderSize);
    DispatchOutcome outcome = dispatcher_->OnHeader(c);
    if (outcome == DispatchOutcome::kRelease) {
      Check(HeaderPayloadLength(request) > kMaxPayload, "a header within the frame released its connection");
      return Reconnect(which), true;
    }
    if (outcome == DispatchOutcome::kReceivePayload) {
      Check(c.offset == kHeaderSize && c.remaining <= kMaxPayload, "payload receive beyond the frame buffer");
      if (c.remaining == 0) return Reconnect(which), true;  // a zero-byte receive ends as the peer's close
      const size_t take = c.remaining;
      if (size - *at < take) return false;  // the connection would wait for the rest
      std::memcpy(c.buffer + kHeaderSize, data + *at, take);
      *at += take;
      outcome = dispatcher_->OnPayload(c);
    }
    Check(outcome == DispatchOutcome::kSendReply, "a complete request got no reply");
    CheckReply(c, request);
    // Next header (after a failed login's pause), or released after too many.
    outcome = dispatcher_->OnReplySent(c);
    Check(c.io_kind == IO_RECEIVE && c.stage == STAGE_HEADER && c.offset == 0 && c.remaining == kHeaderSize,
          "the next header is not awaited");
    if (outcome == DispatchOutcome::kRelease) Reconnect(which);
    return true;
  }

  void CheckReply(ClientContext& c, const uint8_t* request) {
    const uint32_t length = HeaderPayloadLength(c.buffer);
    Check(length <= kMaxPayload, "reply payload beyond the frame");
    Check(c.io_kind == IO_SEND && c.offset == 0 && c.remaining == kHeaderSize + length,
          "reply send does not cover header and payload");
    Check(c.buffer[kOffDirection] == kDirectionReply, "reply not marked as a reply");
    Check(HeaderResult(c.buffer) == 0 || length == 0, "error reply carries payload");
    for (size_t i = 0; i < kHeaderSize; ++i) {
      const bool reply_field = i == kOffDirection || (i >= kOffResult && i < kOffRequestTag);
      if (!reply_field) Check(c.buffer[i] == request[i], "reply header differs from the request's");
    }
    const std::string_view payload(reinterpret_cast<const char*>(c.buffer + kHeaderSize), length);
    Check(payload.find(kOutsideSecret) == std::string_view::npos, "a reply carries the file outside the share");
  }

  // A new connection as `which` once the pool released the one before; its
  // socket is /dev/null, which the release closes.
  void Reconnect(size_t which) {
    ClientContext* c = connections_[which];
    if (c != nullptr) pool_->Free(c, c->session.key);
    uint32_t key = 0;
    connections_[which] = pool_->Alloc(0, 0, ::open("/dev/null", O_RDWR | O_CLOEXEC), 0, &key);
    Check(connections_[which] != nullptr, "no free slot for a new connection");
  }

  // A fresh share and account table: no input depends on the ones before.
  void Reset() {
    Check(testing::RemoveAll(share_) && testing::MakeDirs(share_), "cannot empty the share");
    Check(testing::WriteFile(config_path_, config_text_), "cannot write Config.cfg");
    uint32_t max_connections = 0;
    const Result loaded = [&] {
      Silenced quiet(STDERR_FILENO);  // the load names every home: noise once per input
      return accounts_.LoadAccounts(config_path_, &max_connections);
    }();
    Check(loaded == 0, "Config.cfg does not load");
    const std::string home = share_ + "/alice/";
    Check(::symlink(outside_.c_str(), (home + "outlink").c_str()) == 0 &&
              ::symlink((outside_ + "/secret.txt").c_str(), (home + "secretlink").c_str()) == 0,
          "cannot plant a link");
    pool_.reset();  // it refers to the registry replaced here
    files_ = std::make_unique<FileRegistry>();
    pool_ = std::make_unique<ContextPool>(2, accounts_, *files_);
    dispatcher_ = std::make_unique<RequestDispatcher>(accounts_, *files_);
    for (ClientContext*& c : connections_) c = nullptr;
    for (size_t which = 0; which < 2; ++which) Reconnect(which);
  }

  void Verify() {
    Check(files_->OpenCount() == 0, "a file stays open after its connections were released");
    struct stat st {};
    Check(::lstat(share_.c_str(), &st) == 0 && S_ISDIR(st.st_mode), "the share is gone");
    Check(testing::ReadTree(outside_, true) == outside_before_, "an entry, mode or byte outside the share changed");
    std::vector<std::string> top = testing::ListDir(scratch_.path());
    std::sort(top.begin(), top.end());
    Check(top == std::vector<std::string>{"Config.cfg", "outside", "share"},
          "something was made or removed beside the share");
  }

  ScratchDir scratch_{"fuzz-frames"};
  const std::string share_ = scratch_.At("share");
  const std::string outside_ = scratch_.At("outside");
  testing::Tree outside_before_;
  const std::string config_path_ = scratch_.At("Config.cfg");
  const std::string config_text_ =
      "[SharePath]\r\n" + share_ + "/\r\n[User]\r\nalice\r\nalicepw\r\n[User]\r\nbob\r\nbobpw\r\n";
  AccountManager accounts_;
  // New per input: handles number alike (the first is 0x1000), so seeds name them.
  std::unique_ptr<FileRegistry> files_;
  std::unique_ptr<ContextPool> pool_;
  std::unique_ptr<RequestDispatcher> dispatcher_;
  ClientContext* connections_[2] = {};
};

}  // namespace

int FuzzServerFrames(const uint8_t* data, size_t size) {
  static FrameHarness harness;  // lives for the process; its share goes at exit
  harness.Run(data, size);
  return 0;
}

}  // namespace tervane::fuzz
