"""The machine the figures are measured on: the file system that holds the
inputs, its disk's readahead, the CPU, the build and the commit."""

import os
import platform
import subprocess


def mount_of(work):
    """(mount point, options, file system type, device, major:minor) of the
    file system that holds `work`."""
    path = os.path.realpath(work)
    mount = ("?", "?", "?", "?", "?")
    with open("/proc/self/mountinfo") as f:
        for line in f:
            left, _, right = line.partition(" - ")
            numbers, _, point, options = left.split()[2:6]
            fstype, device = right.split()[:2]
            inside = path == point or path.startswith(point.rstrip("/") + "/")
            if inside and (mount[0] == "?" or len(point) >= len(mount[0])):
                mount = (point, options, fstype, device, numbers)
    return mount


def unjournaled_ext4(work):
    """Whether `work` is on ext2, 3 or 4 without a journal. There a new
    inode is not taken from those freed in the last minute (five, while
    their table blocks are unwritten), and every file made searches past
    all of them again: a tree made soon after one was removed costs time
    in the allocator that grows with the size of the tree removed."""
    _, _, fstype, _, numbers = mount_of(work)
    if fstype not in ("ext2", "ext3", "ext4"):
        return False
    # A journal's kernel thread has a folder here named after the device.
    device = os.path.basename(os.path.realpath(f"/sys/dev/block/{numbers}"))
    try:
        journals = os.listdir("/proc/fs/jbd2")
    except OSError:
        journals = []
    return not any(j.rpartition("-")[0] == device for j in journals)


def readahead_kib(numbers):
    """The readahead of the disk behind a block device, or None. Cold, it
    sets how much a fault or a read brings in from disk at a time, so it
    weighs most on scattered reads."""
    device = os.path.realpath(f"/sys/dev/block/{numbers}")
    if os.path.exists(os.path.join(device, "partition")):
        device = os.path.dirname(device)
    try:
        with open(os.path.join(device, "queue", "read_ahead_kb")) as f:
            return int(f.read())
    except (OSError, ValueError):
        return None


def describe_machine(work, build_description, source):
    """What the figures were measured on, for every row of the CSV."""
    mount = mount_of(work)
    readahead = readahead_kib(mount[4])
    cpu = platform.machine()
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                cpu = line.partition(":")[2].strip()
                break
    commit = subprocess.run(["git", "-C", source, "describe", "--always", "--dirty", "--abbrev=12"],
                            capture_output=True, text=True).stdout.strip()
    return {
        "kernel": platform.release(),
        "filesystem": f"{mount[2]} on {mount[3]} at {mount[0]} ({mount[1]})"
                      + ("" if readahead is None else f", readahead {readahead} KiB"),
        "cpu": f"{cpu}, {os.cpu_count()} CPUs",
        "build": build_description,
        "commit": f"{commit or 'unknown'} ({source})",
    }
