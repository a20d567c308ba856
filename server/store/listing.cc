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

void PutU32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

}  // namespace

void ListingCursor::Close() {
  dir_.Reset();
  next_name_[0] = '\0';
  filled_ = 0;
  at_ = 0;
}

Result BuildListing(const StorePath& directory, uint8_t* out, uint32_t* capacity, char* resume_name,
                      ListingCursor* cursor) {
  uint32_t cap = *capacity > kMaxPayload ? static_cast<uint32_t>(kMaxPayload) : *capacity;
  if (cap < kListingHeaderSize) return ERROR_INVALID_PARAMETER;
  ListingCursor one_off;
  ListingCursor& c = cursor != nullptr ? *cursor : one_off;
  bool started = resume_name[0] == '\0';
  if (started || !c.open() || std::strcmp(c.next_name_, resume_name) != 0) {
    // No stream stopped at this name: read the directory from its start and
    // skip to the name.
    Result result;
    int fd = OpenInHome(directory, O_RDONLY | O_DIRECTORY, 0, &result);
    if (fd < 0) return errno == ELOOP || errno == EXDEV ? ERROR_ACCESS_DENIED : RESULT_NO_SUCH_DIRECTORY;
    c.Close();
    c.dir_.Reset(fd);
  }

  std::memset(out, 0, cap);
  uint32_t used = kListingHeaderSize;
  uint32_t count = 0;
  uint32_t last_record = 0;
  bool complete = true;
  char wire[kMaxPath * 4];
  for (;;) {
    if (c.at_ >= c.filled_) {
      ssize_t n = ::getdents64(c.dir_.get(), c.buffer_, sizeof c.buffer_);
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) {
        c.Close();
        return RESULT_NO_SUCH_DIRECTORY;
      }
      if (n == 0) break;
      c.filled_ = static_cast<size_t>(n);
      c.at_ = 0;
    }
    auto* d = reinterpret_cast<const struct dirent64*>(c.buffer_ + c.at_);
    const char* name = d->d_name;
    if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) {
      c.at_ += d->d_reclen;
      continue;
    }
    if (!started) {
      if (std::strcmp(name, resume_name) != 0) {
        c.at_ += d->d_reclen;
        continue;
      }
      started = true;  // the resumed entry is listed again
    }
    size_t wire_len = 0;
    if (Utf8ToWire(name, wire, sizeof wire, &wire_len) != 0) {  // no GB18030 form
      c.at_ += d->d_reclen;
      continue;
    }
    if (used + wire_len + kListingRecordFixed > cap) {
      // The entry stays unread in the cursor: the next chunk starts with it.
      size_t name_len = std::strlen(name);
      if (name_len >= kMaxPath) name_len = kMaxPath - 1;  // names are at most 255 bytes
      std::memcpy(resume_name, name, name_len);
      resume_name[name_len] = '\0';
      std::memcpy(c.next_name_, resume_name, name_len + 1);
      complete = false;
      break;
    }
    bool is_dir = d->d_type == DT_DIR;
    if (d->d_type == DT_UNKNOWN) {
      struct stat st;
      is_dir = ::fstatat(c.dir_.get(), name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    ListingRecord record;
    record.is_directory = is_dir;
    record.is_last = false;
    record.name = std::string_view(wire, wire_len);
    size_t size = EncodeListingRecord(record, out + used, cap - used);
    c.at_ += d->d_reclen;
    if (size == 0) continue;  // cannot happen after the check above
    last_record = used;
    used += static_cast<uint32_t>(size);
    ++count;
  }
  if (complete) c.Close();

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
