"""Tallies of the hostile-input suites, printed at the end of the run.

A suite counts every case it tries by outcome ("answered", "refused",
"failed"); the counts appear in pytest's closing summary, one line a suite.
"""
from collections import Counter

TALLIES: dict[str, Counter] = {}


def tally(suite: str) -> Counter:
    """The counter of a suite, made on first use."""
    return TALLIES.setdefault(suite, Counter())


def lines() -> list[str]:
    out = []
    for suite, counts in sorted(TALLIES.items()):
        tried = sum(counts.values())
        out.append(f"{suite}: {tried} tried, {counts['answered']} answered correctly, "
                   f"{counts['refused']} refused in one line, {counts['failed']} failures")
    return out
