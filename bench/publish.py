"""Puts the last full benchmark run into bench/README.md and the committed chart.

    make bench-publish      (after a full `make bench`)

Copies build/bench/results.svg to bench/results.svg and replaces the tables of
bench/README.md, between its two marker lines, with build/bench/published-tables.md.
run.py writes that file only after a full run of every input and encoder, so a
quick or partial run can never be published.
"""

import pathlib
import shutil
import sys

START = "<!-- benchmark tables: written by make bench-publish -->"
END = "<!-- end of benchmark tables -->"


def replace_between_markers(page, start, end, body):
    """Writes body into the file page between its lines start and end."""
    page = pathlib.Path(page)
    text = page.read_text()
    if text.count(start) != 1 or text.count(end) != 1 or text.index(start) > text.index(end):
        sys.exit(f"publish: {page.name} needs the lines {start!r} and {end!r}, once each and in that order")
    before, rest = text.split(start)
    _, after = rest.split(end)
    page.write_text(f"{before}{start}\n\n{body.strip()}\n\n{end}{after}")


def main():
    import run  # the benchmark itself, with pyperf: only this command needs it

    tables, chart = run.OUTPUT_DIR / run.PUBLISHED_TABLES, run.OUTPUT_DIR / "results.svg"
    if not tables.is_file():
        sys.exit(
            f"publish: no full run to publish ({tables.relative_to(run.cases.REPO)} is missing); "
            "run make bench without BENCH_ARGS first"
        )
    replace_between_markers(run.HERE / "README.md", START, END, tables.read_text())
    shutil.copyfile(chart, run.HERE / "results.svg")
    print(
        f"published {tables.relative_to(run.cases.REPO)} into bench/README.md and "
        f"{chart.relative_to(run.cases.REPO)} as bench/results.svg"
    )


if __name__ == "__main__":
    main()
