// Uploads of a backup run with several files in flight on one connection.
//
// Each file's own requests go out in its order: create; get size; set size;
// the 64 KiB pieces; set time (the local last-write time); the space report;
// close. A request that needs a reply's value waits for that reply
// (everything after the create needs the handle, the space report needs the
// previous size), but the next files' creates go out while earlier files'
// pieces are still being answered. A directory marker is a create and, when
// it succeeded, a close.
//
// A file that fails after its remote file was created (a refused request, a
// local read error) is closed and deleted; replies to its requests already
// sent are taken and ignored. A failed connection fails every file in flight
// and the queue takes nothing more.
//
// Contract: lives within one run on one thread, over a logged-in session
// whose connection outlives it; holds the connection (see RequestPipeline)
// from construction to destruction, so no other request may be made on it
// meanwhile. Outcomes are reported in the order files were added; the
// destructor finishes every upload first.
#ifndef TERVANE_CLIENT_APP_UPLOAD_QUEUE_H_
#define TERVANE_CLIENT_APP_UPLOAD_QUEUE_H_

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "client/net/request_pipeline.h"
#include "shared/protocol/result.h"

namespace tervane {

class ClientSession;

struct UploadOutcome {
  std::string local_path;  // as added (a marker: the directory followed by "|")
  bool marker = false;
  uint64_t bytes = 0;      // the file's size
  // 0; the local open's code when the file cannot be had (nothing was
  // sent); a local read error's code; a mapping code of MapRemoteWireName;
  // else the first failing request's result or the connection's failure.
  Result result;
  // The upload failed because the connection did.
  bool connection_lost = false;
};

class UploadQueue {
 public:
  using Done = std::function<void(const UploadOutcome&)>;

  // `session` must be logged in; `day` is the weekday folder.
  UploadQueue(ClientSession* session, std::string_view day, Done done,
              size_t byte_limit = kDefaultPipelineBytes);
  ~UploadQueue();
  UploadQueue(const UploadQueue&) = delete;
  UploadQueue& operator=(const UploadQueue&) = delete;

  // Starts the upload of one local file (`marker`: the directory marker
  // "<dir>|"). A file waits first while kPipelineOpenFileLimit files have
  // their create out and their close not yet; a marker opens nothing.
  void Add(const std::string& local_path, bool marker);
  // Waits until every upload has been reported.
  void Finish();
  // 0 while the connection is in step, else the code it failed with.
  Result connection_failure() const { return pipeline_.failure(); }

 private:
  struct Upload;
  void Submit(Upload* u, uint16_t code, const uint8_t* head, size_t head_length, const uint8_t* body,
              size_t body_length, size_t reply_capacity, std::function<void(Upload*, const uint8_t*, uint32_t)> take,
              bool counts_as_failure = true);
  void Advance(Upload* u);
  void SendPieces(Upload* u);
  void StartCleanup(Upload* u);
  void AdvanceAll();
  // Waits for a reply when any is outstanding, then moves every upload on.
  // False when nothing was in flight and nothing moved (the uploads left
  // were failed with 1).
  bool Step();
  void Retire();
  void ReleaseEntry(Upload* u);

  ClientSession* const session_;
  const std::string day_;
  Done done_;
  RequestPipeline pipeline_;
  std::deque<std::unique_ptr<Upload>> uploads_;  // in the order added
  std::vector<uint8_t> piece_;
  uint64_t submitted_ = 0;  // requests sent so far
  size_t open_entries_ = 0;  // files whose create is out and close is not
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_UPLOAD_QUEUE_H_
