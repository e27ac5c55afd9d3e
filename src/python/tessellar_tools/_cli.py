"""python -m tessellar_tools: evaluate two resolutions, fingerprint one, diff
two fingerprints.

A resolution file is CSV (with a header) or Parquet, and holds either a
membership vector, columns `record` and `cluster`, or matched pairs, columns
`left` and `right`; optional columns name datasets (`dataset`, or
`left_dataset` and `right_dataset`), which default to "records". Pairs keep
only the records they name. A digest list is one hexadecimal digest per
line, in entity order.
"""

from __future__ import annotations

import argparse
import csv
import sys
import time
from typing import Any, Optional

import tessellar

import tessellar_tools

DEFAULT_DATASET = "records"


class Progress:
    """Steps of a long command, drawn as a bar on stderr when it is a terminal."""

    def __init__(self, steps: int) -> None:
        self.steps, self.done, self.started = steps, 0, time.perf_counter()
        self.shown = sys.stderr.isatty()

    def step(self, label: str) -> None:
        if self.shown:
            filled = 20 * self.done // self.steps
            elapsed = time.perf_counter() - self.started
            sys.stderr.write(f"\r[{'#' * filled}{'-' * (20 - filled)}] {self.done}/{self.steps} {label:<40.40} "
                             f"{elapsed:6.1f} s")
            sys.stderr.flush()
        self.done += 1

    def close(self) -> None:
        if self.shown:
            sys.stderr.write("\r" + " " * 80 + "\r")
            sys.stderr.flush()


def read_table(path: str) -> dict[str, Any]:
    """The file's columns by name: Arrow columns from Parquet, lists of str from CSV."""
    if path.endswith(".parquet"):
        try:
            import pyarrow.parquet
        except ImportError:
            raise SystemExit(f"{path}: reading Parquet needs pyarrow (pip install tessellar[arrow])") from None
        table = pyarrow.parquet.read_table(path)
        return {name: table.column(name) for name in table.column_names}
    with open(path, newline="", encoding="utf-8") as file:
        rows = csv.reader(file)
        header = next(rows, None)
        if header is None:
            raise SystemExit(f"{path}: empty file, expected a header")
        columns: list[list[str]] = [[] for _ in header]
        for number, row in enumerate(rows, start=2):
            if len(row) != len(header):
                raise SystemExit(f"{path}, line {number}: {len(row)} fields, the header has {len(header)}")
            for column, value in zip(columns, row):
                column.append(value)
    return dict(zip(header, columns))


def add_resolution(frame: tessellar.EntityFrame, name: str, path: str) -> None:
    columns = read_table(path)
    try:
        if {"record", "cluster"} <= columns.keys():
            tessellar_tools.from_membership(frame, name, columns["cluster"], columns["record"],
                                            dataset=columns.get("dataset", DEFAULT_DATASET))
        elif {"left", "right"} <= columns.keys():
            datasets = (columns.get("left_dataset", DEFAULT_DATASET), columns.get("right_dataset", DEFAULT_DATASET))
            tessellar_tools.from_pairs(frame, name, (columns["left"], columns["right"]), datasets=datasets)
        else:
            raise SystemExit(f"{path}: expected columns record and cluster, or left and right; "
                             f"found {', '.join(columns)}")
    except (TypeError, ValueError) as error:
        raise SystemExit(f"{path}: {error}") from None


def evaluate(arguments: argparse.Namespace) -> int:
    progress = Progress(3)
    frame = tessellar.EntityFrame()
    progress.step(f"reading {arguments.prediction}")
    add_resolution(frame, "prediction", arguments.prediction)
    progress.step(f"reading {arguments.reference}")
    add_resolution(frame, "reference", arguments.reference)
    progress.step("scoring")
    try:
        scores = tessellar_tools.evaluate(frame, "prediction", "reference")
    except ValueError as error:
        raise SystemExit(str(error)) from None
    progress.close()
    width = max(map(len, scores))
    print(f"{'metric':<{width}}  value")
    print(f"{'-' * width}  {'-' * 10}")
    for name, value in scores.items():
        print(f"{name:<{width}}  {value:.6f}" if isinstance(value, float) else f"{name:<{width}}  {value}")
    return 0


def fingerprint(arguments: argparse.Namespace) -> int:
    progress = Progress(2)
    frame = tessellar.EntityFrame()
    progress.step(f"reading {arguments.file}")
    add_resolution(frame, "resolution", arguments.file)
    progress.step(f"hashing ({arguments.algorithm})")
    try:
        digests = tessellar_tools.digest_columns(frame, "resolution", arguments.algorithm)["digest"]
    except ValueError as error:
        raise SystemExit(str(error)) from None
    progress.close()
    lines = "".join(bytes(digest).hex() + "\n" for digest in digests)
    if arguments.output:
        with open(arguments.output, "w", encoding="ascii") as file:
            file.write(lines)
    else:
        sys.stdout.write(lines)
    return 0


def read_digests(path: str) -> list[str]:
    with open(path, encoding="ascii") as file:
        digests = [line.strip().lower() for line in file if line.strip()]
    for number, digest in enumerate(digests, start=1):
        try:
            bytes.fromhex(digest)
        except ValueError:
            raise SystemExit(f"{path}: digest {number} is not hexadecimal") from None
    return digests


def diff(arguments: argparse.Namespace) -> int:
    """Digests compared as sets: exit status 1 when they differ, like diff(1)."""
    old, new = read_digests(arguments.old), read_digests(arguments.new)
    old_set, new_set = set(old), set(new)
    removed = [digest for digest in old if digest not in new_set]
    added = [digest for digest in new if digest not in old_set]
    for digest in removed:
        print(f"- {digest}")
    for digest in added:
        print(f"+ {digest}")
    print(f"{len(old) - len(removed)} unchanged, {len(removed)} removed, {len(added)} added", file=sys.stderr)
    return 1 if removed or added else 0


def parser() -> argparse.ArgumentParser:
    top = argparse.ArgumentParser(prog="python -m tessellar_tools", description=__doc__,
                                  formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = top.add_subparsers(dest="command", required=True)
    scoring = commands.add_parser("evaluate", help="score a predicted resolution against a reference")
    scoring.add_argument("prediction")
    scoring.add_argument("reference")
    scoring.set_defaults(run=evaluate)
    hashing = commands.add_parser("fingerprint", help="one digest per entity of a resolution")
    hashing.add_argument("file")
    hashing.add_argument("--algorithm", default="sha256", help="sha256 (default), sha512, sha3-256, sha3-512, blake3")
    hashing.add_argument("-o", "--output", help="write the digests here instead of standard output")
    hashing.set_defaults(run=fingerprint)
    differ = commands.add_parser("diff", help="what changed between two digest lists")
    differ.add_argument("old")
    differ.add_argument("new")
    differ.set_defaults(run=diff)
    return top


def main(argv: Optional[list[str]] = None) -> int:
    arguments = parser().parse_args(argv)
    return arguments.run(arguments)
