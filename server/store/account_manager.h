// The server's accounts: the share root, the fixed limits and the table of
// users, each with its home (share root + name), the connection it is bound
// to, its current directory and its listing resume point. Every per-user
// request goes through here, keyed by the connection's socket value: a
// nonzero number the server chooses per connection (0 means "nobody").
//
// Names and paths from requests are passed exactly as they came off the wire
// (GB18030); they are converted to UTF-8 and checked here, so a name with a
// ".." component gets ERROR_ACCESS_DENIED (5), a bad byte 123 and an
// over-long path 206 before anything is touched.
//
// Thread-safety: one mutex guards the table and every field of every account;
// every operation but LoadAccounts takes it for its whole run. Lock order:
// the server's pool lock, then this lock, then the open-file registry's.
// AddUser does its directory work and the file rewrite under the lock, so a
// registration holds up every other account operation meanwhile.
#ifndef TERVANE_SERVER_STORE_ACCOUNT_MANAGER_H_
#define TERVANE_SERVER_STORE_ACCOUNT_MANAGER_H_

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "server/store/store_path.h"
#include "server/store/user_account.h"
#include "shared/platform/mutex.h"
#include "shared/protocol/result.h"

namespace tervane {

class AccountManager {
 public:
  AccountManager() = default;
  ~AccountManager() = default;
  AccountManager(const AccountManager&) = delete;
  AccountManager& operator=(const AccountManager&) = delete;

  // Reads `config_path` (config_file.h), sets the limits, creates the share
  // root and each user's home where missing, and keeps the path for the
  // rewrites of AddUser. 0 and *max_connections set, or the file's error
  // (0x3610, 0x3620, 0x3630, 0x3640, 0x3510), or RESULT_SHARE_ROOT_UNUSABLE
  // (0x3650, share_root.h) with no account loaded. Writes the maximum space
  // in megabytes and each home's path to standard error. Runs before any
  // worker exists; replaces a table loaded before.
  Result LoadAccounts(const std::string& config_path, uint32_t* max_connections);

  // After LoadAccounts failed with 0x3640 or 0x3650: what is wrong ("line 3:
  // the share root is not an absolute path", "cannot create /srv/x: Not a
  // directory"); empty otherwise. Read on the thread that loaded.
  std::string load_problem() {
    MutexLock guard(&mu_);
    return load_problem_;
  }

  // Deletes every record. Later lookups find no account (0x3501).
  void ReleaseAccounts();

  // True when an account's name equals `wire_name` ignoring ASCII case.
  bool UserExists(std::string_view wire_name);

  // Appends the record (name and password filled, e.g. by NewUserRecord)
  // unless a name equal ignoring case exists by then, or anything (a
  // directory, a file, a link) is already at its home's place: 1 when added,
  // 0 when refused (a refused record is freed here; for an existing home its
  // path goes to *existing_home when given). Nothing on disk is deleted. The
  // home is created 0700 and "Config.cfg" rewritten; failures of those steps
  // are written to standard error and leave the user added in memory.
  int AddUser(std::unique_ptr<UserAccount> record, StorePath* existing_home = nullptr);

  // OP_REGISTER_USER in one call: RESULT_USER_EXISTS (0x3500) for a name in
  // use or a home already on disk (its path then in *existing_home, when
  // given, for the log); 123 / 206 for a name or password outside its
  // bounds; RESULT_OUT_OF_MEMORY (0x3510); otherwise 0, whatever AddUser
  // then does.
  Result RegisterUser(std::string_view wire_name, std::string_view wire_password,
                        StorePath* existing_home = nullptr);

  // Binds the account named exactly `wire_name` (case counts) to `socket`:
  // 0; 1 / 2 when the name / password is absent (null data);
  // RESULT_NOT_LOGGED_IN (0x3501) no such user; RESULT_WRONG_PASSWORD
  // (0x3502); RESULT_ALREADY_LOGGED_IN (0x3503); 87 for socket 0.
  Result Login(std::string_view wire_name, std::string_view wire_password, uint32_t socket);

  // Unbinds the account bound to `socket`, if any, and closes its listing
  // stream (the resume name stays; a later listing finds it by reading).
  void Logout(uint32_t socket);

  // *out = home + current directory. 0, or 0x3501 (out untouched).
  Result GetUserPath(uint32_t socket, StorePath* out);

  // *out = home + current directory + the request's name (relative to the
  // current directory): the path of OP_DELETE_FILE, OP_GET/SET_FILE_ATTRIBUTES,
  // OP_CREATE_DIRECTORY, OP_REMOVE_DIRECTORY and each name of OP_RENAME.
  // With `creates` (OP_CREATE_DIRECTORY, OP_RENAME's new name) the whole
  // path relative to the home must fit the wire's 259 bytes, so that all a
  // client makes it can name again. 0; 0x3501; 5 / 123 / 206 from the name.
  Result ComposeUserPath(uint32_t socket, std::string_view wire_name, StorePath* out, bool creates = false);

  // The directory OP_LIST_DIRECTORY lists for `wire_name`: "\" is the home;
  // the current directory's last component is the current directory; its
  // parent component is the parent; anything else is relative to the
  // current directory and must exist (else RESULT_NO_SUCH_DIRECTORY,
  // 0x3530). Copies the account's resume name to `resume_name`
  // (kMaxPath bytes) when it belongs to that directory, else empties it.
  // When `cursor` is given, the account's listing cursor moves into it (one
  // is made for an account's first listing; null only when that fails), to
  // be handed back by SaveListingResume. 0; 0x3501 (outputs untouched);
  // 0x3530; 5 when the path meets a link; 123 / 206.
  Result ResolveListingPath(uint32_t socket, std::string_view wire_name, StorePath* directory,
                              char* resume_name, std::unique_ptr<ListingCursor>* cursor = nullptr);

  // Stores where the next listing of `directory` continues, and the cursor
  // that stopped there (when given; dropped when no account is bound).
  // RESULT_NO_RESUME_NAME (0x3540) for a null name; 0; 0x3501.
  Result SaveListingResume(uint32_t socket, const StorePath& directory, const char* resume_name,
                             std::unique_ptr<ListingCursor> cursor = nullptr);

  // Moves the current directory as OP_LIST_DIRECTORY does after listing
  // `wire_name`: "\" to the home, the last component stays, the parent
  // component moves up, anything else moves down into it when it is an
  // existing directory (else 0x3530 and no move). 0; 0x3501; 0x3530; 5 / 123
  // / 206.
  Result ChangeCurrentDirectory(uint32_t socket, std::string_view wire_name);

  // OP_CREATE_FILE's path, relative to the home (not the current directory).
  // A path ending in "|" names a directory chain only: *has_file = false.
  // Otherwise *out is the file's path and *has_file = true. Creates every
  // missing directory of the chain (the home included); costs one lookup
  // when the chain exists. 0 when the chain exists afterwards; 1 when a
  // creation failed; 0x3501 (out cleared, nothing created); 5 when the
  // chain meets a link; 206 when the path is over 259 wire bytes; 5 / 123
  // / 206 from the name.
  Result ResolveCreatePath(uint32_t socket, std::string_view wire_path, StorePath* out, bool* has_file);

  // Each only looks for the bound account: 0, or 0x3501. The two values are
  // neither read nor written.
  Result GetSpaceInfo(uint32_t socket, uint32_t* space_left, uint32_t* files_left);
  Result SetSpaceInfo(uint32_t socket, uint32_t space_left, uint32_t files_left);
  Result GetUsage(uint32_t socket, uint32_t* used_bytes, uint32_t* file_count);
  Result SetUsage(uint32_t socket, uint32_t used_bytes, uint32_t file_count);

  // Read-only views for start-up and tests.
  std::string share_root();
  uint32_t max_space_bytes();  // 0xFFFFFFF0 MB shifted left by 20 in 32 bits
  uint32_t max_file_count();
  size_t account_count();
  // Copies the account's current directory (relative, "" = home); false when
  // no such user.
  bool CurrentDirectoryOf(std::string_view utf8_name, std::string* out);

 private:
  UserAccount* FindBoundLocked(uint32_t socket) REQUIRES(mu_);
  Result HomeLocked(const UserAccount& a, StorePath* out) const REQUIRES(mu_);

  Mutex mu_;
  std::string config_path_ GUARDED_BY(mu_);
  std::string share_root_ GUARDED_BY(mu_);  // ends in '/'
  uint32_t max_space_bytes_ GUARDED_BY(mu_) = 0;
  uint32_t max_file_count_ GUARDED_BY(mu_) = 0;
  uint32_t max_connections_ GUARDED_BY(mu_) = 0;
  std::vector<std::unique_ptr<UserAccount>> table_ GUARDED_BY(mu_);
  std::string load_problem_ GUARDED_BY(mu_);
};

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_ACCOUNT_MANAGER_H_
