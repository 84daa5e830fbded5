"""Files held in memory: uploads for batches and the batches' output, lost at a restart.

Their bytes together are bounded: an upload past the bound is refused (StorageFull)
while the batches' output files, which the service owes, are always kept.
"""

import threading
import time
import uuid
from typing import Any, Dict, List, NamedTuple, Optional

__all__ = ["DEFAULT_MAX_STORED_BYTES", "FileStore", "StorageFull", "StoredFile"]

DEFAULT_MAX_STORED_BYTES = 1024 * 1024 * 1024
# Each file's record costs some memory of its own: empty uploads are bounded too.
MAX_FILES = 50_000


class StorageFull(Exception):
    pass


class StoredFile(NamedTuple):
    info: Dict[str, Any]  # the FileObject
    data: bytes


class FileStore:
    def __init__(self, max_bytes: int = DEFAULT_MAX_STORED_BYTES, max_files: int = MAX_FILES) -> None:
        self.max_bytes = max_bytes
        self.max_files = max_files
        self._lock = threading.Lock()
        self._files: Dict[str, StoredFile] = {}
        self._bytes = 0

    def add(self, filename: str, purpose: str, data: bytes, bounded: bool = True) -> Dict[str, Any]:
        """The new file's FileObject; StorageFull if `bounded` and it does not fit."""
        file_id = f"file-{uuid.uuid4().hex[:24]}"
        info = {"id": file_id, "object": "file", "bytes": len(data), "created_at": int(time.time()),
                "filename": filename, "purpose": purpose, "status": "processed",
                "expires_at": None, "status_details": None}
        with self._lock:
            if bounded and len(self._files) >= self.max_files:
                raise StorageFull(f"You have exceeded your file storage quota: this service holds at "
                                  f"most {self.max_files} files. Please delete old files.")
            if bounded and self._bytes + len(data) > self.max_bytes:
                raise StorageFull(self._full_message(f"the upload has {len(data)}"))
            self._files[file_id] = StoredFile(info, data)
            self._bytes += len(data)
        return dict(info)

    def _full_message(self, what: str) -> str:
        return (f"You have exceeded your file storage quota: this service holds at most {self.max_bytes} "
                f"bytes of files, {self._bytes} are stored and {what}. Please delete old files"
                " or attempt with a smaller file size.")

    def check_room(self) -> None:
        """StorageFull if the files fill their bound already (a new batch's output would not fit)."""
        with self._lock:
            if self._bytes >= self.max_bytes:
                raise StorageFull(self._full_message("a batch's output needs room"))

    def get(self, file_id: str) -> Optional[StoredFile]:
        with self._lock:
            return self._files.get(file_id)

    def delete(self, file_id: str) -> bool:
        with self._lock:
            stored = self._files.pop(file_id, None)
            if stored is not None:
                self._bytes -= len(stored.data)
            return stored is not None

    def listing(self, purpose: Optional[str]) -> List[Dict[str, Any]]:
        """The files' FileObjects, newest first."""
        with self._lock:
            files = list(self._files.values())
        return [dict(f.info) for f in reversed(files) if purpose in (None, f.info["purpose"])]
