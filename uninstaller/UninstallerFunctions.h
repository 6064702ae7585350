// SPDX-License-Identifier: MIT
// The uninstaller's plain functions: its own resources, finding and quitting a process by
// name, and running a tool with administrator rights. All return a 32-bit status, 0 for
// success.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "strings/PString.h"
#include "platform/Status.h"
#include "platform/admin/PrivilegedRunner.h"
#include "platform/events/EventPort.h"
#include "platform/files/ItemRef.h"
#include "platform/process/ProcessTable.h"
#include "uninstaller/MakeRefInFolder.h"

namespace korvid {

// The tool's data does not hold the expected signature.
inline constexpr OSStatus kSignatureNotFound = -68;
// The longest tool path handed to the privileged runner, with its terminator.
inline constexpr std::size_t kToolPathBufferSize = 1024;
// The largest tool whose data is read for the signature search.
inline constexpr std::uint64_t kMaxToolDataBytes = 64u << 20;

// The resource `name` of the application's own bundle (its "Resources/" folder). `url`
// (if given) always receives the resource's location, or nothing. ioErr: no main bundle;
// resNotFound: no name; fnfErr: no such resource.
OSStatus CopyNamedResourceURL(const char* name, std::optional<std::filesystem::path>* url);

// The same resource as an item reference; fnfErr if it cannot be reached.
OSStatus GetNamedResourceRef(const char* name, ItemRef* ref);

// Sends the event (eventClass, eventID) without waiting, to the first of the user's
// processes whose name equals `name` (case folded for 'A'..'Z' only). Processes whose
// name cannot be read are passed over. The end of the process list (procNotFound) is
// returned when there is no such process; with both codes 0 the call only looks.
OSStatus SendEventToNamedProcess(ProcessTable& processes, EventPort& port, ConstPString name,
                                 AEEventClass eventClass, AEEventID eventID);

// Runs `tool` with `arguments` (a list ended by a null entry, or none) through `runner`
// and returns the tool's exit status. A nonzero `expectedSize` must equal the tool's size
// (else ioErr); a signature with a nonzero length must occur in the tool's data (else
// kSignatureNotFound). Failing to obtain the rights returns the runner's authorisation
// status; the tool has not run then.
OSStatus ExecuteToolWithPrivileges(PrivilegedRunner& runner, const ItemRef& tool, const char* const* arguments,
                                   std::uint32_t expectedSize, const std::uint8_t* signature,
                                   std::uint32_t signatureLength);

// The search for the signature in the tool's data, exactly as the tool check does it.
// What the failure tab tells the user for the status of an uninstall that failed: the
// authorisation's outcome, the eraser's exit status, or the status of the step that failed.
std::string UninstallFailureText(OSStatus status);

bool FindSignature(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature);

}  // namespace korvid
