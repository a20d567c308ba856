// The "Config.cfg" reader under fuzzing: the bytes are the file's whole text.
//
// When the reader accepts the text, what it gives back must be usable as it
// stands: an absolute share root ending in '/' within its 259 bytes, the
// fixed limits, and accounts whose names pass the user-name check and whose
// passwords fit their field. Written back with the writer and read again,
// the same root and the same accounts, in order, must come out. A text the
// reader refuses leaves no accounts behind. A broken promise aborts.
//
// Not thread-safe: one input at a time.
#ifndef TERVANE_FUZZ_CONFIG_FUZZ_H_
#define TERVANE_FUZZ_CONFIG_FUZZ_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

int FuzzConfigFile(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_CONFIG_FUZZ_H_
