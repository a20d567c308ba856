// main() of a fuzz target without libFuzzer: runs each input file (a
// directory's files, sub-directories' too, in name order) once;
// "-name=value" options are ignored, so libFuzzer command lines work. Exit 2
// when an input cannot be read.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>

#include "testing/temp_dir.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  namespace fs = std::filesystem;
  size_t ran = 0;
  auto run = [&](const std::string& path) {
    if (!fs::is_regular_file(path) || ::access(path.c_str(), R_OK) != 0) return false;
    const std::string bytes = tervane::testing::ReadFile(path);
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
    for (const std::string& name : tervane::testing::ListFiles(arg)) run(arg + "/" + name);
  }
  std::fprintf(stderr, "%s: ran %zu inputs\n", argv[0], ran);
  return 0;
}
