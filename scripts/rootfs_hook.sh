# mmdebstrap's hooks for scripts/rootfs.sh, in a tree it is making:
#
#   sh scripts/rootfs_hook.sh setup|extract TREE CACHED_DEBS KEPT_DEBS
#
# setup: merged /usr, as Debian has it since bookworm and as debootstrap
# lays out older releases too, and the packages cached by the last make,
# which apt then need not download. extract: the files the packages'
# maintainer scripts would have made that the tests need (users and groups
# from base-passwd's masters, the dynamic linker's cache, made by the tree's
# own ldconfig under emulation), and the packages kept for the next make.
set -eu
tree=$2 cached=$3 kept=$4
archives="$tree/var/cache/apt/archives"
# Hard links where the cache and the tree share a file system.
link_debs() {
  for deb in "$1"/*.deb; do
    [ -f "$deb" ] || continue
    ln "$deb" "$2/" 2>/dev/null || cp "$deb" "$2/"
  done
}
case "$1" in
  setup)
    for d in bin sbin lib; do
      ln -s "usr/$d" "$tree/$d"
      mkdir -p "$tree/usr/$d"
    done
    mkdir -p "$archives"
    link_debs "$cached" "$archives"
    ;;
  extract)
    link_debs "$archives" "$kept"
    cp "$tree/usr/share/base-passwd/passwd.master" "$tree/etc/passwd"
    cp "$tree/usr/share/base-passwd/group.master" "$tree/etc/group"
    chroot "$tree" /sbin/ldconfig
    ;;
esac
