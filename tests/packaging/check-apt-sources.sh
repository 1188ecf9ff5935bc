#!/usr/bin/env bash
# scripts/windows finds the mirror for hidapi's source package in every form of apt's sources:
# each case is an /etc/apt of its own (QUARNEL_APT_DIR) and the entry the script must pick, or
# "none" where it must name none and, left to run, stop with a line that says what it needs.
set -euo pipefail
script=$(cd "$(dirname "$0")/../.." && pwd)/scripts/windows
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0

# case NAME TYPE EXPECTED FILE CONTENT [FILE CONTENT ...]
case_() {
    local name=$1 type=$2 expected=$3
    shift 3
    local dir=$work/$name
    mkdir -p "$dir/sources.list.d"
    while [ $# -gt 0 ]; do printf '%b' "$2" > "$dir/$1"; shift 2; done
    local got
    got=$(QUARNEL_APT_DIR=$dir bash "$script" --apt-entry "$type")
    [ -n "$got" ] || got=none
    if [ "$got" = "$expected" ]; then echo "ok   $name: $got"
    else echo "FAIL $name ($type): expected '$expected', got '$got'"; failed=1; fi
}

# Debian 12's default: deb822 with a comment between the fields, no deb-src.
bookworm='Types: deb\n# http://snapshot.example/archive/debian/1\nURIs: http://deb.debian.org/debian\nSuites: bookworm bookworm-updates\nComponents: main\nSigned-By: /usr/share/keyrings/debian-archive-keyring.gpg\n\nTypes: deb\nURIs: http://deb.debian.org/debian-security\nSuites: bookworm-security\nComponents: main\n'
case_ deb822-default deb "http://deb.debian.org/debian bookworm" sources.list.d/debian.sources "$bookworm"
case_ deb822-no-src deb-src none sources.list.d/debian.sources "$bookworm"
case_ deb822-with-src deb-src "http://mirror.example/debian bookworm" sources.list.d/debian.sources \
    'Types: deb deb-src\nURIs: http://mirror.example/debian\nSuites: bookworm\nComponents: main contrib\n'
# A disabled paragraph and one without main are passed over; keys in any case.
case_ deb822-skips deb "http://third.example/debian bookworm" sources.list.d/a.sources \
    'Types: deb\nURIs: http://first.example/debian\nSuites: bookworm\nComponents: main\nEnabled: no\n\ntypes: deb\nuris: http://second.example/debian\nsuites: bookworm\ncomponents: contrib\n\nTypes: deb\nURIs: http://third.example/debian\nSuites: bookworm\nComponents: main\n'
# deb-src alone does not count as deb ("deb" must be a word of Types, not a prefix of one).
case_ deb822-src-only deb none sources.list.d/a.sources \
    'Types: deb-src\nURIs: http://mirror.example/debian\nSuites: bookworm\nComponents: main\n'
# One-line entries, with options in brackets, commented lines passed over.
case_ one-line deb "http://ftp.example/debian bookworm" sources.list \
    '# deb http://old.example/debian buster main\ndeb [arch=amd64 signed-by=/k.gpg] http://ftp.example/debian bookworm main contrib\n'
case_ one-line-src deb-src "http://ftp.example/debian bookworm" sources.list \
    'deb http://ftp.example/debian bookworm main\ndeb-src http://ftp.example/debian bookworm main\n'
case_ one-line-no-main deb none sources.list.d/x.list 'deb http://ftp.example/debian bookworm contrib\n'
case_ empty deb none

# Left to run with no mirror at all, it stops with status 1 and says what it needs.
mkdir -p "$work/none/sources.list.d"
if out=$(QUARNEL_APT_DIR=$work/none PATH=$work/none:$PATH bash "$script" 2>&1); then
    echo "FAIL no-mirror: the script went on"; failed=1
elif grep -q 'needs a deb-src entry' <<<"$out"; then echo "ok   no-mirror: says what it needs"
else echo "FAIL no-mirror: no line saying what is missing: $out"; failed=1; fi
exit $failed
