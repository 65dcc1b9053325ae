"""Memory readings: a command's resident memory beyond the cache it maps,
sampled through /proc/PID/smaps while it runs and as it exits, and the
high-water mark and disk reads of a process that serves a mount."""

import ctypes
import os
import signal
import subprocess

from .libc import libc

PTRACE_TRACEME, PTRACE_CONT, PTRACE_SETOPTIONS = 0, 7, 0x4200
PTRACE_O_TRACEEXIT, PTRACE_EVENT_EXIT = 0x40, 6


def ptrace(request, pid=0, data=0):
    if libc.ptrace(request, pid, None, ctypes.c_void_p(data)) == -1:
        raise OSError(ctypes.get_errno(), "ptrace")


def trace_me():
    ptrace(PTRACE_TRACEME)


def run_watched(argv, stdout, sample):
    """Runs `argv` with its standard output to the file `stdout`, calling
    sample(pid) as often as it can while the command runs, and once more
    when it exits (a traced process stops there with its memory still in
    place, so even a run of a few milliseconds is seen). Returns its exit
    status."""
    child = subprocess.Popen(argv, stdout=stdout, stdin=subprocess.DEVNULL, preexec_fn=trace_me)
    status = None
    while True:
        pid, raw = os.waitpid(child.pid, os.WNOHANG)
        if pid == 0:
            sample(child.pid)
            continue
        if os.WIFSTOPPED(raw):
            signal_number = os.WSTOPSIG(raw)
            if status is None:  # the stop after exec
                ptrace(PTRACE_SETOPTIONS, child.pid, PTRACE_O_TRACEEXIT)
                signal_number = 0
            elif raw >> 8 == signal.SIGTRAP | PTRACE_EVENT_EXIT << 8:
                sample(child.pid)
                signal_number = 0
            status = "running"
            ptrace(PTRACE_CONT, child.pid, signal_number)
            continue
        child.returncode = os.waitstatus_to_exitcode(raw)
        return child.returncode


def read_smaps(pid, program, cache):
    """(Resident KiB outside the cache's mapping, of which anonymous), or
    None if the process is not (or no longer) running `program`."""
    try:
        with open(f"/proc/{pid}/smaps") as f:
            lines = f.readlines()
    except OSError:
        return None
    total = in_cache = anonymous = 0
    current = None
    seen_program = False
    for line in lines:
        fields = line.split()
        if not fields:
            continue
        if "-" in fields[0] and not fields[0].endswith(":"):
            current = fields[5] if len(fields) > 5 else ""
            seen_program |= current == program
        elif fields[0] == "Rss:":
            kib = int(fields[1])
            total += kib
            if current == cache:
                in_cache += kib
        elif fields[0] == "Anonymous:":
            anonymous += int(fields[1])
    return (total - in_cache, anonymous) if seen_program else None


def memory_and_disk_of(pid):
    """(The high-water mark of a process's resident memory, the KiB it has
    read from disk), or None."""
    try:
        with open(f"/proc/{pid}/status") as status, open(f"/proc/{pid}/io") as io_counts:
            hwm = next(line for line in status if line.startswith("VmHWM:"))
            read = next(line for line in io_counts if line.startswith("read_bytes:"))
            return int(hwm.split()[1]), int(read.split()[1]) // 1024
    except (OSError, StopIteration):
        return None
