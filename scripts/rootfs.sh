# Debian root file systems for other CPU architectures, run under qemu-user.
# Sourced (after scripts/lib.sh) by the scripts that test on ARM; needs root.
#
#   rootfs_tarball ARCH SUITE       prints the path of a cached tarball of
#                                   SUITE for ARCH, making it first if the
#                                   cache lacks it
#   rootfs_extract TARBALL DIR      a fresh tree in DIR
#   rootfs_enter ARCH DIR COMMAND... runs COMMAND chrooted in DIR with /proc,
#                                   /sys, /dev and the clone (at its own path)
#                                   mounted, in a private mount namespace
#                                   that takes every mount away when COMMAND
#                                   ends
#
# A tree is made of its packages' files alone: mmdebstrap's extract variant
# unpacks them and runs none of their maintainer scripts (under emulation
# those scripts cost minutes per tree). A hook then makes the few files the
# tests need that the scripts would have made. The Debian mirror is the one
# the host's apt sources name; the tarballs, and the packages they were made
# of, are cached in $QUILLMERE_CI_CACHE (scripts/lib.sh).

# What every tree holds: Python with venv and pip, the headers a module builds
# against, GoogleTest's static libraries for the unit tests, and the C++
# runtime and mount(8) the tests use. One list for the test runs and the
# wheel trials, so that they share a tarball.
QUILLMERE_ROOTFS_PACKAGES=python3,python3-venv,python3-pip,libpython3-dev,libgtest-dev,libstdc++6,mount
# Raise when the way a tree is made changes, so that cached ones are remade.
QUILLMERE_ROOTFS_FORMAT=2

# The first Debian archive URI in the host's apt sources (one-line .list or
# deb822 .sources), leaving out the security archive.
apt_mirror() {
  for file in /etc/apt/sources.list /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
    [ -f "$file" ] || continue
    sed -n -e 's/^deb[[:space:]]\{1,\}\(\[[^]]*\][[:space:]]\{1,\}\)\{0,1\}\([^[:space:]]*\).*/\2/p' \
      -e 's/^URIs:[[:space:]]*\([^[:space:]]*\).*/\1/p' "$file"
  done | grep -v -e '-security' | grep '/debian/\{0,1\}$' | head -n 1
}

# qemu-user handlers for ARM binaries, registered with the F flag so that
# they work inside a chroot that holds no emulator.
register_binfmt() {
  dir=/proc/sys/fs/binfmt_misc
  [ -f "$dir/register" ] || mount -t binfmt_misc binfmt_misc "$dir"
  for name in qemu-arm qemu-aarch64; do
    [ -e "$dir/$name" ] && continue
    line=$(grep -v '^#' "/usr/lib/binfmt.d/$name.conf")
    case "$line" in *F) ;; *) line="${line}F" ;; esac
    printf '%s\n' "$line" > "$dir/register"
  done
}

# The emulated CPU: trixie's arm64 Python is built with pointer
# authentication, which qemu's default CPU emulates slowly; a Cortex-A72 has
# none. qemu-arm refuses that model, so 32-bit trees keep the default.
with_qemu_cpu() {
  qemu_arch=$1
  shift
  case "$qemu_arch" in
    arm64) QEMU_CPU=cortex-a72 "$@" ;;
    *) env -u QEMU_CPU "$@" ;;
  esac
}

rootfs_tarball() {
  arch=$1 suite=$2
  key=$(printf '%s %s' "$QUILLMERE_ROOTFS_PACKAGES" "$QUILLMERE_ROOTFS_FORMAT" | md5sum | cut -c1-8)
  tarball="$QUILLMERE_CI_CACHE/rootfs-$suite-$arch-$key.tar"
  mkdir -p "$QUILLMERE_CI_CACHE"
  # One maker per tarball: a caller that finds another making it waits.
  (
    flock 9
    [ -f "$tarball" ] || rootfs_make "$arch" "$suite" "$tarball"
  ) 9> "$tarball.lock" || return 1
  printf '%s\n' "$tarball"
}

rootfs_make() {
  arch=$1 suite=$2
  need_debs mmdebstrap qemu-user-static
  register_binfmt
  mirror=$(apt_mirror)
  [ -n "$mirror" ] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
  made_started=$(date +%s)
  # The packages of earlier makes are offered to apt, which downloads only
  # what they lack; afterwards the cache keeps just this make's packages.
  debs="$QUILLMERE_CI_CACHE/debs-$suite-$arch"
  made="$QUILLMERE_CI_CACHE/make-$suite-$arch"
  rm -rf "$made"
  mkdir -p "$debs" "$made/debs"
  if ! with_qemu_cpu "$arch" mmdebstrap --mode=root --variant=extract --arch="$arch" \
      --include='?essential' --include="$QUILLMERE_ROOTFS_PACKAGES" --skip=download/empty \
      --setup-hook="sh '$REPO/scripts/rootfs_hook.sh' setup \"\$1\" '$debs' '$made/debs'" \
      --extract-hook="sh '$REPO/scripts/rootfs_hook.sh' extract \"\$1\" '$debs' '$made/debs'" \
      "$suite" "$made/rootfs.tar" "$mirror" > "$made/log" 2>&1; then
    tail -n 30 "$made/log" >&2
    rm -rf "$made"
    return 1
  fi
  rm -rf "$debs"
  mv "$made/debs" "$debs"
  mv "$made/rootfs.tar" "$3"
  rm -rf "$made"
  # Tarballs of an older package list or format are not used again.
  for old in "$QUILLMERE_CI_CACHE/rootfs-$suite-$arch-"*.tar; do
    [ "$old" = "$3" ] || rm -f "$old"
  done
  echo "== root file system $suite $arch made in $(elapsed "$made_started")" >&2
}

rootfs_extract() {
  rm -rf "$2"
  mkdir -p "$2"
  tar -C "$2" -xf "$1"
}

rootfs_enter() {
  arch=$1 root=$2
  shift 2
  register_binfmt
  mkdir -p "$root$PWD"
  # Certificates and pip's settings from the host, so that pip inside
  # reaches the same index the host does. The CA bundle goes to the same
  # path, which is where the host's pip settings point.
  mkdir -p "$root/etc/ssl/certs"
  cp /etc/ssl/certs/ca-certificates.crt "$root/etc/ssl/certs/ca-certificates.crt" 2>/dev/null || true
  for conf in /etc/pip.conf /etc/xdg/pip/pip.conf "$HOME/.config/pip/pip.conf" "$HOME/.pip/pip.conf"; do
    [ -f "$conf" ] || continue
    case "$conf" in
      "$HOME"/*) mkdir -p "$root/root$(dirname "${conf#"$HOME"}")" && cp "$conf" "$root/root${conf#"$HOME"}" ;;
      *) mkdir -p "$root$(dirname "$conf")" && cp "$conf" "$root$conf" ;;
    esac
    # Files the settings name (constraints, certificates) come along.
    for named in $(sed -n 's/^[^#=]*=[[:space:]]*\(\/[^[:space:]]*\)[[:space:]]*$/\1/p' "$conf"); do
      [ -f "$named" ] && mkdir -p "$root$(dirname "$named")" && cp "$named" "$root$named"
    done
  done
  cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
  # SIGINT as the default: a caller's background job starts with it ignored,
  # and the suite tests KeyboardInterrupt.
  with_qemu_cpu "$arch" env --default-signal=INT unshare --mount --propagation private sh -c '
    root=$1 clone=$2
    shift 2
    # The root a mount point of its own, so that unshare inside the chroot
    # can make its mounts private.
    mount --bind "$root" "$root"
    mount -t proc proc "$root/proc"
    mount --rbind /sys "$root/sys"
    mount --rbind /dev "$root/dev"
    mount --bind "$clone" "$root$clone"
    exec chroot "$root" /usr/bin/env -i PATH=/usr/local/bin:/usr/bin:/bin:/usr/sbin:/sbin \
      HOME=/root LANG=C.UTF-8 CI="${CI:-}" ${QEMU_CPU:+QEMU_CPU=$QEMU_CPU} \
      $(env | grep "^PIP_" | grep -v "^PIP_CACHE_DIR=" || true) "$@"
  ' sh "$root" "$PWD" "$@"
}
