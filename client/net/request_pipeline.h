// Several requests of one connection in flight at once. Submitted requests
// gather into one send (when 16 KiB wait, or as soon as the pipeline waits
// for anything), each with the same bytes a single exchange would send; the server answers them one after
// another, in the order sent, and each reply is handed to the handler given
// with its request.
//
// The pipeline never waits on the socket for one direction only: whenever it
// has to wait (the bytes in flight are at their limit, or a reply is awaited)
// it sends what the socket takes and reads whatever replies have come, so a
// server blocked on sending replies is always read from.
//
// Contract:
// - Lifetime: built over a connected RemoteSession, which must outlive it.
//   The pipeline holds the session's lock from construction to destruction,
//   so no other exchange (nor another thread) can slip a frame in between;
//   the lock is not re-entrant, so the owning thread must not call the
//   KOVA_* functions on the session while the pipeline lives. The destructor
//   waits for every outstanding reply, so the connection is in step again
//   afterwards.
// - Threads: one thread uses a pipeline; handlers run on that thread, inside
//   Submit, Poll, WaitForReply or Drain, and must not call back into the
//   pipeline.
// - Order and identity: replies are matched to requests by order; a reply
//   whose request_tag is not the oldest outstanding request's, an error reply
//   carrying payload, or a reply larger than its request allows puts the
//   stream out of step, and the connection is closed.
// - Failure: once the connection fails (out of step, socket failure, peer
//   closed, no reply within the session's reply time-out), every outstanding
//   handler is called with the failure's code, and every later call returns
//   that code; a request submitted then is not sent and its handler is
//   called at once with the code. Every handler is called exactly once.
#ifndef TERVANE_CLIENT_NET_REQUEST_PIPELINE_H_
#define TERVANE_CLIENT_NET_REQUEST_PIPELINE_H_

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <vector>

#include "client/net/remote_session.h"
#include "shared/protocol/result.h"

namespace tervane {

// What may be in flight by default: requests sent or queued and the replies
// they may bring, in bytes.
inline constexpr size_t kDefaultPipelineBytes = 4u << 20;
// The server keeps 16 open files per connection; callers that open files
// through a pipeline keep at most this many open at once, leaving one entry
// for whatever else the connection holds.
inline constexpr size_t kPipelineOpenFileLimit = 15;

// Called exactly once per request: with the reply's result and its payload
// (valid until the handler returns), or with the connection's failure code
// and no payload.
using ReplyHandler = std::function<void(Result result, const uint8_t* payload, uint32_t length)>;

class RequestPipeline {
 public:
  // Both outside the analysis: the lock is taken in one and given back in
  // the other.
  explicit RequestPipeline(RemoteSession* session, size_t byte_limit = kDefaultPipelineBytes)
      NO_THREAD_SAFETY_ANALYSIS;
  ~RequestPipeline() NO_THREAD_SAFETY_ANALYSIS;
  RequestPipeline(const RequestPipeline&) = delete;
  RequestPipeline& operator=(const RequestPipeline&) = delete;

  // Queues one request of `code` whose payload is head[0..head_length)
  // followed by body[0..body_length) (a write's data; may be empty); it goes
  // out with the next send. A reply payload beyond `reply_capacity`
  // bytes fails the connection with 13. When the bytes in flight would pass
  // the limit, replies are handled first until they would not. 0, the
  // connection's failure, or 87 for a payload larger than a frame holds;
  // 1 when called from a handler (nothing is done).
  Result Submit(uint16_t code, const uint8_t* head, size_t head_length, const uint8_t* body,
                size_t body_length, size_t reply_capacity, ReplyHandler handler);

  // Sends what the socket takes and handles the replies that have come,
  // without waiting.
  Result Poll();
  // Waits until at least one more reply has been handled (returns at once
  // when nothing is outstanding).
  Result WaitForReply();
  // Waits until every outstanding request has been answered.
  Result Drain();

  size_t outstanding() const { return outstanding_.size(); }
  // 0 while the connection is in step, else the code it failed with.
  Result failure() const { return failure_; }

 private:
  struct Pending {
    uint32_t tag;
    size_t reply_capacity;
    size_t cost;  // bytes it counts against the limit
    ReplyHandler handler;
  };

  // One round of sending and receiving; with `wait`, blocks until the socket
  // can move something when nothing moved at once.
  void Pump(bool wait);
  void HandleReplies();
  void Fail(Result code);
  uint32_t NextTag();

  // Held from construction to destruction: every member function runs with
  // session_->lock held (each tells the analysis so).
  RemoteSession* const session_;
  const size_t byte_limit_;
  size_t bytes_in_flight_ = 0;
  uint32_t last_tag_ = 0;
  bool tagged_ = false;
  Result failure_;
  bool in_handler_ = false;
  uint64_t handled_ = 0;
  std::deque<Pending> outstanding_;
  std::vector<uint8_t> out_;  // requests not yet handed to the socket, from out_sent_
  size_t out_sent_ = 0;
  std::vector<uint8_t> in_;  // reply bytes received, not yet handled, from in_start_
  size_t in_start_ = 0;
  size_t in_end_ = 0;
};

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_REQUEST_PIPELINE_H_
