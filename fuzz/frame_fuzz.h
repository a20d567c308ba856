// The server's frame handling under fuzzing: the bytes are the traffic of two
// connections, fed in-process to the dispatcher and handlers that the data
// service runs for each received header and payload, over a temporary share
// with two users. No sockets; the transfer cycle is imitated step by step.
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
// exists, and nothing outside it was added, removed or changed, though a
// link inside a home points there. A broken promise aborts.
//
// Not thread-safe: one input at a time. The first call sets up the share
// under /dev/shm; it is removed at exit.
#ifndef TERVANE_FUZZ_FRAME_FUZZ_H_
#define TERVANE_FUZZ_FRAME_FUZZ_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

// The users of the temporary share: name and password as their login
// requests carry them.
inline constexpr char kFrameUserA[] = "alice";
inline constexpr char kFrameUserAPassword[] = "alicepw";
inline constexpr char kFrameUserB[] = "bob";
inline constexpr char kFrameUserBPassword[] = "bobpw";
// Planted in every input's fresh share: in alice's home, links to the
// directory outside the share and to the file in it.
inline constexpr char kOutsideLinkName[] = "outlink";
inline constexpr char kOutsideFileLinkName[] = "secretlink";

int FuzzServerFrames(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_FRAME_FUZZ_H_
