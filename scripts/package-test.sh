#!/usr/bin/env bash
# Builds the Debian package from a CMake build (cpack -G DEB), unpacks it into
# a scratch root with dpkg -x and checks it: control fields, desktop entry,
# AppStream metainfo, icons, manual page, --version and --help without a
# display, and lintian (errors fail; the full output is kept in WORK).
#
#   package-test.sh BUILD_DIR WORK_DIR
#
# A program's output is taken into a variable before grep looks at it: under
# pipefail, `writer | grep -q` fails at random when grep stops at the first
# match while the writer still has text to write (it dies of SIGPIPE).
set -euo pipefail
build=$(realpath "$1")
work=$2
rm -rf "$work"
mkdir -p "$work"
work=$(realpath "$work")
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; exit 1; }
debs=("$work"/out/*.deb)
[ ${#debs[@]} -eq 1 ] || { echo "FAIL: expected one .deb, found: ${debs[*]}"; exit 1; }
deb=${debs[0]}
echo "package: $(basename "$deb")"

field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Package)" = orvex-zerazaduzu ] || fail "Package is '$(field Package)'"
depends=$(field Depends)
echo "Depends: $depends"
for needed in pcscd qt6-qpa-plugins libqt6widgets6 libqt6dbus6 libpcsclite1 libssl3 libzxing; do
  grep -Eq "(^|, )$needed[^,]*" <<<"$depends" || fail "Depends lacks $needed"
done

root="$work/root"
dpkg -x "$deb" "$root"
# Everything lives under /usr.
outside=$(cd "$root" && find . -mindepth 1 -maxdepth 1 ! -name usr)
[ -z "$outside" ] || fail "files outside /usr: $outside"

desktop="$root/usr/share/applications/com.halcyvuzuvaro.orvexzerazaduzu.desktop"
metainfo="$root/usr/share/metainfo/com.halcyvuzuvaro.orvexzerazaduzu.metainfo.xml"
# No error and no warning. Its one hint, that "Security" could be joined by
# "System" or "Settings", is left: the station is neither.
out=$(desktop-file-validate "$desktop" 2>&1) || fail "desktop-file-validate: $out"
grep -Eq '(error|warning):' <<<"$out" && fail "desktop-file-validate: $out"
echo "desktop-file-validate: ${out:-clean}"
grep -qx 'Categories=Utility;Security;' "$desktop" || fail "Categories"
exec_name=$(sed -n 's/^Exec=\([^ ]*\).*/\1/p' "$desktop")
[ -x "$root/usr/bin/$exec_name" ] || fail "Exec=$exec_name is not in /usr/bin"
icon_name=$(sed -n 's/^Icon=//p' "$desktop")
for size in 16 24 32 48 256; do
  icon="$root/usr/share/icons/hicolor/${size}x${size}/apps/$icon_name.png"
  if [ ! -f "$icon" ]; then
    fail "no ${size}x${size} icon"
  else
    kind=$(file "$icon")
    grep -q "PNG image data, $size x $size," <<<"$kind" || fail "$kind"
  fi
done

if ! out=$(appstreamcli validate --no-net --pedantic --explain "$metainfo" 2>&1); then fail "appstreamcli validate: $out"; fi
grep -q 'pedantic\|info\|warning' <<<"$out" && fail "appstreamcli validate: $out"
echo "appstreamcli validate: $out"
# The licence is told to software centres and to Debian apart; they must agree.
project_license=$(sed -n 's|.*<project_license>\(.*\)</project_license>.*|\1|p' "$metainfo")
copyright="$root/usr/share/doc/orvex-zerazaduzu/copyright"
grep -qx "License: $project_license" "$copyright" ||
  fail "metainfo's project_license '$project_license' is not the License of $copyright"

# PAGE OPTION...: the manual page of PAGE names every OPTION.
check_manual_page() {
  local page=$1 man="$root/usr/share/man/man1/$1.1.gz" text option
  shift
  [ -f "$man" ] || { fail "no manual page of $page"; return; }
  text=$(zcat "$man" | sed 's/\\-/-/g') || { fail "manual page of $page cannot be read"; return; }
  for option in "$@"; do
    grep -q -- "$option" <<<"$text" || fail "manual page of $page lacks $option"
  done
}
check_manual_page orvex-zerazaduzu --help --version
check_manual_page orvex-zerazaduzu-burn --help --version --seed-file --random --secret-file --export-dir \
  --all-readers --count --json --pool --pool-key-file --station --operator --pool-journal

# --version and --help from the unpacked root, with no display of any kind.
program="$root/usr/bin/orvex-zerazaduzu"
version=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version) || fail "--version failed"
[ "$version" = "Orvex Zerazaduzu 2.0.0.0" ] || fail "--version says '$version'"
help=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help) || fail "--help failed"
grep -q -- --version <<<"$help" || fail "--help says '$help'"
# A closed standard output is reported, not ignored.
if env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help >/dev/full 2>/dev/null; then
  fail "--help into a full output succeeded"
fi

# The command-line burner: --version and --help without a display or a
# reader, and the same report of a closed standard output.
burner="$root/usr/bin/orvex-zerazaduzu-burn"
if [ -x "$burner" ]; then
  version=$(env -u DISPLAY -u WAYLAND_DISPLAY "$burner" --version) || fail "burner --version failed"
  [ "$version" = "orvex-zerazaduzu-burn 2.0.0" ] || fail "burner --version says '$version'"
  help=$(env -u DISPLAY -u WAYLAND_DISPLAY "$burner" --help) || fail "burner --help failed"
  grep -q -- --seed-file <<<"$help" || fail "burner --help says '$help'"
  if "$burner" --help >/dev/full 2>/dev/null; then fail "burner --help into a full output succeeded"; fi
  # Linked against Qt Core only: no widgets, no display.
  headers=$(objdump -p "$burner") || fail "objdump -p of the burner failed"
  if grep -q 'NEEDED.*libQt6Widgets' <<<"$headers"; then fail "the burner links Qt Widgets"; fi
else
  fail "no /usr/bin/orvex-zerazaduzu-burn"
fi

# The seed pool's admin program: the same, without a database.
check_manual_page orvex-zerazaduzu-pool --help --version --pool --pool-key-file init load generate status export \
  reconcile --since --void
admin="$root/usr/bin/orvex-zerazaduzu-pool"
if [ -x "$admin" ]; then
  version=$(env -u PGHOST -u PGDATABASE "$admin" --version) || fail "pool admin --version failed"
  [ "$version" = "orvex-zerazaduzu-pool 2.0.0" ] || fail "pool admin --version says '$version'"
  help=$("$admin" --help) || fail "pool admin --help failed"
  grep -q -- reconcile <<<"$help" || fail "pool admin --help says '$help'"
  if "$admin" --help >/dev/full 2>/dev/null; then fail "pool admin --help into a full output succeeded"; fi
  headers=$(objdump -p "$admin") || fail "objdump -p of the pool admin failed"
  if grep -q 'NEEDED.*libQt6Widgets' <<<"$headers"; then fail "the pool admin links Qt Widgets"; fi
else
  fail "no /usr/bin/orvex-zerazaduzu-pool"
fi

lintian --tag-display-limit 0 --display-info "$deb" >"$work/lintian.txt" 2>&1 || true
echo "lintian:"
sed 's/^/  /' "$work/lintian.txt"
grep -q '^E: ' "$work/lintian.txt" && fail "lintian reports errors"

[ $failures -eq 0 ] || { echo "$failures check(s) failed"; exit 1; }
echo "package checks passed"
