// Remote files: KOVA_CreateFile opens a file in the user's tree on the server
// and hands out a RemoteFile that stands for the server's handle; the other
// functions here read, write, size, time and close it.
//
// Results as in remote_session.h; out-values are written only on success.
// Offsets, sizes and times are passed by pointer and never changed.
// Paths are wire text (GB18030 bytes, no zero inside); convert UTF-8 with
// shared/platform/text_codec.h first.
#ifndef TERVANE_CLIENT_NET_REMOTE_FILE_H_
#define TERVANE_CLIENT_NET_REMOTE_FILE_H_

#include <cstdint>
#include <string_view>

#include "client/net/remote_session.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/result.h"

namespace tervane {

// One open remote file, from a successful KOVA_CreateFile to KOVA_CloseFile
// (which frees it on every path). Must not outlive its session. Not
// thread-safe: one thread at a time, since every exchange on the file uses
// `frame`.
struct RemoteFile {
  RemoteSession* session = nullptr;  // not owned
  uint32_t handle = 0;               // the server's handle; 0 for a directory-chain path ("...|")
  char path[256] = {};               // the path given to KOVA_CreateFile, zero-terminated
  uint8_t frame[kFrameBufferSize] = {};
};

// Opens or creates `path` (relative to the user's home) with the Windows
// access, share, disposition and attribute values, passed on unchanged. A path
// ending in "|" only creates the directories it names; the record then holds
// handle 0. On failure *file is set to null. 122 (ERROR_INSUFFICIENT_BUFFER)
// when the record cannot be allocated (checked before anything is sent, so
// no handle is left open on the server); 206 (ERROR_FILENAME_EXCED_RANGE) when the path does not fit a
// request; 123 (ERROR_INVALID_NAME) for a path holding a zero byte.
Result KOVA_CreateFile(RemoteSession* session, std::string_view path, uint32_t desired_access,
                         uint32_t share_mode, uint32_t creation_disposition,
                         uint32_t flags_and_attributes, RemoteFile** file);

// Reads `count` bytes at *offset into `destination`, in pieces of 64 KiB,
// holding the session lock across all of them; the pieces are in flight
// together (see request_pipeline.h). 0 sends nothing. A read that reaches
// the end fails with 38 (ERROR_HANDLE_EOF); bytes of earlier pieces are
// already in `destination`. Never writes past destination[count).
Result KOVA_ReadFile(RemoteFile* file, const uint64_t* offset, uint32_t count, void* destination);

// Writes `count` bytes from `source` at *offset, in pieces of 64 KiB under one
// hold of the session lock. 0 sends nothing. A failed piece stops the call.
Result KOVA_WriteFile(RemoteFile* file, const uint64_t* offset, uint32_t count, const void* source);

Result KOVA_GetFileSize(RemoteFile* file, uint64_t* size);

// FILETIME values; an out pointer may be null when that time is not wanted.
Result KOVA_GetFileTime(RemoteFile* file, uint64_t* creation, uint64_t* last_access,
                          uint64_t* last_write);

Result KOVA_SetFileSize(RemoteFile* file, const uint64_t* size);

// A time of 0 (or a null pointer) leaves that time unchanged on the server.
Result KOVA_SetFileTime(RemoteFile* file, const uint64_t* creation, const uint64_t* last_access,
                          const uint64_t* last_write);

// Closes the server's handle and frees `file` whatever the result, also when
// the connection has failed. A null pointer returns 87 (ERROR_INVALID_PARAMETER).
Result KOVA_CloseFile(RemoteFile* file);

}  // namespace tervane

#endif  // TERVANE_CLIENT_NET_REMOTE_FILE_H_
