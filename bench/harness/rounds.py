"""The runs of a case, in rounds that turn their order, and the pairwise
ratios of our times to a peer's."""

import statistics


def measure(case, state, runs, vaultcat):
    """One untimed run of each command, then `runs` rounds of every command
    once, the order turning each round."""
    commands = [case.ours, *case.peers]
    for c in commands:
        c.run_once(state)
    for r in range(runs):
        k = r % len(commands)
        for c in commands[k:] + commands[:k]:
            c.measure(state)
    case.ours.sample_memory(state, vaultcat)
    for c in commands:
        c.clean_up()


def pairwise(ours, peer):
    """The median and spread of ours / peer over the pairs of runs of the
    same round."""
    ratios = sorted(a / b for a, b in zip(ours.times, peer.times))
    q1 = q3 = ratios[0]
    if len(ratios) > 1:
        q1, _, q3 = statistics.quantiles(ratios, n=4, method="inclusive")
    return {"median": statistics.median(ratios), "min": ratios[0], "q1": q1, "q3": q3,
            "max": ratios[-1]}
