#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the README on a fresh machine: builds a clean Debian 12 root with debootstrap,
# copies a clone of this repository (and ../shared when it is there) into it, and runs the
# README's two commands inside: the test command, then the run command under a virtual
# display for long enough to see the window (a screenshot is taken from inside).
# Needs root, debootstrap and Debian's archive. Not part of CI.
#   scripts/prove-readme.sh [WORKDIR]      (default /var/tmp/tessaro-prove)
set -euo pipefail

top=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=${1:-/var/tmp/tessaro-prove}
root=$work/root
mirror=${MIRROR:-http://deb.debian.org/debian}

[ "$(id -u)" -eq 0 ] || { echo "prove-readme: run as root" >&2; exit 1; }
command -v debootstrap >/dev/null || { echo "prove-readme: apt-get install debootstrap" >&2; exit 1; }

mounted=()
cleanup() {
    for ((i = ${#mounted[@]} - 1; i >= 0; i--)); do umount -l "${mounted[i]}" 2>/dev/null || true; done
}
trap cleanup EXIT

readme_command() { # the indented line after the sentence that introduces it
    awk -v key="$1" 'index($0, key) { found = 1; next } found && /^    [^ ]/ { sub(/^    /, ""); print; exit }' "$top/README.md"
}
run_cmd=$(readme_command "Set up, build and start Tessaro")
test_cmd=$(readme_command "Set up, build and run every test")
[ -n "$run_cmd" ] && [ -n "$test_cmd" ] || { echo "prove-readme: README commands not found" >&2; exit 1; }
echo "run command:  $run_cmd"
echo "test command: $test_cmd"

start=$(date +%s)
if [ ! -x "$root/bin/bash" ]; then
    mkdir -p "$work"
    echo "== debootstrap bookworm into $root"
    debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" > "$work/debootstrap.log" 2>&1 \
        || { tail -20 "$work/debootstrap.log"; exit 1; }
fi
echo "== fresh root ready after $(( $(date +%s) - start )) s"

rm -rf "$root/work"
mkdir -p "$root/work"
git clone -q "$top" "$root/work/main"
if [ -d "$top/../shared" ]; then cp -r "$top/../shared" "$root/work/shared"; fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
for m in proc sys dev dev/pts; do
    mkdir -p "$root/$m"
    mount --bind "/$m" "$root/$m"
    mounted+=("$root/$m")
done

in_root() { chroot "$root" /usr/bin/env -i HOME=/root PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
                LANG=C.UTF-8 bash -c "$1"; }

echo "== test command"
t0=$(date +%s)
status=0
in_root "cd /work/main && export QT_QPA_PLATFORM=offscreen && $test_cmd" > "$work/test.log" 2>&1 || status=$?
tail -40 "$work/test.log"
echo "== test command ended with status $status after $(( $(date +%s) - t0 )) s"

echo "== run command, under Xvfb; the window must appear"
# xwininfo (x11-utils) is the checker's own tool, installed after the README's commands ran.
in_root "DEBIAN_FRONTEND=noninteractive apt-get install -y -qq x11-utils >/dev/null 2>&1"
t0=$(date +%s)
in_root "cd /work/main && (Xvfb :99 -screen 0 1024x768x24 >/dev/null 2>&1 &) && sleep 2 && export DISPLAY=:99 &&
         (timeout 120 bash -c '$run_cmd' > /tmp/run.log 2>&1 &) &&
         for i in \$(seq 1 110); do
             if xwininfo -root -tree 2>/dev/null | grep -q '\"Tessaro\"'; then
                 echo \"window up after \$i s:\"; xwininfo -root -tree | grep '\"Tessaro\"'; break; fi
             sleep 1
         done; sleep 3; pkill -x tessaro || true; tail -3 /tmp/run.log"
echo "== run command took $(( $(date +%s) - t0 )) s"
echo "== done after $(( $(date +%s) - start )) s in all"
