# Debian root file systems for other CPU architectures, run under qemu-user.
# Sourced by the scripts that test on ARM; needs root.
#
#   rootfs_tarball ARCH SUITE PACKAGES  prints the path of a cached tarball of
#                                       a debootstrapped SUITE for ARCH with
#                                       PACKAGES (comma-separated), making it
#                                       first if the cache lacks it
#   rootfs_prefetch                     makes every tarball the test command
#                                       uses that the cache lacks, one chain
#                                       of releases per architecture
#   rootfs_enter DIR COMMAND...         runs COMMAND chrooted in DIR with
#                                       /proc, /sys, /dev and the clone (at
#                                       its own path) mounted, in a private
#                                       mount namespace that takes every
#                                       mount away when COMMAND ends
#
# The Debian mirror is the one the host's apt sources name; the cache lives
# outside the clone ($QUILLMERE_CI_CACHE, default /var/cache/quillmere-ci)
# so that a warm run skips debootstrap.

QUILLMERE_CI_CACHE="${QUILLMERE_CI_CACHE:-/var/cache/quillmere-ci}"

# What every rootfs holds: Python with venv and pytest, the headers a module
# builds against, and GoogleTest's static libraries for the unit tests. One
# list for the test runs and the wheel checks, so that they share a tarball.
QUILLMERE_ROOTFS_PACKAGES=python3,python3-venv,python3-pytest,libpython3-dev,libgtest-dev
# The releases the test command uses: the tests run on bookworm, the wheels
# are built for and tried on all three.
QUILLMERE_ROOTFS_SUITES="bookworm bullseye trixie"

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

rootfs_tarball() {
  arch=$1 suite=$2 packages=$3
  key=$(printf '%s' "$packages" | md5sum | cut -c1-8)
  tarball="$QUILLMERE_CI_CACHE/rootfs-$suite-$arch-$key.tar"
  mkdir -p "$QUILLMERE_CI_CACHE"
  # One maker per tarball: a caller that finds another making it (the
  # prefetch) waits for it and then takes its tarball.
  (
    flock 9
    [ -f "$tarball" ] || rootfs_make "$arch" "$suite" "$packages" "$tarball"
  ) 9> "$tarball.lock" || return 1
  printf '%s\n' "$tarball"
}

rootfs_make() {
  mirror=$(apt_mirror)
  [ -n "$mirror" ] || { echo "no Debian mirror in the apt sources" >&2; return 1; }
  made=$(mktemp -d "$QUILLMERE_CI_CACHE/make-$2-$1.XXXXXX")
  if ! debootstrap --variant=minbase --arch="$1" --include="$3" "$2" "$made/root" "$mirror" \
         > "$made.log" 2>&1; then
    tail -n 30 "$made.log" >&2
    rm -rf "$made" "$made.log"
    return 1
  fi
  rm -rf "$made/root/var/cache/apt/archives/"*.deb
  tar -C "$made/root" -cf "$made/rootfs.tar" .
  mv "$made/rootfs.tar" "$4"
  rm -rf "$made" "$made.log"
}

# On a cold machine debootstrap (downloads, then package scripts under
# emulation) overlaps the x86_64 stages instead of following them. Two at a
# time, as one chain per architecture; the stages that need a tarball wait
# for its maker.
rootfs_prefetch() {
  register_binfmt
  for arch in arm64 armhf; do
    (
      for suite in $QUILLMERE_ROOTFS_SUITES; do
        rootfs_tarball "$arch" "$suite" "$QUILLMERE_ROOTFS_PACKAGES" > /dev/null || true
      done
    ) &
  done
  wait
}

rootfs_extract() {
  rm -rf "$2"
  mkdir -p "$2"
  tar -C "$2" -xf "$1"
}

rootfs_enter() {
  root=$1
  shift
  mkdir -p "$root$PWD"
  # Certificates and pip's settings from the host, so that pip inside
  # reaches the same index the host does.
  # The CA bundle goes to the same path, which is where the host's pip
  # settings point.
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
  unshare --mount --propagation private sh -c '
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
      HOME=/root LANG=C.UTF-8 CI="${CI:-}" $(env | grep "^PIP_" || true) "$@"
  ' sh "$root" "$PWD" "$@"
}
