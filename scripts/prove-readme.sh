#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Proves the README on a fresh machine: builds a clean Debian 12 root with debootstrap, copies
# a clone of this repository (and ../shared when it is there) into it, and runs the README's
# commands inside, in this order:
#   run      the run command, under a virtual display, until the window appears; then lists
#            what it installed, which must hold no test, fuzz or LibreOffice SDK package
#   install  the Install command (builds the Debian package and installs it with apt); then
#            lintian on the package, the installed tessaro-cli's version and a copy with it,
#            and the installed window, whose Help menu must open the installed guide
#   test     the test command
# PROVE_STAGES picks some of them (default "run install test"). Needs root, debootstrap and
# Debian's archive. Not part of CI.
#   scripts/prove-readme.sh [WORKDIR]      (default /var/tmp/tessaro-prove)
set -euo pipefail

top=$(git -C "$(dirname "$0")" rev-parse --show-toplevel)
work=${1:-/var/tmp/tessaro-prove}
root=$work/root
mirror=${MIRROR:-http://deb.debian.org/debian}
stages=${PROVE_STAGES:-run install test}

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
install_cmd=$(readme_command "Build the Debian package and install it")
[ -n "$run_cmd" ] && [ -n "$test_cmd" ] && [ -n "$install_cmd" ] || { echo "prove-readme: README commands not found" >&2; exit 1; }
echo "run command:     $run_cmd"
echo "install command: $install_cmd"
echo "test command:    $test_cmd"

start=$(date +%s)
# Always a new root: one that earlier runs filled proves nothing about what a command installs.
# debootstrap's own output is kept as a tar file, so later runs start from the same fresh root
# without fetching it again.
rm -rf "$root"
mkdir -p "$work"
if [ -f "$work/fresh-root.tar" ]; then
    echo "== fresh bookworm root from $work/fresh-root.tar"
    mkdir "$root" && tar -C "$root" -xpf "$work/fresh-root.tar"
else
    echo "== debootstrap bookworm into $root"
    debootstrap --variant=minbase --include=git,ca-certificates bookworm "$root" "$mirror" > "$work/debootstrap.log" 2>&1 \
        || { tail -20 "$work/debootstrap.log"; exit 1; }
    tar -C "$root" -cpf "$work/fresh-root.tar" .
fi
echo "== fresh root ready after $(( $(date +%s) - start )) s"

mkdir -p "$root/work"
git clone -q "$top" "$root/work/main"
if [ -d "$top/../shared" ]; then cp -r "$top/../shared" "$root/work/shared"; fi
cp /etc/resolv.conf "$root/etc/resolv.conf"
for m in proc sys dev dev/pts; do
    mkdir -p "$root/$m"
    mount --bind "/$m" "$root/$m"
    mounted+=("$root/$m")
done

in_root() { chroot "$root" /usr/bin/env -i HOME=/root DEBIAN_FRONTEND=noninteractive PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin \
                LANG=C.UTF-8 bash -c "$1"; }
installed_packages() { in_root "dpkg-query -W -f='\${db:Status-Status} \${Package}\n' | sed -n 's/^installed //p' | sort"; }

# The checker's own tools (a virtual display, a window lister, a key presser), installed before
# any README command so that they are not counted as its. No one is there to answer apt's
# questions, so apt takes yes for an answer.
in_root "apt-get update -qq && DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends xvfb xauth x11-utils xdotool >/dev/null 2>&1"
in_root "echo 'APT::Get::Assume-Yes \"true\";' > /etc/apt/apt.conf.d/90prove-readme"
# A display number no other X server of this machine uses (the root shares its sockets).
display=150
while [ -e "/tmp/.X$display-lock" ] || [ -e "/tmp/.X11-unix/X$display" ]; do display=$((display + 1)); done
in_root "(Xvfb :$display -screen 0 1024x768x24 >/dev/null 2>&1 & echo \$! > /tmp/xvfb.pid) && sleep 2"

# Starts a command under the virtual display and waits for the window titled Tessaro.
# The command runs under timeout, whose process group is ended by stop_window.
window_up() {
    in_root "cd /work/main && export DISPLAY=:$display &&
             (timeout ${2:-120} bash -c '$1' > /tmp/run.log 2>&1 & echo \$! > /tmp/run.pid) &&
             for i in \$(seq 1 ${3:-110}); do
                 if xwininfo -root -tree 2>/dev/null | grep -q '\"Tessaro\"'; then
                     echo \"window up after \$i s:\"; xwininfo -root -tree | grep '\"Tessaro\"'; exit 0; fi
                 sleep 1
             done; echo 'no window'; tail -5 /tmp/run.log; exit 1"
}
stop_window() { in_root "kill \$(cat /tmp/run.pid) 2>/dev/null; sleep 1; tail -3 /tmp/run.log"; }

status=0
for stage in $stages; do
case $stage in
run)
    echo "== run command, under Xvfb; the window must appear"
    installed_packages > "$work/packages-before-run"
    t0=$(date +%s)
    window_up "$run_cmd" 2400 2300 || status=1
    sleep 3; stop_window
    echo "== run command took $(( $(date +%s) - t0 )) s"
    installed_packages > "$work/packages-after-run"
    comm -13 "$work/packages-before-run" "$work/packages-after-run" > "$work/packages-of-run"
    echo "== the run command installed $(wc -l < "$work/packages-of-run") packages (list: $work/packages-of-run)"
    unwanted=$(grep -E '^(clang|clang-[0-9]+|libclang-rt-.*|libreoffice-dev|libreoffice-dev-common|libgtest-dev|libgmock-dev|googletest|python3-openpyxl|lintian)$' "$work/packages-of-run" || true)
    if [ -n "$unwanted" ]; then echo "== it installed what only tests, fuzzing or LibreOffice support need: $unwanted"; status=1
    else echo "== none of them is clang, a sanitizer runtime of clang, the LibreOffice SDK, a test library or lintian"; fi
    echo "== of them, compiler runtimes for sanitizers (pulled in by g++ itself): $(grep -E '^lib(asan|lsan|tsan|ubsan|hwasan)[0-9]' "$work/packages-of-run" | tr '\n' ' ')"
    ;;
install)
    echo "== install command"
    t0=$(date +%s)
    in_root "cd /work/main && $install_cmd" > "$work/install.log" 2>&1 || { status=1; tail -30 "$work/install.log"; }
    echo "== install command ended after $(( $(date +%s) - t0 )) s"
    in_root "dpkg-query -W -f='\${Package} \${Version}\nDepends: \${Depends}\nRecommends: \${Recommends}\n' tessaro" || status=1
    echo "== lintian"
    in_root "lintian --info /work/main/build-deb/tessaro_*.deb; echo \"lintian exit status \$?\"" || true
    echo "== installed tessaro-cli"
    python3 - "$root/work/books" <<'PY' || status=1
import os, sys, zipfile
d = sys.argv[1]
os.makedirs(d, exist_ok=True)
def book(path, sheets):
    ns = 'xmlns="http://schemas.openxmlformats.org/spreadsheetml/2006/main"'
    rns = 'xmlns:r="http://schemas.openxmlformats.org/officeDocument/2006/relationships"'
    with zipfile.ZipFile(path, "w", zipfile.ZIP_DEFLATED) as z:
        z.writestr("[Content_Types].xml",
            '<?xml version="1.0" encoding="UTF-8"?><Types xmlns="http://schemas.openxmlformats.org/package/2006/content-types">'
            '<Default Extension="rels" ContentType="application/vnd.openxmlformats-package.relationships+xml"/>'
            '<Default Extension="xml" ContentType="application/xml"/>'
            '<Override PartName="/xl/workbook.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.sheet.main+xml"/>'
            + "".join('<Override PartName="/xl/worksheets/sheet%d.xml" ContentType="application/vnd.openxmlformats-officedocument.spreadsheetml.worksheet+xml"/>' % (i + 1) for i in range(len(sheets)))
            + '</Types>')
        z.writestr("_rels/.rels",
            '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            '<Relationship Id="rId1" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/officeDocument" Target="xl/workbook.xml"/></Relationships>')
        z.writestr("xl/workbook.xml", '<?xml version="1.0" encoding="UTF-8"?><workbook %s %s><sheets>%s</sheets></workbook>' % (ns, rns,
            "".join('<sheet name="%s" sheetId="%d" r:id="rId%d"/>' % (n, i + 1, i + 1) for i, n in enumerate(sheets))))
        z.writestr("xl/_rels/workbook.xml.rels",
            '<?xml version="1.0" encoding="UTF-8"?><Relationships xmlns="http://schemas.openxmlformats.org/package/2006/relationships">'
            + "".join('<Relationship Id="rId%d" Type="http://schemas.openxmlformats.org/officeDocument/2006/relationships/worksheet" Target="worksheets/sheet%d.xml"/>' % (i + 1, i + 1) for i in range(len(sheets)))
            + '</Relationships>')
        for i, n in enumerate(sheets):
            z.writestr("xl/worksheets/sheet%d.xml" % (i + 1),
                '<?xml version="1.0" encoding="UTF-8"?><worksheet %s><sheetData><row r="1"><c r="A1" t="inlineStr"><is><t>%s</t></is></c>'
                '<c r="B1"><v>%d</v></c></row></sheetData></worksheet>' % (ns, n, i + 1))
book(os.path.join(d, "Source.xlsx"), ["Summary", "Costs"])
book(os.path.join(d, "Branch.xlsx"), ["Overview"])
PY
    in_root "cd /tmp && command -v tessaro-cli && tessaro-cli --version &&
             tessaro-cli copy --sheet /work/books/Source.xlsx:Summary --dest /work/books/Branch.xlsx --count 2 &&
             echo 'sheets of the destination now:' && tessaro-cli sheets /work/books/Branch.xlsx" || status=1
    echo "== installed window under Xvfb; Help must open the installed guide"
    # A stand-in for the desktop's opener that writes down what it is asked to open.
    in_root "printf '#!/bin/sh\necho \"\$@\" >> /tmp/opened\n' > /usr/local/bin/xdg-open && chmod +x /usr/local/bin/xdg-open && rm -f /tmp/opened"
    window_up "cd /tmp && exec tessaro" 120 60 || status=1
    # Alt puts the menu bar in keyboard mode on its first menu; Left wraps round to Help, the
    # last; Down opens it on its first item, Help.
    in_root "export DISPLAY=:$display && id=\$(xdotool search --name '^Tessaro\$' | head -1) && xdotool windowfocus --sync \$id;
             sleep 1; xdotool key alt; sleep 0.5; xdotool key Left; sleep 0.5; xdotool key Down; sleep 0.5; xdotool key Return; sleep 3;
             echo \"opened: \$(cat /tmp/opened 2>/dev/null)\";
             grep -q '/usr/share/doc/tessaro/help.html\$' /tmp/opened && echo 'the installed guide was opened'" || status=1
    stop_window
    ;;
test)
    echo "== test command"
    t0=$(date +%s)
    in_root "cd /work/main && export QT_QPA_PLATFORM=offscreen && $test_cmd" > "$work/test.log" 2>&1 || status=1
    tail -40 "$work/test.log"
    echo "== test command ended after $(( $(date +%s) - t0 )) s"
    ;;
*) echo "prove-readme: unknown stage $stage" >&2; exit 2 ;;
esac
done
in_root "kill \$(cat /tmp/xvfb.pid) 2>/dev/null || true"
echo "== done after $(( $(date +%s) - start )) s in all, status $status"
exit $status
