"""A mapping that keeps its newest entries only: what the service remembers without bound otherwise."""

import collections
from typing import Callable, Generic, Optional, TypeVar

__all__ = ["LRU"]

K = TypeVar("K")
V = TypeVar("V")


class LRU(Generic[K, V]):
    """At most `capacity` entries; past it the one used longest ago is forgotten.

    Not locked: its owner holds a lock of its own around each use.
    """

    def __init__(self, capacity: int) -> None:
        if capacity < 1:
            raise ValueError("an LRU holds at least one entry")
        self.capacity = capacity
        self._items: "collections.OrderedDict[K, V]" = collections.OrderedDict()

    def __len__(self) -> int:
        return len(self._items)

    def __contains__(self, key: object) -> bool:
        return key in self._items

    def get(self, key: K) -> Optional[V]:
        """The entry's value, now the newest; None if there is none."""
        value = self._items.get(key)
        if value is not None:
            self._items.move_to_end(key)
        return value

    def setdefault(self, key: K, make: Callable[[], V]) -> V:
        """The entry's value, made (and maybe forgetting the oldest) if there is none."""
        value = self.get(key)
        if value is None:
            value = make()
            self.put(key, value)
        return value

    def put(self, key: K, value: V) -> None:
        self._items[key] = value
        self._items.move_to_end(key)
        while len(self._items) > self.capacity:
            self._items.popitem(last=False)
