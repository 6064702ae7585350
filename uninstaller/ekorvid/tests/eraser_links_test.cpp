// SPDX-License-Identifier: MIT
// The links the installer made into a bundle go with the bundle; nothing else does.
#include "uninstaller/ekorvid/tests/EraserFixture.h"

namespace korvid::testing {
namespace {

using EraserLinks = EraserFixture;

TEST_F(EraserLinks, LinksIntoRemovedBundlesGoOthersStay) {
  InstallEverything();
  const fs::path units = Sys("etc/systemd/system");
  const fs::path rules = Sys("etc/udev/rules.d");
  const fs::path actions = Sys("usr/share/polkit-1/actions");
  const fs::path apps = Sys("usr/local/share/applications");
  for (const auto& folder : {units, rules, actions, apps}) fs::create_directories(folder);
  // As the installer makes them: absolute targets in the installed system.
  fs::create_symlink("/usr/local/lib/korvid/Extensions/KorvidTessel.kext/korvid-tessel-driver.service",
                     units / "korvid-tessel-driver.service");
  fs::create_symlink("/usr/local/lib/korvid/Extensions/KorvidTessel.kext/71-korvid-tessel-driver.rules",
                     rules / "71-korvid-tessel-driver.rules");
  fs::create_symlink("/usr/local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane/Resources/70-korvid-tessel.rules",
                     rules / "70-korvid-tessel.rules");
  fs::create_symlink("/usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/Resources/x.policy",
                     actions / "com.korvid.tessel.uninstall.policy");
  fs::create_symlink("/usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/x.desktop",
                     apps / "korvid-tessel-uninstall.desktop");
  // Not ours, or into something that stays.
  fs::create_symlink("/usr/lib/systemd/system/other.service", units / "other.service");
  fs::create_symlink("/usr/local/lib/korvid/Extensions/KorvidTessel.kextra/x", units / "lookalike.service");
  fs::create_symlink("/usr/local/lib/korvid/Extensions/Other.kext/x", units / "other-kext.service");
  Write(rules / "99-plain.rules");

  ASSERT_EQ(Run(), 0);
  EXPECT_FALSE(Exists(units / "korvid-tessel-driver.service"));
  EXPECT_FALSE(Exists(rules / "71-korvid-tessel-driver.rules"));
  EXPECT_FALSE(Exists(rules / "70-korvid-tessel.rules"));
  EXPECT_FALSE(Exists(actions / "com.korvid.tessel.uninstall.policy"));
  EXPECT_FALSE(Exists(apps / "korvid-tessel-uninstall.desktop"));
  EXPECT_TRUE(Exists(units / "other.service"));
  EXPECT_TRUE(Exists(units / "lookalike.service"));
  EXPECT_TRUE(Exists(units / "other-kext.service"));
  EXPECT_TRUE(Exists(rules / "99-plain.rules"));
}

TEST_F(EraserLinks, LinksIntoABundleThatCouldNotBeRemovedStay) {
  InstallDriver();
  // The uninstaller cannot move (all names taken), so its links must stay.
  InstallUninstaller();
  Write(Chewable() / "Uninstall Korvid Tessel.app/old");
  for (int n = 1; n <= 99; ++n) Write(Chewable() / ("Uninstall Korvid Tessel.app " + std::to_string(n)) / "x");
  const fs::path apps = Sys("usr/local/share/applications");
  fs::create_directories(apps);
  fs::create_symlink("/usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/x.desktop",
                     apps / "korvid-tessel-uninstall.desktop");
  ASSERT_EQ(Run(), 0);
  EXPECT_TRUE(Exists(apps / "korvid-tessel-uninstall.desktop"));
}

}  // namespace
}  // namespace korvid::testing
