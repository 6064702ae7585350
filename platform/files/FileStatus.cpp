// SPDX-License-Identifier: MIT
#include "platform/files/FileStatus.h"

#include <cerrno>

namespace korvid {

OSStatus FileStatusFromErrno(int error) {
  switch (error) {
    case 0:
      return noErr;
    case ENOENT:
      return fnfErr;
    case ENOTDIR:
      return dirNFErr;
    case EACCES:
    case EPERM:
      return afpAccessDenied;
    case EROFS:
      return wPrErr;
    case ENOSPC:
    case EDQUOT:
      return dskFulErr;
    case ENAMETOOLONG:
      return bdNamErr;
    case EEXIST:
      return dupFNErr;
    case ENOMEM:
      return memFullErr;
    default:
      return ioErr;
  }
}

}  // namespace korvid
