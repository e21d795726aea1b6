#!/usr/bin/env bash
# The 32-bit Debian 12 root in which the i686 release build runs under Debian's own 32-bit
# Wine: made once with debootstrap (the root's dpkg is i386; the host's package architectures
# are never touched), cached beside the other built dependencies, then only checked. Each run
# mounts what Wine needs inside it: /proc, /dev, /sys, the host's /tmp (X sockets, test
# folders and prefixes are shared) and the given folders at their own paths (the work tree, so
# build outputs resolve the same on both sides).
# Once a boot it also tries whether the root's Wine starts a 32-bit prefix, and leaves the answer
# in ROOT/.vantrel-wine32 (the boot's id, then "runs" or why not) for the tests to read: where
# it can't (this machine's kernel refuses 32-bit programs, and 32-bit Wine never finishes
# starting under qemu's emulation), the i686 build's Wine tests are skipped with that reason.
# Usage: scripts/i386-root.sh ROOT [FOLDER...]
set -euo pipefail
root="${1:?usage: i386-root.sh ROOT [FOLDER...]}"
shift
mirror="http://deb.debian.org/debian"
# Fonts as on the host, so the window paints the same; openssl for the hashing benchmark.
root_packages=(wine wine32 fonts-dejavu-core fonts-dejavu-extra openssl)

log="$(mktemp)"
trap 'rm -f "$log"' EXIT
step() {  # $1 = what is being done; the rest runs with its output kept for a failure
  local what="$1"; shift
  if ! "$@" >"$log" 2>&1; then
    echo "i386-root: $what failed:" >&2
    tail -20 "$log" >&2
    exit 1
  fi
}

make_root() {
  local work="$root.partial"
  echo "i386-root: making the 32-bit Debian root in $root (once; a few minutes)"
  rm -rf "$work"
  step "debootstrap --arch=i386 bookworm (first stage)" \
    debootstrap --arch=i386 --variant=minbase --foreign bookworm "$work" "$mirror"
  runs_i386 "$work"
  step "debootstrap --arch=i386 bookworm (second stage)" chroot "$work" /debootstrap/debootstrap --second-stage
  cat >"$work/etc/apt/sources.list" <<SOURCES
deb $mirror bookworm main
deb $mirror bookworm-updates main
deb http://deb.debian.org/debian-security bookworm-security main
SOURCES
  cp /etc/hosts "$work/etc/hosts"
  step "apt-get update in the root" chroot "$work" apt-get update -qq
  step "installing ${root_packages[*]} in the root" chroot "$work" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${root_packages[@]}"
  chroot "$work" apt-get clean >/dev/null 2>&1 || true
  touch "$work/.vantrel-root-done"
  mv "$work" "$root"
}

# Where the kernel refuses 32-bit programs (this machine boots with IA32 emulation off, and it
# can't be turned on while running), qemu's i386 user-mode emulator runs them, registered with
# binfmt_misc's F flag so that programs inside the root find it.
binfmt=/proc/sys/fs/binfmt_misc
qemu_magic='\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00'
qemu_mask='\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff'
runs_i386() {  # $1 = a root holding 32-bit programs
  chroot "$1" /bin/true 2>/dev/null && return
  [ -x /usr/bin/qemu-i386-static ] || { echo "i386-root: the kernel refuses 32-bit programs and qemu-user-static is missing" >&2; exit 1; }
  if ! mountpoint -q "$binfmt"; then step "mounting binfmt_misc" mount -t binfmt_misc binfmt_misc "$binfmt"; fi
  if [ ! -e "$binfmt/qemu-i386" ]; then
    step "registering qemu-i386 with binfmt_misc" sh -c \
      "printf '%s\\n' ':qemu-i386:M::$qemu_magic:$qemu_mask:/usr/bin/qemu-i386-static:F' >$binfmt/register"
  fi
  chroot "$1" /bin/true 2>/dev/null || { echo "i386-root: 32-bit programs don't run in $1, not even through qemu-i386" >&2; exit 1; }
}

mounted() {  # $1 = host path, $2 = the same place seen from the root's side of the host
  [ "$1" -ef "$2" ] && mountpoint -q "$2" 2>/dev/null
}

mount_all() {
  if ! mountpoint -q "$root/proc"; then step "mounting /proc in the root" mount -t proc proc "$root/proc"; fi
  for fs in dev sys; do
    if ! mounted "/$fs" "$root/$fs"; then
      step "mounting /$fs in the root" mount --rbind "/$fs" "$root/$fs"
      mount --make-rslave "$root/$fs"
    fi
  done
  if ! mounted /tmp "$root/tmp"; then step "mounting /tmp in the root" mount --rbind /tmp "$root/tmp"; fi
  local dir
  for dir in "$@"; do
    dir="$(cd "$dir" && pwd -P)"
    # A folder under /tmp (or any folder already seen there) needs no mount of its own.
    [ "$dir" -ef "$root$dir" ] && continue
    step "making $root$dir" mkdir -p "$root$dir"
    step "mounting $dir in the root" mount --bind "$dir" "$root$dir"
  done
}

check_root() {
  local version
  version="$(chroot "$root" /usr/bin/env PATH=/usr/bin:/bin wine --version 2>&1)" || {
    echo "i386-root: wine does not run in $root: $version" >&2; exit 1; }
  chroot "$root" dpkg-query -W -f='${Status}' wine32 2>/dev/null | grep -q "install ok installed" || {
    echo "i386-root: $root has no 32-bit Wine (package wine32)" >&2; exit 1; }
}

probe_wine() {
  local stamp="$root/.vantrel-wine32" boot probe reason=""
  boot="$(cat /proc/sys/kernel/random/boot_id)"
  if [ "$(head -1 "$stamp" 2>/dev/null)" != "$boot" ]; then
    probe="$(mktemp -d /tmp/vantrel-wine32-probe.XXXXXX)"
    echo "i386-root: trying the root's Wine on a new prefix (once a boot; at most 3 minutes)"
    if ! timeout 180 chroot "$root" /usr/bin/env PATH=/usr/bin:/bin WINEPREFIX="$probe/prefix" WINEDEBUG=-all \
         WINEDLLOVERRIDES="mscoree,mshtml=" wineboot -i >"$probe/log" 2>&1 || [ ! -f "$probe/prefix/system.reg" ]; then
      reason="32-bit Wine did not start a prefix within 3 minutes"
      [ -s "$probe/log" ] && reason="$reason ($(tail -1 "$probe/log" | tr -d '\r'))"
      if [ -e "$binfmt/qemu-i386" ]; then
        reason="this kernel refuses 32-bit programs and $reason under qemu-i386's emulation"
      fi
    fi
    timeout 30 chroot "$root" /usr/bin/env PATH=/usr/bin:/bin WINEPREFIX="$probe/prefix" wineserver -k >/dev/null 2>&1 || true
    rm -rf "$probe"
    printf '%s\n%s\n' "$boot" "${reason:-runs}" >"$stamp"
  fi
  if [ "$(sed -n 2p "$stamp")" != runs ]; then
    echo "i386-root: the i686 build can't run here, its Wine tests are skipped: $(sed -n 2p "$stamp")" >&2
  fi
}

mkdir -p "$(dirname "$root")"
# One maker and mounter at a time: several work trees and CI share the root.
exec 9>"$root.lock"
flock 9
[ -f "$root/.vantrel-root-done" ] || make_root
runs_i386 "$root"
mount_all "$@"
check_root
probe_wine
