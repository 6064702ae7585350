// SPDX-License-Identifier: MIT
#include "driver/daemon/PeerPolicy.h"

#include <systemd/sd-login.h>

#include <cstdlib>

namespace korvid {

namespace {

// Whether one of the user's active sessions sits at this machine (not over the network).
bool HasActiveLocalSession(unsigned uid) {
  char** sessions = nullptr;
  const int count = sd_uid_get_sessions(uid, 1, &sessions);
  if (count <= 0) {
    free(sessions);
    return false;
  }
  bool local = false;
  for (int i = 0; i < count; ++i) {
    if (!local && sd_session_is_active(sessions[i]) > 0 && sd_session_is_remote(sessions[i]) == 0) local = true;
    free(sessions[i]);
  }
  free(sessions);
  return local;
}

}  // namespace

bool SessionPeerPolicy::Allows(const PeerCredentials& peer) {
  if (peer.uid == 0 || alsoAllowed_.count(peer.uid) != 0) return true;
  return HasActiveLocalSession(peer.uid);
}

}  // namespace korvid
