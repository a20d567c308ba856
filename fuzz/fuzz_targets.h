// The four fuzz targets: each takes one input's bytes, runs them through a
// part of the system, and aborts (Fail in fuzz_support.h) when a promise
// below is broken. None is thread-safe: one input at a time.
#ifndef TERVANE_FUZZ_FUZZ_TARGETS_H_
#define TERVANE_FUZZ_FUZZ_TARGETS_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

// The server's frame handling: the bytes are the traffic of two connections,
// fed in-process to the dispatcher and handlers that the data service runs
// for each received header and payload, over a temporary share (under
// /dev/shm, made by the first call and removed at exit) with two users
// ("alice"/"alicepw", "bob"/"bobpw"). No sockets; the transfer cycle is
// imitated step by step.
//
// Input: a run of steps, each one selector byte (bit 0 picks the
// connection), a 28-byte request header, and then the payload the
// dispatcher asks for, cut short where the input ends.
//
// After every reply: it is the request's header with direction 2, its
// result and its length, and no longer than the frame; an error reply
// carries no payload; nothing of the file planted outside the share shows in
// it. After every input: both connections are released as the pool does it
// (account unbound, files closed), no file stays open, the share still
// exists, and nothing outside it was added, removed or changed, though links
// in alice's home ("outlink", "secretlink") point there.
int FuzzServerFrames(const uint8_t* data, size_t size);

// The "Config.cfg" reader: the bytes are the file's whole text. When the
// reader accepts the text, what it gives back is usable as it stands: an
// absolute share root ending in '/' within its 259 bytes, the fixed limits,
// and accounts whose names pass the user-name check and whose passwords fit
// their field. Written back with the writer and read again, the same root
// and the same accounts, in order, come out. A refused text leaves no
// accounts behind.
int FuzzConfigFile(const uint8_t* data, size_t size);

// The client's settings-file reader: the bytes are the file's whole text.
// Whatever the text, loading it gives directories of at least 2 bytes with
// no "|" that together fit the 1,023 bytes read of BK_DIRS. Saved and loaded
// again, the address, a readable start time and every directory that can be
// stored come back unchanged and in order; the save reports the entries it
// had to leave out; no temporary file stays beside the settings.
int FuzzSettingsFile(const uint8_t* data, size_t size);

// The client's listing parser: the bytes are what a server sends back to
// KOVA_SetCurDirectory, which collects a directory listing chunk by chunk
// (or, in one mode, to RunListTask, which grows its buffer once and asks
// again).
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
// larger than the buffer.
int FuzzClientListing(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_FUZZ_TARGETS_H_
