"""List replies: a page of items, and the way on to the next page, as the real client's pages.

Iterating over a page (``for batch in client.batches.list()``) goes through
its items and those of every page after it, each fetched when it is reached;
``data`` holds this page's items only.
"""

from __future__ import annotations


from ._models import BaseModel
from ._response import json_data

TYPE_CHECKING = False  # as typing.TYPE_CHECKING, without importing typing

if TYPE_CHECKING:
    import builtins
    from collections.abc import AsyncIterator, Awaitable, Callable, Generator, Iterator
    from typing import Any

    from ._http import Response

    Params = dict[str, str]


class _Page(BaseModel):
    __slots__ = ("_fetch",)
    _fetch: Callable[[Params], Any]  # the next page, or (async) an awaitable of it
    data: list[builtins.object]

    def _get_page_items(self) -> list[builtins.object]:
        return self.data or []

    def next_page_info(self) -> Params | None:
        return None

    def has_next_page(self) -> bool:
        return bool(self._get_page_items()) and self.next_page_info() is not None

    def _next_params(self) -> Params:
        info = self.next_page_info()
        if info is None:
            raise RuntimeError("No next page expected; please check `.has_next_page()` "
                               "before calling `.get_next_page()`.")
        return info


class _Cursor(_Page):
    has_more: bool | None

    def has_next_page(self) -> bool:
        return self.has_more is not False and super().has_next_page()

    def next_page_info(self) -> Params | None:
        items = self._get_page_items()
        last = getattr(items[-1], "id", None) if items else None
        return None if last is None else {"after": last}


class _SyncPages(_Page):
    def __iter__(self) -> Iterator[object]:
        for page in self.iter_pages():
            yield from page._get_page_items()

    def iter_pages(self) -> Iterator[_SyncPages]:
        page = self
        while True:
            yield page
            if not page.has_next_page():
                return
            page = page.get_next_page()

    def get_next_page(self) -> _SyncPages:
        page = self._fetch(self._next_params())
        assert isinstance(page, _SyncPages)
        return page


class SyncPage(_SyncPages):
    """A list the service gives whole (models)."""

    object: str


class SyncCursorPage(_Cursor, _SyncPages):
    """A page of a list that goes on after its last item's id (files, batches)."""


class _AsyncPages(_Page):
    def __aiter__(self) -> AsyncIterator[object]:
        return self._items()

    async def _items(self) -> AsyncIterator[object]:
        async for page in self.iter_pages():
            for item in page._get_page_items():
                yield item

    async def iter_pages(self) -> AsyncIterator[_AsyncPages]:
        page = self
        while True:
            yield page
            if not page.has_next_page():
                return
            page = await page.get_next_page()

    async def get_next_page(self) -> _AsyncPages:
        page = await self._fetch(self._next_params())
        assert isinstance(page, _AsyncPages)
        return page


class AsyncPage(_AsyncPages):
    object: str


class AsyncCursorPage(_Cursor, _AsyncPages):
    pass


class AsyncPaginator:
    """What the async client's list() gives: await it for the first page, or iterate through all items."""

    def __init__(self, first: Awaitable[object]) -> None:
        self._first = first

    def __await__(self) -> Generator[object, None, object]:
        return self._first.__await__()

    def __aiter__(self) -> AsyncIterator[object]:
        return self._items()

    async def _items(self) -> AsyncIterator[object]:
        page = await self._first
        if not isinstance(page, _AsyncPages):
            raise TypeError(f"the reply is not a list: {page!r}")
        async for item in page:
            yield item


def parser(page: type[_Page], item: type[BaseModel],
           fetch: Callable[[Params], object]) -> Callable[[Response], object]:
    """How a list reply becomes a page of `item`s, which fetches the next page with `fetch`."""
    def parse(response: Response) -> object:
        data = json_data(response)
        if not isinstance(data, dict):
            return data
        if isinstance(data.get("data"), list):
            data["data"] = [item.build(value) for value in data["data"]]
        made = page.build(data)
        assert isinstance(made, _Page)
        made._fetch = fetch
        return made
    return parse
