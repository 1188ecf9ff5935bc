#!/usr/bin/env bash
# Boots the installed Debian kernel in QEMU with a small initramfs (busybox, the test programs and
# the shared libraries they need, the USB gadget and HID modules) and runs scenarios in it. Each
# scenario prints "QK-RESULT <name> PASS|FAIL" on the serial console; this script reads them back.
#
#   run-vm.sh --device BIN --cli BIN [--window BIN] --examples DIR --work DIR [--with-window]
#             [--timeout SECONDS] SCENARIO...
#
# Exit 0 when every scenario passed, 1 when one failed or the VM did not finish, 77 when QEMU, a
# kernel image or busybox is missing (the test is skipped). Needs no root and no network: the VM has
# no network card, and the whole boot is killed after --timeout seconds.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

device="" cli="" window="" examples="" work="" withWindow=0 timeoutS=240
scenarios=()
while [ $# -gt 0 ]; do
    case "$1" in
        --device) device=$2; shift 2 ;;
        --cli) cli=$2; shift 2 ;;
        --window) window=$2; shift 2 ;;
        --examples) examples=$2; shift 2 ;;
        --work) work=$2; shift 2 ;;
        --with-window) withWindow=1; shift ;;
        --timeout) timeoutS=$2; shift 2 ;;
        -*) echo "run-vm.sh: unknown option $1" >&2; exit 2 ;;
        *) scenarios+=("$1"); shift ;;
    esac
done
if [ -z "$device" ] || [ -z "$cli" ] || [ -z "$examples" ] || [ -z "$work" ] || [ ${#scenarios[@]} -eq 0 ]; then
    echo "usage: run-vm.sh --device BIN --cli BIN [--window BIN] --examples DIR --work DIR SCENARIO..." >&2
    exit 2
fi

skip() { echo "SKIPPED: $*" >&2; exit 77; }
qemu=$(command -v qemu-system-x86_64 || true)
[ -n "$qemu" ] || skip "qemu-system-x86_64 is not installed (apt-get install qemu-system-x86)"
kernel=${QK_KERNEL:-$(ls -1 /boot/vmlinuz-* 2>/dev/null | sort -V | tail -n 1 || true)}
[ -n "$kernel" ] && [ -r "$kernel" ] || skip "no readable kernel image /boot/vmlinuz-* (apt-get install linux-image-amd64)"
version=${kernel##*/vmlinuz-}
moddir=/lib/modules/$version
[ -d "$moddir" ] || skip "no modules for kernel $version in $moddir"
busybox=$(command -v busybox || true)
[ -n "$busybox" ] && { ldd "$busybox" 2>&1 || true; } | grep -q "not a dynamic" || skip "busybox-static is not installed"

root=$work/root
rm -rf "$work"
mkdir -p "$root"/{bin,qk/modules,qk/hex,etc,proc,sys,dev,tmp,run,home/tester}

# Programs and the libraries that ldd lists for them, at the same paths as on the host.
cp "$busybox" "$root/bin/busybox"
progs=("$device" "$cli")
cp "$device" "$root/qk/quarnel-kernel-device"
cp "$cli" "$root/qk/quarnel"
if [ $withWindow -eq 1 ]; then
    [ -n "$window" ] || { echo "run-vm.sh: --with-window needs --window BIN" >&2; exit 2; }
    cp "$window" "$root/qk/quarnel-window-driver"
    progs+=("$window")
    # Qt finds its platform plugin at the path it was built with.
    plugin=$(ls -1 /usr/lib/*/qt6/plugins/platforms/libqoffscreen.so 2>/dev/null | head -n 1 || true)
    [ -n "$plugin" ] || skip "Qt's offscreen platform plugin is not installed"
    mkdir -p "$root$(dirname "$plugin")"
    cp "$plugin" "$root$plugin"
    progs+=("$plugin")
    # A font and fontconfig's setup, so that the window can lay out its text.
    for d in /etc/fonts /usr/share/fonts/truetype/dejavu; do
        [ -d "$d" ] || continue
        mkdir -p "$root$(dirname "$d")"
        cp -rL "$d" "$root$d"
    done
fi
for p in "${progs[@]}"; do
    ldd "$p" | awk '/=> \// { print $3 } /^\t\/[^ ]+ \(/ { print $1 }' | while read -r lib; do
        [ -e "$root$lib" ] && continue
        mkdir -p "$root$(dirname "$lib")"
        cp -L "$lib" "$root$lib"
    done
done

# The kernel modules for the dummy host controller, the gadget side and the HID host side.
modules=(usb-common usbcore udc-core configfs libcomposite usb_f_hid dummy_hcd hid hid-generic usbhid)
: > "$root/qk/modules.order"
for m in "${modules[@]}"; do
    file=$(modinfo -k "$version" -n "$m" 2>/dev/null || true)
    [ -n "$file" ] && [ -r "$file" ] || skip "kernel module $m not found for $version"
    name=$(basename "$file")
    case "$name" in
        *.ko) cp "$file" "$root/qk/modules/$m.ko" ;;
        *.ko.xz) xz -dc "$file" > "$root/qk/modules/$m.ko" ;;
        *.ko.zst) zstd -dqc "$file" > "$root/qk/modules/$m.ko" ;;
        *.ko.gz) gzip -dc "$file" > "$root/qk/modules/$m.ko" ;;
        *) skip "unknown module format $name" ;;
    esac
    echo "$m" >> "$root/qk/modules.order"
done

cp "$examples"/pic18/*.hex "$examples"/pic32/*.hex "$root/qk/hex/"
cp "$here/vm-init.sh" "$root/init"
cp "$here/scenarios.sh" "$root/qk/scenarios.sh"
chmod 755 "$root/init"
printf 'root:x:0:0:root:/root:/bin/sh\ntester:x:1000:1000:tester:/home/tester:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\ntester:x:1000:\n' > "$root/etc/group"
chown 1000:1000 "$root/home/tester" 2>/dev/null || true

initrd=$work/initramfs.cpio
(cd "$root" && find . | "$busybox" cpio -o -H newc 2>/dev/null) > "$initrd"

console=$work/console.log
list=$(IFS=,; echo "${scenarios[*]}")
start=$(date +%s.%N)
set +e
timeout -k 5 "$timeoutS" "$qemu" -accel tcg -cpu max -m 1024 -smp 1 -nographic -monitor none \
    -serial "file:$console" -no-reboot -nic none \
    -kernel "$kernel" -initrd "$initrd" \
    -append "console=ttyS0 panic=-1 quiet loglevel=3 rdinit=/init qk.scenarios=$list" </dev/null >"$work/qemu.out" 2>&1
rc=$?
set -e
end=$(date +%s.%N)
echo "VM ran $(awk -v a="$start" -v b="$end" 'BEGIN { printf "%.1f", b - a }') s (qemu exit $rc): $list"

# The console in full on failure; the per-scenario results always.
failed=0
for s in "${scenarios[@]}"; do
    if grep -q "^QK-RESULT $s PASS" "$console"; then
        echo "PASS $s"
    else
        echo "FAIL $s"
        failed=1
    fi
done
grep -q '^QK-DONE' "$console" || { echo "the VM did not finish (timeout or crash)"; failed=1; }
if [ $failed -ne 0 ] || [ "${QK_VERBOSE:-0}" = 1 ]; then
    echo "----- console -----"
    tr -d '\r' < "$console"
    [ -s "$work/qemu.out" ] && { echo "----- qemu -----"; cat "$work/qemu.out"; }
fi
exit $failed
