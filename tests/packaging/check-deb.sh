#!/usr/bin/env bash
# Builds the Debian package from a configured and built build folder and checks it: the files it
# must hold, its fields and maintainer scripts, the programs inside it, and lintian's verdict.
#
#   check-deb.sh --build-dir DIR --version X.Y.Z [--programs quarnel,quarnel-flash,...]
#   check-deb.sh --deb FILE      --version X.Y.Z [--programs ...]   (check a package made before)
#
# The package is made in a temporary folder, so the build folder keeps no package of the test's.
# Exit status 0 when every check passed.
set -uo pipefail

build_dir=""
deb=""
version=""
programs="quarnel,quarnel-flash,quarnel-flash-demo"
while [ $# -gt 0 ]; do
    case "$1" in
        --build-dir) build_dir=$2; shift 2 ;;
        --deb) deb=$2; shift 2 ;;
        --version) version=$2; shift 2 ;;
        --programs) programs=$2; shift 2 ;;
        *) echo "usage: $0 (--build-dir DIR | --deb FILE) --version X.Y.Z [--programs a,b,...]" >&2; exit 2 ;;
    esac
done
if { [ -z "$build_dir" ] && [ -z "$deb" ]; } || [ -z "$version" ]; then
    echo "usage: $0 (--build-dir DIR | --deb FILE) --version X.Y.Z [--programs a,b,...]" >&2
    exit 2
fi
IFS=, read -r -a expected_programs <<< "$programs"

for tool in dpkg-deb; do
    command -v "$tool" >/dev/null || { echo "FAIL: $tool not installed"; exit 1; }
done

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0
failed=0
pass() { echo "ok:   $*"; passed=$((passed + 1)); }
fail() { echo "FAIL: $*"; failed=$((failed + 1)); }
check() {  # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# --- the package --------------------------------------------------------------------------------
if [ -z "$deb" ]; then
    echo "Making the package from $build_dir"
    if ! (cd "$build_dir" && cpack -G DEB -B "$work/out") > "$work/cpack.log" 2>&1; then
        cat "$work/cpack.log"
        echo "FAIL: cpack"
        exit 1
    fi
    deb=$(find "$work/out" -maxdepth 1 -name '*.deb' | head -n 1)
fi
arch=$(dpkg --print-architecture)
[ -n "$deb" ] && [ -f "$deb" ] || { echo "FAIL: no package made"; exit 1; }
echo "Package: $deb"
check "file name is quarnel-flash_${version}_${arch}.deb" \
    test "$(basename "$deb")" = "quarnel-flash_${version}_${arch}.deb"

# --- fields -------------------------------------------------------------------------------------
field() { dpkg-deb -f "$deb" "$1"; }
check "Package: quarnel-flash" test "$(field Package)" = quarnel-flash
check "Version: $version" test "$(field Version)" = "$version"
check "Section: electronics" test "$(field Section)" = electronics
check "Priority: optional" test "$(field Priority)" = optional
check "Architecture: $arch" test "$(field Architecture)" = "$arch"
check "Maintainer is set" test -n "$(field Maintainer)"
check "Homepage is https" grep -q '^https://' <<< "$(field Homepage)"
depends=$(field Depends)
echo "Depends: $depends"
has_dep() { grep -Eq "(^|, )$1( |,|$)" <<< "$depends"; }
check "Depends on libc6" has_dep libc6
if [[ " ${expected_programs[*]} " == *" quarnel "* ]]; then
    check "Depends on libhidapi-hidraw0" has_dep libhidapi-hidraw0
    check "Depends on libudev1" has_dep libudev1
fi
if [[ " ${expected_programs[*]} " == *" quarnel-flash "* ]]; then
    check "Depends on libqt6widgets6" has_dep libqt6widgets6
    check "Depends on qt6-qpa-plugins" has_dep qt6-qpa-plugins
fi

# --- contents -----------------------------------------------------------------------------------
dpkg-deb -c "$deb" > "$work/contents"
echo "Contents:"
sed 's/^/    /' "$work/contents"
# Lines read "-rwxr-xr-x root/root 12345 2026-01-01 00:00 ./usr/bin/quarnel": mode, owner, path.
listed() {  # listed PATH [MODE]
    awk -v p="./$1" -v m="${2:-}" '
        $6 == p && (m == "" || substr($1, 1, length(m)) == m) { found = 1 }
        END { exit !found }' "$work/contents"
}
for program in "${expected_programs[@]}"; do
    check "usr/bin/$program, executable" listed "usr/bin/$program" "-rwxr-xr-x"
done
check "udev rule in usr/lib/udev/rules.d" listed usr/lib/udev/rules.d/70-quarnel-flash.rules "-rw-r--r--"
check "copyright" listed usr/share/doc/quarnel-flash/copyright "-rw-r--r--"
check "changelog.gz" listed usr/share/doc/quarnel-flash/changelog.gz "-rw-r--r--"
for example in pic16/blink16.hex pic18/blink18.hex pic24/blink24.hex pic32/blink32.hex; do
    check "example $example" listed "usr/share/quarnel-flash/examples/$example" "-rw-r--r--"
done
if [[ " ${expected_programs[*]} " == *" quarnel "* ]]; then
    check "man page quarnel.1.gz" listed usr/share/man/man1/quarnel.1.gz "-rw-r--r--"
    check "bash completion for quarnel" listed usr/share/bash-completion/completions/quarnel "-rw-r--r--"
fi
if [[ " ${expected_programs[*]} " == *" quarnel-flash "* ]]; then
    check "man page quarnel-flash.1.gz" listed usr/share/man/man1/quarnel-flash.1.gz "-rw-r--r--"
    check "desktop entry" listed usr/share/applications/quarnel-flash.desktop "-rw-r--r--"
    check "scalable icon" listed usr/share/icons/hicolor/scalable/apps/quarnel-flash.svg "-rw-r--r--"
fi
if [[ " ${expected_programs[*]} " == *" quarnel-flash-demo "* ]]; then
    check "man page quarnel-flash-demo.1.gz is a link to quarnel-flash.1.gz" \
        grep -q '^l.* \./usr/share/man/man1/quarnel-flash-demo\.1\.gz -> quarnel-flash\.1\.gz$' "$work/contents"
    check "the demo's desktop entry" listed usr/share/applications/quarnel-flash-demo.desktop "-rw-r--r--"
fi
# The browser page, in a package made after ./scripts/web: the whole site and nothing of its build.
if grep -q ' \./usr/share/quarnel-flash/web/' "$work/contents"; then
    for f in index.html style.css app.js webhid.js quarnel.js quarnel.wasm examples/pic18/blink18.hex; do
        check "web page file $f" listed "usr/share/quarnel-flash/web/$f" "-rw-r--r--"
    done
    check "no build folder of the page" awk '$6 ~ /\/web\/\./ { bad = 1 } END { exit bad }' "$work/contents"
fi
check "every entry is owned by root/root" awk '$2 != "root/root" { bad = 1 } END { exit bad }' "$work/contents"
check "no folder outside usr/" awk '$6 !~ /^\.\/(usr\/.*)?$/ { bad = 1 } END { exit bad }' "$work/contents"

# --- what the files hold ------------------------------------------------------------------------
root="$work/root"
dpkg-deb -x "$deb" "$root"
rule="$root/usr/lib/udev/rules.d/70-quarnel-flash.rules"
rule_line=$(grep -v '^#' "$rule" | grep -v '^[[:space:]]*$')
check "udev rule matches hidraw 3930:2021 and tags it uaccess" grep -Eq \
    '^KERNEL=="hidraw\*", SUBSYSTEM=="hidraw", ATTRS\{idVendor\}=="3930", ATTRS\{idProduct\}=="2021", TAG\+="uaccess"$' \
    <<< "$rule_line"
check "udev rule is one rule" test "$(wc -l <<< "$rule_line")" -eq 1
changelog_top=$(gzip -dc "$root/usr/share/doc/quarnel-flash/changelog.gz" | head -n 1)
check "changelog starts with version $version" grep -q "^quarnel-flash ($version) " <<< "$changelog_top"
check "copyright is machine-readable" grep -q '^Format: https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/$' \
    "$root/usr/share/doc/quarnel-flash/copyright"

for page in "$root"/usr/share/man/man1/*.1.gz; do
    [ -L "$page" ] && continue
    name=$(basename "$page")
    # gzip header: byte 3 flags (no file name), bytes 4-7 time stamp (0), byte 8 = 2 for -9.
    check "$name compressed with -9n" \
        bash -c 'gzip -t "$1" && [ "$(od -An -tu1 -j3 -N1 "$1" | tr -d " ")" = 0 ] &&
                 [ "$(od -An -tu4 -j4 -N4 "$1" | tr -d " ")" = 0 ] &&
                 [ "$(od -An -tu1 -j8 -N1 "$1" | tr -d " ")" = 2 ]' _ "$page"
    check "$name carries version $version" bash -c 'gzip -dc "$1" | grep -q "^\.TH .*\"Quarnel Flash $2\""' _ "$page" "$version"
    if command -v groff >/dev/null; then
        gzip -dc "$page" | groff -man -Tutf8 -ww -z 2> "$work/groff.log"
        check "$name renders without groff warnings" test ! -s "$work/groff.log"
        sed 's/^/    /' "$work/groff.log"
    fi
done

if command -v desktop-file-validate >/dev/null && [ -f "$root/usr/share/applications/quarnel-flash.desktop" ]; then
    check "desktop entry passes desktop-file-validate" \
        desktop-file-validate "$root/usr/share/applications/quarnel-flash.desktop"
fi
if command -v desktop-file-validate >/dev/null && [ -f "$root/usr/share/applications/quarnel-flash-demo.desktop" ]; then
    check "the demo's desktop entry passes desktop-file-validate" \
        desktop-file-validate "$root/usr/share/applications/quarnel-flash-demo.desktop"
fi
if [ -f "$root/usr/share/icons/hicolor/scalable/apps/quarnel-flash.svg" ]; then
    check "icon is SVG" grep -q '<svg ' "$root/usr/share/icons/hicolor/scalable/apps/quarnel-flash.svg"
fi

for program in "${expected_programs[@]}"; do
    bin="$root/usr/bin/$program"
    [ -f "$bin" ] || continue
    check "$program is stripped" bash -c '! readelf -S "$1" | grep -Eq "\.symtab|\.debug_"' _ "$bin"
    check "$program has no RPATH/RUNPATH" bash -c '! readelf -d "$1" | grep -Eq "RPATH|RUNPATH"' _ "$bin"
done
# The command-line flasher runs from the package and flashes a virtual target.
if [ -x "$root/usr/bin/quarnel" ]; then
    check "packaged quarnel --help exits 0" bash -c '"$1" --help > /dev/null' _ "$root/usr/bin/quarnel"
    printf ':020000040000FA\n:10000000000102030405060708090A0B0C0D0E0F78\n:00000001FF\n' > "$work/t.hex"
    "$root/usr/bin/quarnel" flash "$work/t.hex" --simulate pic18 > "$work/flash.log" 2>&1
    rc=$?
    check "packaged quarnel flashes a virtual PIC18 (exit $rc)" test "$rc" -eq 0
    [ "$rc" -eq 0 ] || sed 's/^/    /' "$work/flash.log"
    "$root/usr/bin/quarnel" info > /dev/null 2>&1
    rc=$?
    check "packaged quarnel info without a board exits 2 (exit $rc)" test "$rc" -eq 2
    check "packaged quarnel --version names hidapi" bash -c '"$1" --version | grep -q "^hidapi [0-9]"' _ "$root/usr/bin/quarnel"
    completion="$root/usr/share/bash-completion/completions/quarnel"
    check "packaged completion is what the packaged quarnel writes" \
        bash -c 'cmp -s "$2" <("$1" completion bash)' _ "$root/usr/bin/quarnel" "$completion"
    check "packaged completion completes \"quarnel fl\" to flash" bash -c \
        'source "$1"; COMP_WORDS=(quarnel fl); COMP_CWORD=1; _quarnel; [ "${COMPREPLY[*]}" = flash ]' _ "$completion"
fi

# --- maintainer scripts -------------------------------------------------------------------------
dpkg-deb -e "$deb" "$work/control"
dpkg-deb --ctrl-tarfile "$deb" | tar -tvf - > "$work/control.list"
for script in postinst postrm; do
    f="$work/control/$script"
    check "$script present, mode 755, root/root" \
        awk -v p="./$script" '$6 == p && $1 == "-rwxr-xr-x" && $2 == "root/root" { found = 1 } END { exit !found }' \
        "$work/control.list"
    check "$script reloads the udev rules" grep -q 'udevadm control --reload-rules' "$f"
    check "$script is valid sh" sh -n "$f"
done
check "md5sums present" test -s "$work/control/md5sums"
# The scripts must not fail where udev is absent or not running (chroots, containers, CI).
check "postinst configure succeeds without udev" bash -c 'PATH=/nonexistent /bin/sh "$1" configure' _ "$work/control/postinst"
check "postrm remove succeeds without udev" bash -c 'PATH=/nonexistent /bin/sh "$1" remove' _ "$work/control/postrm"

# --- lintian ------------------------------------------------------------------------------------
if command -v lintian >/dev/null; then
    lintian --display-info "$deb" > "$work/lintian.log" 2>&1
    lintian_rc=$?
    echo "lintian output:"
    sed 's/^/    /' "$work/lintian.log"
    errors=$(grep -c '^E: ' "$work/lintian.log")
    check "lintian reports no errors ($errors)" test "$errors" -eq 0
    check "lintian ran (exit $lintian_rc)" test "$lintian_rc" -eq 0 -o "$errors" -gt 0
else
    echo "lintian not installed: skipping"
fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
