"""Imaging many gathers: a thread pool on one machine, or a Dask cluster.

    images = molvak.process(gathers, "fdbf", velocities=np.linspace(100, 500, 400),
                            fmin=3, fmax=100, df=0.5)
    images = molvak.process(gathers, "fdbf", client=dask_client, ...)   # same call, a cluster

Threads pay off because the native estimators release the interpreter lock
for the whole computation; each gather is imaged by one call on one thread,
so the result does not depend on the number of workers or on where a gather
was imaged.
"""
from __future__ import annotations

import os
from concurrent.futures import Executor, ThreadPoolExecutor
from typing import Any, Callable, Iterable, List, Optional, Tuple, Union

from . import _checks
from .gather import Gather
from .image import DispersionImage

__all__ = ["process"]

Method = Union[str, Callable[..., DispersionImage]]


def _estimator(method: Method) -> Callable[..., DispersionImage]:
    from .transforms import fdbf, phase_shift, slant_stack
    estimators = {"slant_stack": slant_stack, "phase_shift": phase_shift, "fdbf": fdbf}
    if callable(method):
        return method
    return estimators[_checks.choice("method", method, tuple(estimators))]


def image_gather(gather: Gather, method: Method, options: dict) -> DispersionImage:
    """One gather's image; the unit of work sent to threads and to Dask
    workers (a module-level function, so that it pickles by name)."""
    estimator = _estimator(method)
    return estimator(gather.data, gather.offsets, gather.dt, **options)


def process(gathers: Iterable[Gather], method: Method, *, client: Any = None,
            workers: Optional[int] = None, **options: Any) -> List[DispersionImage]:
    """Dispersion images of many gathers, one per gather, in order.

    Parameters
    ----------
    gathers : iterable of Gather
        The gathers, for example the stacked shots of a survey.
    method : str or callable
        "slant_stack", "phase_shift" or "fdbf", or a function called as
        ``method(data, offsets, dt, **options)`` that returns a
        DispersionImage.
    client : dask.distributed.Client or concurrent.futures.Executor, optional
        Where to run. A Dask client (the ``dask`` extra) scatters the gathers
        to its workers in runs of consecutive gathers (about four runs per
        worker thread) and images them there; an executor maps over them.
        By default a thread pool on this machine.
    workers : int, optional
        Threads of the default pool (default: one per CPU, at most one per
        gather). Ignored when a client is given.
    **options
        The estimator's keyword arguments (velocities, fmin, fmax, df,
        steering, ...). Each gather is imaged on a single thread.

    Returns
    -------
    list of DispersionImage
        The same as imaging the gathers one after another.
    """
    items = list(gathers)
    for k, g in enumerate(items):
        if not isinstance(g, Gather):
            raise TypeError(f"gathers[{k}] is not a Gather; got {type(g).__name__}")
    _estimator(method)          # an unknown method fails here, not on a worker
    if not items:
        return []
    if client is None:
        count = min(len(items), _checks.workers(workers) if workers is not None
                    else max(1, os.cpu_count() or 1))
        if count <= 1:
            return [_labelled(k, g, method, options) for k, g in enumerate(items)]
        with ThreadPoolExecutor(max_workers=count) as pool:
            return list(pool.map(lambda kg: _labelled(kg[0], kg[1], method, options),
                                 enumerate(items)))
    if isinstance(client, Executor):
        return list(client.map(_labelled, range(len(items)), items,
                               [method] * len(items), [options] * len(items)))
    if not (hasattr(client, "scatter") and hasattr(client, "map") and hasattr(client, "gather")):
        raise TypeError(f"client must be a dask.distributed Client or a "
                        f"concurrent.futures.Executor; got {type(client).__name__}")
    # A Dask task costs the scheduler about a millisecond, as much as imaging
    # a small MASW gather, so the gathers travel in runs of consecutive ones:
    # a few runs per worker thread keep every thread busy to the end.
    threads = _dask_threads(client)
    runs = _runs(len(items), 4 * threads)
    chunks = [(start, items[start:stop]) for start, stop in runs]
    # Scattering first keeps the arrays out of the task graph (large graphs
    # travel through the scheduler). hash=False gives every scatter keys of
    # its own: with content keys, a gather sent again right after an earlier
    # call would share the key that the earlier call is releasing, and its
    # task would fail with lost dependencies. pure=False, because two equal
    # runs are still two tasks whose results the caller wants in place.
    remote = client.scatter([c for _, c in chunks], hash=False)
    futures = client.map(_image_run, [start for start, _ in chunks], remote, method=method,
                         options=options, pure=False)
    results: List[DispersionImage] = []
    for part in client.gather(futures):
        results.extend(part)
    return results


def _dask_threads(client: Any) -> int:
    """Worker threads of a Dask cluster (1 when it cannot tell)."""
    try:
        return max(1, int(sum(client.nthreads().values())))
    except Exception:   # a client-like object without nthreads()
        return 1


def _runs(count: int, parts: int) -> List[Tuple[int, int]]:
    """[start, stop) bounds of up to `parts` runs of nearly equal length."""
    parts = max(1, min(parts, count))
    edges = [round(k * count / parts) for k in range(parts + 1)]
    return [(a, b) for a, b in zip(edges[:-1], edges[1:]) if b > a]


def _image_run(start: int, gathers: List[Gather], method: Method,
               options: dict) -> List[DispersionImage]:
    """The images of a run of gathers, the first being gathers[start]."""
    return [_labelled(start + k, g, method, options) for k, g in enumerate(gathers)]


def _labelled(k: int, gather: Gather, method: Method, options: dict) -> DispersionImage:
    """image_gather, with the failing gather named in the message."""
    try:
        return image_gather(gather, method, options)
    except (ValueError, TypeError) as exc:
        raise type(exc)(f"gathers[{k}] ({gather.name}): {exc}") from None
