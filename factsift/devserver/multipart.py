"""multipart/form-data bodies (file uploads), read with bounds and the standard library only."""

import re
from typing import Dict, NamedTuple, Optional

__all__ = ["FormError", "Part", "parse_form"]

_BOUNDARY = re.compile(r'boundary=(?:"([^"]{1,200})"|([^\s;"]{1,200}))', re.IGNORECASE)
_PARAM = re.compile(r'(\w+)="((?:[^"\\]|\\.)*)"|(\w+)=([^\s;]+)')
_MAX_PARTS = 20
_MAX_HEAD = 8192


class FormError(ValueError):
    pass


class Part(NamedTuple):
    name: str
    filename: Optional[str]
    data: bytes


def _boundary(content_type: str) -> bytes:
    if not content_type.lower().startswith("multipart/form-data"):
        raise FormError("the body must be multipart/form-data")
    match = _BOUNDARY.search(content_type)
    if not match:
        raise FormError("multipart/form-data without a boundary")
    return (match.group(1) or match.group(2)).encode("latin-1")


def _disposition(head: bytes) -> Dict[str, str]:
    """The parameters of a part's Content-Disposition: form-data header."""
    for line in head.decode("utf-8", "replace").split("\r\n"):
        name, _, value = line.partition(":")
        if name.strip().lower() == "content-disposition":
            params = {}
            for match in _PARAM.finditer(value):
                if match.group(1):
                    params[match.group(1).lower()] = re.sub(r"\\(.)", r"\1", match.group(2))
                else:
                    params[match.group(3).lower()] = match.group(4)
            return params
    raise FormError("a form part without Content-Disposition")


def parse_form(content_type: str, body: bytes) -> Dict[str, Part]:
    """The form's parts by name (the first of each name)."""
    delimiter = b"--" + _boundary(content_type)
    start = body.find(delimiter)
    if start < 0:
        raise FormError("the form's boundary is not in its body")
    parts: Dict[str, Part] = {}
    position = start + len(delimiter)
    for _ in range(_MAX_PARTS + 1):
        if body.startswith(b"--", position):
            return parts
        if not body.startswith(b"\r\n", position):
            raise FormError("a form boundary not followed by a line end")
        head_end = body.find(b"\r\n\r\n", position + 2, position + 2 + _MAX_HEAD)
        end = body.find(b"\r\n" + delimiter, head_end)
        if head_end < 0 or end < 0:
            raise FormError("a form part without its headers' end or its closing boundary")
        params = _disposition(body[position + 2:head_end])
        if "name" not in params:
            raise FormError("a form part without a name")
        parts.setdefault(params["name"], Part(params["name"], params.get("filename"), body[head_end + 4:end]))
        position = end + 2 + len(delimiter)
    raise FormError(f"a form of more than {_MAX_PARTS} parts")
