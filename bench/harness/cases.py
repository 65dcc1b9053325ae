"""The cases: what vaultcat runs and what each peer runs on the same input,
how their outputs are checked, and the targets our figures are held to."""

import argparse
import functools
import os

from .commands import Command, TreeCommand
from .common import EMPTY_DIGEST, digest, file_line
from .mounts import MountCommand


class Case:
    def __init__(self, name, group, ours, peers, targets, rss_target_mib=None,
                 time_target_s=None):
        self.name = name
        self.group = group          # for --cases
        self.ours = ours
        self.peers = peers
        # peer label -> (limit of ours / peer, "median" or "every run"), or
        # a dict of those by state, for the states that have a target
        self.targets = targets
        self.rss_target_mib = rss_target_mib
        self.time_target_s = time_target_s  # of our median


# The cases by group, for --cases: the tree cases want a file system of
# their own (see --tmp), the others the one the caches usually sit on.
CASE_GROUPS = ("extract", "list", "one", "check", "mount", "tree")


def cases_list(text):
    groups = [g.strip() for g in text.split(",") if g.strip()]
    unknown = [g for g in groups if g not in CASE_GROUPS]
    if unknown or not groups:
        raise argparse.ArgumentTypeError(f"unknown case group: {', '.join(unknown) or text}")
    return groups


# --- checks of an output: path -> what is wrong with it, or None ------------

def anything(path):
    return None


def same_bytes(expected):
    return lambda path: None if digest(path) == expected else "wrong bytes"


def lists(items, after_header=False, at_least=False):
    """Every name listed: the whole output, or what follows the header
    ("Directory listing:" and an empty line); `at_least`, with more lines
    (a long listing's total)."""
    def check(path):
        with open(path) as f:
            lines = f.read().splitlines()
        if after_header:
            lines = lines[lines.index("Directory listing:") + 2:] if "Directory listing:" in lines else []
        if len(lines) == items or (at_least and len(lines) > items):
            return None
        return f"listed {len(lines)} names, not {items}"
    return check


def counts(items):
    """A count alone: that of `items`."""
    def check(path):
        with open(path) as f:
            n = int(f.read().strip() or 0)
        return None if n == items else f"found {n} items, not {items}"
    return check


def all_whole(path):
    """vaultcat t's standard output: it found every file whole."""
    with open(path) as f:
        lines = f.read().splitlines()
    found = any(line.startswith("Checked ") and "all whole" in line for line in lines)
    return None if found else "it does not say that every file is whole"


def ends_in_success(path):
    """vaultcat's standard output: "Success!" is its last line."""
    with open(path, "rb") as f:
        f.seek(max(0, os.fstat(f.fileno()).st_size - 4096))
        lines = f.read().decode(errors="replace").splitlines()
    last = lines[-1] if lines else ""
    return None if last == "Success!" else f"its last line is {last!r}, not 'Success!'"


def many_tree_lines(names, target, small_digest, small_size):
    """The tree the many-item cache holds, as tree_lines() gives it."""
    return sorted(n if n.endswith("/") else
                  file_line(n, small_size, small_digest) if n == target else
                  file_line(n, 0, EMPTY_DIGEST) for n in names)


# --- the cases ---------------------------------------------------------------

def make_cases(work, programs, names, target, big_label, big_tree):
    """The cases, those of the tree, check and mount groups only where
    `big_tree` is given and `programs` has what they run. The inputs are in
    `work`, the outputs in its folder out."""
    w = functools.partial(os.path.join, work)
    o = functools.partial(os.path.join, work, "out")
    os.makedirs(o(os.path.dirname(target)), exist_ok=True)
    os.makedirs(o("tar"), exist_ok=True)
    big = same_bytes(digest(w("big.bin")))
    items = len(names)
    cases = extract_cases(w, o, programs, big_label, big)
    cases += list_and_one_cases(w, o, programs.vaultcat, items, target)
    cases += check_cases(w, o, programs, items, big_label)
    if programs.mounts:
        folders = sum(1 for n in names if n.endswith("/"))
        cases += mount_cases(w, programs, items, folders, big_label, big)
    if big_tree is not None:
        many_tree = many_tree_lines(names, target, digest(w("small.dat")),
                                    os.path.getsize(w("small.dat")))
        cases += tree_cases(w, o, programs.vaultcat, items, many_tree, big_label, big_tree)
    return cases


def extract_cases(w, o, programs, big_label, big):
    """vaultcat x of the big file, stored contiguous and shuffled."""
    against_cat = {"contiguous": (1.0, "median"),
                   "shuffled": {"read-through": (1.15, "median"), "as-written": (1.15, "median"),
                                "cold": (1.05, "median")}}
    cases = []
    for kind in ("contiguous", "shuffled"):
        x = [programs.vaultcat, "x", w(f"{kind}.gcf"), "big.bin", w("out")]
        ours = Command("vaultcat x", x, w(f"{kind}.gcf"), o("vaultcat.txt"), big,
                       output=o("big.bin"), mapped=True)
        peers = [
            Command("cat > file", ["cat", w("big.bin")], w("big.bin"), o("cat.bin"), big),
            Command("cp --reflink=never", ["cp", "--reflink=never", w("big.bin"), o("cp.bin")],
                    w("big.bin"), o("cp.txt"), big, output=o("cp.bin")),
            Command("tar -xf", ["tar", "-xf", w("big.tar"), "-C", o("tar")],
                    w("big.tar"), o("tar.txt"), big, output=o("tar/big.bin")),
            Command("unzip -p > file", ["unzip", "-p", w("big.zip"), "big.bin"],
                    w("big.zip"), o("unzip.bin"), big),
        ]
        if kind == "contiguous":
            # What its progress lines cost: one for each 8 KiB block.
            peers.append(Command("vaultcat x > /dev/null", x, w(f"{kind}.gcf"), os.devnull, big,
                                 output=o("big.bin"), mapped=True))
        elif programs.floor:
            peers.append(Command("floor_copy", [programs.floor, w("shuffled.extents"),
                                                w("shuffled.gcf"), o("floor.bin")],
                                 w("shuffled.gcf"), o("floor.txt"), big, output=o("floor.bin")))
        cases.append(Case(f"extract {big_label} {kind}", "extract", ours, peers,
                          {"cat > file": against_cat[kind]}, rss_target_mib=16))
    return cases


def list_many(w, o, vaultcat, items):
    return Command("vaultcat l > file", [vaultcat, "l", w("many.gcf")], w("many.gcf"),
                   o("list.txt"), lists(items, after_header=True), mapped=True)


def list_and_one_cases(w, o, vaultcat, items, target):
    """Listing the many-item cache, and extracting one file of it."""
    small = same_bytes(digest(w("small.dat")))
    return [
        Case(f"list {items} items", "list", list_many(w, o, vaultcat, items),
             [Command("tar -tf > file", ["tar", "-tf", w("many.tar")], w("many.tar"),
                      o("tar-list.txt"), lists(items)),
              Command("unzip -Z1 > file", ["unzip", "-Z1", w("many.zip")], w("many.zip"),
                      o("unzip-list.txt"), lists(items))],
             {"tar -tf > file": (0.02, "median")}),
        Case(f"extract 1 of {items}", "one",
             Command("vaultcat x", [vaultcat, "x", w("many.gcf"), target, w("out")],
                     w("many.gcf"), o("vaultcat.txt"), small, output=o(target), mapped=True),
             [Command("unzip -p > file", ["unzip", "-p", w("many.zip"), target], w("many.zip"),
                      o("unzip-one.dat"), small)],
             {"unzip -p > file": {"read-through": (0.06, "median"),
                                  "as-written": (0.06, "median"),
                                  "cold": (0.1, "every run")}}),
    ]


def check_cases(w, o, programs, items, big_label):
    """Checking and the long listing, where vaultcat has them: they read
    the tables alone. Each case has a listing of its own to compare with:
    a command keeps the times of every run it makes."""
    vaultcat = programs.vaultcat
    cases = []
    if programs.check:
        cases.append(Case(
            f"check {items} items", "check",
            Command("vaultcat t", [vaultcat, "t", w("many.gcf")], w("many.gcf"),
                    o("check.txt"), all_whole, mapped=True),
            [list_many(w, o, vaultcat, items)], {"vaultcat l > file": (2.0, "median")}))
        cases.append(Case(
            f"check {big_label} shuffled", "check",
            Command("vaultcat t", [vaultcat, "t", w("shuffled.gcf")], w("shuffled.gcf"),
                    o("check.txt"), all_whole, mapped=True),
            [Command("cat > /dev/null", ["cat", w("shuffled.gcf")], w("shuffled.gcf"),
                     os.devnull, anything)],
            {"cat > /dev/null": (0.1, "median")}))
    if programs.long_list:
        cases.append(Case(
            f"long list {items} items", "check",
            Command("vaultcat l --long > file", [vaultcat, "l", "--long", w("many.gcf")],
                    w("many.gcf"), o("long.txt"), lists(items, at_least=True), mapped=True),
            [list_many(w, o, vaultcat, items)], {}))
    return cases


def tree_cases(w, o, vaultcat, items, many_tree, big_label, big_tree):
    """Whole trees. The many-item tree's files are all but one empty: its
    cost is that of making a million files. Ours and tar's outputs are
    each a folder of its own, kept between runs only for "again"; "over
    other" runs over a tree of the same names whose every file holds
    other bytes, made before every run."""
    big_tree_name = f"{big_label}, {len(big_tree)} files"
    return [tree_case(w, o, vaultcat, *row) for row in (
        (f"extract all {items} items", "all", "many.gcf", "many.tar", many_tree, None, 0.8, 64),
        (f"extract all {items} again", "again", "many.gcf", "many.tar", many_tree, "again",
         0.3, 64),
        (f"extract all {items} over other", "other", "many.gcf", "many.tar", many_tree,
         "many-other.tar", 1.0, 64),
        (f"extract all {big_tree_name}", "big-tree", "tree.gcf", "tree.tar", big_tree, None,
         0.6, 16),
        (f"replace {big_tree_name}", "replace", "tree.gcf", "tree.tar", big_tree,
         "tree-other.tar", None, 16))]


def tree_case(w, o, vaultcat, name, key, cache, tar, tree, mode, limit, rss_target_mib):
    """vaultcat a of `cache` and tar -xf of `tar`, each into a folder of its
    own: an empty one, or by `mode`, the tree of its last run ("again") or
    that of a tar of other bytes."""
    again = mode == "again"
    over = w(mode) if mode and not again else None

    def tree_command(label, folder, argv, input_path, check):
        return TreeCommand(label, argv, input_path, o(f"{folder}.txt"), check, o(folder), tree,
                           again=again, over=over)

    ours = tree_command("vaultcat a", f"{key}-vaultcat",
                        [vaultcat, "a", w(cache), "/", o(f"{key}-vaultcat")], w(cache),
                        ends_in_success)
    ours.mapped = True
    peers = [tree_command("tar -xf", f"{key}-tar",
                          ["tar", "-xf", w(tar), "-C", o(f"{key}-tar")], w(tar), anything)]
    if key == "replace":
        # Whether the new bytes are on disk before the old files go is
        # the difference between the two.
        peers.append(tree_command(
            "tar -xf && sync", f"{key}-tar-sync",
            ["sh", "-c", 'tar -xf "$1" -C "$2" && sync', "sh", w(tar), o(f"{key}-tar-sync")],
            w(tar), anything))
    targets = {} if limit is None else {"tar -xf": (limit, "median")}
    return Case(name, "tree", ours, peers, targets, rss_target_mib)


# What each mount command serves: the many-item tree, and the big file
# stored contiguous and shuffled (the peers serve the same bytes from one
# input).
MOUNT_INPUTS = {"vaultcat m": ("many.gcf", "contiguous.gcf", "shuffled.gcf"),
                "squashfuse": ("many.sqfs", "big.sqfs", "big.sqfs"),
                "fuse-zip -r": ("many.zip", "big.zip", "big.zip")}


def mount_commands(w, programs, what, check, argv=None, verify=None):
    """Ours and each peer that mounts input `what` of MOUNT_INPUTS; `argv`,
    with MNT for the mount point, is what runs over the mount."""
    made = []
    for label, (program, options) in programs.mounts.items():
        source = w(MOUNT_INPUTS[label][what])
        point = w(f"mnt-{label.split()[0]}")
        os.makedirs(point, exist_ok=True)
        timed = None if argv is None else [a.replace("MNT", point) for a in argv]
        made.append(MountCommand(label, [program, *options, source, point], point, source,
                                 w(f"out/{label.split()[0]}-mount.txt"), check, argv=timed,
                                 verify=verify))
    return made


def mount_cases(w, programs, items, folders, big_label, big):
    """The mount cases: ours and each peer that mounts the same tree (and
    the same bytes of the big file) from its own input."""
    def serves_big(point):
        try:
            return big(os.path.join(point, "big.bin"))
        except OSError as e:
            return f"cannot read big.bin where it is mounted: {e.strerror}"

    cases = []
    ready = mount_commands(w, programs, 0, lists(folders))
    cases.append(Case(f"mount ready {items} items", "mount", ready[0], ready[1:],
                      {c.label: (1.0, "median") for c in ready[1:]}, time_target_s=0.05))
    walk = mount_commands(w, programs, 0, counts(items + 1),
                          argv=["sh", "-c", 'find "$1" | wc -l', "sh", "MNT"])
    cases.append(Case(f"mount find {items} items", "mount", walk[0], walk[1:],
                      {c.label: (1.0, "median") for c in walk[1:]}, rss_target_mib=64))
    for what, kind in ((1, "contiguous"), (2, "shuffled")):
        read = mount_commands(w, programs, what, anything, argv=["cat", "MNT/big.bin"],
                              verify=serves_big)
        for c in read:
            c.stdout = c.output = os.devnull
        cases.append(Case(f"mount cat {big_label} {kind}", "mount", read[0], read[1:],
                          {"squashfuse": (1.0, "median")}))
    return cases
