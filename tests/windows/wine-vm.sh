#!/usr/bin/env bash
# Runs 32-bit Windows programs through Wine inside a qemu-system-x86_64 guest,
# for machines whose kernel cannot execute 32-bit x86 code itself. The guest
# boots Debian's stock amd64 kernel under software emulation (TCG, no KVM
# needed), which does execute 32-bit code, and uses this machine's own root
# file system, shared read-only over virtio-9p, as its userland: the wine and
# wine32:i386 installed here run there.
#
#   wine-vm.sh prepare
#       Builds what every boot needs, once per machine: the kernel and an
#       initramfs, and a Wine prefix (about 10 minutes of emulation on two
#       cores, nearly all of it Wine creating the prefix).
#   wine-vm.sh batch LIST [WRITABLE_DIR...]
#       One boot runs every command of LIST in turn, one command a line, its
#       words separated by tabs, with Wine's environment set (WINEPREFIX,
#       WINEDEBUG=-all) and the current directory at /. The guest sees every
#       file of this machine at its own path, read-only; each WRITABLE_DIR is
#       shared writable at its own path. Prepares first when needed.
#
# Exit status: 0 when the guest ran every command (whatever their own exit
# status), 124 when the boot ran out of time, 125 when the machine could not
# be prepared or started.
#
# The cache lives outside any checkout, so that a fresh clone finds it:
# DICOMTOOLKIT_WINDOWS_VM_CACHE, by default /var/cache/dicomtoolkit-windows-vm
# (or ~/.cache/dicomtoolkit-windows-vm for a user who cannot write there).
# Its folders are named after what they depend on: boot-<kernel package
# version>-<hash of the guest's init>, prefix-wine-<wine32 version>.
# DICOMTOOLKIT_WINDOWS_VM_TIMEOUT bounds one boot in seconds (default 3000);
# DICOMTOOLKIT_WINDOWS_VM_LOG=1 prints the guest's console afterwards.
#
# Needs qemu-system-x86, wine and wine32:i386 on this machine, and the
# package archive once, for the kernel and busybox-static packages.
set -u

die() {
  echo "wine-vm: $*" >&2
  exit 125
}
note() { echo "wine-vm: $*" >&2; }

if [ -n "${DICOMTOOLKIT_WINDOWS_VM_CACHE:-}" ]; then
  cache=$DICOMTOOLKIT_WINDOWS_VM_CACHE
elif mkdir -p /var/cache/dicomtoolkit-windows-vm 2>/dev/null && [ -w /var/cache/dicomtoolkit-windows-vm ]; then
  cache=/var/cache/dicomtoolkit-windows-vm
else
  cache=${XDG_CACHE_HOME:-$HOME/.cache}/dicomtoolkit-windows-vm
fi
timeout_seconds=${DICOMTOOLKIT_WINDOWS_VM_TIMEOUT:-3000}
memory_mib=3072
cpus=$(nproc 2>/dev/null || echo 2)

command -v qemu-system-x86_64 >/dev/null || die "qemu-system-x86_64 is missing (package qemu-system-x86)"
[ -x /usr/lib/wine/wine ] || die "32-bit Wine is missing (dpkg --add-architecture i386; package wine32:i386)"
mkdir -p "$cache" || die "cannot create the cache $cache"

# The guest's first process: loads the 9p modules, mounts this machine's root
# read-only, gives it a writable /tmp (this machine's /tmp below, memory
# above, so that a checkout under /tmp stays visible) and a /run in memory,
# mounts the run's scratch folder and runs its guest.sh inside that root.
# Its text is part of the boot folder's name.
init_script() {
  cat <<'INIT'
#!/bin/busybox sh
/bin/busybox --install -s /bin
export PATH=/bin
mount -t proc proc /proc
mount -t sysfs sys /sys
mount -t devtmpfs dev /dev
for module in $(cat /modules/order); do insmod /modules/$module.ko || echo "wine-vm: module $module not loaded"; done
options=trans=virtio,version=9p2000.L,msize=512000
# cache=loose: with cache=mmap Wine was seen to map a page of zeros.
mount -t 9p -o $options,ro,cache=loose hostroot /newroot || { echo "wine-vm: cannot mount the host's root"; reboot -f; }
R=/newroot
mkdir -p /memory
mount -t tmpfs -o size=75% memory /memory
mkdir -p /memory/tmp /memory/work
mount -t overlay -o lowerdir=$R/tmp,upperdir=/memory/tmp,workdir=/memory/work overlay $R/tmp \
  || mount -t tmpfs -o size=75% tmp $R/tmp
mount -t tmpfs -o size=75% run $R/run
mount --move /proc $R/proc
mount --move /sys $R/sys
mount --move /dev $R/dev
mkdir -p $R/dev/shm $R/dev/pts $R/run/wine-vm/scratch
mount -t tmpfs shm $R/dev/shm
mount -t devpts devpts $R/dev/pts
mount -t 9p -o $options,cache=none scratch $R/run/wine-vm/scratch
ip link set lo up
chroot $R /bin/bash /run/wine-vm/scratch/guest.sh
sync
reboot -f
INIT
}

# In dependency order; a module the kernel has built in is simply absent.
modules="drivers/virtio/virtio_ring drivers/virtio/virtio drivers/virtio/virtio_pci_modern_dev
drivers/virtio/virtio_pci_legacy_dev drivers/virtio/virtio_pci fs/netfs/netfs fs/fscache/fscache
net/9p/9pnet net/9p/9pnet_virtio fs/9p/9p fs/overlayfs/overlay"

# The kernel package that linux-image-amd64 stands for, and its version.
kernel_package() {
  apt-cache depends linux-image-amd64 2>/dev/null | sed -n 's/.*Depends: \(linux-image-[0-9].*\)/\1/p' | head -n1
}

find_boot_folder() {
  local init_hash version
  init_hash=$( (init_script; echo "$modules") | sha256sum | cut -c1-12)
  package=$(kernel_package)
  if [ -z "$package" ] && [ "$(id -u)" -eq 0 ]; then
    apt-get update -q >/dev/null 2>&1
    package=$(kernel_package)
  fi
  if [ -n "$package" ]; then
    version=$(apt-cache show --no-all-versions "$package" 2>/dev/null | sed -n 's/^Version: //p' | head -n1)
    boot_folder="$cache/boot-$package-$version-$init_hash"
    return 0
  fi
  # No package lists: any kernel built before with the same init will do.
  boot_folder=$(ls -d "$cache"/boot-*-"$init_hash" 2>/dev/null | tail -n1)
  [ -n "$boot_folder" ] || die "cannot tell which kernel package linux-image-amd64 stands for"
}

build_boot_folder() {
  local work
  work=$(mktemp -d "$cache/building.XXXXXX") || return 1
  (
    set -eo pipefail
    cd "$work"
    apt-get -qq -o APT::Sandbox::User=root download "$package" busybox-static >/dev/null
    dpkg-deb -x linux-image-*.deb kernel
    dpkg-deb -x busybox-static_*.deb busybox
    release=$(ls kernel/lib/modules)
    mkdir -p root/bin root/modules root/proc root/sys root/dev root/newroot
    cp busybox/bin/busybox root/bin/busybox
    for module in $modules; do
      file=$(ls kernel/lib/modules/"$release"/kernel/"$module".ko* 2>/dev/null || true)
      [ -n "$file" ] || continue
      case $file in
        *.xz) xz -dc "$file" >"root/modules/${module##*/}.ko" ;;
        *) cp "$file" "root/modules/${module##*/}.ko" ;;
      esac
      echo "${module##*/}" >>root/modules/order
    done
    init_script >root/init
    chmod 755 root/init
    (cd root && find . | "$work/busybox/bin/busybox" cpio -o -H newc 2>/dev/null | gzip -1) >initrd.img
    mkdir made
    cp kernel/boot/vmlinuz-* made/vmlinuz
    mv initrd.img made/
    # Another run may have built the same folder meanwhile.
    mv -T made "$boot_folder" 2>/dev/null || [ -s "$boot_folder/initrd.img" ]
  )
  local status=$?
  rm -rf "$work"
  return $status
}

prepare_boot() {
  find_boot_folder
  [ -s "$boot_folder/vmlinuz" ] && [ -s "$boot_folder/initrd.img" ] && return 0
  note "building the guest's kernel and initramfs in $boot_folder (once per kernel package)"
  build_boot_folder || die "building the kernel and initramfs failed"
  # Older kernels of this cache are of no more use.
  for old in "$cache"/boot-*; do
    [ "$old" = "$boot_folder" ] || rm -rf "$old"
  done
}

wine_version=$(dpkg-query -W -f='${Version}' wine32:i386 2>/dev/null) || wine_version=unknown
prefix_name="prefix-wine-$wine_version"

# run_guest LIST [WRITABLE_DIR...]: one run of the guest.
run_guest() {
  local list=$1
  shift
  prepare_boot
  local scratch
  scratch=$(mktemp -d "${TMPDIR:-/tmp}/wine-vm.XXXXXX") || die "mktemp failed"
  chmod 755 "$scratch"
  cp "$list" "$scratch/list"
  local shares=() mounts="" index=0 dir
  for dir in "$@"; do
    dir=$(cd "$dir" && pwd) || die "no such folder: $dir"
    shares+=(-virtfs "local,path=$dir,mount_tag=writable$index,security_model=passthrough,multidevs=remap")
    mounts+="share writable$index $(printf %q "$dir")"$'\n'
    index=$((index + 1))
  done
  {
    echo '#!/bin/bash'
    echo "prefix_name=$(printf %q "$prefix_name")"
    cat <<'GUEST'
export PATH=/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin
G=/run/wine-vm
S=$G/scratch
export HOME=$G/home LANG=C.UTF-8 WINEPREFIX=$G/prefix WINEARCH=win32
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
# share TAG FOLDER CACHING: a folder of the host, writable at its own path.
share() {
  mkdir -p "$2" 2>/dev/null
  mount -t 9p -o trans=virtio,version=9p2000.L,msize=512000,cache=$3 "$1" "$2" && return 0
  echo "cannot mount $2" >"$S/failed"
  exit 1
}
GUEST
    printf '%s' "${mounts//$'\n'/ none$'\n'}"
    cat <<'GUEST'
mkdir -p "$HOME" "$WINEPREFIX"
share cache $G/cache loose
cached=$G/cache/$prefix_name
builtin=/usr/lib/i386-linux-gnu/wine/i386-windows
started=$(date +%s.%N)
if [ -f "$cached/system.reg" ]; then
  # The cached prefix is the lower layer; what Wine writes goes to memory.
  mkdir -p $G/upper $G/work
  mount -t overlay overlay -o "lowerdir=$cached,upperdir=$G/upper,workdir=$G/work" "$WINEPREFIX"
  echo "prefix from the cache" >"$S/prefix"
else
  wineboot --init >"$S/wineboot.log" 2>&1
  wineserver -w
  if [ -f "$WINEPREFIX/system.reg" ]; then
    # Copies of Wine's own PE files become links to them (about 550 MB less).
    find "$WINEPREFIX/drive_c" -type f -size +4k | while read -r file; do
      original=$builtin/${file##*/}
      [ -f "$original" ] && cmp -s "$file" "$original" && ln -sf "$original" "$file"
    done
    part=$cached.part.$(date +%s%N)
    if cp -a "$WINEPREFIX" "$part" && sync && mv -T "$part" "$cached"; then
      echo "prefix created and cached" >"$S/prefix"
    else
      rm -rf "$part"
      echo "prefix created, not cached" >"$S/prefix"
    fi
  else
    echo "wineboot failed" >"$S/prefix"
  fi
fi
prefixed=$(date +%s.%N)
# One Wine server for every program of the run.
wineserver -p
count=0
while IFS=$'\t' read -r -a command; do
  [ ${#command[@]} -eq 0 ] && continue
  (cd / && "${command[@]}") </dev/null >>"$S/commands.log" 2>&1
  count=$((count + 1))
done <"$S/list"
finished=$(date +%s.%N)
wineserver -k 2>/dev/null
umount $G/cache 2>/dev/null
awk -v a="$started" -v b="$prefixed" -v c="$finished" -v n="$count" \
  'BEGIN { printf "%.1f %.1f %d\n", b - a, c - b, n }' >"$S/times"
sync
GUEST
  } >"$scratch/guest.sh"

  local started=$SECONDS
  qemu-system-x86_64 \
    -machine q35 -accel tcg,thread=multi,tb-size=512 -cpu max,smap=off -smp "$cpus" -m "$memory_mib" \
    -nodefaults -no-user-config -display none -monitor none -no-reboot \
    -serial "file:$scratch/console.log" \
    -kernel "$boot_folder/vmlinuz" -initrd "$boot_folder/initrd.img" \
    -append "console=ttyS0 quiet loglevel=3 panic=-1 rdinit=/init mitigations=off" \
    -virtfs "local,path=/,mount_tag=hostroot,security_model=passthrough,multidevs=remap,readonly=on" \
    -virtfs "local,path=$scratch,mount_tag=scratch,security_model=passthrough,multidevs=remap" \
    -virtfs "local,path=$cache,mount_tag=cache,security_model=passthrough,multidevs=remap" \
    "${shares[@]}" \
    </dev/null >"$scratch/qemu.log" 2>&1 &
  local machine=$! status=0
  # Stopped with the run: a time-out, or ctest ending this script.
  trap 'kill -KILL $machine 2>/dev/null; rm -rf "$scratch"; exit 130' INT TERM HUP
  local deadline=$((SECONDS + timeout_seconds))
  while kill -0 $machine 2>/dev/null; do
    if [ $SECONDS -ge $deadline ]; then
      note "the guest ran out of its ${timeout_seconds}s"
      kill -KILL $machine 2>/dev/null
      status=124
      break
    fi
    # qemu runs for minutes; a second's latency at its end is nothing.
    sleep 1
  done
  wait $machine 2>/dev/null
  trap - INT TERM HUP
  [ -f "$scratch/prefix" ] && note "$(cat "$scratch/prefix")"
  [ -f "$scratch/failed" ] && note "$(cat "$scratch/failed")"
  if [ -s "$scratch/times" ]; then
    read -r prefix_seconds program_seconds count <"$scratch/times"
    note "boot ran $count commands in $((SECONDS - started))s (prefix ${prefix_seconds}s, commands ${program_seconds}s)"
  elif [ $status -eq 0 ]; then
    status=125
    note "the guest did not finish its commands"
  fi
  if [ "${DICOMTOOLKIT_WINDOWS_VM_LOG:-0}" = 1 ] || [ $status -ne 0 ]; then
    for log in qemu.log console.log wineboot.log commands.log; do
      [ -s "$scratch/$log" ] && { echo "----- $log" >&2; tail -n 40 "$scratch/$log" >&2; }
    done
  fi
  rm -rf "$scratch"
  return $status
}

case "${1:-}" in
  prepare)
    prepare_boot
    if [ ! -f "$cache/$prefix_name/system.reg" ]; then
      note "creating the Wine prefix under emulation in $cache/$prefix_name (once per wine version, about 10 minutes)"
      empty=$(mktemp) || die "mktemp failed"
      run_guest "$empty"
      status=$?
      rm -f "$empty"
      [ $status -eq 0 ] || exit $status
      [ -f "$cache/$prefix_name/system.reg" ] || die "the guest did not create the Wine prefix"
      for old in "$cache"/prefix-wine-*; do
        [ "$old" = "$cache/$prefix_name" ] || rm -rf "$old"
      done
    fi
    note "ready: $boot_folder, $cache/$prefix_name"
    ;;
  batch)
    [ $# -ge 2 ] || die "usage: wine-vm.sh batch LIST [WRITABLE_DIR...]"
    shift
    list=$1
    shift
    [ -f "$list" ] || die "no such list: $list"
    run_guest "$list" "$@"
    ;;
  *)
    echo "usage: wine-vm.sh prepare | batch LIST [WRITABLE_DIR...]" >&2
    exit 125
    ;;
esac
