// The client's listing parser under fuzzing: the bytes are what a server
// sends back to KOVA_SetCurDirectory, the library call that collects a
// directory listing chunk by chunk (and, in one mode, to RunListTask, which
// grows its buffer once and asks again).
//
// Input: one mode byte (bit 0: RunListTask instead of the direct call), a
// little-endian u16 size of the caller's buffer, then the reply stream. A
// peer thread answers each request the library sends with the next reply of
// the stream: a 28-byte header (a request tag of 0 is replaced by the tag of
// the request, so replies belong to their requests unless the input says
// otherwise; a result of 14, the client's own "does not fit", is sent as
// 0x3530 instead), then the payload bytes the header announces, as far as
// the input goes; at the end of the input the peer closes the connection.
//
// The caller's buffer is exactly the size given, so writing past it is
// caught by the address sanitizer. A successful call reports a size within
// the buffer, holding whole chunks of whole records and nothing after the
// record flagged as the last; a listing that does not fit reports a size
// larger than the buffer. A broken promise aborts.
//
// Not thread-safe: one input at a time.
#ifndef TERVANE_FUZZ_LISTING_FUZZ_H_
#define TERVANE_FUZZ_LISTING_FUZZ_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

int FuzzClientListing(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_LISTING_FUZZ_H_
