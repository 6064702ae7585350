// SPDX-License-Identifier: MIT
// A build of the eraser for tests only, never installed: the same tool with every folder
// below the folder named by KORVID_ERASER_ROOT (required), so that a test can run the
// real program on a throw-away tree without root.
#include <cstdio>
#include <cstdlib>
#include <span>

#include "uninstaller/ekorvid/Eraser.h"

int main(int argc, char** argv) {
  const char* root = std::getenv("KORVID_ERASER_ROOT");
  if (root == nullptr || root[0] != '/') {
    std::fprintf(stderr, "ekorvid (test build): KORVID_ERASER_ROOT must name a folder\n");
    return 2;
  }
  korvid::EraserContext context = korvid::SystemEraserContext();
  context.folders = korvid::FolderLocator::RootedAt(root);
  context.linkFolders = korvid::LinkFoldersBelow(root, "/usr/local");
  context.systemRoot = root;
  korvid::AddInstalledExtras(context, "/usr/local");
  context.stopDriver = nullptr;
  context.reloadSystem = nullptr;
  return korvid::RunEraser(std::span<const char* const>(argv, static_cast<std::size_t>(argc)), context);
}
