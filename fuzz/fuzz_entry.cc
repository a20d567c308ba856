// The libFuzzer entry point of one fuzz target; TERVANE_FUZZ_ENTRY names the
// target's function (fuzz/CMakeLists.txt sets it per program).
#include "fuzz/fuzz_targets.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  return tervane::fuzz::TERVANE_FUZZ_ENTRY(data, size);
}
