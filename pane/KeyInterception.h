// SPDX-License-Identifier: MIT
// The refresh key. While the pane is selected every key-down event of the whole
// application, and every key equivalent (shortcut look-up), is first offered to the
// pane's ReceiveKeystroke; a key it takes goes no further. Realised as an
// application-wide event filter that one toggle installs and the next removes.
#pragma once

namespace korvid {

// Installs the interception when it is not installed, removes it when it is; returns
// true. The pane's didSelect and willUnselect call it, strictly alternating.
bool KorvidTesselSwapNSAppMethods();
// Whether the interception is in force.
bool KorvidTesselNSAppPatchInstalled();

}  // namespace korvid
