#!/bin/bash
# SPDX-License-Identifier: MIT
# Installs the whole build into a throw-away root (cmake --install, then the install
# step), checks the receipt, the log and the links, installs a second time, runs the
# eraser (its test build, rooted there) and checks that nothing of ours is left but what
# stays on purpose: the login items and settings of users, and the uninstaller waiting in
# the chewable-items folder with the boot rule that removes it (and then itself).
set -euo pipefail
build=$1 source=$2 eraser=$3
root=$(mktemp -d "${TMPDIR:-/tmp}/korvid-install-XXXXXX")
trap 'rm -rf "$root"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

install_once() {
  DESTDIR=$root cmake --install "$build" --prefix /usr/local > /dev/null
  DESTDIR=$root "$source/scripts/install-step" "$build" /usr/local
}
install_once
install_once  # a second install changes nothing

lib=$root/usr/local/lib/korvid
app="$lib/Applications/Utilities/Uninstall Korvid Tessel.app"
[[ -x "$app/Uninstall Korvid Tessel" ]] || fail "uninstaller not installed"
[[ -x "$app/Resources/ekorvid" ]] || fail "eraser not in the uninstaller's resources"
[[ -d "$root/var/lib/korvid/receipts/Korvid Tessel.pkg" ]] || fail "no receipt folder"
grep -qx "/usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/Resources/ekorvid" \
  "$root/var/lib/korvid/receipts/Korvid Tessel.pkg/files.txt" || fail "receipt does not list the eraser"
grep -q '^{\\rtf1' "$root/var/lib/korvid/receipts/Korvid Tessel Log.rtf" || fail "no log"
policy=$root/usr/share/polkit-1/actions/com.korvid.tessel.uninstall.policy
[[ -L $policy ]] || fail "polkit action not linked"
[[ $(readlink "$policy") == "/usr/local/lib/korvid/Applications/Utilities/Uninstall Korvid Tessel.app/Resources/com.korvid.tessel.uninstall.policy" ]] \
  || fail "polkit action linked to $(readlink "$policy")"
grep -q 'Uninstall Korvid Tessel.app/Resources/ekorvid</annotate>' "$root$(readlink "$policy")" \
  || fail "polkit action does not name the eraser"
[[ -L $root/usr/local/share/applications/korvid-tessel-uninstall.desktop ]] || fail "desktop entry not linked"
[[ -L $root/etc/udev/rules.d/70-korvid-tessel.rules ]] || fail "hidraw rule not linked"
if [[ -e $lib/Extensions/KorvidTessel.kext/korvid-tessel-driver.service ]]; then
  [[ -L $root/etc/systemd/system/korvid-tessel-driver.service ]] || fail "driver unit not linked"
  [[ -L $root/etc/udev/rules.d/71-korvid-tessel-driver.rules ]] || fail "driver rule not linked"
fi
[[ -f $root/etc/tmpfiles.d/korvid-tessel.conf ]] || fail "no boot rule for the chewable-items folder"
# The help page's commands on PATH, tesselctl's completion and manual page where bash and
# man look, all in the receipt.
for file in bin/tesselctl bin/korvid-tessel-settings share/bash-completion/completions/tesselctl \
    share/man/man1/tesselctl.1 share/man/man1/korvid-tessel-settings.1 \
    share/icons/hicolor/scalable/apps/korvid-tessel.svg share/metainfo/com.korvid.tessel.metainfo.xml; do
  [[ -L $root/usr/local/$file && -e $root$(readlink "$root/usr/local/$file") ]] || fail "no $file"
  grep -qx "/usr/local/$file" "$root/var/lib/korvid/receipts/Korvid Tessel.pkg/files.txt" \
    || fail "the receipt does not list /usr/local/$file"
done
module_source=$(echo "$root"/usr/src/korvid-tessel-*)
for file in dkms.conf Kbuild hid-korvid-tessel.c korvid_tessel_curve.h korvid_tessel_version.h; do
  [[ -f $module_source/$file ]] || fail "the kernel module's $file is not where DKMS looks"
done
grep -qx 'BUILT_MODULE_NAME\[0\]="hid-korvid-tessel"' "$module_source/dkms.conf" || fail "dkms.conf names no module"
# One version: the module's own, DKMS's, the source folder's and the pane's.
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
[[ $module_source == */korvid-tessel-$version ]] || fail "the module's source is in $module_source, not version $version"
grep -qx "PACKAGE_VERSION=\"$version\"" "$module_source/dkms.conf" || fail "dkms.conf's version is not $version"
grep -qx "#define KORVID_TESSEL_VERSION \"$version\"" "$module_source/korvid_tessel_version.h" \
  || fail "the module's version is not $version"
grep -q "<string>$version</string>" "$lib/PreferencePanes/Korvid Tessel.prefPane/Info.plist" \
  || fail "the pane's Info.plist does not say $version"
grep -q "Icon=korvid-tessel$" "$root$(readlink "$root/usr/local/share/applications/korvid-tessel-settings.desktop")" \
  || fail "the settings entry's icon is not the theme's korvid-tessel"

# A user with login items and settings, and the pane of their own.
mkdir -p "$root/home/alice/.config/korvid" "$root/home/alice/.local/lib/korvid/PreferencePanes/Korvid Tessel.prefPane"
touch "$root/home/alice/.config/korvid/loginWindow.plist" "$root/home/alice/.config/korvid/com.korvid.tessel.settings.plist"

status=0
KORVID_ERASER_ROOT=$root "$eraser" --runekorv || status=$?
[[ $status == 0 ]] || fail "eraser exited with $status"

# What is left: every file and link below the root, less what stays on purpose.
left=$(cd "$root" && find . \( -type f -o -type l \) | sed 's|^\.||' | sort | grep -v \
  -e '^/home/alice/.config/korvid/' \
  -e '^/var/tmp/korvid-chewable/Uninstall Korvid Tessel.app/' \
  -e '^/etc/tmpfiles.d/korvid-tessel.conf$' || true)
if [[ -n $left ]]; then
  echo "left behind after the eraser:" >&2
  echo "$left" >&2
  exit 1
fi
# No empty folder of our own is left (the system's folders stay), and the boot rule now removes the uninstaller
# and then itself.
empty=$(cd "$root" && find . -mindepth 1 -type d -empty -path '*korvid*' | sed 's|^\.||' | grep -v -e '^/home/' -e '^/var/tmp/' || true)
[[ -z $empty ]] || fail "empty folders left: $empty"
grep -qx 'R! /var/tmp/korvid-chewable' "$root/etc/tmpfiles.d/korvid-tessel.conf" \
  || fail "the boot rule does not remove the chewable-items folder"
grep -qx 'r! /etc/tmpfiles.d/korvid-tessel.conf' "$root/etc/tmpfiles.d/korvid-tessel.conf" \
  || fail "the boot rule does not remove itself"

status=0
KORVID_ERASER_ROOT=$root "$eraser" --runekorv || status=$?
[[ $status == 213 ]] || fail "second eraser run exited with $status, not 213"
echo "install, install again, erase: nothing left behind"
