// main() of a fuzz target built without libFuzzer: runs each input file it
// is given (a directory stands for the files in it, in name order) through
// the target once. Options in libFuzzer's form ("-name=value") are ignored,
// so the same command line works for both builds. Exits 0 when every input
// ran; a target that finds a broken promise aborts.
#include <dirent.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
  std::vector<std::string> inputs;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (!arg.empty() && arg[0] == '-') continue;
    struct stat st {};
    if (::stat(arg.c_str(), &st) != 0) {
      std::fprintf(stderr, "%s: cannot read %s\n", argv[0], arg.c_str());
      return 2;
    }
    if (!S_ISDIR(st.st_mode)) {
      inputs.push_back(arg);
      continue;
    }
    for (const std::string& name : tervane::fuzz::ListNames(arg)) inputs.push_back(arg + "/" + name);
  }
  size_t ran = 0;
  for (const std::string& input : inputs) {
    std::string bytes;
    if (!tervane::fuzz::ReadWholeFile(input, &bytes)) continue;  // a sub-directory, say
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    ++ran;
  }
  std::fprintf(stderr, "%s: ran %zu inputs\n", argv[0], ran);
  return 0;
}
