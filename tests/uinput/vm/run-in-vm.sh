#!/usr/bin/env bash
# Boots Debian 12's own kernel in QEMU with INIT_PROGRAM as /init, which
# drives the uinput backend against the real uinput and evdev modules and
# prints PASS/FAIL lines on the serial console.
# Usage: run-in-vm.sh INIT_PROGRAM WORK_DIR
# The kernel package is downloaded once into HARNELO_KERNEL_CACHE (default
# ~/.cache/harnelo/kernel) and unpacked there, never installed.
# Exits 77 (skipped) without qemu, cpio or the kernel package.
set -euo pipefail

init_program=$1
work=$2
cache=${HARNELO_KERNEL_CACHE:-$HOME/.cache/harnelo/kernel}
skipped=77

skip() { echo "SKIPPED: $*"; exit "$skipped"; }

for tool in qemu-system-x86_64 cpio dpkg apt-get apt-cache; do
    command -v "$tool" >/dev/null || skip "$tool is missing (scripts/install-deps test installs it)"
done

# The kernel Debian 12 installs now, e.g. linux-image-6.1.0-57-amd64.
package=$(apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/^ *Depends: \(linux-image-[0-9].*-amd64\)$/\1/p' | head -n1)
if [ -z "$package" ]; then
    package=$(cd "$cache" 2>/dev/null && ls -1 linux-image-*.deb 2>/dev/null | sed 's/_.*//' | sort -V | tail -n1) || true
fi
[ -n "$package" ] || skip "apt-cache knows no linux-image-amd64 (run apt-get update)"

mkdir -p "$cache"
deb=$(ls -1 "$cache/${package}"_*.deb 2>/dev/null | tail -n1 || true)
if [ -z "$deb" ]; then
    (cd "$cache" && apt-get download "$package" >/dev/null 2>&1) || skip "cannot download $package"
    deb=$(ls -1 "$cache/${package}"_*.deb | tail -n1)
fi
unpacked="$cache/${package}"
if [ ! -d "$unpacked/boot" ]; then
    rm -rf "$unpacked.tmp"
    dpkg -x "$deb" "$unpacked.tmp"
    mv "$unpacked.tmp" "$unpacked"
fi
kernel=$(ls -1 "$unpacked"/boot/vmlinuz-*)
modules=$(ls -d "$unpacked"/lib/modules/*/kernel/drivers/input)

rm -rf "$work"
mkdir -p "$work/root"
cp "$init_program" "$work/root/init"
for module in evdev misc/uinput; do
    if [ -f "$modules/$module.ko.xz" ]; then
        xz -dc "$modules/$module.ko.xz" >"$work/root/$(basename "$module").ko"
    else
        cp "$modules/$module.ko" "$work/root/"
    fi
done
(cd "$work/root" && find . | cpio -o -H newc --quiet) >"$work/initramfs.cpio"

# -icount: the guest's clock counts the instructions it ran, so a host busy
# with other work stalls the guest without time passing inside it, and the
# timing the checks depend on stays that of an unloaded machine.
timeout 240 qemu-system-x86_64 -machine accel=tcg -icount shift=2 -m 256 -nographic -no-reboot \
    -kernel "$kernel" -initrd "$work/initramfs.cpio" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init" </dev/null | tr -d '\r' | tee "$work/console.log"

grep -q '^FAIL: ' "$work/console.log" && exit 1
grep -Eq '^[1-9][0-9]* passed, 0 failed$' "$work/console.log" || { echo "no result from the virtual machine" >&2; exit 1; }
