"""Puts the last full run of make bench into bench/README.md (make bench-publish);
run.py writes build/bench/published.md after a full run only."""

import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent


def replace_between_markers(page, start, end, body):
    """Writes body into the file page between its lines start and end."""
    page = pathlib.Path(page)
    text = page.read_text()
    if text.count(start) != 1 or text.count(end) != 1 or text.index(start) > text.index(end):
        sys.exit(f"publish: {page.name} needs the lines {start!r} and {end!r}, once each and in that order")
    before, rest = text.split(start)
    page.write_text(f"{before}{start}\n\n{body.strip()}\n\n{end}{rest.split(end)[1]}")


if __name__ == "__main__":
    tables = HERE.parent / "build" / "bench" / "published.md"
    if not tables.is_file():
        sys.exit("publish: build/bench/published.md is missing: run make bench, without --quick, first")
    start, end = "<!-- benchmark tables: written by make bench-publish -->", "<!-- end of benchmark tables -->"
    replace_between_markers(HERE / "README.md", start, end, tables.read_text())
    print("published build/bench/published.md into bench/README.md")
