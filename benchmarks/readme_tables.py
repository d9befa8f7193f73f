"""The README's benchmark tables, made from the benchmark results files.

Usage::

    python benchmarks/readme_tables.py           # rewrites the tables in README.md
    python benchmarks/readme_tables.py --check   # exit status 1 when README.md is not what the results give

Every benchmark table in the README stands between two markers::

    <!-- results: NAME -->
    | header | ... |
    <!-- end of results -->

and NAME, a key of ``TABLES``, says which rows of which table of which
results file it shows (``benchmarks/RESULTS.md``, or
``benchmarks/RESULTS-counting.md`` for the counting case, which runs
alone): the table is copied, never typed, so no row can stray in.
"""

from __future__ import annotations

import argparse
import re
import sys
from pathlib import Path
from typing import Callable

REPO = Path(__file__).resolve().parents[1]
README = REPO / "README.md"
RESULTS = REPO / "benchmarks" / "RESULTS.md"

COUNTING_RESULTS = REPO / "benchmarks" / "RESULTS-counting.md"

Cells = list[str]
# Name -> (results file, heading of its section, which of its rows).
TABLES: dict[str, tuple[Path, str, Callable[[Cells], bool]]] = {
    "bytelevel-128k": (RESULTS, "## Results", lambda cells: cells[0] == "bytelevel-128k"),
    "commands": (RESULTS, "## Results", lambda cells: cells[1].startswith("`vocarix")),
    "remove_tokens": (RESULTS, "## Cost grows with the work: remove_tokens", lambda cells: True),
    "counting": (COUNTING_RESULTS, "## Results", lambda cells: cells[0].startswith("count-words")),
    "model-folders": (RESULTS, "## Results", lambda cells: cells[0].startswith(("weights ", "folder: "))),
    "gguf": (RESULTS, "## Results", lambda cells: cells[0].startswith("GGUF: ")),
}

BLOCK = re.compile(r"(<!-- results: (?P<name>[\w-]+) -->\n)(?P<table>.*?)(<!-- end of results -->)", re.S)


def cells_of(line: str) -> Cells:
    # "\|" stands for a "|" inside a cell.
    inner = line.strip()[1:-1]
    return [cell.strip().replace("\\|", "|") for cell in re.split(r"(?<!\\)\|", inner)]


def section_table(results: str, heading: str, name: str) -> list[str]:
    """The lines of the first table under `heading` of the results file `name`."""
    lines = results.splitlines()
    try:
        start = lines.index(heading)
    except ValueError:
        raise SystemExit(f"{name} has no section {heading!r}") from None
    table: list[str] = []
    for line in lines[start + 1:]:
        if line.startswith("## "):
            break
        if line.startswith("|"):
            table.append(line)
        elif table:
            break
    if len(table) < 2:
        raise SystemExit(f"{name}: no table under {heading!r}")
    return table


def read_results() -> dict[Path, str]:
    """The text of every results file the tables come from."""
    return {path: path.read_text(encoding="utf-8") for path in {source for source, _, _ in TABLES.values()}}


def table(results: dict[Path, str], name: str) -> str:
    source, heading, wanted = TABLES[name]
    header, rule, *rows = section_table(results[source], heading, source.name)
    return "\n".join([header, rule, *(row for row in rows if wanted(cells_of(row)))]) + "\n"


def render(readme: str, results: dict[Path, str]) -> str:
    """`readme` with every marked table made afresh from `results` (file -> text)."""
    def fill(match: re.Match[str]) -> str:
        name = match.group("name")
        if name not in TABLES:
            raise SystemExit(f"README.md names an unknown results table {name!r}; known: {', '.join(TABLES)}")
        return match.group(1) + table(results, name) + match.group(4)

    return BLOCK.sub(fill, readme)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--check", action="store_true", help="only report whether README.md is current")
    args = parser.parse_args(argv)
    readme = README.read_text(encoding="utf-8")
    made = render(readme, read_results())
    if args.check:
        if made != readme:
            print("README.md's benchmark tables differ from the results files; "
                  "run python benchmarks/readme_tables.py", file=sys.stderr)
            return 1
        return 0
    README.write_text(made, encoding="utf-8")
    return 0


if __name__ == "__main__":
    sys.exit(main())
