// SPDX-License-Identifier: MIT
// Who may use the driver sockets: decided once per connection from the peer's
// credentials (SO_PEERCRED).
#pragma once

#include <set>
#include <string>
#include <vector>

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

// What the session policy asks of the login manager.
class SessionDirectory {
 public:
  virtual ~SessionDirectory() = default;
  // The user's active sessions, as the login manager lists them.
  virtual std::vector<std::string> ActiveSessions(unsigned uid) = 0;
  virtual bool IsActive(const std::string& session) = 0;
  // Whether the session is reached over the network; true when that is not known.
  virtual bool IsRemote(const std::string& session) = 0;
};

// The login manager of the running system (sd-login).
class LogindSessionDirectory final : public SessionDirectory {
 public:
  std::vector<std::string> ActiveSessions(unsigned uid) override;
  bool IsActive(const std::string& session) override;
  bool IsRemote(const std::string& session) override;
};

// Root, users with an active local session and the users listed.
class SessionPeerPolicy final : public PeerPolicy {
 public:
  explicit SessionPeerPolicy(std::set<unsigned> alsoAllowed = {}, SessionDirectory* directory = nullptr)
      : alsoAllowed_(std::move(alsoAllowed)), directory_(directory != nullptr ? directory : &logind_) {}
  bool Allows(const PeerCredentials& peer) override;

 private:
  std::set<unsigned> alsoAllowed_;
  LogindSessionDirectory logind_;
  SessionDirectory* directory_;
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
