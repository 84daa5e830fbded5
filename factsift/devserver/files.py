"""Files held in memory: uploads for batches and the batches' output, lost at a restart."""

import threading
import time
import uuid
from typing import Any, Dict, List, NamedTuple, Optional

__all__ = ["FileStore", "StoredFile"]


class StoredFile(NamedTuple):
    info: Dict[str, Any]  # the FileObject
    data: bytes


class FileStore:
    def __init__(self) -> None:
        self._lock = threading.Lock()
        self._files: Dict[str, StoredFile] = {}

    def add(self, filename: str, purpose: str, data: bytes) -> Dict[str, Any]:
        file_id = f"file-{uuid.uuid4().hex[:24]}"
        info = {"id": file_id, "object": "file", "bytes": len(data), "created_at": int(time.time()),
                "filename": filename, "purpose": purpose, "status": "processed",
                "expires_at": None, "status_details": None}
        with self._lock:
            self._files[file_id] = StoredFile(info, data)
        return dict(info)

    def get(self, file_id: str) -> Optional[StoredFile]:
        with self._lock:
            return self._files.get(file_id)

    def delete(self, file_id: str) -> bool:
        with self._lock:
            return self._files.pop(file_id, None) is not None

    def listing(self, purpose: Optional[str]) -> List[Dict[str, Any]]:
        """The files' FileObjects, newest first."""
        with self._lock:
            files = list(self._files.values())
        return [dict(f.info) for f in reversed(files) if purpose in (None, f.info["purpose"])]
