// OP_LIST_DIRECTORY's reply payload: a ListingHeader and as many whole
// ListingRecords as fit in the capacity the client asked for, in the order
// the file system gives the entries. Names go out in GB18030.
#ifndef TERVANE_SERVER_STORE_LISTING_H_
#define TERVANE_SERVER_STORE_LISTING_H_

#include <cstdint>

#include "server/store/store_path.h"

namespace tervane {

// Lists `directory` into out[0..*capacity). *capacity is cut to the payload
// room of the frame (65,764) first; on return it holds the bytes written,
// header included. `resume_name` (kMaxPath bytes, UTF-8): empty to start at
// the first entry, else the listing starts at the entry of that name
// (compared ignoring ASCII case), which is listed again. On return it is
// empty when the listing is complete, else the name of the first entry left
// out; a resume name that is no longer there is cleared (the reply then has
// no records), so the next listing starts afresh. "." and ".." are skipped;
// entries whose names cannot be written in GB18030 are left out.
// 0; RESULT_NO_SUCH_DIRECTORY (0x3530) when the directory cannot be opened or
// read (buffer and resume name untouched); 87 when the capacity is under 8.
// No heap; thread-safe.
uint32_t BuildListing(const StorePath& directory, uint8_t* out, uint32_t* capacity, char* resume_name);

}  // namespace tervane

#endif  // TERVANE_SERVER_STORE_LISTING_H_
