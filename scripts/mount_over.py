"""Mounts a file or symlink over a path without following a symlink there.

    python scripts/mount_over.py SOURCE TARGET

For the tests and the benchmark, inside a private mount namespace. mount
--bind follows symlinks, and /proc/net is one (to self/net, which ends at a
per-process directory whose entries a mount does not stick to). open_tree and
move_mount (Linux 5.2) can put a symlink over the /proc/net symlink itself,
for every process in the namespace: point it at a directory holding a `dev`
file and /proc/net/dev reads that file.
"""

import ctypes
import os
import sys

# The same numbers on every architecture but alpha.
_SYS_OPEN_TREE = 428
_SYS_MOVE_MOUNT = 429
_AT_FDCWD = -100
_OPEN_TREE_CLONE = 1
_AT_SYMLINK_NOFOLLOW = 0x100
_MOVE_MOUNT_F_EMPTY_PATH = 4


def mount_over(source, target):
    libc = ctypes.CDLL(None, use_errno=True)
    tree = libc.syscall(_SYS_OPEN_TREE, _AT_FDCWD, os.fsencode(source),
                        _OPEN_TREE_CLONE | os.O_CLOEXEC | _AT_SYMLINK_NOFOLLOW)
    if tree < 0:
        error = ctypes.get_errno()
        raise OSError(error, f"mounting {source} over {target}: {os.strerror(error)}")
    try:
        if libc.syscall(_SYS_MOVE_MOUNT, tree, b"", _AT_FDCWD, os.fsencode(target), _MOVE_MOUNT_F_EMPTY_PATH) != 0:
            error = ctypes.get_errno()
            raise OSError(error, f"mounting {source} over {target}: {os.strerror(error)}")
    finally:
        os.close(tree)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    mount_over(sys.argv[1], sys.argv[2])
