// The four fuzz targets: each takes one input's bytes, runs them through a
// part of the system, and aborts (Fail in fuzz_support.h) when a promise
// below is broken. None is thread-safe: one input at a time.
#ifndef TERVANE_FUZZ_FUZZ_TARGETS_H_
#define TERVANE_FUZZ_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

// The server's frame handling: the bytes are two connections' traffic, fed
// in-process to the dispatcher over a temporary share (under /dev/shm, removed
// at exit) with users "alice"/"alicepw" and "bob"/"bobpw". Input: steps of one
// selector byte (bit 0 picks the connection), a 28-byte header, then the
// payload asked for, cut where the input ends. Every reply is the request's
// header with direction 2, its result and length, within the frame, without
// payload on error, and without a byte of the file planted outside the share.
// After every input both connections are released by the pool, no
// file stays open, and nothing outside the share changed, though links in
// alice's home ("outlink", "secretlink") point there.
int FuzzServerFrames(const uint8_t* data, size_t size);

// The "Config.cfg" reader over the bytes as the whole file. An accepted text
// gives an absolute share root ending in '/' within 259 bytes and accounts
// the registration checks pass; written back and read again, the same root
// and accounts come out in order. A refused text leaves no accounts.
int FuzzConfigFile(const uint8_t* data, size_t size);

// The client's settings reader over the bytes as the whole file: directories
// of at least 2 bytes, no "|", within the 1,023 bytes read of BK_DIRS. Saved
// and loaded again, address, start time and every storable directory come
// back in order; the save reports what it left out; no temporary file stays.
int FuzzSettingsFile(const uint8_t* data, size_t size);

// The client's listing parser: one mode byte (bit 0: RunListTask instead of
// KOVA_SetCurDirectory), a little-endian u16 buffer size, then the replies a
// peer thread sends, one per request: a 28-byte header (tag 0 becomes the
// request's tag; result 14, the client's own "does not fit", is sent as
// 0x3530) and the payload it announces, as far as the input goes; then the
// peer closes. The buffer is exactly the size given (the address sanitizer
// catches a write past it). Success reports a size within the buffer holding
// whole chunks of whole records, none after the one flagged last; a listing
// that does not fit reports a larger size.
int FuzzClientListing(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_FUZZ_TARGETS_H_
