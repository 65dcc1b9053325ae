"""What this vaultcat and this machine can run: the commands vaultcat has
yet, the floor program, and the mount programs; a note for each case that
is skipped, and why."""

import collections
import os
import shutil
import subprocess

from .common import log
from .inputs import check_room_for_images, make_mount_images
from .machine import unjournaled_ext4
from .mounts import MOUNTED, serving_process, unmount, wait_for

Programs = collections.namedtuple("Programs", "vaultcat floor check long_list mounts")


def knows_tree_extraction(vaultcat):
    """Whether vaultcat has the a command yet: one that does not says so
    and fails, whatever follows."""
    r = subprocess.run([vaultcat, "a"], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    return not (r.returncode == 1 and "Unrecognised command: a" in r.stdout + r.stderr)


def note_tree_cases(trees, work, notes):
    """A note where the tree cases cannot run (`trees` false), or where the
    file system weighs on them."""
    if not trees:
        notes.append("tree cases skipped: this vaultcat has no a command yet "
                     "(\"Unrecognised command: a\")")
    elif unjournaled_ext4(work):
        notes.append("warning: ext4 without a journal: the tree cases make files soon after "
                     "many were removed, so they also time its search past freed inodes "
                     "(see --tmp)")
        log(notes[-1])


def lacks(vaultcat, args, work):
    """None where `vaultcat ARGS`, run in `work`, exits with 0; else what it
    did instead."""
    r = subprocess.run([vaultcat, *args], capture_output=True, text=True,
                       stdin=subprocess.DEVNULL, cwd=work)
    if r.returncode == 0:
        return None
    said = (r.stdout + r.stderr).strip().splitlines()
    return (f"\"vaultcat {' '.join(args)}\" exits with {r.returncode}"
            + (f": \"{said[0]}\"" if said else ""))


def mount_programs(vaultcat, work, notes):
    """The programs the mount cases run, ours first: label -> (program,
    options before the input and the mount point). None, with a note, where
    the cases cannot run."""
    if not os.path.exists("/dev/fuse") or shutil.which("fusermount3") is None:
        notes.append("mount cases skipped: they need /dev/fuse and fusermount3 (Debian: fuse3)")
        return None
    point = os.path.join(work, "mnt-probe")
    os.makedirs(point)
    MOUNTED.add(point)
    why = lacks(vaultcat, ["m", "contiguous.gcf", point], work)
    if why is None and not wait_for(lambda: os.path.ismount(point), 5):
        why = "vaultcat m exits with 0 and mounts nothing"
    unmount(point, serving_process(point))
    if why:
        notes.append(f"mount cases skipped: {why}")
        return None
    mounts = {"vaultcat m": (vaultcat, ["m"])}
    for label, name, options in (("squashfuse", "squashfuse", []),
                                 ("fuse-zip -r", "fuse-zip", ["-r"])):
        path = shutil.which(name)
        if path:
            mounts[label] = (os.path.realpath(path), options)
        else:
            notes.append(f"mount cases: no {name} to measure against")
    if len(mounts) == 1:
        notes.append("mount cases skipped: nothing to measure them against")
        return None
    return mounts


def find_programs(vaultcat, floor, work, args, notes):
    """What the cases that depend on the build and the machine can run."""
    if floor is None:
        notes.append("floor_copy skipped: liburing was not found when the build was "
                     "configured (Debian: liburing-dev)")
    check = lacks(vaultcat, ["t", "contiguous.gcf"], work)
    if check:
        notes.append(f"check cases skipped: {check}")
    long_list = lacks(vaultcat, ["l", "--long", "contiguous.gcf"], work)
    if long_list:
        notes.append(f"long listing case skipped: {long_list}")
    mounts = mount_programs(vaultcat, work, notes) if "mount" in args.cases else None
    if mounts:
        check_room_for_images(work, args)
        make_mount_images(work)
    return Programs(vaultcat, floor, not check, not long_list, mounts)
