// OP_LIST_DIRECTORY's reply payload: a ListingHeader and as many whole
// ListingRecords as fit in the capacity the client asked for, in the order
// the file system gives the entries. Names go out in GB18030.
#ifndef TERVANE_SERVER_STORE_LISTING_H_
#define TERVANE_SERVER_STORE_LISTING_H_

#include <cstddef>
#include <cstdint>

#include "server/store/beneath.h"
#include "server/store/store_path.h"
#include "shared/platform/remote_name.h"
#include "shared/protocol/result.h"

namespace tervane {

class ListingCursor;

// Lists `directory` into out[0..*capacity). *capacity is cut to the payload
// room of the frame (65,764) first; on return it holds the bytes written,
// header included. `resume_name` (kMaxPath bytes, UTF-8): empty to start at
// the first entry, else the listing starts at the entry of exactly that name
// (bytes compared as they are: names differing only in case are different
// entries), which is listed again. On return it is empty when the listing is
// complete, else the name of the first entry left out; a resume name that is
// no longer there is cleared (the reply then has no records), so the next
// listing starts afresh. "." and ".." are skipped; entries whose names cannot
// be written in GB18030 are left out.
//
// `cursor` (may be null: each call then reads the directory from its start)
// carries the stream from one chunk to the next: when it is open and stopped
// at `resume_name`, the listing goes on from it; otherwise it is opened
// afresh on `directory`. It is closed when the listing completes.
//
// 0; ERROR_ACCESS_DENIED (5) when the path meets a symbolic link;
// RESULT_NO_SUCH_DIRECTORY (0x3530) when the directory cannot be opened or
// read (buffer and resume name untouched); 87 when the capacity is under 8.
// No heap; thread-safe for distinct cursors.
Result BuildListing(const StorePath& directory, uint8_t* out, uint32_t* capacity, char* resume_name,
                      ListingCursor* cursor = nullptr);

// Where a paged listing stopped: the directory stream, still open, and the
// entries read from it but not yet sent. With it each chunk goes on where
// the last one ended instead of reading the directory again from its start,
// so a whole listing costs time linear in its entries. Holds one descriptor
// while a listing is in progress, none once it completed. Owned by one
// account, used by one request at a time; not thread-safe.
class ListingCursor {
 public:
  ListingCursor() = default;
  ListingCursor(const ListingCursor&) = delete;
  ListingCursor& operator=(const ListingCursor&) = delete;

  // Drops the stream; the next listing reads its directory from the start.
  void Close();
  bool open() const { return dir_.ok(); }

 private:
  friend Result BuildListing(const StorePath&, uint8_t*, uint32_t*, char*, ListingCursor*);

  ScopedFd dir_;
  char next_name_[kMaxPath] = {};  // the first entry left out, exact bytes
  size_t filled_ = 0;              // bytes of entries in buffer_
  size_t at_ = 0;                  // offset of the next entry to send
  alignas(8) char buffer_[4096];
};

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_LISTING_H_
