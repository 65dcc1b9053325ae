"""What the other parts share: the log, sizes, and digests and walks of the
trees that the inputs are made from and the tree cases' runs are checked
against."""

import hashlib
import os
import subprocess
import sys

MIB = 1 << 20
PAGE = os.sysconf("SC_PAGE_SIZE")


def log(text):
    print(text, file=sys.stderr, flush=True)


def digest(path):
    h = hashlib.sha256()
    buffer = bytearray(MIB)
    with open(path, "rb", buffering=0) as f:
        while n := f.readinto(buffer):
            h.update(memoryview(buffer)[:n])
    return h.hexdigest()


EMPTY_DIGEST = hashlib.sha256().hexdigest()


def walk_tree(root):
    """(path relative to root, os.DirEntry) of everything under root; a
    folder's path ends in '/'. Links are not followed."""
    stack = [""]
    while stack:
        folder = stack.pop()
        with os.scandir(os.path.join(root, folder)) as entries:
            for e in entries:
                if e.is_dir(follow_symlinks=False):
                    stack.append(folder + e.name + "/")
                    yield stack[-1], e
                else:
                    yield folder + e.name, e


def file_line(name, size, sha256):
    return f"{name} {size} {sha256}"


def tree_lines(root):
    """What a tree holds, sorted, one line an item: "name/" for a folder,
    "name size sha256" for a file. Most of a tree of many files is empty
    files, which are not opened."""
    lines = []
    for name, e in walk_tree(root):
        if name.endswith("/"):
            lines.append(name)
        elif e.is_file(follow_symlinks=False):
            size = e.stat(follow_symlinks=False).st_size
            lines.append(file_line(name, size, digest(e.path) if size else EMPTY_DIGEST))
        else:
            lines.append(f"{name} (neither file nor folder)")
    return sorted(lines)


def changed_files(root):
    """The change time (ns) of every file under root."""
    return [e.stat(follow_symlinks=False).st_ctime_ns
            for name, e in walk_tree(root) if not name.endswith("/")]


def remove_tree(path):
    # rm is several times faster than shutil.rmtree over a million files.
    if os.path.lexists(path):
        subprocess.run(["rm", "-rf", "--", path], check=True)
