"""A command of a case and its isolated runs: outputs removed, the input put
in its page-cache state and the file system synced, all outside the timing;
then the timed run, with its CPU time, peak RSS and disk reads, and the
check of its exit status and output."""

import os
import subprocess
import sys
import time

from .common import changed_files, remove_tree, tree_lines
from .memory import read_smaps, run_watched
from .states import LEAST_CACHED, MOST_CACHED, STATES, page_cache_state

TIME = "/usr/bin/time"


class Command:
    def __init__(self, label, argv, input_path, stdout, check, output=None, mapped=False):
        self.label = label
        self.argv = argv
        self.input = input_path     # the one file the command reads
        self.stdout = stdout        # where its standard output goes (it may be os.devnull)
        self.output = output or stdout
        self.check = check          # output path -> what is wrong with it, or None
        self.mapped = mapped        # vaultcat: the input is mapped
        self.times, self.cpu, self.rss_kib, self.disk_kib = [], [], [], []
        self.cached, self.large = [], []
        self.beyond_kib = None

    def remove_outputs(self):
        for path in {self.stdout, self.output} - {os.devnull}:
            if os.path.lexists(path):
                os.unlink(path)

    def ready_outputs(self):
        self.remove_outputs()

    def clean_up(self):
        """At the end of a case."""
        self.remove_outputs()

    def prepare(self, state):
        """Isolates a run: outputs removed (or made ready), the input put in
        the page-cache state and found cached (or, cold, found not cached),
        all written back. Returns the shares of the input cached and in
        large folios."""
        # Before the input's state: making a tree can read the input.
        self.ready_outputs()
        wanted = STATES[state]
        for _ in range(3):
            wanted.put(self.input)
            os.sync()
            cached, large = page_cache_state(self.input)
            if (cached >= LEAST_CACHED) if wanted.cached else (cached <= MOST_CACHED):
                return cached, large
        if wanted.cached:
            sys.exit(f"bench/run: only {cached:.1%} of {self.input} stays in the page cache "
                     f"({state}); the figures would be of disk reads")
        # tmpfs, for one, keeps every page it holds.
        sys.exit(f"bench/run: {cached:.1%} of {self.input} stays in the page cache after it "
                 f"is dropped ({state}); the figures would not be of disk reads (see --tmp)")

    def problem(self):
        """What is wrong with the output of the run just made, or None."""
        return self.check(self.output)

    def finish(self, status):
        if status != 0:
            sys.exit(f"bench/run: {' '.join(self.argv)} exited with {status}")
        problem = self.problem()
        if problem:
            sys.exit(f"bench/run: {self.label} ({' '.join(self.argv)}): {problem}")
        self.remove_outputs()

    def run_once(self, state):
        """One isolated run; returns (seconds, CPU seconds, peak RSS in KiB,
        KiB read from disk, shares of the input cached and in large folios)."""
        cached, large = self.prepare(state)
        rss_file = os.path.join(os.path.dirname(self.input), "time.out")
        # A process's high-water mark counts what it held before exec, so
        # the command is started by the small `time` program, not forked
        # from this interpreter, and `time` reports the command's own mark.
        argv = [TIME, "-q", "-f", "%M %U %S %I", "-o", rss_file, *self.argv]
        with open(self.stdout, "wb") as out:
            start = time.perf_counter()
            status = subprocess.run(argv, stdout=out, stdin=subprocess.DEVNULL).returncode
            seconds = time.perf_counter() - start
        self.finish(status)
        with open(rss_file) as f:
            rss, user, system, blocks = f.read().split()[-4:]
        os.unlink(rss_file)
        rss, disk = self.memory_and_disk(int(rss), int(blocks) // 2)
        return seconds, float(user) + float(system), rss, disk, cached, large

    def memory_and_disk(self, rss_kib, disk_kib):
        """The peak RSS and disk read to report of a run whose command's
        were these."""
        return rss_kib, disk_kib

    def measure(self, state):
        seconds, cpu, rss, disk, cached, large = self.run_once(state)
        self.times.append(seconds)
        self.cpu.append(cpu)
        self.rss_kib.append(rss)
        self.disk_kib.append(disk)
        self.cached.append(cached)
        self.large.append(large)

    def sample_memory(self, state, program):
        """Runs once more under watch (see run_watched) and keeps the
        largest resident total less the cache mapping's share."""
        self.prepare(state)
        cache = os.path.realpath(self.input)
        best = None

        def sample(pid):
            nonlocal best
            kib = read_smaps(pid, program, cache)
            if kib is not None and (best is None or kib[0] > best[0]):
                best = kib

        with open(self.stdout, "wb") as out:
            status = run_watched(self.argv, out, sample)
        self.finish(status)
        self.beyond_kib = best


class TreeCommand(Command):
    """A command that makes a tree in the folder `output`: into an empty
    folder before every run; or, `again`, over the tree that its previous
    run left there (the untimed first run makes it into an empty folder);
    or `over` the tree of another tar, whose every file holds other bytes,
    extracted there before every run. Its exit status and standard output
    are checked after every run; the tree, a walk of every file, after the
    first timed run alone, and then, again or over, also that every file
    was replaced by the run."""

    CHECKED_RUN = 1  # the untimed one is 0

    def __init__(self, label, argv, input_path, stdout, check_stdout, output, tree, again=False,
                 over=None, mapped=False):
        super().__init__(label, argv, input_path, stdout, check_stdout, output=output,
                         mapped=mapped)
        self.tree = tree            # the lines tree_lines() must give
        self.again = again
        self.over = over            # the tar of the tree run over
        self.runs_done = 0
        self.changed_before = None  # again: the newest change time in the tree before the run

    def remove_outputs(self):
        if os.path.lexists(self.stdout):
            os.unlink(self.stdout)
        if not self.again:
            remove_tree(self.output)

    def ready_outputs(self):
        self.remove_outputs()
        if self.over:
            os.makedirs(self.output)
            subprocess.run(["tar", "-xf", self.over, "-C", self.output], check=True)
        elif not self.again or self.runs_done == 0:
            os.makedirs(self.output, exist_ok=not self.again)
        elif not os.path.isdir(self.output):
            sys.exit(f"bench/run: {self.label}: the tree of its last run is gone from {self.output}")
        if self.runs_done == self.CHECKED_RUN and (self.again or self.over):
            self.changed_before = max(changed_files(self.output), default=0)
            # File times step by a clock tick: a file the run writes then
            # cannot share one with a file written before.
            time.sleep(0.05)

    def clean_up(self):
        self.remove_outputs()
        remove_tree(self.output)

    def problem(self):
        problem = self.check(self.stdout)
        if not problem and self.runs_done == self.CHECKED_RUN:
            problem = self.check_tree()
        return problem

    def finish(self, status):
        super().finish(status)
        self.runs_done += 1

    def check_tree(self):
        made = tree_lines(self.output)
        if len(made) != len(self.tree):
            return f"made {len(made)} items, not {len(self.tree)}"
        for got, wanted in zip(made, self.tree):
            if got != wanted:
                return f"made {got!r} where {wanted!r} was wanted"
        # Over its own tree, a file that holds the cache's bytes already is
        # left as it is; over other bytes, every file must be replaced.
        if self.over:
            kept = sum(1 for t in changed_files(self.output) if t <= self.changed_before)
            if kept:
                return f"left {kept} files of the tree it ran over as they were"
        return None
