"""Runs that resume: the partial stack of every block of windows written to
its own file in an output folder as soon as the block is done
(:meth:`molvak.CorrelationStack.save`), and blocks whose file is already
there read back instead of computed, so that a run interrupted after k of n
blocks computes only the n - k others when it is started again, and gives
the same stacks bit for bit.

A block is computed on its own (its windows split among the workers as if
it were the only block), so its stack does not depend on the other blocks,
nor on whether they were computed in the same run. A file that does not fit
the run (other correlation settings, channels, sources, or another number of
windows in the block) is an error naming it: it is never silently reused
nor replaced.
"""
from __future__ import annotations

import os
import sys
from collections.abc import Hashable, Sequence
from pathlib import Path
from typing import Any, Callable, Optional, Union

import numpy as np

from ._progress import Progress
from .interferometry import CorrelationSettings, CorrelationStack, run_stacks
from .windows import Record


def _fits(stack: CorrelationStack, s: CorrelationSettings, sources: Sequence[int],
          positions: np.ndarray, pairs: Optional[np.ndarray], windows: int) -> Optional[str]:
    if stack.settings != s:
        return "other correlation settings"
    if stack.sources != tuple(int(k) for k in sources):
        return "other virtual sources"
    if stack.positions.shape != positions.shape or not np.array_equal(stack.positions,
                                                                      positions):
        return "other channels"
    if (stack.pairs is None) != (pairs is None) or (
            stack.pairs is not None and pairs is not None
            and not np.array_equal(stack.pairs, pairs)):
        return "other channel pairs"
    if stack.count + stack.skipped != windows:
        return (f"{stack.count + stack.skipped} windows where this run's block has "
                f"{windows}")
    return None


def folder_stacks(record: Record, groups: dict[Hashable, Sequence[tuple[int, int]]],
                  sources: Sequence[int], s: CorrelationSettings,
                  folder: Union[str, os.PathLike[str]], name: Callable[[Hashable], str], *,
                  pairs: Optional[np.ndarray] = None, block: int = 4,
                  workers: Optional[int] = 1, client: Any = None,
                  progress: Optional[bool] = None, label: str = "correlating blocks",
                  done: Optional[Callable[[Hashable, Path], None]] = None
                  ) -> tuple[dict[Hashable, CorrelationStack], int, int]:
    """The partial stack of every group of windows, each read from
    ``folder / name(key)`` when there, else computed and written there as
    soon as it is done (then ``done(key, path)`` is called).

    Returns
    -------
    (stacks, computed, reused)
        The stacks by key, and how many blocks were computed and read.
    """
    root = Path(folder)
    root.mkdir(parents=True, exist_ok=True)
    stacks: dict[Hashable, CorrelationStack] = {}
    pending = []
    for key, starts in groups.items():
        path = root / name(key)
        if path.exists():
            stack = CorrelationStack.load(path)
            why = _fits(stack, s, sources, record.positions, pairs, len(starts))
            if why:
                raise ValueError(f"{path}: a stack of {why}, from another run; move it away "
                                 f"or give another output folder")
            stacks[key] = stack
        else:
            pending.append(key)
    reused = len(stacks)
    show = bool(progress) if progress is not None else bool(
        getattr(sys.stderr, "isatty", lambda: False)())
    bar = Progress(len(pending), label, enabled=show and bool(pending))
    for key in pending:
        stack = run_stacks(record, {key: groups[key]}, sources, s, block=block, workers=workers,
                           client=client, progress=False, pairs=pairs)[key]
        path = root / name(key)
        stack.save(path)
        stacks[key] = stack
        if done is not None:
            done(key, path)
        bar.step(name(key))
    return stacks, len(pending), reused
