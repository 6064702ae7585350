// SPDX-License-Identifier: MIT
// Who may use the driver sockets: decided once per connection from the peer's
// credentials (SO_PEERCRED).
#pragma once

#include <set>

namespace korvid {

struct PeerCredentials {
  int pid = 0;
  unsigned uid = 0;
  unsigned gid = 0;
};

class PeerPolicy {
 public:
  virtual ~PeerPolicy() = default;
  virtual bool Allows(const PeerCredentials& peer) = 0;
};

// Root, users with an active local session (sd-login) and the users listed.
class SessionPeerPolicy final : public PeerPolicy {
 public:
  explicit SessionPeerPolicy(std::set<unsigned> alsoAllowed = {}) : alsoAllowed_(std::move(alsoAllowed)) {}
  bool Allows(const PeerCredentials& peer) override;

 private:
  std::set<unsigned> alsoAllowed_;
};

// Exactly the users listed (tests).
class ListPeerPolicy final : public PeerPolicy {
 public:
  explicit ListPeerPolicy(std::set<unsigned> allowed) : allowed_(std::move(allowed)) {}
  bool Allows(const PeerCredentials& peer) override { return allowed_.count(peer.uid) != 0; }

 private:
  std::set<unsigned> allowed_;
};

}  // namespace korvid
