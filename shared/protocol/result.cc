#include "shared/protocol/result.h"

#include <ios>
#include <ostream>

namespace tervane {

std::ostream& operator<<(std::ostream& out, Result result) {
  const std::ios_base::fmtflags flags = out.flags();
  out << std::dec << result.code() << " (0x" << std::hex << result.code() << ')';
  out.flags(flags);
  return out;
}

}  // namespace tervane
