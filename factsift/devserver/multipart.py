"""multipart/form-data bodies (file uploads), read with bounds and the standard library.

The email package reads the form's boundary and each part's headers. It does not
split the body: its parser reads a body line by line into text, and a hostile upload
(200 MB of line ends) would cost it gigabytes; the parts are cut out of the bytes here,
at most 20 of them, each part's headers at most 8 KiB.
"""

import email.message
import email.parser
import email.policy
from typing import Dict, NamedTuple, Optional

__all__ = ["FormError", "Part", "parse_form"]

_MAX_PARTS = 20
_MAX_HEAD = 8192
_MAX_BOUNDARY = 200
_POLICY = email.policy.HTTP


class FormError(ValueError):
    pass


class Part(NamedTuple):
    name: str
    filename: Optional[str]
    data: bytes


def _boundary(content_type: str) -> bytes:
    header = email.message.EmailMessage(policy=_POLICY)
    try:
        header["Content-Type"] = content_type
    except ValueError:  # a value no header can hold
        raise FormError("the body must be multipart/form-data") from None
    if header.get_content_type() != "multipart/form-data":
        raise FormError("the body must be multipart/form-data")
    boundary = header.get_boundary()
    if not boundary or len(boundary) > _MAX_BOUNDARY:
        raise FormError("multipart/form-data without a boundary")
    return boundary.encode("utf-8", "surrogateescape")


def _part(head: bytes, data: bytes) -> Part:
    headers = email.parser.BytesHeaderParser(policy=_POLICY).parsebytes(head + b"\r\n\r\n")
    if headers.get_content_disposition() != "form-data":
        raise FormError("a form part without Content-Disposition: form-data")
    name = headers.get_param("name", header="content-disposition")
    if not isinstance(name, str):
        raise FormError("a form part without a name")
    return Part(name, headers.get_filename(), data)


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
        part = _part(body[position + 2:head_end], body[head_end + 4:end])
        parts.setdefault(part.name, part)
        position = end + 2 + len(delimiter)
    raise FormError(f"a form of more than {_MAX_PARTS} parts")
