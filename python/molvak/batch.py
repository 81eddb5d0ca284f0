"""Imaging many gathers: a thread pool on one machine, or a Dask cluster.

    images = molvak.process(gathers, "fdbf", velocities=np.linspace(100, 500, 400),
                            fmin=3, fmax=100, df=0.5)
    images = molvak.process(gathers, "fdbf", client=dask_client, ...)   # same call, a cluster
    for image in molvak.iter_process(gathers, "fdbf", ...):            # one at a time
        image.save(...)

Threads pay off because the native estimators release the interpreter lock
for the whole computation; each gather is imaged by one call on one thread,
so the result does not depend on the number of workers or on where a gather
was imaged.

Only a few gathers are in flight at any time (about two per worker thread),
so :func:`iter_process` holds a bounded number of images however many
gathers it is given, and reads a lazy sequence of gathers (a generator that
reads files, say) only as fast as the workers image them.
"""
from __future__ import annotations

import collections
import math
import os
import time
import warnings
from collections.abc import Iterable, Iterator
from concurrent.futures import FIRST_COMPLETED, Executor, ThreadPoolExecutor
from concurrent.futures import wait as wait_futures
from typing import Any, Callable, NamedTuple, Optional, Union

from . import _checks, estimators
from .gather import Gather
from .image import DispersionImage

__all__ = ["GatherError", "image_gather", "iter_process", "process"]

Method = Union[str, Callable[..., DispersionImage]]


class GatherError(Exception):
    """A gather that could not be imaged.

    Attributes
    ----------
    index : int
        Its position among the gathers.
    name : str
        Its file name (``Gather.name``).
    error : Exception
        What went wrong.
    """

    def __init__(self, index: int, name: str, error: BaseException) -> None:
        super().__init__(f"gathers[{index}] ({name}): {error}")
        self.index = index
        self.name = name
        self.error = error

    def __reduce__(self) -> Any:      # travels back from Dask workers
        return (type(self), (self.index, self.name, self.error))


Result = Union[DispersionImage, GatherError]


class Outcome(NamedTuple):
    """What became of one gather: its image or its error, and the warnings
    the estimator gave on it (category, message)."""

    number: int             # the gather's place among all, from 0
    name: str
    result: Result
    warnings: list[tuple[type[Warning], str]]


def _estimator(method: Method) -> Callable[..., DispersionImage]:
    if callable(method):
        return method
    return estimators.get(method).function


def image_gather(gather: Gather, method: Method, options: dict) -> DispersionImage:
    """One gather's image by `method` (a registered name or a function), as
    :meth:`Gather.image` makes it (the record's headers in its params)."""
    return estimators.image(gather, method, **options)


def _image_one(k: int, gather: Gather, method: Method, options: dict) -> Outcome:
    """The unit of work sent to threads and workers: never raises for a
    faulty gather, and brings its warnings back with it (a worker's own
    warnings would stay in that worker's log)."""
    with _checks.collected_warnings() as notes:
        try:
            image: Result = image_gather(gather, method, options)
        except Exception as exc:    # noqa: BLE001 - every failure is the gather's
            image = GatherError(k, gather.name, exc)
    return Outcome(k, gather.name, image, notes)


def _image_run(start: int, gathers: list[Gather], method: Method, options: dict,
               fail_fast: bool) -> list[Outcome]:
    """The outcomes of a run of gathers, the first being gathers[start]. With
    fail_fast a failure is raised, so that the caller sees it in the state
    of the task without fetching the images."""
    out = []
    for k, g in enumerate(gathers):
        outcome = _image_one(start + k, g, method, options)
        if fail_fast and isinstance(outcome.result, GatherError):
            raise outcome.result
        out.append(outcome)
    return out


def process(gathers: Iterable[Gather], method: Method, *, client: Any = None,
            workers: Optional[int] = None, errors: str = "raise",
            timeout: Optional[float] = None, **options: Any) -> list[Any]:
    """Dispersion images of many gathers, one per gather, in order.

    Parameters
    ----------
    gathers : iterable of Gather
        The gathers, for example the stacked shots of a survey.
    method : str or callable
        A registered estimator ("slant_stack", "phase_shift", "fdbf", ...;
        see :mod:`molvak.estimators`), or a function called as
        ``method(data, offsets, dt, **options)`` that returns a
        DispersionImage.
    client : dask.distributed.Client or concurrent.futures.Executor, optional
        Where to run. A Dask client (the ``dask`` extra) sends the gathers to
        its workers in runs of consecutive gathers (about four runs per
        worker thread); a worker lost on the way has its work done again
        elsewhere. An executor maps over the gathers. By default a thread
        pool on this machine.
    workers : int, optional
        Threads of the default pool (default: one per CPU, at most one per
        gather). Ignored when a client is given.
    errors : {"raise", "return"}
        "raise": the first gather that fails raises at once (ValueError and
        TypeError keep their type; the message starts with
        ``gathers[k] (file):``). "return": every gather is imaged, and a
        failed one is a :class:`GatherError` (index, name, error) in its
        place in the list.
    timeout : float, optional
        Seconds the whole call may take; beyond them TimeoutError names the
        gather that has not come back (a paused or overloaded worker).
    **options
        The estimator's keyword arguments (velocities, fmin, fmax, df,
        steering, ...). Each gather is imaged on a single thread.

    Returns
    -------
    list of DispersionImage (and GatherError with errors="return")
        The same as imaging the gathers one after another. Warnings given on
        a gather (dead traces, say) are issued here, their message starting
        with ``gathers[k] (file):``.
    """
    items = list(gathers)
    for k, g in enumerate(items):
        if not isinstance(g, Gather):
            raise TypeError(f"gathers[{k}] is not a Gather; got {type(g).__name__}")
    return list(iter_process(items, method, client=client, workers=workers, errors=errors,
                             timeout=timeout, **options))


def iter_process(gathers: Iterable[Gather], method: Method, *, client: Any = None,
                 workers: Optional[int] = None, errors: str = "raise",
                 timeout: Optional[float] = None, chunksize: Optional[int] = None,
                 **options: Any) -> Iterator[Any]:
    """The images of :func:`process`, one at a time, in order, as they are
    done: only a few are held at once (about two per worker thread), so a
    caller that writes each out as it comes needs the memory of a few images,
    however many gathers there are. `gathers` may be a generator; it is read
    as the workers need more.

    `chunksize` is the number of consecutive gathers sent to a Dask worker or
    an executor as one task (default: about a quarter of the gathers per
    worker thread when their number is known, else 1). The other arguments
    are those of :func:`process`.

    Parameters
    ----------
    gathers : iterable of Gather
        The gathers, a list or a generator.
    method : str
        The estimator's name (:data:`molvak.ESTIMATORS`).
    client, workers, errors, timeout, **options
        As for :func:`process`.
    chunksize : int, optional
        Consecutive gathers sent to a worker as one task.

    Yields
    ------
    DispersionImage or GatherError
        The image of each gather in order (a GatherError in its place for a
        gather that failed, with ``errors="return"``).
    """
    _checks.choice("errors", errors, ("raise", "return"))
    _estimator(method)          # an unknown method fails here, not on a worker
    for outcome in stream(gathers, method, options, client=client, workers=workers,
                          fail_fast=errors == "raise", timeout=timeout, chunksize=chunksize):
        for category, message in outcome.warnings:
            warnings.warn(f"gathers[{outcome.number}] ({outcome.name}): {message}", category,
                          stacklevel=2)
        if isinstance(outcome.result, GatherError) and errors == "raise":
            _reraise(outcome.result)
        yield outcome.result


def _reraise(failure: GatherError) -> None:
    error = failure.error
    if type(error) in (ValueError, TypeError):
        raise type(error)(str(failure)) from None
    raise failure from error


def stream(gathers: Iterable[Gather], method: Method, options: dict, *, client: Any = None,
           workers: Optional[int] = None, fail_fast: bool = True,
           timeout: Optional[float] = None, chunksize: Optional[int] = None,
           ) -> Iterator[Outcome]:
    """The engine of :func:`iter_process`: an :class:`Outcome` per gather,
    in order, the warnings left to the caller (the command line prints them
    its own way). With fail_fast a failure raises as soon as it is seen,
    whichever gather it is."""
    deadline = None
    if timeout is not None:
        deadline = time.monotonic() + _checks.positive_float("timeout", timeout)
    total = len(gathers) if hasattr(gathers, "__len__") else None   # type: ignore[arg-type]
    items = _checked(gathers)
    if client is None:
        count = _checks.workers(workers) if workers is not None else max(1, os.cpu_count() or 1)
        if total is not None:
            count = min(count, max(total, 1))
        if count <= 1:
            for k, g in items:
                _check_deadline(deadline, timeout, k, g.name, total)
                outcome = _image_one(k, g, method, options)
                if fail_fast and isinstance(outcome.result, GatherError):
                    _reraise(outcome.result)
                yield outcome
            return
        pool = ThreadPoolExecutor(max_workers=count)
        try:
            yield from _windowed(
                _chunks(items, 1),
                lambda start, chunk: pool.submit(_image_run, start, chunk, method, options,
                                                 fail_fast),
                2 * count, _wait_concurrent, deadline, timeout, total)
        finally:
            pool.shutdown(wait=False, cancel_futures=True)
        return
    if isinstance(client, Executor):
        threads = int(getattr(client, "_max_workers", 0) or os.cpu_count() or 1)
        yield from _windowed(
            _chunks(items, chunksize or 1),
            lambda start, chunk: client.submit(_image_run, start, chunk, method, options,
                                               fail_fast),
            2 * threads, _wait_concurrent, deadline, timeout, total)
        return
    if not (hasattr(client, "submit") and hasattr(client, "nthreads")):
        raise TypeError(f"client must be a dask.distributed Client or a "
                        f"concurrent.futures.Executor; got {type(client).__name__}")
    threads = _dask_threads(client)
    # A Dask task costs the scheduler about a millisecond, as much as imaging
    # a small MASW gather, so the gathers travel in runs of consecutive ones:
    # about four runs per worker thread keep every thread busy to the end.
    if chunksize is None:
        chunksize = max(1, math.ceil(total / (4 * threads))) if total else 1
    # The gathers travel inside their tasks rather than scattered ahead:
    # the scheduler can then run a task again on another worker when the
    # worker holding its result (or running it) is lost, where scattered
    # data die with their worker. pure=False: two equal runs are still two
    # tasks whose results the caller wants in place.
    yield from _windowed(
        _chunks(items, max(1, int(chunksize))),
        lambda start, chunk: client.submit(_image_run, start, chunk, method, options,
                                           fail_fast, pure=False),
        2 * threads, _wait_dask, deadline, timeout, total)


def _checked(gathers: Iterable[Gather]) -> Iterator[tuple[int, Gather]]:
    for k, g in enumerate(gathers):
        if not isinstance(g, Gather):
            raise TypeError(f"gathers[{k}] is not a Gather; got {type(g).__name__}")
        yield k, g


def _chunks(items: Iterator[tuple[int, Gather]], size: int,
            ) -> Iterator[tuple[int, list[Gather]]]:
    """(start, run of up to `size` consecutive gathers), read lazily."""
    run: list[Gather] = []
    start = 0
    for k, g in items:
        if not run:
            start = k
        run.append(g)
        if len(run) == size:
            yield start, run
            run = []
    if run:
        yield start, run


def _check_deadline(deadline: Optional[float], timeout: Optional[float], k: int, name: str,
                    total: Optional[int]) -> None:
    if deadline is not None and time.monotonic() >= deadline:
        of = f" of {total}" if total is not None else ""
        raise TimeoutError(f"timeout of {timeout:g} s reached with {k}{of} gathers imaged; "
                           f"gathers[{k}] ({name}) has not come back (a paused, overloaded "
                           f"or lost worker?)")


def _windowed(chunks: Iterator[tuple[int, list[Gather]]], submit: Callable[..., Any],
              window: int, wait_any: Callable[[list[Any], Optional[float]], None],
              deadline: Optional[float], timeout: Optional[float], total: Optional[int],
              ) -> Iterator[Outcome]:
    """Keep up to `window` tasks in flight and yield their outcomes in order.

    A task that raised (a failure under fail_fast, or a worker lost too
    often) raises here as soon as it is seen, whichever its place; the tasks
    still pending are cancelled on every way out.
    """
    pending: collections.deque[tuple[int, list[Gather], Any]] = collections.deque()
    exhausted = False
    try:
        while True:
            while not exhausted and len(pending) < window:
                nxt = next(chunks, None)
                if nxt is None:
                    exhausted = True
                else:
                    pending.append((nxt[0], nxt[1], submit(*nxt)))
            if not pending:
                return
            start, run, head = pending[0]
            while not head.done():
                _check_deadline(deadline, timeout, start, run[0].name, total)
                remaining = None if deadline is None else max(0.0, deadline - time.monotonic())
                wait_any([f for _, _, f in pending if not f.done()], remaining)
                for _, _, future in pending:
                    if future.done() and not future.cancelled() and future.exception():
                        _raise_task(future)
            pending.popleft()
            if head.exception() is not None:
                _raise_task(head)
            outcomes = head.result()
            _release(head)
            del head
            yield from outcomes
    finally:
        for _, _, future in pending:
            future.cancel()


def _raise_task(future: Any) -> None:
    error = future.exception()
    if isinstance(error, GatherError):
        _reraise(error)
    raise error


def _release(future: Any) -> None:
    release = getattr(future, "release", None)
    if release is not None:     # a Dask future: let the worker drop the result
        release()


def _wait_concurrent(futures: list[Any], timeout: Optional[float]) -> None:
    wait_futures(futures, timeout=timeout, return_when=FIRST_COMPLETED)


def _wait_dask(futures: list[Any], timeout: Optional[float]) -> None:
    from distributed import wait
    try:
        wait(futures, timeout=timeout, return_when="FIRST_COMPLETED")
    except Exception as exc:    # noqa: BLE001 - Dask's timeout type varies across versions
        if "timeout" not in type(exc).__name__.lower():
            raise


def _dask_threads(client: Any) -> int:
    """Worker threads of a Dask cluster (1 when it cannot tell)."""
    try:
        return max(1, int(sum(client.nthreads().values())))
    except Exception:   # a client-like object without nthreads()
        return 1
