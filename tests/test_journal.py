"""The answers a run has not written yet, kept beside its --output file (factsift.cli.journal)."""

import json

import pytest

from factsift.cli import journal, output


def test_the_journal_keeps_what_is_not_written_and_stays_small(tmp_path):
    path = str(tmp_path / "out.jsonl")
    kept = journal.Journal(path)
    records = [{"status": "ok", "n": i} for i in range(1000)]
    with open(path, "w") as f:
        for i, record in enumerate(records):
            kept.answered(record, dict(record, id=i))
            if i % 100 != 7:  # written at once, but for every hundredth
                f.write(json.dumps(dict(record, id=i)) + "\n")
                kept.written([record])
    kept.answered({"status": "error"}, {"status": "error", "id": "x"})  # errors go again anyway
    kept.close(finished=False)
    lines = (tmp_path / "out.jsonl.journal").read_text().splitlines()
    assert len(lines) <= journal.COMPACT_AT + 1
    out = output.file_output(path, True, "id", [])
    out.done["107"] = False  # an earlier run's line for one of them
    assert journal.recover(out, path, "id") == 9
    out.close()
    ids = [json.loads(line)["id"] for line in (tmp_path / "out.jsonl").read_text().splitlines()[990:]]
    assert ids == [i for i in range(7, 1000, 100) if i != 107]
    assert not (tmp_path / "out.jsonl.journal").exists()


@pytest.mark.parametrize("finished, left", [(True, False), (False, True)])
def test_a_finished_run_removes_its_journal(tmp_path, finished, left):
    path = str(tmp_path / "out.jsonl")
    kept = journal.Journal(path)
    kept.answered({"status": "ok"}, {"status": "ok", "id": 1})
    kept.close(finished)
    assert (tmp_path / "out.jsonl.journal").exists() is left
    if left:  # answers of a run that did not finish: the output holds results
        with pytest.raises(output.Refused, match="already holds results"):
            output.file_output(path, False, "id", [])
