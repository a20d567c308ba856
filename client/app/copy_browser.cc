#include "client/app/copy_browser.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <ctime>
#include <new>
#include <stdexcept>

#include "client/app/name_mapping.h"
#include "client/app/remote_path.h"
#include "client/net/list_task.h"
#include "client/net/remote_session.h"
#include "client/net/remote_directory.h"
#include "client/net/remote_file.h"
#include "shared/platform/filetime.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/open_flags.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

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

// The server takes a name for the current directory when it equals its
// last component, for the parent when it equals the parent's (the one
// component of a top-level directory counts as both), ignoring ASCII case;
// only other names reach a child.
bool ReachesChild(const std::vector<std::string>& current, std::string_view child) {
  if (current.empty()) return true;
  const std::string& parent = current.size() == 1 ? current[0] : current[current.size() - 2];
  return !EqualIgnoringAsciiCase(child, current.back()) && !EqualIgnoringAsciiCase(child, parent);
}

// Going up one level by the parent's name, which must not also be the
// current directory's own name.
bool CanGoUp(const std::vector<std::string>& current) {
  return current.size() >= 2 && !EqualIgnoringAsciiCase(current[current.size() - 2], current.back());
}

std::vector<std::string> SplitRemote(std::string_view path) {
  std::vector<std::string> parts;
  size_t start = 0;
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i < path.size() && path[i] != '\\') continue;
    if (i > start) parts.emplace_back(path.substr(start, i - start));
    start = i + 1;
  }
  return parts;
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

Result CopyBrowser::ListAs(std::string_view name, std::vector<std::string> after, uint8_t* buffer,
                             uint32_t* size) {
  std::string wire;
  if (!Utf8ToWire(name, &wire)) return ERROR_INVALID_NAME;
  uint32_t none = 0;
  Result result = KOVA_SetCurDirectory(session_, wire, buffer, size != nullptr ? size : &none);
  // A listing that was read to its end moved the current directory, also
  // when it did not fit; a failed one may have moved it part way.
  known_ = result.ok() || result == ERROR_OUTOFMEMORY;
  if (known_) current_ = std::move(after);
  if (buffer == nullptr && result == ERROR_OUTOFMEMORY) result = 0;
  return result;
}

Result CopyBrowser::MoveTo(const std::vector<std::string>& target) {
  if (known_ && current_ == target) return 0;
  // The steps from where it stands (up to the common part, then down) and
  // from the home; the one with fewer listings is taken.
  size_t common = 0;
  int from_here = -1;
  if (known_) {
    while (common < current_.size() && common < target.size() && current_[common] == target[common]) ++common;
    std::vector<std::string> at = current_;
    bool possible = true;
    while (possible && at.size() > common) {
      possible = at.size() == 1 || CanGoUp(at);
      at.pop_back();
    }
    for (size_t i = common; possible && i < target.size(); ++i) {
      possible = ReachesChild(at, target[i]);
      at.push_back(target[i]);
    }
    if (possible) from_here = static_cast<int>(current_.size() - common + target.size() - common);
  }
  std::vector<std::string> at;
  bool from_home = true;
  for (const std::string& part : target) {
    from_home = from_home && ReachesChild(at, part);
    at.push_back(part);
  }
  if (from_here < 0 && !from_home) return ListHere(target, nullptr, nullptr);
  Result result;
  if (from_here < 0 || (from_home && static_cast<int>(target.size()) + 1 < from_here)) {
    result = ListAs("\\", {}, nullptr, nullptr);
    common = 0;
  } else {
    while (result.ok() && current_.size() > common) {
      std::vector<std::string> up(current_.begin(), current_.end() - 1);
      result = up.empty() ? ListAs("\\", {}, nullptr, nullptr) : ListAs(up.back(), up, nullptr, nullptr);
    }
  }
  for (size_t i = common; result.ok() && i < target.size(); ++i) {
    std::vector<std::string> down(target.begin(), target.begin() + static_cast<std::ptrdiff_t>(i) + 1);
    result = ListAs(target[i], down, nullptr, nullptr);
  }
  return result;
}

Result CopyBrowser::ListHere(const std::vector<std::string>& target, uint8_t* buffer, uint32_t* size) {
  if (target.empty()) return ListAs("\\", {}, buffer, size);
  if (known_ && current_ == target) return ListAs(target.back(), target, buffer, size);
  const std::vector<std::string> parent(target.begin(), target.end() - 1);
  bool reachable = true;
  std::vector<std::string> at;
  for (const std::string& part : target) {
    reachable = reachable && ReachesChild(at, part);
    at.push_back(part);
  }
  if (reachable) {
    const Result moved = MoveTo(parent);
    if (!moved.ok()) return moved;
    if (ReachesChild(current_, target.back())) return ListAs(target.back(), target, buffer, size);
  }
  // A name the server takes for the current directory or its parent: the
  // whole path from the home, which it can serve in one chunk only.
  const Result home = ListAs("\\", {}, nullptr, nullptr);
  if (!home.ok()) return home;
  std::string whole;
  for (const std::string& part : target) whole += (whole.empty() ? "" : "\\") + part;
  return ListAs(whole, target, buffer, size);
}

Result CopyBrowser::List(std::string_view remote_dir, bool with_details, std::vector<CopyEntry>* entries,
                           uint32_t* refused) {
  entries->clear();
  if (session_ == nullptr) return ERROR_INVALID_PARAMETER;
  const std::vector<std::string> target = SplitRemote(remote_dir);
  std::vector<uint8_t> buffer;
  uint32_t capacity = kFirstListingBuffer;
  Result result;
  for (int attempt = 0; attempt < 3; ++attempt) {
    try {
      buffer.assign(capacity, 0);
    } catch (const std::bad_alloc&) {
      return ERROR_NOT_ENOUGH_MEMORY;
    }
    uint32_t size = capacity;
    result = ListHere(target, buffer.data(), &size);
    if (result == ERROR_OUTOFMEMORY) {
      // `size` is what the whole listing needs; the directory may grow
      // before the next try, so a little more is asked for.
      if (size > kMaxListingBytes) return ERROR_INVALID_DATA;
      capacity = size + size / 8 + 1024;
      continue;
    }
    if (!result.ok()) return result;
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
            StatCopyFile(session_, JoinRemote(remote_dir, entry.remote_name), &entry.size, &entry.last_write);
      }
    }
    return 0;
  }
  return result;
}

Result CopyBrowser::Days(std::vector<std::string>* days) {
  days->clear();
  std::vector<CopyEntry> entries;
  const Result result = List("", false, &entries);
  if (!result.ok()) return result;
  for (int wday = 0; wday < 7; ++wday) {
    const char* day = WeekdayName(wday);
    for (const CopyEntry& entry : entries) {
      if (entry.is_directory && entry.remote_name == day) days->push_back(day);
    }
  }
  return 0;
}

Result OpenCopyFile(RemoteSession* session, std::string_view remote_path, RemoteFile** file) {
  *file = nullptr;
  std::string wire;
  if (!Utf8ToWire(remote_path, &wire)) return ERROR_INVALID_NAME;
  return KOVA_CreateFile(session, wire, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, file);
}

Result StatCopyFile(RemoteSession* session, std::string_view remote_path, uint64_t* size, uint64_t* last_write) {
  RemoteFile* file = nullptr;
  Result result = OpenCopyFile(session, remote_path, &file);
  if (!result.ok()) return result;
  uint64_t got_size = 0;
  uint64_t got_time = 0;
  result = KOVA_GetFileSize(file, &got_size);
  if (result.ok()) result = KOVA_GetFileTime(file, nullptr, nullptr, &got_time);
  // A failed close loses nothing read: the size and time stand.
  static_cast<void>(KOVA_CloseFile(file));
  if (result.ok()) {
    *size = got_size;
    *last_write = got_time;
  }
  return result;
}

Result CopyBrowser::Find(std::string_view remote_path, bool with_details, CopyEntry* entry) {
  const size_t cut = remote_path.rfind('\\');
  const std::string_view parent = cut == std::string_view::npos ? std::string_view() : remote_path.substr(0, cut);
  const std::string_view name = cut == std::string_view::npos ? remote_path : remote_path.substr(cut + 1);
  std::vector<CopyEntry> entries;
  const Result result = List(parent, false, &entries);
  if (result == RESULT_NO_SUCH_DIRECTORY) return ERROR_PATH_NOT_FOUND;
  if (!result.ok()) return result;
  for (CopyEntry& candidate : entries) {
    if (candidate.remote_name != name) continue;
    *entry = std::move(candidate);
    if (with_details && !entry->is_directory) {
      entry->detail_result = StatCopyFile(session_, remote_path, &entry->size, &entry->last_write);
    }
    return 0;
  }
  return ERROR_FILE_NOT_FOUND;
}

Result CopyBrowser::Walk(const std::string& remote_dir, const std::string& local_dir, bool with_details,
                           const std::function<bool(const CopyVisit&)>& visit, uint32_t* refused) {
  // Depth is bounded by the wire's path length, so recursion stays shallow.
  bool stopped = false;
  std::function<Result(const std::string&, const std::string&)> walk = [&](const std::string& remote,
                                                                           const std::string& local) -> Result {
    std::vector<CopyEntry> entries;
    const Result result = List(remote, with_details, &entries, refused);
    if (!result.ok()) return result;
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
        const Result r = walk(v.remote_path, v.local_path);
        if (!r.ok() || stopped) return r;
      }
    }
    return 0;
  };
  return walk(remote_dir, local_dir);
}

}  // namespace tervane
