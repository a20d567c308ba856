// The libFuzzer entry point of one fuzz target; TERVANE_FUZZ_ENTRY names the
// target's function (fuzz/CMakeLists.txt sets it per program).
#include <cstddef>
#include <cstdint>

#include "fuzz/config_fuzz.h"
#include "fuzz/frame_fuzz.h"
#include "fuzz/listing_fuzz.h"
#include "fuzz/settings_fuzz.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tervane::fuzz::TERVANE_FUZZ_ENTRY(data, size);
}
