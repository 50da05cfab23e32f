"""Every kind of file the project writes (Estimate.save, a checkpoint, the command line's
--resume file and its --json output with its "derived" object, the example in the documentation) is valid under the JSON
Schema shipped in the package, so is a file of the older version 2 that readers still take, and
the schema refuses what a reader refuses."""

from __future__ import annotations

import json
from importlib.resources import files
from pathlib import Path
from typing import Any, Callable, Dict, List

import pytest

from tavrin_estimate import Estimate, Part, Span, estimate
from tavrin_estimate.__main__ import main
from tavrin_estimate._intervals import METHODS
from tavrin_estimate._store import checksum

from .support import needs

pytestmark = needs("jsonschema")

DOCS = Path(__file__).resolve().parent.parent.parent / "docs"


def validator() -> Any:
    import jsonschema

    schema = json.loads(files("tavrin_estimate").joinpath("result.schema.json").read_text())
    jsonschema.Draft202012Validator.check_schema(schema)
    return jsonschema.Draft202012Validator(schema)


def saved(result: Estimate, folder: Path) -> List[Path]:
    result.save(folder / "saved.json")
    return [folder / "saved.json"]


def pooled_with_gaps(folder: Path) -> List[Path]:
    a = estimate(3000, 5, 9, "ABCDEF", seed=2**100, block_size=64)
    b = estimate(1000, 5, 9, "ABCDEF", seed=7)
    c = Estimate(5, 9, "ABCDEF", (Part(7, b.parts[0].block_size, (Span(5000, 5001, 0, bytes(4)),)),))
    return saved(a + b + c, folder)


def without_block_counts(folder: Path) -> List[Path]:
    # Ranges touching more than 2**20 blocks keep no per-block counts: null in the file.
    return saved(Estimate(2, 2, "AB", (Part(0, 1, (Span(0, 2**21, 2**20),)),)), folder)


def checkpoints(folder: Path) -> List[Path]:
    written: List[Path] = []

    def keep(partial: Estimate) -> None:
        written.append(folder / f"checkpoint-{len(written)}.json")
        partial.save(written[-1])

    estimate(200_000, 3, 3, "XYZ", seed=1, block_size=1000, checkpoint=keep, checkpoint_seconds=0)
    return written


def version_2(folder: Path) -> List[Path]:
    # What an older release wrote: no method, read as Wilson's.
    document = estimate(3000, 4, 4, seed=9, block_size=100).to_dict()
    document.update(version=2)
    del document["method"]
    document["checksum"] = checksum(document)
    (folder / "old.json").write_text(json.dumps(document))
    return [folder / "old.json"]


def command_line(folder: Path, capsys: pytest.CaptureFixture[str]) -> List[Path]:
    assert main(["3000", "--passengers", "4", "--seats", "6", "--cols", "\u00e9\u00df\u4e2d\U0001f600ab",
                 "--seed", "3", "--resume", str(folder / "run.json")]) == 0
    capsys.readouterr()
    assert main(["2000", "--seed", "11", "--passengers", "2", "--seats", "2", "--method", "anytime", "--json"]) == 0
    (folder / "printed.json").write_text(capsys.readouterr().out)
    # What --json adds is printed, never saved.
    assert "derived" in json.loads((folder / "printed.json").read_text())
    assert "derived" not in json.loads((folder / "run.json").read_text())
    return [folder / "run.json", folder / "printed.json"]


WRITERS: Dict[str, Callable[..., List[Path]]] = {
    "save": lambda folder: saved(estimate(5000, 10, 10, seed=0, block_size=300), folder),
    "pooled seeds with gaps": pooled_with_gaps,
    "no block counts": without_block_counts,
    "checkpoints": checkpoints,
    "command line": command_line,
    "read but no longer written: version 2": version_2,
    "documentation example": lambda folder: [DOCS / "example-result.json"],
}


@pytest.mark.parametrize("writer", WRITERS)
def test_written_files_are_valid(writer: str, tmp_path: Path, capsys: pytest.CaptureFixture[str]) -> None:
    make = WRITERS[writer]
    paths = make(tmp_path, capsys) if writer == "command line" else make(tmp_path)
    assert paths
    check = validator()
    for path in paths:
        document = json.loads(path.read_text())
        errors = [error.message for error in check.iter_errors(document)]
        assert not errors, f"{path.name}: {errors}"
        Estimate.load(path)  # and what the schema accepts here, the reader reads


@pytest.mark.parametrize(
    "change",
    [
        lambda d: d.update(extra=1),
        lambda d: d["parts"][0].update(seed="007"),
        lambda d: d["parts"][0].update(block_size=0),
        lambda d: d["parts"][0]["ranges"][0].append(1),
        lambda d: d["parts"][0]["block_counts"].__setitem__(0, "not base64!"),
        lambda d: d.update(confidence=1),
        lambda d: d.update(checksum="sha256:" + "0" * 63),
        lambda d: d["plane"].pop("cols"),
        lambda d: d.update(method="exact"),
        lambda d: d.pop("method"),
        lambda d: d.update(version=2),
        lambda d: d["derived"]["interval"].update(method="exact"),
        lambda d: d["derived"].pop("exact"),
    ],
    ids=["unknown field", "seed with a leading zero", "block size 0", "range of four numbers",
         "block counts not base64", "confidence 1", "short checksum", "plane without cols",
         "unknown method", "version 3 without method", "version 2 with a method",
         "derived interval of an unknown method", "derived without the exact answer"],
)
def test_schema_refuses_what_no_writer_writes(change: Callable[[Dict[str, Any]], None]) -> None:
    document = json.loads((DOCS / "example-result.json").read_text())
    change(document)
    assert not validator().is_valid(document)


def test_schema_names_every_interval_method() -> None:
    schema = json.loads(files("tavrin_estimate").joinpath("result.schema.json").read_text())
    assert schema["properties"]["method"]["enum"] == list(METHODS)
