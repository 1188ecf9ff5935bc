# Scenarios run inside the test VM (sourced by busybox sh). Each sc_<name> function exits non-zero
# with a "FAIL:" line when a check fails. The board is quarnel-kernel-device serving a virtual target
# on a USB HID gadget; quarnel reaches it through /dev/hidrawN like any real board.

P18HEX=/qk/hex/blink18.hex
P32HEX=/qk/hex/blink32.hex
# Smaller flash than the defaults, so that each run erases a few dozen blocks and not a thousand.
P18SIM="boot-start=0x2000,flash-size=0x4000"
P32SIM="flash-size=0x8000,boot-start=0x9D006000,erase-block=1024,write-block=256"
TAB=$(printf '\t')
UNPLUGGED_LINE="Flashing failed: target unplugged!"

fail() { echo "FAIL: $*"; exit 1; }
uptime_s() { cut -d' ' -f1 /proc/uptime; }
elapsed() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.2f", b - a }'; }
less_than() { awk -v a="$1" -v b="$2" 'BEGIN { exit !(a < b) }'; }
# Running and not yet a zombie.
alive() { [ -e /proc/$1/stat ] && ! grep -q ') Z ' /proc/$1/stat 2> /dev/null; }
as_tester() { su tester -s /bin/sh -c "$*"; }

# start_device NAME [quarnel-kernel-device options]: the board, in the background.
start_device() {
    name=$1
    shift
    rm -f /tmp/$name.ready /tmp/$name-flash.bin /tmp/$name-boot.bin
    quarnel-kernel-device --gadget "$name" --ready /tmp/$name.ready --dump /tmp/$name "$@" \
        > /tmp/$name.dev.log 2>&1 &
    echo $! > /tmp/$name.pid
}

wait_file() {
    i=0
    while [ ! -e "$1" ]; do
        i=$((i + 1))
        [ $i -gt 300 ] && return 1
        usleep 20000
    done
}

# The hidraw node whose USB device has this serial number.
node_for() {
    for h in /sys/class/hidraw/hidraw*; do
        [ -e "$h" ] || continue
        d=$(readlink -f "$h/device/../..")
        if [ "$(cat "$d/serial" 2>/dev/null)" = "$1" ]; then
            echo "/dev/${h##*/}"
            return 0
        fi
    done
    return 1
}

wait_node() {
    i=0
    while ! node_for "$1" > /dev/null; do
        i=$((i + 1))
        [ $i -gt 300 ] && return 1
        usleep 20000
    done
    node_for "$1"
}

# Starts a board and waits for its hidraw node; prints the node.
plug_board() {
    name=$1
    serial=$2
    shift 2
    start_device "$name" --serial "$serial" "$@"
    wait_file /tmp/$name.ready || fail "gadget $name was not bound"
    wait_node "$serial" || fail "no hidraw node for $serial"
}

stop_device() {
    pid=$(cat /tmp/$1.pid)
    kill -TERM "$pid" 2> /dev/null
    # Not always a child of this shell (boards start inside $(...)): wait for it to be gone.
    i=0
    while alive "$pid"; do
        i=$((i + 1))
        [ $i -gt 250 ] && fail "board $1 did not stop"
        usleep 20000
    done
    rm -f /tmp/$1.pid
    sed "s/^/[$1] /" /tmp/$1.dev.log
}

device_clean() {
    grep -q "violations 0" /tmp/$1.dev.log || fail "board $1 saw protocol violations"
}

device_reports() { sed -n 's/^device: reports \([0-9]*\) .*/\1/p' /tmp/$1.dev.log; }

expect_rc() { [ "$1" = "$2" ] || fail "exit code $1, expected $2"; }
expect_text() { grep -qF -- "$2" "$1" || fail "no \"$2\" in $1"; }
expect_no_text() { ! grep -qF -- "$2" "$1" || fail "unexpected \"$2\" in $1"; }

# run_quarnel NAME ARGS...: runs the CLI with stdout in /tmp/NAME.out, stderr in /tmp/NAME.err; sets
# RC and TOOK (seconds).
run_quarnel() {
    rname=$1
    shift
    t0=$(uptime_s)
    quarnel "$@" > /tmp/$rname.out 2> /tmp/$rname.err
    RC=$?
    TOOK=$(elapsed "$t0" "$(uptime_s)")
    echo "\$ quarnel $* -> exit $RC in $TOOK s"
    cat /tmp/$rname.out /tmp/$rname.err
}

# What the virtual target holds after the same file went through the in-process back end.
expected_flash() {
    family=$1
    sim=$2
    hex=$3
    prefix=$4
    quarnel flash "$hex" --simulate "$family" --sim "$sim" --sim-dump "$prefix" > "$prefix.log" 2>&1 ||
        fail "the virtual run of $hex failed: $(cat "$prefix.log")"
}

expect_flash() {
    board=$1
    family=$2
    sim=$3
    hex=$4
    expected_flash "$family" "$sim" "$hex" /tmp/expect-$board
    cmp /tmp/$board-flash.bin /tmp/expect-$board-flash.bin || fail "flash of $board differs from the virtual run"
    if [ "$family" = pic32 ]; then
        cmp /tmp/$board-boot.bin /tmp/expect-$board-boot.bin || fail "boot flash of $board differs"
    fi
    echo "flash of $board matches the virtual run"
}

# Removes what a scenario left behind (called after each one, also after a time-out).
cleanup() {
    for f in /tmp/*.pid; do
        [ -e "$f" ] && kill -TERM "$(cat "$f")" 2> /dev/null
    done
    for f in /tmp/*.pid; do
        [ -e "$f" ] || continue
        usleep 500000
        kill -KILL "$(cat "$f")" 2> /dev/null
        rm -f "$f"
    done
    for g in /sys/kernel/config/usb_gadget/*; do
        [ -d "$g" ] || continue
        echo > "$g/UDC" 2> /dev/null
        rm -f "$g/configs/c.1/hid.usb0"
        rmdir "$g/configs/c.1/strings/0x409" "$g/configs/c.1" "$g/functions/hid.usb0" "$g/strings/0x409" "$g"
    done
}

sc_list() {
    node=$(plug_board qk1 QK0001 --family pic18) || exit 1
    uevent=/sys/class/hidraw/${node#/dev/}/device/uevent
    expect_text "$uevent" "HID_ID=0003:00003930:00002021"
    run_quarnel list list
    expect_rc $RC 0
    expect_text /tmp/list.out "$node${TAB}3930:2021${TAB}0100${TAB}Quarnel${TAB}Virtual PIC18 bootloader${TAB}QK0001"
    expect_no_text /tmp/list.out "cannot open"
    run_quarnel bl list --bootloaders
    expect_rc $RC 0
    expect_text /tmp/bl.out "$node${TAB}QK0001${TAB}Virtual PIC18 bootloader"
    run_quarnel json list --bootloaders --json
    expect_text /tmp/json.out '"openable":true'
    stop_device qk1
    [ "$(device_reports qk1)" = 0 ] || fail "list sent reports to the board"
}

sc_info() {
    node=$(plug_board qk1 QK0001 --family pic18) || exit 1
    run_quarnel info info
    expect_rc $RC 0
    expect_text /tmp/info.out "HID device successfully opened"
    expect_text /tmp/info.out "Target device in boot load mode."
    expect_text /tmp/info.err "PIC18 bootloader ready at $node (serial QK0001)"
    stop_device qk1
    device_clean qk1
}

flash_family() {
    family=$1
    sim=$2
    hex=$3
    node=$(plug_board qk1 QK0001 --family "$family" --sim "$sim") || exit 1
    run_quarnel flash flash "$hex" --trace /tmp/trace.txt
    expect_rc $RC 0
    expect_text /tmp/flash.out "Flashing complete."
    expect_text /tmp/flash.out "Completed."
    echo "reports: $(grep -c ' OUT ' /tmp/trace.txt) out, $(grep -c ' IN ' /tmp/trace.txt) in"
    # From a report taken to its answer read, the program's own 10 ms pause and polls included.
    awk '$2 == "OUT" { last = $1 } $2 == "IN" { d = $1 - last; n++; s += d; if (n == 1 || d < mn) mn = d; if (d > mx) mx = d }
         END { if (n) printf "answers read %.1f..%.1f ms after their report, mean %.1f ms\n", mn, mx, s / n }' /tmp/trace.txt
    stop_device qk1
    device_clean qk1
    grep -q "session-ended" /tmp/qk1.dev.log || fail "the session was not ended"
    expect_flash qk1 "$family" "$sim" "$hex"
}

sc_flash_pic18() { flash_family pic18 "$P18SIM" $P18HEX; }
sc_flash_pic32() { flash_family pic32 "$P32SIM" $P32HEX; }

# The board goes away during the erase: the run ends at once, exit 4.
sc_unplug() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM,unplug-at=40") || exit 1
    run_quarnel unplug flash $P18HEX
    expect_rc $RC 4
    expect_text /tmp/unplug.out "$UNPLUGGED_LINE"
    expect_no_text /tmp/unplug.out "Flashing complete."
    expect_text /tmp/unplug.out "Completed."
    less_than "$TOOK" 5 || fail "the unplug was noticed only after $TOOK s"
    stop_device qk1
    expect_text /tmp/qk1.dev.log "unplugged at report 40"
}

# A board that stays plugged but drops one answer is not taken for an unplugged one: all polls run.
sc_no_answer() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM,drop-answer=30") || exit 1
    run_quarnel silent flash $P18HEX
    expect_rc $RC 4
    expect_text /tmp/silent.out "Flashing failed: no answer from target!"
    expect_no_text /tmp/silent.out "$UNPLUGGED_LINE"
    # 501 polls 12 ms apart, at least.
    less_than 6 "$TOOK" || fail "gave up after $TOOK s, before the polls were done"
    stop_device qk1
    [ "$(device_reports qk1)" = 30 ] || fail "reports were sent after the missing answer"
}

# What hidraw does with a descriptor that is open while its device goes: the errors that tell an
# unplug from a board that is only slow.
sc_unplug_errors() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "unplug-at=1") || exit 1
    exec 3<> "$node"
    head -c 64 /dev/zero | tr '\000' '\017' | dd bs=64 count=1 >&3 2> /dev/null
    i=0
    while ! grep -q "unplugged" /tmp/qk1.dev.log; do
        i=$((i + 1))
        [ $i -gt 200 ] && fail "the board did not unplug"
        usleep 20000
    done
    # The host side lets go of the device a moment after the gadget is unbound.
    i=0
    while [ -e "$node" ]; do
        i=$((i + 1))
        [ $i -gt 200 ] && fail "$node stayed after the unplug"
        usleep 20000
    done
    echo "node gone $((i * 20)) ms after the unplug"
    dd if=/dev/zero bs=64 count=1 >&3 2> /tmp/write.err && fail "a write to a removed device succeeded"
    dd bs=64 count=1 <&3 > /dev/null 2> /tmp/read.err && fail "a read from a removed device succeeded"
    exec 3>&-
    echo "write: $(cat /tmp/write.err)"
    echo "read: $(cat /tmp/read.err)"
    expect_text /tmp/write.err "No such device"
    expect_text /tmp/read.err "Input/output error"
    stop_device qk1
}

# Unplugged during the erase, plugged again a second later: the next run flashes the whole file.
sc_unplug_replug() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM,unplug-at=40" --replug-after-ms 1000) || exit 1
    run_quarnel first flash $P18HEX
    expect_rc $RC 4
    expect_text /tmp/first.out "$UNPLUGGED_LINE"
    run_quarnel second flash $P18HEX --wait 15
    expect_rc $RC 0
    expect_text /tmp/second.out "Flashing complete."
    stop_device qk1
    device_clean qk1
    expect_flash qk1 pic18 "$P18SIM" $P18HEX
}

# One program per board: a second CLI started while the first flashes is refused at once with the
# "in use" line; the first run is not disturbed and the board holds the file.
sc_two_programs() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM") || exit 1
    quarnel flash $P18HEX > /tmp/first.out 2> /tmp/first.err &
    qpid=$!
    usleep 300000
    run_quarnel second flash $P18HEX
    expect_rc $RC 2
    expect_text /tmp/second.out "Device $node is in use by another program."
    less_than "$TOOK" 2 || fail "the second program was refused only after $TOOK s"
    wait $qpid
    rc=$?
    cat /tmp/first.out /tmp/first.err
    expect_rc $rc 0
    stop_device qk1
    device_clean qk1
    expect_flash qk1 pic18 "$P18SIM" $P18HEX
}

# A board that answers every erase twice: each stale copy is dropped before the next command.
sc_duplicate_answers() {
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM,duplicate-erase-answers=1") || exit 1
    run_quarnel twice flash $P18HEX -v
    expect_rc $RC 0
    expect_text /tmp/twice.err "dropped 1 stale report"
    stop_device qk1
    device_clean qk1
    expect_flash qk1 pic18 "$P18SIM" $P18HEX
}

two_boards() {
    plug_board qka QKA --udc dummy_udc.0 --family pic18 --sim "$P18SIM" > /dev/null || exit 1
    plug_board qkb QKB --udc dummy_udc.1 --family pic18 --sim "$P18SIM" > /dev/null || exit 1
}

sc_boards_serial() {
    two_boards
    run_quarnel both flash $P18HEX
    expect_rc $RC 2
    expect_text /tmp/both.err "2 bootloaders with 3930:2021 match"
    run_quarnel serial flash $P18HEX --serial QKB
    expect_rc $RC 0
    stop_device qka
    stop_device qkb
    [ "$(device_reports qka)" = 0 ] || fail "board A got reports"
    device_clean qkb
    expect_flash qkb pic18 "$P18SIM" $P18HEX
}

sc_boards_path() {
    two_boards
    nodeA=$(node_for QKA)
    run_quarnel path flash $P18HEX --path "$nodeA"
    expect_rc $RC 0
    expect_text /tmp/path.out "Flashing complete."
    stop_device qka
    stop_device qkb
    [ "$(device_reports qkb)" = 0 ] || fail "board B got reports"
    device_clean qka
    expect_flash qka pic18 "$P18SIM" $P18HEX
}

sc_boards_all() {
    two_boards
    run_quarnel all flash $P18HEX --all
    expect_rc $RC 0
    stop_device qka
    stop_device qkb
    device_clean qka
    device_clean qkb
    expect_flash qka pic18 "$P18SIM" $P18HEX
    expect_flash qkb pic18 "$P18SIM" $P18HEX
}

# A production bench: two boards arrive one after another; the station flashes each once (the first
# stays on the bus while the second is flashed) and records both.
sc_station() {
    rm -f /tmp/station.jsonl
    quarnel station $P18HEX --count 2 --record /tmp/station.jsonl > /tmp/station.out 2> /tmp/station.err &
    spid=$!
    echo $spid > /tmp/station.pid # ended by cleanup when a check fails
    plug_board qka QKA --udc dummy_udc.0 --family pic18 --sim "$P18SIM" > /dev/null || exit 1
    i=0
    while [ "$(cat /tmp/station.jsonl 2> /dev/null | wc -l)" -lt 1 ]; do
        i=$((i + 1))
        [ $i -gt 600 ] && fail "the station did not flash the first board: $(cat /tmp/station.err)"
        alive $spid || fail "the station ended early: $(cat /tmp/station.err)"
        usleep 50000
    done
    plug_board qkb QKB --udc dummy_udc.1 --family pic18 --sim "$P18SIM" > /dev/null || exit 1
    wait $spid
    rc=$?
    rm -f /tmp/station.pid
    cat /tmp/station.out /tmp/station.err /tmp/station.jsonl
    expect_rc $rc 0
    [ "$(wc -l < /tmp/station.jsonl)" = 2 ] || fail "not two records"
    [ "$(grep -c '"serial":"QKA"' /tmp/station.jsonl)" = 1 ] || fail "board A not recorded once"
    [ "$(grep -c '"serial":"QKB"' /tmp/station.jsonl)" = 1 ] || fail "board B not recorded once"
    [ "$(grep -c '"result":"flashed"' /tmp/station.jsonl)" = 2 ] || fail "not both flashed"
    expect_text /tmp/station.err "station stopped (2 boards (--count)): 2 flashed, 0 failed, 0 refused"
    stop_device qka
    stop_device qkb
    device_clean qka
    device_clean qkb
    expect_flash qka pic18 "$P18SIM" $P18HEX
    expect_flash qkb pic18 "$P18SIM" $P18HEX
}

# 64-byte reports without an ID are the bootloader's; numbered and 32-byte reports are refused
# before anything is sent.
sc_descriptors() {
    for kind in numbered short; do
        node=$(plug_board qk1 QK0001 --family pic18 --descriptor $kind) || exit 1
        run_quarnel $kind info
        expect_rc $RC 2
        expect_text /tmp/$kind.out "Unable to open HID device !"
        case $kind in
            numbered) expect_text /tmp/$kind.out "Device $node uses numbered reports; the bootloader's have none." ;;
            short) expect_text /tmp/$kind.out "Report length 33 not supported (65 only)." ;;
        esac
        run_quarnel ${kind}list list --bootloaders
        expect_text /tmp/${kind}list.out "(cannot open: "
        stop_device qk1
        [ "$(device_reports qk1)" = 0 ] || fail "a refused board got reports"
    done
    node=$(plug_board qk1 QK0001 --family pic18 --descriptor plain) || exit 1
    run_quarnel plain info
    expect_rc $RC 0
    stop_device qk1
}

# The CLI waits before the gadget is bound; the kernel's event connects it. No udevd runs here, so
# the events come from the kernel's own source.
sc_hotplug() {
    [ ! -e /run/udev/control ] || fail "udevd runs in the VM"
    start_device qk1 --serial QK0001 --family pic18 --sim "$P18SIM" --bind-after-ms 1500
    t0=$(uptime_s)
    quarnel flash $P18HEX --wait 20 > /tmp/hot.out 2> /tmp/hot.err &
    qpid=$!
    usleep 500000
    [ ! -e /tmp/qk1.ready ] || fail "the gadget was bound too early for this test"
    alive $qpid || fail "quarnel did not wait: $(cat /tmp/hot.err)"
    wait_file /tmp/qk1.ready || fail "gadget was not bound"
    wait $qpid
    rc=$?
    cat /tmp/hot.out /tmp/hot.err
    echo "waited and flashed in $(elapsed "$t0" "$(uptime_s)") s"
    expect_rc $rc 0
    expect_text /tmp/hot.out "Flashing complete."
    stop_device qk1
    device_clean qk1
    expect_flash qk1 pic18 "$P18SIM" $P18HEX
}

# A node the user may not open: the reason is logged, nothing is sent.
sc_permission() {
    node=$(plug_board qk1 QK0001 --family pic18) || exit 1
    chown 0:0 "$node"
    chmod 0600 "$node"
    as_tester "quarnel info > /tmp/perm.out 2> /tmp/perm.err"
    rc=$?
    cat /tmp/perm.out /tmp/perm.err
    expect_rc $rc 2
    expect_text /tmp/perm.out "Unable to open HID device !"
    expect_text /tmp/perm.out "No permission for $node: install the udev rule ('quarnel udev-rule' prints it)."
    as_tester "quarnel list --bootloaders > /tmp/permlist.out 2>&1"
    cat /tmp/permlist.out
    expect_text /tmp/permlist.out "(cannot open: No permission for $node"
    stop_device qk1
    [ "$(device_reports qk1)" = 0 ] || fail "the board got reports"
}

# The node is root's for a moment after it appears, as on a desktop before the udev rule has run:
# the open is retried and the user's run connects.
sc_late_permission() {
    as_tester "quarnel flash $P18HEX --wait 20 > /tmp/late.out 2> /tmp/late.err" &
    qpid=$!
    usleep 800000
    start_device qk1 --serial QK0001 --family pic18 --sim "$P18SIM"
    node=$(wait_node QK0001) || fail "no node"
    usleep 300000
    chmod 0666 "$node"
    wait $qpid
    rc=$?
    cat /tmp/late.out /tmp/late.err
    expect_rc $rc 0
    expect_text /tmp/late.out "Flashing complete."
    stop_device qk1
    device_clean qk1
}

# The window: board plugged, " Target connected ", FLASH pressed, "Flashing complete.".
sc_window() {
    mkdir -p /tmp/window
    cp /qk/quarnel-window-driver /tmp/window/
    t0=$(uptime_s)
    QT_QPA_PLATFORM=offscreen XDG_CONFIG_HOME=/tmp/window /tmp/window/quarnel-window-driver $P18HEX 60 \
        > /tmp/window.out 2> /tmp/window.err &
    wpid=$!
    # The window is up and waiting for the board before it is plugged in.
    i=0
    while ! grep -q "driver: window shown" /tmp/window.out; do
        i=$((i + 1))
        [ $i -gt 1000 ] && fail "the window did not come up"
        usleep 20000
    done
    node=$(plug_board qk1 QK0001 --family pic18 --sim "$P18SIM") || exit 1
    # While the window holds the board, the command line is refused.
    i=0
    while ! grep -q "pressing FLASH" /tmp/window.out; do
        i=$((i + 1))
        [ $i -gt 1000 ] && fail "the window did not connect"
        usleep 20000
    done
    run_quarnel held info
    expect_rc $RC 2
    expect_text /tmp/held.out "Device $node is in use by another program."
    wait $wpid
    rc=$?
    echo "window ran $(elapsed "$t0" "$(uptime_s)") s, exit $rc"
    cat /tmp/window.out
    grep -v "^QStandardPaths" /tmp/window.err
    expect_rc $rc 0
    expect_text /tmp/window.out 'driver: indicator says " Target connected ", pressing FLASH'
    expect_text /tmp/window.out "Flashing complete."
    stop_device qk1
    device_clean qk1
    expect_flash qk1 pic18 "$P18SIM" $P18HEX
}
