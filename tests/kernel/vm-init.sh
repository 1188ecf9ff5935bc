#!/bin/busybox sh
# /init of the test VM: mounts what the programs need, loads the USB and HID modules, runs the
# scenarios named on the kernel command line (qk.scenarios=a,b,c) and powers off. No udevd runs:
# device nodes come from devtmpfs, events straight from the kernel.
/bin/busybox --install -s /bin
export PATH=/bin:/qk HOME=/root
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
mount -t tmpfs tmpfs /tmp
mount -t tmpfs tmpfs /run
chmod 1777 /tmp

while read -r m; do
    case "$m" in
        dummy_hcd) insmod /qk/modules/$m.ko num=2 ;;
        *) insmod /qk/modules/$m.ko ;;
    esac || echo "QK-ERROR cannot load $m"
done < /qk/modules.order
mount -t configfs none /sys/kernel/config

list=$(sed -n 's/.*qk\.scenarios=\([^ ]*\).*/\1/p' /proc/cmdline | tr ',' ' ')
echo "QK-START $(cut -d' ' -f1 /proc/uptime) s: $list"
for s in $list; do
    echo "QK-BEGIN $s $(cut -d' ' -f1 /proc/uptime)"
    # Every scenario has a hard limit of its own, so one that hangs still lets the others report.
    timeout -s KILL 90 sh -c ". /qk/scenarios.sh; sc_$s" > /tmp/qk-run-$s.log 2>&1
    rc=$?
    sed "s/^/  $s| /" /tmp/qk-run-$s.log
    sh -c ". /qk/scenarios.sh; cleanup" > /dev/null 2>&1
    if [ $rc -eq 0 ]; then
        echo "QK-RESULT $s PASS $(cut -d' ' -f1 /proc/uptime)"
    else
        echo "QK-RESULT $s FAIL rc=$rc"
    fi
done
echo "QK-DONE $(cut -d' ' -f1 /proc/uptime)"
sync
poweroff -f
