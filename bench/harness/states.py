"""The page-cache states an input is put in before every run, and how much
of it is then found in the page cache, and in large folios."""

import argparse
import collections
import ctypes
import mmap
import os

from .common import MIB, PAGE
from .libc import libc


def write_back_and_drop(fd):
    # Dirty pages cannot be dropped: they are written back first.
    os.fsync(fd)
    os.posix_fadvise(fd, 0, 0, os.POSIX_FADV_DONTNEED)


def read_through(path):
    """Written back, dropped from the page cache and read through once in
    large reads."""
    fd = os.open(path, os.O_RDONLY)
    try:
        write_back_and_drop(fd)
        buffer = bytearray(MIB)
        while os.readv(fd, [buffer]):
            pass
    finally:
        os.close(fd)


def as_written(path):
    """Copied in 4 KiB writes into a new file that takes its place, as a
    program that downloads or updates it piecewise leaves it. The old file's
    pages go with it."""
    new = path + ".new"
    source = os.open(path, os.O_RDONLY)
    try:
        target = os.open(new, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644)
        try:
            buffer = bytearray(MIB)
            view = memoryview(buffer)
            while n := os.readv(source, [buffer]):
                for start in range(0, n, 4096):
                    piece = view[start:min(start + 4096, n)]
                    while piece:
                        piece = piece[os.write(target, piece):]
        finally:
            os.close(target)
    finally:
        os.close(source)
    os.replace(new, path)


def cold(path):
    """Written back and dropped from the page cache, so that the command
    reads it from disk."""
    fd = os.open(path, os.O_RDONLY)
    try:
        write_back_and_drop(fd)
    finally:
        os.close(fd)


# How an input is put in the state, whether the state holds it in the page
# cache, and what the table says of it.
State = collections.namedtuple("State", "put cached description")
STATES = {
    "read-through": State(read_through, True,
                          "each input dropped, then read through in 1 MiB reads"),
    "as-written": State(as_written, True,
                        "each input copied in 4 KiB writes and synced, not read again"),
    "cold": State(cold, False, "each input written back and dropped, so read from disk"),
}


def states_list(text):
    """--states: names of states separated by commas, or "all"."""
    if text == "all":
        return list(STATES)
    names = list(dict.fromkeys(n.strip() for n in text.split(",")))
    unknown = [n for n in names if n not in STATES]
    if unknown or not names:
        raise argparse.ArgumentTypeError(
            f"unknown state {', '.join(unknown) or repr(text)}; choose from {', '.join(STATES)} or all")
    return names


KPF_COMPOUND = 3 << 15  # head or tail page of a compound page: part of a large folio
FOLIO_SAMPLE = 8        # every 8th cached page is looked up
LEAST_CACHED = 0.99     # of an input, before a run in a state that caches it
MOST_CACHED = 0.01      # of an input, before a run in the cold state


def page_cache_state(path):
    """(share of the file's pages in the page cache, share of a sample of
    those held in large folios, or None where that cannot be seen)."""
    size = os.path.getsize(path)
    pages = -(-size // PAGE)
    if pages == 0:
        return 1.0, None
    fd = os.open(path, os.O_RDONLY)
    try:
        address = libc.mmap(None, size, mmap.PROT_READ, mmap.MAP_SHARED, fd, 0)
    finally:
        os.close(fd)
    if address in (None, ctypes.c_void_p(-1).value):
        raise OSError(ctypes.get_errno(), "mmap")
    try:
        resident = ctypes.create_string_buffer(pages)
        if libc.mincore(address, size, resident) != 0:
            raise OSError(ctypes.get_errno(), "mincore")
        cached = [i for i, b in enumerate(resident.raw) if b & 1]
        return len(cached) / pages, large_folio_share(address, pages, cached[::FOLIO_SAMPLE])
    finally:
        libc.munmap(address, size)


def large_folio_share(address, pages, sample):
    # Touching a page that is in the page cache maps it without reading the
    # file (so pages that are not are never touched); pagemap then gives its
    # frame, and kpageflags whether that frame is part of a large folio.
    # Only root sees frames.
    if not sample:
        return None
    for i in sample:
        ctypes.string_at(address + i * PAGE, 1)
    large = 0
    try:
        with open("/proc/self/pagemap", "rb", buffering=0) as pagemap, \
             open("/proc/kpageflags", "rb", buffering=0) as kpageflags:
            entries = os.pread(pagemap.fileno(), pages * 8, address // PAGE * 8)
            for i in sample:
                entry = int.from_bytes(entries[8 * i:8 * i + 8], "little")
                frame = entry & ((1 << 55) - 1)
                if not entry >> 63 or frame == 0:
                    return None
                flags = int.from_bytes(os.pread(kpageflags.fileno(), 8, frame * 8), "little")
                large += bool(flags & KPF_COMPOUND)
    except OSError:
        return None
    return large / len(sample)
