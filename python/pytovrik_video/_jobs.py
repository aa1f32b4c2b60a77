"""Running a plan's jobs at once: on the calling thread, helped by pool threads that end when idle.

The decoding library keeps one idle decoder per thread that has decoded
(about 34 MiB for a one-thread decoder at 1080p, 45 MiB with FFmpeg's frame
threads), freed when the thread ends. So the memory a process keeps once idle
is set by which threads decode:

- the calling thread decodes one of a request's jobs itself, and keeps its
  decoder for its next request;
- the other jobs go to pool threads, at most ``group_threads() - 1`` of them,
  and a pool thread that has had no job for ``IDLE_SECONDS`` ends, taking its
  decoder with it.

Once idle, a process therefore holds one decoder per thread of its own that
asked for frames, and none for the pool.
"""

from __future__ import annotations

import os
import sys
import threading
from collections import deque
from collections.abc import Callable

# Long enough that a busy loader never sees its pool threads end between
# requests; short next to a pause between epochs.
IDLE_SECONDS = 1.0


def usable_cpus() -> int:
    """The CPUs this process may use: those it is pinned to (``os.sched_getaffinity``),
    at most its cgroup's CPU quota, rounded up. A worker a scheduler pinned
    or limited (Dask, Kubernetes, ``taskset``) then never runs more threads
    than it has cores."""
    cores = len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count() or 1
    quota = _cgroup_cpu_quota()
    return max(1, min(cores, quota) if quota is not None else cores)


# cgroup v2's limit ("max 100000", "150000 100000"), and v1's quota and
# period (a quota of -1 when unlimited).
CGROUP_CPU_MAX = "/sys/fs/cgroup/cpu.max"
CGROUP_V1_CPU = "/sys/fs/cgroup/cpu"


def _cgroup_cpu_quota() -> int | None:
    """The cgroup's CPU limit in whole CPUs, rounded up; None without one."""
    try:
        with open(CGROUP_CPU_MAX) as limits:
            quota, period = limits.read().split()[:2]
    except (OSError, ValueError):
        try:
            with open(f"{CGROUP_V1_CPU}/cpu.cfs_quota_us") as q, open(f"{CGROUP_V1_CPU}/cpu.cfs_period_us") as p:
                quota, period = q.read().strip(), p.read().strip()
        except OSError:
            return None
    try:
        quota_us, period_us = int(quota), int(period)
    except ValueError:  # "max"
        return None
    if quota_us <= 0 or period_us <= 0:
        return None
    return -(-quota_us // period_us)


def group_threads() -> int:
    """How many threads decode one request's jobs at once.

    Every CPU the process may use (``usable_cpus``); in a PyTorch DataLoader
    worker, the worker's share of them (one when there are as many workers
    as CPUs), as the workers already keep the cores busy. ``VideoFile``'s
    ``threads=`` overrides it.
    """
    cores = usable_cpus()
    # Only a process that imported PyTorch's data utilities can be a worker.
    data = sys.modules.get("torch.utils.data")
    info = data.get_worker_info() if data is not None else None
    if info is not None:
        return max(1, cores // max(1, info.num_workers))
    return max(1, cores)


class _IdlePool:
    """Daemon threads that run tasks and end after ``IDLE_SECONDS`` without one."""

    def __init__(self) -> None:
        self._condition = threading.Condition()
        self._tasks: deque[Callable[[], None]] = deque()
        self._threads = 0
        self._waiting = 0

    def submit(self, task: Callable[[], None], limit: int) -> None:
        """Runs ``task`` (which must not raise) on a pool thread, starting one if
        fewer than ``limit`` run and none is free to take it."""
        with self._condition:
            self._tasks.append(task)
            # A notified thread counts as waiting until it wakes, so tasks
            # beyond the waiting threads get threads of their own.
            if len(self._tasks) <= self._waiting:
                self._condition.notify()
                return
            if self._threads < limit:
                self._threads += 1
                threading.Thread(target=self._serve, name="pytovrik-group", daemon=True).start()

    def _serve(self) -> None:
        while True:
            with self._condition:
                while not self._tasks:
                    self._waiting += 1
                    notified = self._condition.wait(IDLE_SECONDS)
                    self._waiting -= 1
                    if not notified and not self._tasks:
                        self._threads -= 1
                        return
                task = self._tasks.popleft()
            task()


_pool = _IdlePool()


def _forget_pool_after_fork() -> None:
    # The child has none of the parent's threads, and the pool's lock may
    # have been held by one of them at the fork.
    global _pool
    _pool = _IdlePool()


os.register_at_fork(after_in_child=_forget_pool_after_fork)


class JobRun:
    """The jobs 0 .. count - 1 of one request, taken in turn by the calling thread
    and its helpers; the first failure stops the others taking new jobs.

    ``release`` runs once every thread that took part has left, whatever
    interrupted the caller, so that what the jobs use (the plan) is freed
    only when no thread can touch it any more. A helper that starts after
    the last job was taken (its pool was busy) takes no part, and nobody
    waits for it.
    """

    def __init__(
        self, count: int, job: Callable[[int], None], release: Callable[[], None], threads: int | None = None
    ) -> None:
        self._threads = threads
        self._lock = threading.Lock()
        self._count = count
        self._next = 0
        self._job = job
        self._release = release
        self._participants = 1  # the caller
        self._left = threading.Event()
        self._error: BaseException | None = None

    def run(self) -> None:
        """Runs the jobs and raises the first failure; call once, from the creating thread."""
        try:
            threads = self._threads or group_threads()
            for _ in range(min(threads, self._count) - 1):
                _pool.submit(self._help, threads - 1)
        finally:
            self._take_jobs()
        self._left.wait()
        if self._error is not None:
            raise self._error

    def _help(self) -> None:
        with self._lock:
            if self._next >= self._count:
                return
            self._participants += 1
        self._take_jobs()

    def _take_jobs(self) -> None:
        try:
            while True:
                with self._lock:
                    if self._next >= self._count:
                        return
                    job, self._next = self._next, self._next + 1
                self._job(job)
        except BaseException as error:  # handed to the caller
            with self._lock:
                self._error = self._error or error
                self._next = self._count
        finally:
            with self._lock:
                self._participants -= 1
                last = self._participants == 0
            if last:
                try:
                    self._release()
                except BaseException as error:  # a pool thread must not die of it
                    self._error = self._error or error
                finally:
                    self._left.set()
