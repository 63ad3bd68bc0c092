"""Work handed to threads or Dask workers, with the results taken back in input order."""

from collections import deque
from collections.abc import Callable, Iterable
from typing import Any, Protocol


class FutureLike(Protocol):
    """What concurrent.futures and Dask futures both offer."""

    def done(self) -> bool: ...
    def result(self) -> Any: ...


def in_input_order(items: Iterable, submit: Callable[[Any], FutureLike],
                   cancel: Callable[[list], None], window: int | None,
                   take: Callable[[int, Any, FutureLike], None]) -> None:
    """Submits every item and calls take(index, item, future) for each in input order, as soon as
    it is done. At most window items are outstanding (None: all are submitted at once), which
    bounds memory without stalling workers.

    On KeyboardInterrupt the outstanding items that have already finished are still taken, in
    order; the others are cancelled (a running one finishes unused), and the interrupt propagates.
    take may then see an item a second time (if the interrupt came while it was handling it) and
    must ignore an index it has seen.
    """
    outstanding: deque = deque()
    try:
        for entry in enumerate(items):
            outstanding.append((*entry, submit(entry[1])))
            if window is not None and len(outstanding) >= window:
                take(*outstanding[0])
                outstanding.popleft()
        while outstanding:
            take(*outstanding[0])
            outstanding.popleft()
    except KeyboardInterrupt:
        finished = [entry[2].done() for entry in outstanding]
        cancel([entry[2] for entry, done in zip(outstanding, finished) if not done])
        for entry, done in zip(outstanding, finished):
            if done:
                take(*entry)
        raise
