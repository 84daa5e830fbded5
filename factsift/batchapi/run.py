"""A run through the service's batch interface: send its parts, follow their batches, cancel them."""

from __future__ import annotations

import contextlib
import json
import os
import time
from collections.abc import Callable, Container, Iterable, Iterator
from typing import IO, TYPE_CHECKING, Any

from factsift import clients, repeats
from factsift.batchapi import split
from factsift.batchapi.split import InputsError, key_text, numbered
from factsift.batchapi.state import Part, State, read_entries, write_entries
from factsift.clients import BatchService, Refused, ServiceError
from factsift.records import RESULT_KEYS

if TYPE_CHECKING:
    from factsift.batchapi.collect import Records
    from factsift.repeats import Answers

__all__ = ["BatchRun", "InputsError", "Report", "settings_of"]

Report = Callable[["BatchRun"], None]
_METADATA_RUN, _METADATA_PART = "factsift_run", "factsift_part"


def settings_of(target: Any, method: str, prompt: Any, length: Any) -> dict[str, Any]:
    """What the run's requests depend on, as the state file holds it (api keys never)."""
    settings = {"method": method, "model": target.model_id, "base_url": target.base_url,
                "prompt": prompt, "length": length, "endpoint": split.ENDPOINT}
    value: dict[str, Any] = json.loads(json.dumps(settings, default=repr))
    return value


class BatchRun:
    """The batches of one run, from its state folder; `close()` (or a ``with`` block) lets it go."""

    state: State
    service: BatchService
    target: Any
    method: str
    uploaded: int  # bytes uploaded by this process
    trouble: str | None  # why the last look at the batches failed
    unsent: int | None  # with a budget that stopped the sending: the inputs left out
    repeats: int  # inputs not sent, as repeats of others

    def __init__(self, state: State, service: BatchService, target: Any, method: str) -> None:
        if method not in RESULT_KEYS:
            raise ValueError(f"method must be one of {', '.join(RESULT_KEYS)}, not {method!r}")
        self.state, self.service = state, service
        self.target, self.method = target, method
        self._unsure = {part.number for part in state.parts}  # parts a killed run may have sent
        self.uploaded = 0
        self.trouble = None
        self._sinks: set[str] = set()  # the input files being written, not yet kept
        self.unsent = None
        self.repeats = 0

    @property
    def parts(self) -> list[Part]:
        return list(self.state.parts)

    @property
    def prompt(self) -> Any:
        return self.state.settings["prompt"]

    @property
    def length(self) -> Any:
        return self.state.settings["length"]

    def close(self) -> None:
        self.service.close()
        self.state.close()

    def __enter__(self) -> BatchRun:
        return self

    def __exit__(self, *exc: object) -> None:
        self.close()

    # -- sending -------------------------------------------------------------------------------

    def open_keys(self) -> set[str]:
        """The ids (as key_text) of the inputs in parts not yet collected: not to be sent again."""
        keys: set[str] = set()
        for part in self.state.open_parts():
            keys.update(key_text(entry[0]) for entry in read_entries(self.entries_path(part)))
        return keys

    def send(self, inputs: Iterable[Any], batch_size: int, max_bytes: int, metadata: dict[str, str],
             budget: tuple[float, tuple[float, ...]] | None = None, send_repeats: bool = False,
             earlier: Container[bytes] = ()) -> None:
        """Sends the parts a killed run left unsent, then every input that is in no open part, but
        for repeats (factsift.repeats: of those or of a request `earlier` holds; their records share
        their first's when the batches are collected) unless `send_repeats`; with a `budget` (the
        most to spend, and the prices), only while the most they can cost fits."""
        for part in self.state.open_parts():
            self._send_part(part, metadata)
        skip = self.open_keys()
        method = getattr(self.target, self.method)
        shared = None if send_repeats else repeats.settings(self.method, self.target.model_id, self.prompt,
                                                            self.length)
        with clients.recording() as recorder:
            recorded: Iterator[split.Recorded] = (
                split.record(recorder, method, key, text, self.prompt, self.length)
                for key, text in self._firsts(numbered(inputs), skip, shared, earlier))
            if budget is not None:
                recorded = self._within(recorded, *budget)
            parts = split.split(recorded, self.state.next_number(), batch_size, max_bytes, self._sink)
            try:
                for written in parts:
                    self._send_part(self._keep(written), metadata)
            finally:
                parts.close()
                for name in self._sinks:  # the input file of a part the run never kept
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(name)
                self._sinks.clear()

    def _firsts(self, inputs: Iterator[tuple[Any, Any]], skip: set[str], shared: bytes | None,
                earlier: Container[bytes]) -> Iterator[tuple[Any, Any]]:
        """The inputs to send: those in no open part, less the repeats of an earlier one (of those
        or in an open part), which `repeats` counts."""
        seen: set[bytes] = set()
        for key, text in inputs:
            digest = repeats.digest(shared, text) if shared is not None and type(text) is str else None
            if digest is not None and (digest in seen or digest in earlier):
                self.repeats += 1
                continue
            if digest is not None:
                seen.add(digest)
            if key_text(key) not in skip:
                yield key, text

    def _within(self, recorded: Iterator[split.Recorded], limit: float,
                price: tuple[float, ...]) -> Iterator[split.Recorded]:
        """The requests while the most they can cost (factsift.budget.most, at the batch price of
        half `price`) adds up to no more than `limit`; then the count of those left out."""
        from factsift.budget import most
        from factsift.tokens import Tokens

        counter, half, reckoned = Tokens(), tuple(each / 2 for each in price), 0.0
        for item in recorded:
            if item.body is not None:
                request = json.loads(item.body)
                reckoned += most(half, counter.counted(request.get("messages") or (), request.get("model")))
                if reckoned > limit:
                    self.unsent = 1 + sum(1 for _ in recorded)
                    return
            yield item

    def _sink(self, number: int) -> IO[bytes]:
        sink = open(self._input_path(self.state.new_part(number)) + ".tmp", "wb")
        self._sinks.add(sink.name)
        return sink

    def _keep(self, written: split.PartFile) -> Part:
        """The part's files, then the part in the state: a part in the state has its files."""
        part = self.state.new_part(written.number)
        part.requests, part.size = written.requests, written.size
        with written.sink as sink:
            sink.flush()
            os.fsync(sink.fileno())
        if written.requests:
            os.replace(sink.name, self._input_path(part))
        else:
            os.unlink(sink.name)
            part.status = "unsent"
        self._sinks.discard(sink.name)
        write_entries(self.entries_path(part), written.entries)  # it syncs the folder too
        self.state.parts.append(part)
        self.state.save()
        return part

    def _send_part(self, part: Part, metadata: dict[str, str]) -> None:
        unsure = part.number in self._unsure
        try:
            if part.file_id is None and not part.ended:
                info = self.service.upload(self._input_path(part), part.size, part.prepared_at, unsure)
                part.file_id = info["id"]
                self.uploaded += part.size
                self.state.save()
            if part.batch_id is None and not part.ended:
                tags = {**metadata, _METADATA_RUN: self.state.run, _METADATA_PART: str(part.number)}
                assert part.file_id is not None
                self._update(part, self.service.create(part.file_id, tags, part.prepared_at, unsure))
                self.state.save()
        except Refused as exc:  # for good: its inputs get "error" records, and a later run sends them
            part.status, part.problem = "unsent", f"the service refused the batch: {exc}"
            self.state.save()

    # -- following -----------------------------------------------------------------------------

    def _update(self, part: Part, info: dict[str, Any]) -> bool:
        """Takes in what the service says of the part's batch; whether anything changed."""
        before = part.to_json()
        if isinstance(info.get("id"), str):
            part.batch_id = info["id"]
        status = info.get("status")
        part.status = status if isinstance(status, str) and status != "prepared" else part.status
        counts = info.get("request_counts")
        if isinstance(counts, dict):
            part.counts = {key: value for key, value in counts.items() if isinstance(value, int)}
        for key in ("output_file_id", "error_file_id"):
            value = info.get(key)
            setattr(part, key, value if isinstance(value, str) else None)
        if part.status == "failed":
            part.problem = "the service rejected the batch: " + _errors(info.get("errors"))
        return part.to_json() != before

    def poll(self) -> bool:
        """Looks once at each batch that has not ended; whether all have (a part whose batch is
        not made yet is left to submit(), which makes it)."""
        changed = False
        for part in self.state.open_parts():
            if not part.ended and part.batch_id is not None:
                changed |= self._look(part, lambda batch_id: self.service.batch(batch_id))
        if changed:
            self.state.save()
        return all(part.ended or part.batch_id is None for part in self.state.open_parts())

    def _look(self, part: Part, call: Callable[[str], dict[str, Any]]) -> bool:
        """Takes in what `call(batch id)` says of the part's batch; a batch the service no longer
        knows (HTTP 404) has failed. Whether anything changed."""
        assert part.batch_id is not None
        try:
            return self._update(part, call(part.batch_id))
        except Refused as exc:
            if exc.status != 404:
                raise
            part.status, part.problem = "failed", f"the service no longer knows the batch: {exc}"
            return True

    def wait(self, poll: float = 60.0, report: Report | None = None) -> None:
        """Until every batch has ended: a look every `poll` seconds, `report(run)` after each."""
        while True:
            try:
                ended = self.poll()
                self.trouble = None
            except ServiceError as exc:  # the service may be back at the next look
                ended, self.trouble = False, str(exc)
            if report is not None:
                report(self)
            if ended:
                return
            time.sleep(poll)

    def cancel(self) -> None:
        """Asks the service to cancel the run's batches; parts not sent yet will not be."""
        for part in self.state.open_parts():
            if part.ended:
                continue
            if part.batch_id is None and part.number in self._unsure:
                self._find_sent(part)
            if part.batch_id is not None:
                self._look(part, lambda batch_id: self.service.cancel(batch_id))
            else:
                part.status, part.problem = "unsent", "the run was cancelled before this batch was made"
            self.state.save()

    def _find_sent(self, part: Part) -> None:
        """What a killed run may have sent of a part without hearing back: its file, its batch."""
        if part.file_id is None:
            found = self.service.find_file(part.name + ".jsonl", part.size, part.prepared_at)
            part.file_id = None if found is None else found["id"]
        if part.file_id is not None:
            found = self.service.find_batch(part.file_id, part.prepared_at)
            if found is not None:
                self._update(part, found)

    def records(self, inputs: Iterable[Any], *, id_key: str = "id", skip: Callable[[Any], bool] | None = None,
                earlier: Answers | None = None) -> Records:
        """The records of the batches that have ended and are not yet collected, in input order.

        `inputs` are the run's inputs again, as given to submit (the same ids);
        an input of those batches that does not come again gets an "error"
        record after the others, unless `skip(id)` says it is done already.
        `earlier`, as given to submit, answers the repeats of what it holds.
        """
        from factsift.batchapi.collect import collect

        return collect(self, inputs, id_key, skip, earlier)

    # -- files ---------------------------------------------------------------------------------

    def _input_path(self, part: Part) -> str:
        return self.state.path(part.name + ".jsonl")

    def entries_path(self, part: Part) -> str:
        return self.state.path(part.name + ".inputs.jsonl")

    def finish(self) -> bool:
        """Tidies; once every part is collected and tidied, the run's state goes. Whether it did."""
        self.tidy()
        if not self.state.settled:
            return False
        self.state.remove()
        return True

    def tidy(self) -> None:
        """Deletes the files of the collected parts, here and at the service (a run killed while
        collecting may have left them); a part whose files the service could not delete now is
        left for a later run."""
        changed = False
        for part in self.state.parts:
            if part.collected and not part.cleaned:
                part.cleaned = all([self.service.delete(file_id) for file_id in
                                    (part.file_id, part.output_file_id, part.error_file_id) if file_id is not None])
                changed = True
                for suffix in (".jsonl", ".inputs.jsonl", ".output.jsonl", ".errors.jsonl"):
                    with contextlib.suppress(FileNotFoundError):
                        os.unlink(self.state.path(part.name + suffix))
        if changed:
            self.state.save()


def _errors(errors: Any) -> str:
    data = errors.get("data") if isinstance(errors, dict) else None
    if not isinstance(data, list) or not data:
        return "no reason given"
    described = []
    for error in data[:5]:
        if isinstance(error, dict):
            line = f"line {error.get('line')}: " if error.get("line") is not None else ""
            described.append(f"{line}{error.get('code')}: {error.get('message')}")
    more = f" (and {len(data) - 5} more)" if len(data) > 5 else ""
    return "; ".join(described) + more
