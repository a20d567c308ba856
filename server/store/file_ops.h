// File-system primitives on paths inside a user's home, with the results the
// protocol carries: 0 or a Windows error code. Every path is a StorePath: the
// home is opened and the relative part resolved beneath it (beneath.h), so
// no operation leaves the home or follows a symbolic link. No heap, no lock
// of their own; those that delete or rename take the lock of the open-file
// registry they are given, for the sharing check and the step it allows.
// Callable from any thread.
//
// The handle-based primitives (ReadAt, WriteAt, SetEndOfFileAt, SetSparse,
// sizes and times) are FileRegistry members (file_registry.h).
#ifndef TERVANE_SERVER_STORE_FILE_OPS_H_
#define TERVANE_SERVER_STORE_FILE_OPS_H_

#include <cstdint>

#include "server/store/store_path.h"
#include "shared/protocol/result.h"

namespace tervane {

class FileRegistry;

inline constexpr uint32_t FILE_ATTRIBUTE_DIRECTORY = 0x10;
inline constexpr uint32_t FILE_ATTRIBUTE_ARCHIVE = 0x20;

// Creates the directory and every missing directory above it (the home too,
// when it is missing). 0 when created; ERROR_ALREADY_EXISTS (183) when it
// existed before; 3 / 5 / 206 / ... otherwise (a file in the way: 3 above
// the last component, 183 at it; a link on the way or at its place: 5).
Result CreateDirectoryPath(const StorePath& path);

// Deletes a file (or a link, as an entry), clearing a read-only mode that is
// in the way. 0; 2 / 3 missing; 5 a directory or the home; 32 held open
// without FILE_SHARE_DELETE.
Result MyDeleteFile(FileRegistry& registry, const StorePath& path);

// Removes an empty directory. 0; 145 not empty; 267 not a directory; 2 / 3;
// 5 for the home itself.
Result MyRemoveDirectory(const StorePath& path);

// Deletes the directory and everything below it, depth first and at any
// depth, adding the size of each deleted file to *bytes and 1 to *files
// (directories are not counted; links are removed as entries and count as
// files of size 0). Walks by directory descriptors, one open at a time, and
// never follows a link. Writes "MyDeleteFile:[%s] Result: %d\n" per file,
// "MyRemoveDirectory:[%s] Result: %d\n" and then
// "ZOT_DeleteDirectoryTree:[%s] Result: %d\n" per sub-directory and
// "MyRemoveDirectory:[%s] Result: %d\n" for `path` itself to standard output
// (%s = the composed path; one longer than 200 bytes shows its last 200
// after "..."). A file that another open keeps from being read (the Windows
// size-open would fail) is skipped, so its directory then fails with
// ERROR_DIR_NOT_EMPTY (145); a file open for reading without
// FILE_SHARE_DELETE stops the walk with 32. Results: 0 or the first error; 2
// / 3 when `path` does not exist (nothing changes); 5 for the home itself, a
// link, or a directory moved away during the walk; 8 when memory for the
// walk runs out. What was deleted before an error stays deleted and counted.
Result ZOT_DeleteDirectoryTree(FileRegistry& registry, const StorePath& path, uint32_t* bytes, uint32_t* files);

// The delete of OP_DELETE_FILE: *size = the file's size (low 32 bits) when
// it could be opened for reading with FILE_SHARE_READ, else 0; then a plain
// delete with no read-only retry: 0; 5 for a read-only file, a directory or
// the home; 32; 2 / 3.
Result DeleteFileTakingSize(FileRegistry& registry, const StorePath& path, uint32_t* size);

// FILE_ATTRIBUTE_DIRECTORY (0x10) or FILE_ATTRIBUTE_ARCHIVE (0x20), plus
// 0x01 when the owner may not write, plus the other bits last set where the
// file system keeps user extended attributes. 0, 2 / 3, 5.
Result GetFileAttributesAt(const StorePath& path, uint32_t* attributes);

// 0x01 set: the write permissions are removed; clear: the owner may write.
// Bits other than 0x01, 0x10, 0x20 and 0x80 are kept in an extended
// attribute where the file system offers one, else dropped. 0, 2 / 3, 5 (a
// link, or the home).
Result SetFileAttributesAt(const StorePath& path, uint32_t attributes);

// MoveFile: renames a file or directory; fails when the target exists
// (ERROR_ALREADY_EXISTS, 183), 32 when the source file is held open without
// FILE_SHARE_DELETE, 5 for the home, a move into itself, or a link as the
// source or on the way, 2 / 3.
Result MoveFileAt(FileRegistry& registry, const StorePath& from, const StorePath& to);

// 0 when a file or directory exists at the path, with *is_directory set
// when given; else its lookup error (2, 3; 5 when the path meets a link, at
// its end too).
Result PathExists(const StorePath& path, bool* is_directory = nullptr);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_FILE_OPS_H_
