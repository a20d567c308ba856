#include "server/store/listing.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/store/beneath.h"
#include "shared/platform/remote_name.h"
#include "shared/platform/text_codec.h"
#include "shared/platform/win_error.h"
#include "shared/protocol/op_codes.h"
#include "shared/protocol/payloads.h"
#include "shared/protocol/result_codes.h"

namespace tervane {
namespace {

char FoldAscii(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool EqualIgnoringAsciiCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    if (FoldAscii(*a) != FoldAscii(*b)) return false;
  }
  return *a == *b;
}

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

uint32_t BuildListing(const StorePath& directory, uint8_t* out, uint32_t* capacity, char* resume_name) {
  uint32_t cap = *capacity > kMaxPayload ? static_cast<uint32_t>(kMaxPayload) : *capacity;
  if (cap < kListingHeaderSize) return ERROR_INVALID_PARAMETER;
  uint32_t result = 0;
  ScopedFd dir(OpenInHome(directory, O_RDONLY | O_DIRECTORY, 0, &result));
  if (!dir.ok()) return RESULT_NO_SUCH_DIRECTORY;

  std::memset(out, 0, cap);
  uint32_t used = kListingHeaderSize;
  uint32_t count = 0;
  uint32_t last_record = 0;
  bool started = resume_name[0] == '\0';
  bool complete = true;
  alignas(8) char buf[4096];
  char wire[kMaxPath * 4];
  for (bool stop = false; !stop;) {
    ssize_t n = ::getdents64(dir.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR) continue;
      return RESULT_NO_SUCH_DIRECTORY;
    }
    if (n == 0) break;
    for (ssize_t off = 0; off < n;) {
      auto* d = reinterpret_cast<const struct dirent64*>(buf + off);
      off += d->d_reclen;
      const char* name = d->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (!started) {
        if (!EqualIgnoringAsciiCase(name, resume_name)) continue;
        started = true;  // the resumed entry is listed again
      }
      size_t wire_len = 0;
      if (Utf8ToWire(name, wire, sizeof wire, &wire_len) != 0) continue;  // no GB18030 form
      bool is_dir = d->d_type == DT_DIR;
      if (d->d_type == DT_UNKNOWN) {
        struct stat st;
        is_dir = ::fstatat(dir.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
      }
      if (used + wire_len + kListingRecordFixed > cap) {
        size_t name_len = std::strlen(name);
        if (name_len >= kMaxPath) name_len = kMaxPath - 1;  // names are at most 255 bytes
        std::memcpy(resume_name, name, name_len);
        resume_name[name_len] = '\0';
        complete = false;
        stop = true;
        break;
      }
      ListingRecord record;
      record.is_directory = is_dir;
      record.is_last = false;
      record.name = std::string_view(wire, wire_len);
      size_t size = EncodeListingRecord(record, out + used, cap - used);
      if (size == 0) continue;  // cannot happen after the check above
      last_record = used;
      used += static_cast<uint32_t>(size);
      ++count;
    }
  }
  dir.Reset();

  PutU32(out, count);
  if (count != 0) {
    PutU32(out + 4, used - kListingHeaderSize);
    if (complete) {
      PutU32(out + last_record + 6, 1);
      std::memset(resume_name, 0, kMaxPath);
    }
  }
  // A resume name no longer in the directory would keep every later listing
  // of it empty; this reply has no records, and the next starts afresh.
  if (!started) std::memset(resume_name, 0, kMaxPath);
  *capacity = used;
  return 0;
}

}  // namespace tervane
