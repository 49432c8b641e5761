"""Puts the last full benchmark run into bench/README.md and the committed chart.

    make bench-publish      (after a full `make bench`)

Copies build/bench/results.svg to bench/results.svg and replaces the tables of
bench/README.md, between its two marker lines, with build/bench/published-tables.md.
run.py writes that file only after a full run of every input and encoder, so a
quick or partial run can never be published.
"""

import shutil
import sys

import run

START = "<!-- benchmark tables: written by make bench-publish -->"
END = "<!-- end of benchmark tables -->"


def main():
    tables, chart = run.OUTPUT_DIR / run.PUBLISHED_TABLES, run.OUTPUT_DIR / "results.svg"
    if not tables.is_file():
        sys.exit(
            f"publish: no full run to publish ({tables.relative_to(run.cases.REPO)} is missing); "
            "run make bench without BENCH_ARGS first"
        )
    page = run.HERE / "README.md"
    text = page.read_text()
    if text.count(START) != 1 or text.count(END) != 1 or text.index(START) > text.index(END):
        sys.exit(f"publish: bench/README.md needs the lines {START!r} and {END!r}, once each and in that order")
    before, rest = text.split(START)
    _, after = rest.split(END)
    page.write_text(f"{before}{START}\n\n{tables.read_text().strip()}\n\n{END}{after}")
    shutil.copyfile(chart, run.HERE / "results.svg")
    print(
        f"published {tables.relative_to(run.cases.REPO)} into bench/README.md and "
        f"{chart.relative_to(run.cases.REPO)} as bench/results.svg"
    )


if __name__ == "__main__":
    main()
