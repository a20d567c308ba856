// Reading a remote file's content from its first byte to its last: the one
// read loop that restore and verify share, so that the way reads go on the
// wire (one at a time now) is chosen in one place.
#ifndef TERVANE_CLIENT_APP_REMOTE_READ_H_
#define TERVANE_CLIENT_APP_REMOTE_READ_H_

#include <cstddef>
#include <cstdint>
#include <functional>

#include "shared/protocol/result.h"

namespace tervane {

struct RemoteFile;

// Reads are asked for in pieces of this size (the library splits each into
// frames).
inline constexpr size_t kReadPiece = 1048576;

// Takes one piece of content, in order; returns 0 to go on, or a code that
// stops the read and becomes its result.
using ContentSink = std::function<Result(const uint8_t* data, size_t len)>;

// Reads `size` bytes of `file` from offset 0 and hands them to `sink` piece
// by piece. 0; 8 (ERROR_NOT_ENOUGH_MEMORY) when no buffer can be had; the
// first failing read's code (38 ERROR_HANDLE_EOF when the file is shorter
// than `size`); or the sink's code. The calling thread owns `file` meanwhile.
Result ReadRemoteContent(RemoteFile* file, uint64_t size, const ContentSink& sink);

}  // namespace tervane

#endif  // TERVANE_CLIENT_APP_REMOTE_READ_H_
