// SPDX-License-Identifier: MIT
// ekorvid --runekorv: removes the installed Korvid Tessel. Started as root by the
// uninstaller; its only report is the exit status.
#include <span>

#include "uninstaller/ekorvid/Eraser.h"

int main(int argc, char** argv) {
  korvid::EraserContext context = korvid::SystemEraserContext();
  return korvid::RunEraser(std::span<const char* const>(argv, static_cast<std::size_t>(argc)), context);
}
