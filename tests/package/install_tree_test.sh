#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the build into a fresh prefix and checks what a user's system would receive.
#   install_tree_test.sh BUILD_DIR SOURCE_DIR VERSION APP_ID WITH_WINDOW
set -uo pipefail
build=$1 source=$2 version=$3 app_id=$4 with_window=$5
prefix=$(mktemp -d "${TMPDIR:-/tmp}/tessaro-install-XXXXXX")
trap 'rm -rf "$prefix"' EXIT
failures=0
fail() { echo "FAIL: $*" >&2; failures=$((failures + 1)); }

cmake --install "$build" --prefix "$prefix" >"$prefix.log" 2>&1 || { cat "$prefix.log" >&2; rm -f "$prefix.log"; exit 1; }
rm -f "$prefix.log"

programs=(tessaro-cli)
[ "$with_window" = 1 ] && programs+=(tessaro)
expected=(
  share/man/man1/tessaro-cli.1.gz
  share/doc/tessaro/help.html share/doc/tessaro/tessaro-window.png
  share/doc/tessaro/copyright share/doc/tessaro/changelog.gz
)
if [ "$with_window" = 1 ]; then
  expected+=(share/applications/$app_id.desktop share/metainfo/$app_id.metainfo.xml
             share/icons/hicolor/scalable/apps/tessaro.svg share/man/man1/tessaro.1.gz)
  for size in 16 22 24 32 48 64 128 256; do expected+=(share/icons/hicolor/${size}x${size}/apps/tessaro.png); done
fi
for p in "${programs[@]}"; do expected+=(bin/$p); done
for f in "${expected[@]}"; do
  [ -f "$prefix/$f" ] || fail "$f is not installed"
done
for p in "${programs[@]}"; do
  [ -x "$prefix/bin/$p" ] || fail "bin/$p is not executable"
done
gzip -t "$prefix"/share/man/man1/*.gz || fail "a manual page is not a valid gzip file"

if [ "$with_window" = 1 ]; then
  desktop-file-validate "$prefix/share/applications/$app_id.desktop" || fail "desktop-file-validate"
  # The desktop entry must name the installed program and icon.
  grep -qx 'Exec=tessaro' "$prefix/share/applications/$app_id.desktop" || fail "the desktop entry does not start tessaro"
  grep -qx 'Icon=tessaro' "$prefix/share/applications/$app_id.desktop" || fail "the desktop entry does not name the icon"
  appstreamcli validate --no-net --explain "$prefix/share/metainfo/$app_id.metainfo.xml" || fail "appstreamcli validate"
  grep -q "<release version=\"$version\"" "$prefix/share/metainfo/$app_id.metainfo.xml" || fail "the metainfo has no release $version"
fi

for p in "${programs[@]}"; do
  out=$(env -u DISPLAY QT_QPA_PLATFORM= "$prefix/bin/$p" --version 2>&1)
  [ "$out" = "$p $version" ] || fail "$p --version printed '$out', not '$p $version'"
done

# The installed programs hold no path of the build machine (debugging sections aside, which a
# package strips).
for p in "${programs[@]}"; do
  strip -o "$prefix/stripped" "$prefix/bin/$p"
  for path in "$build" "$source" "$(cd "$source/.." && pwd)/shared"; do
    if strings -a "$prefix/stripped" | grep -qF "$path"; then
      fail "bin/$p holds the build machine's path $path: $(strings -a "$prefix/stripped" | grep -F "$path" | head -3 | tr '\n' ' ')"
    fi
  done
  rm -f "$prefix/stripped"
done

[ "$failures" -eq 0 ] || { echo "$failures check(s) failed" >&2; exit 1; }
echo "installed tree under a fresh prefix: all checks passed"
