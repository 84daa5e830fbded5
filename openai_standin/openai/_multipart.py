"""A file upload as multipart/form-data, framed as httpx frames it."""

from __future__ import annotations

import io
import os

_ESCAPES = {'"': "%22", "\\": "\\\\", **{chr(c): f"%{c:02X}" for c in range(0x20) if c != 0x1B}}


def file_part(file: object) -> tuple[str, bytes, str | None]:
    """(file name, content, content type or None) of a file given as the real client takes one:
    bytes, a binary file object, a path, or a tuple (name, content[, content type])."""
    if isinstance(file, tuple) and len(file) >= 2:
        content_type = file[2] if len(file) > 2 else None
        return str(file[0]), _content(file[1]), content_type
    if isinstance(file, os.PathLike):
        path = os.fspath(file)
        return os.path.basename(path), _content(file), None
    if isinstance(file, (bytes, io.IOBase)):
        name = getattr(file, "name", None)
        return (os.path.basename(str(name)) if name is not None else "upload"), _content(file), None
    raise RuntimeError(f"Expected entry at `file` to be bytes, an io.IOBase instance, PathLike "
                       f"or a tuple but received {type(file)} instead.")


def _content(value: object) -> bytes:
    if isinstance(value, os.PathLike):
        with open(value, "rb") as f:
            return f.read()
    if hasattr(value, "read"):
        value = value.read()
    if isinstance(value, str):
        return value.encode()
    if isinstance(value, (bytes, bytearray, memoryview)):
        return bytes(value)
    raise RuntimeError(f"Expected file content to be bytes, received {type(value)} instead.")


def encode(fields: dict[str, str], name: str, file: tuple[str, bytes, str | None]) -> tuple[bytes, str]:
    """(body, Content-Type header) of a form of text `fields` and one file, sent as field `name`."""
    boundary = os.urandom(16).hex()
    parts = [f'--{boundary}\r\nContent-Disposition: form-data; name="{_quote(key)}"\r\n\r\n'.encode()
             + value.encode() + b"\r\n" for key, value in fields.items()]
    filename, content, content_type = file
    if content_type is None:
        import mimetypes  # only for uploads: it reads the system's type tables

        content_type = mimetypes.guess_type(filename)[0] or "application/octet-stream"
    head = (f'--{boundary}\r\nContent-Disposition: form-data; name="{_quote(name)}"; '
            f'filename="{_quote(filename)}"\r\nContent-Type: {content_type}\r\n\r\n')
    parts.append(head.encode() + content + b"\r\n")
    body = b"".join(parts) + f"--{boundary}--\r\n".encode()
    return body, f"multipart/form-data; boundary={boundary}"


def _quote(value: str) -> str:
    return "".join(_ESCAPES.get(c, c) for c in value)
