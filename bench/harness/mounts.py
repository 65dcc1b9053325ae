"""Mounts: the command that times a FUSE mount or a command run over one,
the process that serves it, and unmounting whatever this run mounted."""

import os
import signal
import subprocess
import sys
import time

from .commands import Command
from .memory import memory_and_disk_of
from .states import STATES, cold

MOUNTED = set()  # mount points this run used, unmounted at the end


def wait_for(condition, seconds=10.0):
    deadline = time.monotonic() + seconds
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True


def serving_process(point):
    """The process that serves the mount at `point`, whatever process
    started it: the one with `point` among its arguments that holds
    /dev/fuse open."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open(f"/proc/{entry}/cmdline", "rb") as f:
                args = f.read().split(b"\0")
            if os.fsencode(point) not in args:
                continue
            fds = f"/proc/{entry}/fd"
            if any(os.readlink(os.path.join(fds, fd)) == "/dev/fuse" for fd in os.listdir(fds)):
                return int(entry)
        except OSError:
            continue
    return None


def unmount(point, pid=None):
    """Unmounts a FUSE mount, waits for the process that served it to end
    (and ends it if it does not), so that no run overlaps the next."""
    for _ in range(50):
        if not os.path.ismount(point):
            break
        # What has just read the tree can hold it busy for a moment.
        if subprocess.run(["fusermount3", "-u", "-q", point], stderr=subprocess.DEVNULL).returncode:
            time.sleep(0.1)
    if os.path.ismount(point):
        subprocess.run(["umount", "-l", point], stderr=subprocess.DEVNULL)
    if pid is not None and not wait_for(lambda: ended(pid)):
        os.kill(pid, signal.SIGTERM)


def ended(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            return f.read().rpartition(")")[2].split()[0] == "Z"
    except OSError:
        return True


class MountCommand(Command):
    """A program that serves the tree of its input at a mount point, started
    by `mount`, which returns once the mount is served in the background.
    Timed is either the mount itself until the root can be listed (`argv`
    None: the listing is its output), or `argv` run over a mount made
    (untimed) after the input was put in its state; cold, the input is then
    dropped again, so that what mounting read comes from disk too. Each run
    ends in an unmount. Its peak RSS and disk read are those of the serving
    process (VmHWM, and read_bytes of /proc/PID/io: since it started) when
    the timed command ends; `verify` checks what the first run served."""

    def __init__(self, label, mount, point, input_path, stdout, check, argv=None, verify=None):
        timed = argv or ["sh", "-c", 'point=$1; shift; "$@" && exec ls -- "$point"', "sh",
                         point, *mount]
        super().__init__(label, timed, input_path, stdout, check)
        self.mount_argv = mount
        self.point = point
        self.mounts_first = argv is not None
        self.verify = verify
        self.served = None  # the serving process's memory_and_disk_of()
        self.runs_done = 0

    def prepare(self, state):
        cached, large = super().prepare(state)
        if self.mounts_first:
            MOUNTED.add(self.point)
            r = subprocess.run(self.mount_argv, capture_output=True, text=True,
                               stdin=subprocess.DEVNULL)
            if r.returncode != 0 or not wait_for(lambda: os.path.ismount(self.point)):
                sys.exit(f"bench/run: {' '.join(self.mount_argv)} did not mount "
                         f"(status {r.returncode}): {(r.stdout + r.stderr).strip()}")
            if not STATES[state].cached:
                cold(self.input)
        return cached, large

    def run_once(self, state):
        MOUNTED.add(self.point)
        return super().run_once(state)

    def finish(self, status):
        pid = serving_process(self.point) if os.path.ismount(self.point) else None
        self.served = None if pid is None else memory_and_disk_of(pid)
        problem = None
        if status == 0 and self.verify and self.runs_done == 0:
            problem = self.verify(self.point)
        unmount(self.point, pid)
        self.runs_done += 1
        if problem:
            sys.exit(f"bench/run: {self.label}: {problem}")
        super().finish(status)

    def memory_and_disk(self, rss_kib, disk_kib):
        if self.served is None:
            sys.exit(f"bench/run: {self.label}: found no process serving {self.point}")
        return self.served

    def sample_memory(self, state, program):
        pass  # its peak RSS is already the serving process's
