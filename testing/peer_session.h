// Test-only: a client session connected to a FakePeer on 127.0.0.1, closed
// when it goes. Not thread-safe beyond what the session itself allows.
#ifndef TERVANE_TESTING_PEER_SESSION_H_
#define TERVANE_TESTING_PEER_SESSION_H_

#include <algorithm>
#include <cstddef>
#include <utility>
#include <vector>

#include "client/net/remote_session.h"
#include "gtest/gtest.h"
#include "testing/fake_peer.h"

namespace tervane::testing {

struct PeerSession {
  explicit PeerSession(FakePeer::Script script, FakePeer::Options options = {})
      : peer(std::move(script), options) {
    EXPECT_EQ(KOVA_Connect("127.0.0.1", &session, peer.port()), 0u);
  }
  ~PeerSession() { KOVA_Disconnect(session); }
  FakePeer::Request Last() const { return peer.Requests().back(); }
  // The requests from the `first`-th on (0: the session open).
  std::vector<FakePeer::Request> From(size_t first) const {
    auto all = peer.Requests();
    return std::vector<FakePeer::Request>(all.begin() + static_cast<long>(std::min(first, all.size())), all.end());
  }
  FakePeer peer;
  RemoteSession* session = nullptr;
};

}  // namespace tervane::testing

#endif  // TERVANE_TESTING_PEER_SESSION_H_
