"""The inputs: the generator's caches and plain files, the peers' tars and
zips of the same trees and bytes, the trees of other bytes that the tree
cases extract over, the squashfs images of the mount cases, and the room
they all need."""

import io
import os
import subprocess
import sys
import tarfile
import zipfile

from .common import MIB, log, remove_tree, tree_lines


def check_room(work, args, trees):
    """Five copies of the big file, one more while an input is rewritten,
    one output, and the many-item inputs; for the tree cases, two more
    copies and a third while they are made, and a many-item tree of ours
    and of tar's at a time."""
    need = (7 * args.data_mib + 1536 + (3 * args.data_mib + 512 if trees else 0)) * MIB
    room = os.statvfs(work)
    free = room.f_bavail * room.f_frsize
    if free < need:
        sys.exit(f"bench/run: needs about {need / 2**30:.1f} GiB free in {work}, "
                 f"has {free / 2**30:.1f} GiB (see --tmp)")
    items = 2 * args.folders * (args.files + 1) + 10000
    # A file system that does not count inodes has f_files 0.
    if trees and room.f_files and room.f_favail < items:
        sys.exit(f"bench/run: the tree cases need about {items} inodes free in {work}, "
                 f"whose file system has {room.f_favail} (see --tmp)")


def check_room_for_images(work, args):
    """The squashfs images, another copy of the big file, and the many-item
    tree they are made from."""
    room = os.statvfs(work)
    need = (args.data_mib + 1024) * MIB
    items = args.folders * (args.files + 1) + 10000
    if room.f_bavail * room.f_frsize < need or (room.f_files and room.f_favail < items):
        sys.exit(f"bench/run: the mount cases need about {need / 2**30:.1f} GiB and {items} "
                 f"inodes free in {work} (see --tmp)")


def make_inputs(work, generator, args, trees):
    """The generator's caches and plain files, and the peers' archives; with
    `trees`, those of the tree cases too. Returns the names of the many-item
    cache, the one file extracted, and (with `trees`) the lines of the big
    tree as tree_lines() gives them."""
    log(f"making the inputs in {work}")
    subprocess.run([generator, "--data-mib", str(args.data_mib), "--folders", str(args.folders),
                    "--files", str(args.files),
                    *(["--tree-files", str(args.data_mib)] if trees else []), work], check=True)
    with open(os.path.join(work, "names.txt")) as f:
        names = f.read().splitlines()
    target = names[-1]
    with open(os.path.join(work, "small.dat"), "rb") as f:
        small = f.read()
    write_many_archives(work, names, target, small)
    write_big_archives(work)
    if not trees:
        return names, target, None
    return names, target, write_tree_archives(work, names)


def add_member(tar, name, data=b""):
    """Adds a folder (a name ending in '/') or a file that holds `data`."""
    info = tarfile.TarInfo(name.rstrip("/"))
    info.mtime = 0
    if name.endswith("/"):
        info.type = tarfile.DIRTYPE
        info.mode = 0o755
        tar.addfile(info)
    else:
        info.size = len(data)
        tar.addfile(info, io.BytesIO(data))


def write_many_archives(work, names, target, small):
    """Uncompressed archives of the many-item cache's tree: empty members,
    except the extracted file, which holds the same bytes (so that the tar
    extracts to what vaultcat a makes of the cache)."""
    with tarfile.open(os.path.join(work, "many.tar"), "w", format=tarfile.USTAR_FORMAT) as tar:
        for name in names:
            add_member(tar, name, small if name == target else b"")
    with zipfile.ZipFile(os.path.join(work, "many.zip"), "w", zipfile.ZIP_STORED) as z:
        for name in names:
            z.writestr(zipfile.ZipInfo(name, (1980, 1, 1, 0, 0, 0)),
                       small if name == target else b"")


def write_big_archives(work):
    """The big file's bytes as the one stored member of a tar and of a zip."""
    big = os.path.join(work, "big.bin")
    with tarfile.open(os.path.join(work, "big.tar"), "w", format=tarfile.USTAR_FORMAT) as tar:
        tar.add(big, arcname="big.bin")
    with zipfile.ZipFile(os.path.join(work, "big.zip"), "w", zipfile.ZIP_STORED) as z:
        z.write(big, "big.bin")


def write_tree_archives(work, names):
    """The files of tree.gcf as the members of a tar, and both trees with
    other bytes in every file, to extract over. The plain files are then
    only what the extractions are checked against: their lines, returned."""
    plain = os.path.join(work, "tree")
    tree_names = sorted(os.listdir(plain))
    with tarfile.open(os.path.join(work, "tree.tar"), "w", format=tarfile.USTAR_FORMAT) as tar:
        for name in tree_names:
            tar.add(os.path.join(plain, name), arcname=name)
    lines = tree_lines(plain)
    remove_tree(plain)
    write_other_tree(os.path.join(work, "many-other.tar"), names)
    write_other_tree(os.path.join(work, "tree-other.tar"), tree_names)
    return lines


def write_other_tree(path, names):
    """A tar of the named folders (ending in '/') and files, every file
    holding a few bytes that no file of the caches holds."""
    with tarfile.open(path, "w", format=tarfile.USTAR_FORMAT) as tar:
        for name in names:
            add_member(tar, name, b"other bytes\n")


def make_mount_images(work):
    """Uncompressed squashfs images of the many-item tree (made from its tar
    on disk, then removed) and of the big file, for the mount cases."""
    log("making the squashfs images of the mount cases")
    plain = os.path.join(work, "many-tree")
    os.makedirs(plain)
    subprocess.run(["tar", "-xf", os.path.join(work, "many.tar"), "-C", plain], check=True)
    uncompressed = ["-noI", "-noD", "-noF", "-noX", "-no-xattrs", "-quiet", "-no-progress"]
    for source, image in ((plain, "many.sqfs"), (os.path.join(work, "big.bin"), "big.sqfs")):
        subprocess.run(["mksquashfs", source, os.path.join(work, image), "-noappend",
                        *uncompressed], check=True, stdout=subprocess.DEVNULL)
    remove_tree(plain)
