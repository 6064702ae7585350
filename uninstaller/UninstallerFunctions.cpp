// SPDX-License-Identifier: MIT
#include "uninstaller/UninstallerFunctions.h"

#include <string>
#include <vector>

#include "platform/files/MainBundle.h"

namespace korvid {
namespace fs = std::filesystem;

OSStatus CopyNamedResourceURL(const char* name, std::optional<fs::path>* url) {
  if (url) url->reset();
  const std::optional<fs::path> bundle = MainBundleFolder();
  if (!bundle) return ioErr;
  if (name == nullptr) return resNotFound;
  // A resource is one item of the bundle's resources; no other name reaches anything.
  if (CheckItemName(name) != noErr) return fnfErr;
  const fs::path resource = *bundle / "Resources" / name;
  std::error_code error;
  if (!fs::exists(fs::symlink_status(resource, error))) return fnfErr;
  if (url) *url = resource;
  return noErr;
}

OSStatus GetNamedResourceRef(const char* name, ItemRef* ref) {
  std::optional<fs::path> url;
  if (const OSStatus status = CopyNamedResourceURL(name, &url); status != noErr) return status;
  FolderRef folder;
  if (FolderRef::Open(url->parent_path(), folder) != noErr) return fnfErr;
  ItemRef item{folder, url->filename().string()};
  ItemInfo info;
  if (GetItemInfo(item, info) != noErr) return fnfErr;
  if (ref) *ref = std::move(item);
  return noErr;
}

OSStatus SendEventToNamedProcess(ProcessTable& processes, EventPort& port, ConstPString name,
                                 AEEventClass eventClass, AEEventID eventID) {
  ProcessSerialNumber psn{0, kNoProcess};
  for (;;) {
    if (const OSStatus status = processes.GetNextProcess(psn); status != noErr) return status;
    ProcessName processName{};
    if (processes.GetProcessName(psn, processName) != noErr) continue;
    if (PStringCmp(processName, name) == 0) break;
  }
  if (eventClass == 0 && eventID == 0) return noErr;
  return SendEventToProcess(port, psn, eventClass, eventID, kAENoReply, kAEDefaultTimeout);
}

bool FindSignature(std::span<const std::uint8_t> data, std::span<const std::uint8_t> signature) {
  if (signature.empty()) return true;
  std::size_t matched = 0;
  for (const std::uint8_t byte : data) {
    if (byte == signature[matched]) {
      if (++matched == signature.size()) return true;
    } else if (byte == signature[0]) {
      matched = 1;
      if (matched == signature.size()) return true;
    } else {
      matched = 0;
    }
  }
  return false;
}

OSStatus ExecuteToolWithPrivileges(PrivilegedRunner& runner, const ItemRef& tool, const char* const* arguments,
                                   std::uint32_t expectedSize, const std::uint8_t* signature,
                                   std::uint32_t signatureLength) {
  ItemInfo info;
  if (const OSStatus status = GetItemInfo(tool, info); status != noErr) return status;
  if (expectedSize != 0 && expectedSize != info.size) return ioErr;
  if (signature != nullptr && signatureLength != 0) {
    std::vector<std::uint8_t> data;
    if (const OSStatus status = ReadFileData(tool, data, kMaxToolDataBytes); status != noErr) return status;
    if (!FindSignature(data, std::span(signature, signatureLength))) return kSignatureNotFound;
  }
  const std::string path = tool.Path().string();
  if (path.size() + 1 > kToolPathBufferSize) return bdNamErr;

  std::vector<std::string> argumentList;
  for (const char* const* argument = arguments; argument != nullptr && *argument != nullptr; ++argument) {
    argumentList.emplace_back(*argument);
  }
  int exitStatus = 0;
  if (const OSStatus status = runner.RunTool(path, argumentList, exitStatus); status != noErr) return status;
  return exitStatus;
}

std::string UninstallFailureText(OSStatus status) {
  switch (status) {
    case errAuthorizationCanceled:
      return "The administrator password was not given, so nothing was removed.";
    case errAuthorizationDenied:
      return "This account may not remove the software, or no authentication agent is running to ask "
             "for an administrator's password. Nothing was removed.";
    case errAuthorizationToolExecuteFailure:
      return "pkexec could not be started, so nothing was removed.";
    case fnfErr:
      return "The eraser tool \"ekorvid\" is missing from the uninstaller, so nothing was removed.";
    case 213:
      return "The eraser found nothing of Korvid Tessel to remove (it ended with status 213).";
    default:
      break;
  }
  if (status > 0 && status < 256) {
    return "The eraser ended with status " + std::to_string(status) + "; some pieces may be left.";
  }
  return "The uninstall stopped with error " + std::to_string(status) + ", so nothing was removed.";
}

}  // namespace korvid
