#include "client/app/copy_browser.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <new>
#include <stdexcept>

#include "client/app/name_mapping.h"
#include "client/app/remote_path.h"
#include "client/net/list_task.h"
#include "client/net/remote_directory.h"
#include "client/net/remote_file.h"
#include "shared/platform/filetime.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

constexpr uint32_t kFileAttributeNormal = 0x80;

// A name that can stand as one local path component, and whose server name
// is one component there too. A server that sends anything else is not
// followed: it could lead a restore out of its destination.
bool IsUsableName(std::string_view remote, std::string_view local) {
  if (local.empty() || local == "." || local == "..") return false;
  if (local.find('/') != std::string_view::npos || local.find('\0') != std::string_view::npos) return false;
  return remote.find('\\') == std::string_view::npos && remote.find('/') == std::string_view::npos;
}

// Parses the chunks KOVA_SetCurDirectory collected into `bytes[0..size)`.
bool ParseListing(const uint8_t* bytes, size_t size, std::vector<CopyEntry>* entries, uint32_t* refused) {
  size_t pos = 0;
  while (pos + 8 <= size) {
    ListingHeader header;
    if (!DecodeListingHeader(bytes + pos, size - pos, &header)) return false;
    if (header.count == 0) return true;  // the zeroed rest of the buffer
    const size_t end = pos + 8 + static_cast<size_t>(header.records_length);
    if (header.records_length > size || end > size) return false;
    size_t at = pos + 8;
    bool last = false;
    for (uint32_t i = 0; i < header.count; ++i) {
      ListingRecord record;
      size_t record_size = 0;
      if (!DecodeListingRecord(bytes + at, end - at, &record, &record_size)) return false;
      at += record_size;
      last = record.is_last;
      CopyEntry entry;
      if (!WireToUtf8(record.name, &entry.remote_name)) {
        if (refused != nullptr) ++*refused;
        continue;
      }
      entry.name = MapNameToLocal(entry.remote_name);
      if (!IsUsableName(entry.remote_name, entry.name)) {
        if (refused != nullptr) ++*refused;
        continue;
      }
      entry.is_directory = record.is_directory;
      entries->push_back(std::move(entry));
    }
    pos = end;
    if (last) return true;
  }
  return true;
}

std::string JoinRemote(std::string_view dir, std::string_view name) {
  std::string out(dir);
  if (!out.empty()) out.push_back('\\');
  out.append(name);
  return out;
}

}  // namespace

std::string JoinLocalPath(std::string_view dir, std::string_view name) {
  std::string out(dir == "/" ? std::string_view() : dir);
  out.push_back('/');
  out.append(name);
  return out;
}

std::string FormatFileTime(uint64_t filetime) {
  if (filetime == 0) return "-";
  const timespec ts = TimespecFromFileTime(filetime);
  tm local{};
  const time_t seconds = ts.tv_sec;
  if (::localtime_r(&seconds, &local) == nullptr) return "-";
  char text[80];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900, local.tm_mon + 1,
                local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  return text;
}

uint32_t ListCopyDirectory(RemoteSession* session, std::string_view remote_dir, bool with_details,
                           std::vector<CopyEntry>* entries, uint32_t* refused) {
  entries->clear();
  if (session == nullptr) return ERROR_INVALID_PARAMETER;
  std::string wire = "\\";
  if (!remote_dir.empty() && !Utf8ToWire(remote_dir, &wire)) return ERROR_INVALID_NAME;
  std::vector<uint8_t> buffer;
  uint32_t capacity = kFirstListingBuffer;
  uint32_t result = 0;
  for (int attempt = 0; attempt < 3; ++attempt) {
    // The server takes a name relative to the current directory (and the
    // current directory's own or its parent's name as those): from the home
    // the path means itself.
    if (!remote_dir.empty()) {
      uint32_t none = 0;
      result = KOVA_SetCurDirectory(session, "\\", nullptr, &none);
      if (result != 0 && result != ERROR_OUTOFMEMORY) return result;
    }
    try {
      buffer.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    uint32_t size = capacity;
    result = KOVA_SetCurDirectory(session, wire, buffer.data(), &size);
    if (result == ERROR_OUTOFMEMORY) {
      // `size` is what the whole listing needs; the directory may grow
      // before the next try, so a little more is asked for.
      if (size > kMaxListingBytes) return ERROR_INVALID_DATA;
      capacity = size + size / 8 + 1024;
      continue;
    }
    if (result != 0) return result;
    // An empty directory leaves `size` as it was and the buffer zeroed.
    if (!ParseListing(buffer.data(), std::min<size_t>(size, buffer.size()), entries, refused)) {
      entries->clear();
      return ERROR_INVALID_DATA;
    }
    std::sort(entries->begin(), entries->end(),
              [](const CopyEntry& a, const CopyEntry& b) { return a.name < b.name; });
    if (with_details) {
      for (CopyEntry& entry : *entries) {
        if (entry.is_directory) continue;
        entry.detail_result =
            StatCopyFile(session, JoinRemote(remote_dir, entry.remote_name), &entry.size, &entry.last_write);
      }
    }
    return 0;
  }
  return result;
}

uint32_t ListCopyDays(RemoteSession* session, std::vector<std::string>* days) {
  days->clear();
  std::vector<CopyEntry> entries;
  const uint32_t result = ListCopyDirectory(session, "", false, &entries);
  if (result != 0) return result;
  for (int wday = 0; wday < 7; ++wday) {
    const char* day = WeekdayName(wday);
    for (const CopyEntry& entry : entries) {
      if (entry.is_directory && entry.remote_name == day) days->push_back(day);
    }
  }
  return 0;
}

uint32_t OpenCopyFile(RemoteSession* session, std::string_view remote_path, RemoteFile** file) {
  *file = nullptr;
  std::string wire;
  if (!Utf8ToWire(remote_path, &wire)) return ERROR_INVALID_NAME;
  return KOVA_CreateFile(session, wire, kGenericRead, kFileShareRead, kOpenExisting, kFileAttributeNormal, file);
}

uint32_t StatCopyFile(RemoteSession* session, std::string_view remote_path, uint64_t* size, uint64_t* last_write) {
  RemoteFile* file = nullptr;
  uint32_t result = OpenCopyFile(session, remote_path, &file);
  if (result != 0) return result;
  uint64_t got_size = 0;
  uint64_t got_time = 0;
  result = KOVA_GetFileSize(file, &got_size);
  if (result == 0) result = KOVA_GetFileTime(file, nullptr, nullptr, &got_time);
  KOVA_CloseFile(file);
  if (result == 0) {
    *size = got_size;
    *last_write = got_time;
  }
  return result;
}

uint32_t FindCopyEntry(RemoteSession* session, std::string_view remote_path, bool with_details,
                       CopyEntry* entry) {
  const size_t cut = remote_path.rfind('\\');
  const std::string_view parent = cut == std::string_view::npos ? std::string_view() : remote_path.substr(0, cut);
  const std::string_view name = cut == std::string_view::npos ? remote_path : remote_path.substr(cut + 1);
  std::vector<CopyEntry> entries;
  const uint32_t result = ListCopyDirectory(session, parent, false, &entries);
  if (result == RESULT_NO_SUCH_DIRECTORY) return ERROR_PATH_NOT_FOUND;
  if (result != 0) return result;
  for (CopyEntry& candidate : entries) {
    if (candidate.remote_name != name) continue;
    *entry = std::move(candidate);
    if (with_details && !entry->is_directory) {
      entry->detail_result = StatCopyFile(session, remote_path, &entry->size, &entry->last_write);
    }
    return 0;
  }
  return ERROR_FILE_NOT_FOUND;
}

uint32_t WalkCopyTree(RemoteSession* session, const std::string& remote_dir, const std::string& local_dir,
                      bool with_details, const std::function<bool(const CopyVisit&)>& visit, uint32_t* refused) {
  // Depth is bounded by the wire's path length, so recursion stays shallow.
  struct Walker {
    RemoteSession* session;
    bool with_details;
    const std::function<bool(const CopyVisit&)>& visit;
    uint32_t* refused;
    bool stopped = false;

    uint32_t Walk(const std::string& remote, const std::string& local) {
      std::vector<CopyEntry> entries;
      const uint32_t result = ListCopyDirectory(session, remote, with_details, &entries, refused);
      if (result != 0) return result;
      for (const CopyEntry& entry : entries) {
        CopyVisit v;
        v.local_path = JoinLocalPath(local, entry.name);
        v.remote_path = JoinRemote(remote, entry.remote_name);
        v.entry = &entry;
        if (!visit(v)) {
          stopped = true;
          return 0;
        }
        if (entry.is_directory) {
          const uint32_t r = Walk(v.remote_path, v.local_path);
          if (r != 0 || stopped) return r;
        }
      }
      return 0;
    }
  };
  Walker walker{session, with_details, visit, refused};
  return walker.Walk(remote_dir, local_dir);
}

}  // namespace tervane
