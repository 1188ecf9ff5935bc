#!/bin/sh
# quarnel.exe under Wine as a user runs it, on the virtual target:
#   every example flashes (exit 0), a fault ends with exit 4, --all over three boards flashes 3 of 3,
#   a station over three arriving boards records three lines, a file with another SHA-256 is refused,
#   a HEX file with a non-ASCII name flashes, --trace beside the HEX file is written (LF only) and
#   onto it refused (the file untouched), and a real-time PIC18 run is printed against its floor.
#   It is a Windows program: --version reads the version resource, no udev-rule, nothing exported.
# Usage: checks.sh QUARNEL_EXE EXAMPLES_DIR VERSION   (WINEPREFIX and WINEDEBUG as scripts/windows sets them)
set -u
exe=$1
examples=$2
version=$3
wine=$(command -v wine || command -v wine64) || { echo "skipped: wine is not installed"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
failed=0

q() { "$wine" "$exe" "$@"; }
check() { # name expected actual
    if [ "$2" = "$3" ]; then echo "ok   $1"; else echo "FAIL $1: expected $2, got $3"; failed=1; fi
}

check "--version reads the version resource" "quarnel $version" "$(q --version 2> /dev/null | head -n 1 | tr -d '\r')"
q udev-rule > /dev/null 2>&1
check "udev-rule is not offered on Windows (usage error)" 1 $?
check "--help does not mention udev-rule" 0 "$(q --help 2>&1 | grep -c udev)"
if command -v x86_64-w64-mingw32-objdump > /dev/null; then
    # The export table: a program exports nothing (hidapi's functions are marked for a DLL).
    check "no hid_* symbols exported" 0 "$(x86_64-w64-mingw32-objdump -p "$exe" |
        sed -n '/^The Export Tables/,/^The Import Tables\|^PE File Base Relocations/p' | grep -c 'hid_')"
    check "the export table is empty" 0 "$(x86_64-w64-mingw32-objdump -p "$exe" | grep -c '^The Export Tables')"
fi

# Wine 8.0 lacks a cfgmgr32 call hidapi looks up at start: list must say so (exit 2), not "no HID
# devices found" (exit 0).
q list > /dev/null 2> "$tmp/list.err"
check "list on a HID layer that cannot start exits 2" 2 $?
check "list says the HID layer could not start, with the reason" 1 \
    "$(grep -c '^quarnel: the HID layer could not start: .' "$tmp/list.err")"

# A HEX file dropped on the program is its only argument: it is flashed (here there is no board, or
# under Wine no HID layer: exit 2, said on stderr), not refused as a usage error.
q "$examples/pic18/blink18.hex" > /dev/null 2> "$tmp/drop.err"
check "a dropped HEX file is flashed (no board here: exit 2)" 2 $?
check "the dropped file's run says why it stopped" 1 "$(grep -c -e 'HID layer could not start' -e 'no bootloader' "$tmp/drop.err")"

for hex in "$examples"/pic16/*.hex "$examples"/pic18/*.hex "$examples"/pic24/*.hex "$examples"/pic32/*.hex; do
    family=$(basename "$(dirname "$hex")")
    q flash --simulate "$family" -q "$hex" > /dev/null 2>&1
    check "example $(basename "$hex") flashes on a virtual $family" 0 $?
done

q flash --simulate pic18 --sim stop-writes=3 -q "$examples/pic18/blink18.hex" > /dev/null 2>&1
check "a target that stops taking writes ends the run with exit 4" 4 $?

q flash --all --simulate pic18 --boards 3 -q "$examples/pic18/blink18.hex" > "$tmp/all.out" 2> "$tmp/all.err"
check "--all over three virtual boards exits with 0" 0 $?
check "--all reports 3 of 3" 1 "$(grep -c 'quarnel: 3 of 3 boards flashed' "$tmp/all.err")"

q station --simulate pic18 --boards 3 --count 3 --record "$tmp/r.jsonl" "$examples/pic18/blink18.hex" \
    > "$tmp/station.out" 2> "$tmp/station.err"
check "a station over three arriving virtual boards exits with 0" 0 $?
check "the station records three flashed boards" 3 "$(grep -c '"result":"flashed"' "$tmp/r.jsonl")"
check "the record has LF line ends only" 0 "$(tr -cd '\r' < "$tmp/r.jsonl" | wc -c | tr -d ' ')"
q flash --simulate pic18 -q --sha256 "$(printf '0%.0s' $(seq 64))" "$examples/pic18/blink18.hex" > /dev/null 2>&1
check "--sha256 of another file refuses it (exit 3)" 3 $?

name="$tmp/Grüße-Ωmega-файл.hex"
cp "$examples/pic18/blink18.hex" "$name"
q flash --simulate pic18 -q "$name" > /dev/null 2> "$tmp/name.err"
check "a HEX file with a non-ASCII name flashes" 0 $?

hex="$tmp/trace-input.hex"
cp "$examples/pic18/blink18.hex" "$hex"
q flash --simulate pic18 -q --trace "$tmp/trace.txt" "$hex" > /dev/null 2>&1
check "--trace to another file on the same drive is accepted" 0 $?
check "the trace has lines" yes "$([ -s "$tmp/trace.txt" ] && echo yes || echo no)"
check "the trace has LF line ends only" 0 "$(tr -cd '\r' < "$tmp/trace.txt" | wc -c | tr -d ' ')"
q flash --simulate pic18 -q --trace "$hex" "$hex" > /dev/null 2> "$tmp/same.err"
check "--trace naming the HEX file is refused (exit 1)" 1 $?
check "the refusal names the HEX file" 1 "$(grep -c 'would write over the HEX file' "$tmp/same.err")"
check "the HEX file is untouched" same "$(cmp -s "$hex" "$examples/pic18/blink18.hex" && echo same || echo changed)"

# The floor: the protocol's own pauses, as the virtual clock counts them (target_s). The real-time run
# sleeps through them on Windows' timers; its wall time over the floor is what the host adds.
floor=$(q flash --simulate pic18 --json "$examples/pic18/blink18.hex" 2> /dev/null |
        sed -n 's/.*"event":"result".*"target_s":\([0-9.]*\).*/\1/p')
real=$(q flash --simulate pic18 --real-time --json "$examples/pic18/blink18.hex" 2> /dev/null |
       sed -n 's/.*"duration_s":\([0-9.]*\).*"event":"result".*/\1/p')
if [ -n "$floor" ] && [ -n "$real" ]; then
    ratio=$(awk -v r="$real" -v f="$floor" 'BEGIN { printf "%.4f", r / f }')
    echo "real-time PIC18 (blink18.hex): wall $real s, protocol floor $floor s, ratio $ratio (target: within 1.05)"
else
    echo "FAIL real-time PIC18 run: no result (floor '$floor', wall '$real')"
    failed=1
fi
exit $failed
