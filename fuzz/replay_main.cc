// main() of a fuzz target without libFuzzer: runs each input file (a
// directory's files in name order) once; "-name=value" options are ignored,
// so libFuzzer command lines work. Exit 2 when an input cannot be read.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t ran = 0;
  auto run = [&](const std::string& path) {
    std::string bytes;
    if (!fs::is_regular_file(path) || !tervane::fuzz::ReadWholeFile(path, &bytes)) return false;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return ++ran, true;
  };
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.starts_with("-")) continue;
    if (!fs::is_directory(arg) && !run(arg)) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], arg.c_str());
      return 2;
    }
    for (const std::string& name : tervane::fuzz::ListNames(arg)) run(arg + "/" + name);  // sub-directories skipped
  }
  std::fprintf(stderr, "%s: ran %zu inputs\n", argv[0], ran);
  return 0;
}
