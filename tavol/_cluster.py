"""Work spread over a Dask cluster: `render(..., client=)` and `score_corpus(..., client=)`.

The native modules cut the work into tasks (parts of a manifest grouped by noise recording,
batches of files to score) and call `Session.run`; this module only talks to Dask. It is
imported when a client or a scheduler address is given, never otherwise.
"""

from __future__ import annotations

import math
import uuid
from typing import Any, Callable, Sequence

# A task that raises (an error that is not one row's, such as a worker out of memory) is
# tried this many more times; a task whose worker dies is moved to another by the scheduler.
RETRIES = 2
# Most files one scoring task holds: PESQ and STOI cost a few tenths of a second per file.
SCORE_BATCH = 16


class Session:
    """A Dask client: the one given, or one connected to a scheduler address (closed after)."""

    def __init__(self, client: Any) -> None:
        from distributed import Client

        self.owned = isinstance(client, str)
        self.client = Client(client, set_as_default=False) if self.owned else client

    def threads(self) -> int:
        """Threads the cluster's workers run tasks on."""
        return sum(self.client.nthreads().values())

    def run(self, fn: Callable[..., Any], tasks: Sequence[tuple], weights: Sequence[int] | None = None,
            bar: Any = None) -> list:
        """fn(*task) for every task on the workers; the results in task order. `bar` (tqdm)
        advances by the task's weight as each task finishes, and is closed at the end."""
        from distributed import as_completed

        run_id = uuid.uuid4().hex
        futures = [self.client.submit(fn, *task, key=f"tavol-{getattr(fn, '__name__', 'task')}-{run_id}-{i}",
                                      retries=RETRIES, pure=False)
                   for i, task in enumerate(tasks)]
        where = {future.key: i for i, future in enumerate(futures)}
        results: list = [None] * len(futures)
        try:
            # The session's own event loop: without it as_completed asks for a default
            # client, which a session connected to an address does not set.
            for future, result in as_completed(futures, loop=self.client.loop, with_results=True):
                i = where[future.key]
                results[i] = result
                if bar is not None:
                    bar.update(weights[i] if weights is not None else 1)
        except BaseException:
            self.client.cancel(futures)
            raise
        finally:
            if bar is not None:
                bar.close()
        return results

    def broadcast(self, fn: Callable[..., Any], *args: Any) -> None:
        """fn(*args) once in every worker process (outside its task threads); a worker that
        is gone or fails is passed over."""
        self.client.run(fn, *args, on_error="ignore")

    def map(self, fn: Callable[..., Any], calls: Sequence[tuple], bar: Any = None) -> list:
        """fn(*call) for every call, in batches of up to SCORE_BATCH calls, several per worker
        thread; the results in call order. `bar` advances by one per call."""
        share = 4 * max(self.threads(), 1)
        size = max(1, min(SCORE_BATCH, math.ceil(len(calls) / share)))
        batches = [list(calls[i:i + size]) for i in range(0, len(calls), size)]
        done = self.run(each, [(fn, batch) for batch in batches], [len(b) for b in batches], bar)
        return [result for batch in done for result in batch]

    def close(self) -> None:
        if self.owned:
            self.client.close()


def each(fn: Callable[..., Any], calls: Sequence[tuple]) -> list:
    """[fn(*call) for call in calls]: one task of Session.map, run on a worker."""
    return [fn(*call) for call in calls]
