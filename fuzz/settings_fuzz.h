// The client's settings-file reader under fuzzing: the bytes are the whole
// text of the settings file.
//
// Whatever the text, loading it gives directories of at least 2 bytes with
// no "|" that together fit the 1,023 bytes read of BK_DIRS. Saved and loaded
// again, the address, a readable start time and every directory that can be
// stored come back unchanged and in order; the save reports the entries it
// had to leave out; no temporary file stays beside the settings. A broken
// promise aborts.
//
// Not thread-safe: one input at a time.
#ifndef TERVANE_FUZZ_SETTINGS_FUZZ_H_
#define TERVANE_FUZZ_SETTINGS_FUZZ_H_

#include <cstddef>
#include <cstdint>

namespace tervane::fuzz {

int FuzzSettingsFile(const uint8_t* data, size_t size);

}  // namespace tervane::fuzz

#endif  // TERVANE_FUZZ_SETTINGS_FUZZ_H_
