#include "client/net/request_pipeline.h"

#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstring>
#include <utility>

#include "client/net/exchange.h"
#include "shared/platform/tick.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/frame_header.h"

namespace tervane {
namespace {

// Room for two whole reply frames: one being handled, the next arriving.
constexpr size_t kReceiveRoom = 2 * kFrameBufferSize;
// Requests gather until this many bytes wait, or until the pipeline waits
// for a reply, and then leave in one send.
constexpr size_t kSendBatch = 16384;

}  // namespace

// The lock is taken here and given back in the destructor, a span the
// analysis cannot follow; the member functions assert it instead.
RequestPipeline::RequestPipeline(RemoteSession* session, size_t byte_limit)
    : session_(session), byte_limit_(byte_limit), in_(kReceiveRoom) {
  session_->lock.Lock();
  if (session_->socket < 0) failure_ = WSAENOTCONN;
}

RequestPipeline::~RequestPipeline() {
  // Whatever failed has reached every handler already.
  static_cast<void>(Drain());
  session_->lock.Unlock();
}

uint32_t RequestPipeline::NextTag() {
  // The tick count when the request is built; several requests built within
  // one millisecond get successive values, so every request in flight
  // carries a tag of its own and a reply out of order is seen.
  uint32_t tag = GetTickCount();
  if (tagged_ && static_cast<int32_t>(tag - last_tag_) <= 0) tag = last_tag_ + 1;
  last_tag_ = tag;
  tagged_ = true;
  return tag;
}

Result RequestPipeline::Submit(uint16_t code, const uint8_t* head, size_t head_length, const uint8_t* body,
                               size_t body_length, size_t reply_capacity, ReplyHandler handler) {
  if (in_handler_) return ERROR_INVALID_FUNCTION;  // called from a handler
  // A request that cannot go out is answered at once, so that every handler
  // is called exactly once.
  auto refuse = [this, &handler](Result code) {
    in_handler_ = true;
    if (handler) handler(code, nullptr, 0);
    in_handler_ = false;
    return code;
  };
  const size_t payload = head_length + body_length;
  if (payload > kMaxPayload || reply_capacity > kMaxPayload) return refuse(ERROR_INVALID_PARAMETER);
  const size_t cost = kHeaderSize + payload + kHeaderSize + reply_capacity;
  while (failure_.ok() && !outstanding_.empty() && bytes_in_flight_ + cost > byte_limit_) Pump(true);
  if (!failure_.ok()) return refuse(failure_);

  // Sent bytes are dropped before the buffer grows, so it holds at most
  // the limit and one request.
  if (out_sent_ != 0 && out_sent_ == out_.size()) {
    out_.clear();
    out_sent_ = 0;
  } else if (out_sent_ > out_.size() / 2) {
    out_.erase(out_.begin(), out_.begin() + static_cast<ptrdiff_t>(out_sent_));
    out_sent_ = 0;
  }
  const uint32_t tag = NextTag();
  const size_t at = out_.size();
  out_.resize(at + kHeaderSize + payload);
  BuildRequestHeader(out_.data() + at, code, static_cast<uint32_t>(payload), tag);
  if (head_length != 0) std::memcpy(out_.data() + at + kHeaderSize, head, head_length);
  if (body_length != 0) std::memcpy(out_.data() + at + kHeaderSize + head_length, body, body_length);
  outstanding_.push_back(Pending{tag, reply_capacity, cost, std::move(handler)});
  bytes_in_flight_ += cost;
  if (out_.size() - out_sent_ >= kSendBatch) Pump(false);
  return failure_;
}

Result RequestPipeline::Poll() {
  if (failure_.ok() && !in_handler_) Pump(false);
  return failure_;
}

Result RequestPipeline::WaitForReply() {
  if (in_handler_) return ERROR_INVALID_FUNCTION;  // called from a handler
  const uint64_t before = handled_;
  while (failure_.ok() && !outstanding_.empty() && handled_ == before) Pump(true);
  return failure_;
}

Result RequestPipeline::Drain() {
  if (in_handler_) return ERROR_INVALID_FUNCTION;  // called from a handler
  while (failure_.ok() && !outstanding_.empty()) Pump(true);
  return failure_;
}

void RequestPipeline::Pump(bool wait) {
  session_->lock.AssertHeld();  // since construction
  const int fd = session_->socket;
  if (fd < 0) {
    Fail(WSAENOTCONN);
    return;
  }
  bool moved = false;
  if (out_sent_ < out_.size()) {
    const ssize_t n = send(fd, out_.data() + out_sent_, out_.size() - out_sent_,
                           MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n > 0) {
      out_sent_ += static_cast<size_t>(n);
      moved = true;
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Fail(SocketError(errno));
      return;
    }
  }
  if (!outstanding_.empty()) {
    if (in_start_ != 0 && in_.size() - in_end_ < kFrameBufferSize) {
      std::memmove(in_.data(), in_.data() + in_start_, in_end_ - in_start_);
      in_end_ -= in_start_;
      in_start_ = 0;
    }
    const ssize_t n = recv(fd, in_.data() + in_end_, in_.size() - in_end_, MSG_DONTWAIT);
    if (n > 0) {
      in_end_ += static_cast<size_t>(n);
      moved = true;
      HandleReplies();
      if (!failure_.ok()) return;
    } else if (n == 0) {
      Fail(ERROR_INVALID_DATA);  // the server closed inside a reply
      return;
    } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      Fail(SocketError(errno));
      return;
    }
  }
  if (moved || !wait) return;

  pollfd pfd{fd, 0, 0};
  if (!outstanding_.empty()) pfd.events |= POLLIN;
  if (out_sent_ < out_.size()) pfd.events |= POLLOUT;
  if (pfd.events == 0) return;
  const int ready = poll(&pfd, 1, static_cast<int>(session_->reply_timeout_ms));
  if (ready == 0) {
    Fail(WSAETIMEDOUT);
  } else if (ready < 0 && errno != EINTR) {
    Fail(SocketError(errno));
  }
  // Ready (or an error the next round's calls will name): the caller's loop
  // comes back here.
}

void RequestPipeline::HandleReplies() {
  while (failure_.ok() && in_end_ - in_start_ >= kHeaderSize) {
    const uint8_t* frame = in_.data() + in_start_;
    if (outstanding_.empty()) {
      Fail(ERROR_BAD_FORMAT);  // a reply nobody asked for
      return;
    }
    const Pending& oldest = outstanding_.front();
    const uint32_t length = HeaderPayloadLength(frame);
    const uint32_t result = HeaderResult(frame);
    if (HeaderRequestTag(frame) != oldest.tag) {
      Fail(ERROR_BAD_FORMAT);
      return;
    }
    // Error replies carry no payload, and no reply more than its request
    // allows: announced bytes beyond that would be taken for the next reply.
    if ((result != 0 && length != 0) || length > oldest.reply_capacity) {
      Fail(ERROR_INVALID_DATA);
      return;
    }
    if (in_end_ - in_start_ < kHeaderSize + length) return;
    Pending done = std::move(outstanding_.front());
    outstanding_.pop_front();
    bytes_in_flight_ -= done.cost;
    in_start_ += kHeaderSize + length;
    ++handled_;
    in_handler_ = true;
    if (done.handler) done.handler(result, frame + kHeaderSize, length);
    in_handler_ = false;
  }
  if (in_start_ == in_end_) in_start_ = in_end_ = 0;
}

void RequestPipeline::Fail(Result code) {
  if (!failure_.ok()) return;
  failure_ = code;
  session_->lock.AssertHeld();  // since construction
  AbandonConnectionLocked(session_);
  out_.clear();
  out_sent_ = 0;
  in_start_ = in_end_ = 0;
  std::deque<Pending> left;
  left.swap(outstanding_);
  bytes_in_flight_ = 0;
  in_handler_ = true;
  for (Pending& p : left) {
    if (p.handler) p.handler(code, nullptr, 0);
  }
  in_handler_ = false;
}

}  // namespace tervane
