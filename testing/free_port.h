// Test-only: a loopback port for a server under test.
#ifndef TERVANE_TESTING_FREE_PORT_H_
#define TERVANE_TESTING_FREE_PORT_H_

#include <cstdint>

namespace tervane::testing {

// A TCP port on 127.0.0.1 that nobody listened on a moment ago (another
// process may take it meanwhile: callers that start a server on it try
// again with a new one). 0 when none could be found.
uint16_t PickFreePort();

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_FREE_PORT_H_
