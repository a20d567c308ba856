#include "fuzz/fuzz_targets.h"

#include <cstring>
#include <string>

#include "fuzz/fuzz_support.h"
#include "testing/temp_dir.h"
#include "server/store/config_file.h"
#include "server/store/user_account.h"
#include "shared/platform/remote_name.h"

namespace tervane::fuzz {

int FuzzConfigFile(const uint8_t* data, size_t size) {
  static ScratchDir scratch("fuzz-config");  // removed at exit
  const std::string path = scratch.At("Config.cfg");
  const std::string again = scratch.At("Again.cfg");
  Check(testing::WriteFile(path, std::string(reinterpret_cast<const char*>(data), size)),
        "cannot write the input file");
  ServerConfig config;
  const Result result = ReadConfig(path, &config);
  if (result != 0) {
    Check(config.accounts.empty(), "a refused file left accounts behind");
    return 0;
  }
  const std::string& root = config.share_root;
  Check(!root.empty() && root.front() == '/' && root.back() == '/' && root.size() <= kMaxPath - 1 &&
            root.find_first_not_of('/') != std::string::npos && root.find('\0') == std::string::npos,
        "share root not absolute with a final '/', beyond its field, the system's root or with a zero byte");
  for (const auto& account : config.accounts) {
    Check(std::memchr(account->name, '\0', sizeof account->name) != nullptr &&
              std::memchr(account->password, '\0', sizeof account->password) != nullptr,
          "user name or password not terminated");
    Check(CheckUserName(account->name) == 0 && CheckPassword(account->password) == 0,
          "a user name or password the registration would refuse was loaded");
    Check(account->bound_socket == 0 && account->current_directory[0] == '\0' && account->resume_name[0] == '\0',
          "a loaded account does not start unbound at its home");
  }

  Check(WriteConfig(again, root, config.accounts) == 0, "an accepted configuration cannot be written back");
  ServerConfig reread;
  Check(ReadConfig(again, &reread) == 0, "a written configuration does not read back");
  Check(reread.share_root == root, "the share root changed on its way through the writer");
  Check(reread.accounts.size() == config.accounts.size(), "accounts were lost or gained through the writer");
  for (size_t i = 0; i < config.accounts.size(); ++i) {
    Check(std::strcmp(reread.accounts[i]->name, config.accounts[i]->name) == 0 &&
              std::strcmp(reread.accounts[i]->password, config.accounts[i]->password) == 0,
          "an account changed on its way through the writer");
  }
  return 0;
}

}  // namespace tervane::fuzz
