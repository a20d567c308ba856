#include "client/app/remote_read.h"

#include <memory>
#include <new>

#include "client/net/remote_file.h"
#include "shared/platform/win_error.h"

namespace tervane {

Result ReadRemoteContent(RemoteFile* file, uint64_t size, const ContentSink& sink) {
  if (size == 0) return 0;
  // A small file needs no more buffer than itself.
  const size_t buffer_size = size < kReadPiece ? static_cast<size_t>(size) : kReadPiece;
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[buffer_size]);
  if (!buffer) return ERROR_NOT_ENOUGH_MEMORY;
  for (uint64_t offset = 0; offset < size;) {
    const uint64_t left = size - offset;
    const uint32_t len = static_cast<uint32_t>(left < buffer_size ? left : buffer_size);
    Result result = KOVA_ReadFile(file, &offset, len, buffer.get());
    if (!result.ok()) return result;
    result = sink(buffer.get(), len);
    if (!result.ok()) return result;
    offset += len;
  }
  return 0;
}

}  // namespace tervane
