#include "fuzz/fuzz_targets.h"

#include <string>
#include <vector>

#include "client/app/settings.h"
#include "fuzz/fuzz_support.h"
#include "testing/temp_dir.h"
#include "shared/platform/win_error.h"

namespace tervane::fuzz {

int FuzzSettingsFile(const uint8_t* data, size_t size) {
  static ScratchDir scratch("fuzz-settings");  // removed at exit
  const std::string path = scratch.At(kSettingsFileName);
  Check(testing::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size)),
        "cannot write the input file");
  SyncSettings loaded;
  loaded.directories = {"left over from before"};
  Check(LoadSettings(path, &loaded) == 0, "a readable settings file does not load");
  size_t used = 0;
  std::vector<std::string> storable;
  for (const std::string& dir : loaded.directories) {
    Check(dir.size() >= 2, "a directory shorter than 2 bytes was loaded");
    Check(dir.find('|') == std::string::npos, "a directory holds the separator");
    used += dir.size() + 1;
    if (IsStorableDirectory(dir)) storable.push_back(dir);
  }
  Check(used <= kDirsValueBuffer - 1, "directories beyond the 1,023 bytes read of BK_DIRS were loaded");
  const Result saved = SaveSettings(path, loaded);
  const uint32_t expected = storable.size() == loaded.directories.size() ? 0u : ERROR_INVALID_NAME;
  Check(saved == expected, "the save misreports the entries it left out");
  Check(testing::ListDir(scratch.path()).size() == 1, "a temporary file stays beside the settings");
  SyncSettings again;
  Check(LoadSettings(path, &again) == 0, "saved settings do not load");
  Check(again.server_address == loaded.server_address, "the server address changed through a save");
  Check(again.start_time_valid, "a saved start time does not read back");
  // An unreadable start time kept the value it had, and that is what is saved.
  Check(FormatStartTime(again.start_time) == FormatStartTime(loaded.start_time),
        "the start time changed through a save");
  Check(again.directories == storable, "directories changed through a save");
  return 0;
}

}  // namespace tervane::fuzz
