#!/usr/bin/env bash
# Builds blink24.hex from the hand-assembled listing blink24.lst with srec_cat (Debian srecord).
set -euo pipefail
cd "$(dirname "$0")"
args=()
while read -r pc word _; do
    [[ $pc =~ ^[0-9A-Fa-f]{6}$ && $word =~ ^[0-9A-Fa-f]{6}$ ]] || continue
    file=$(( 0x$pc * 2 ))
    args+=(-generate "$file" "$(( file + 4 ))" -repeat-data
           "0x${word:4:2}" "0x${word:2:2}" "0x${word:0:2}" 0x00)
done < blink24.lst
srec_cat "${args[@]}" -o blink24.hex -intel -Output_Block_Size 16
