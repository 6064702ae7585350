// SPDX-License-Identifier: MIT
#include "driver/daemon/PeerPolicy.h"

#include <systemd/sd-login.h>

#include <cstdlib>

namespace korvid {

std::vector<std::string> LogindSessionDirectory::ActiveSessions(unsigned uid) {
  char** sessions = nullptr;
  const int count = sd_uid_get_sessions(uid, 1, &sessions);
  std::vector<std::string> names;
  for (int i = 0; i < count; ++i) {
    names.emplace_back(sessions[i]);
    free(sessions[i]);
  }
  free(sessions);
  return names;
}

bool LogindSessionDirectory::IsActive(const std::string& session) { return sd_session_is_active(session.c_str()) > 0; }

bool LogindSessionDirectory::IsRemote(const std::string& session) {
  return sd_session_is_remote(session.c_str()) != 0;
}

bool SessionPeerPolicy::Allows(const PeerCredentials& peer) {
  if (peer.uid == 0 || alsoAllowed_.count(peer.uid) != 0) return true;
  // One of the user's active sessions must sit at this machine (not over the network).
  for (const std::string& session : directory_->ActiveSessions(peer.uid)) {
    if (directory_->IsActive(session) && !directory_->IsRemote(session)) return true;
  }
  return false;
}

}  // namespace korvid
