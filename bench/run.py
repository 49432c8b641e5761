"""Compares veldspray_cbor.dumps with the encoders users would pick instead.

    make bench                         full run (about 11 minutes on 2 cores)
    make bench BENCH_ARGS=--quick      rough figures in about 2 minutes
    make bench-publish                 the last full run into bench/README.md and bench/results.svg
    .venv/bin/python bench/run.py --help

For every input and encoder it first runs a memory probe (a fresh process,
one call: output size, peak memory, or "n/a" when the encoder refuses the
input). Then it times every pair with pyperf in rounds: each round starts one
fresh worker process per pair, the pairs in a new order every round, so that
whatever else the machine does meanwhile falls on every encoder alike. A
value is the CPU time of the calls (timing_worker.py says why), and a pair's
figure is the median of all its values from all rounds.

It prints Markdown tables and writes, to build/bench/: the tables
(results.md), the time ratios as a bar chart (results.svg), the raw pyperf
data (results.json, for `python -m pyperf compare_to OLD NEW`) and, after a
full run of every input and encoder, the tables to publish (published-tables.md),
which `make bench-publish` copies into bench/README.md with the chart.

The JSON documents are read from examples/data in the repository, or from
$VELDSPRAY_BENCH_DATA, or from --data-dir; missing ones are skipped.
"""

import argparse
import dataclasses
import datetime
import importlib.metadata
import json
import os
import pathlib
import platform
import random
import subprocess
import sys
import tempfile
import time

import pyperf

import cases
import chart

HERE = pathlib.Path(__file__).resolve().parent
OUTPUT_DIR = cases.REPO / "build" / "bench"
PUBLISHED_TABLES = "published-tables.md"
PEERS = ("cbor2", "msgpack", "orjson")


@dataclasses.dataclass(frozen=True)
class Mode:
    """How much a run measures: rounds (one worker process per pair each),
    timed values per process after the warm-up ones, and the least time one
    value takes (the loops per value are calibrated to reach it)."""

    name: str
    rounds: int
    values: int
    warmups: int
    min_time: float

    def worker_options(self):
        return ["--values", str(self.values), "--warmups", str(self.warmups), "--min-time", str(self.min_time)]

    def describe(self):
        return (
            f"each time is the median of {self.rounds * self.values} values: {self.rounds} rounds of one "
            f"fresh process per pair, the pairs in a new order each round, {self.values} values per process "
            f"after {self.warmups} warm-up, each value at least {self.min_time * 1000:g} ms of calls"
        )


MODES = {"full": Mode("full", 6, 3, 1, 0.1), "quick": Mode("quick", 2, 2, 1, 0.05)}


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer rounds and values: rough figures, fast")
    parser.add_argument(
        "--data-dir", help=f"folder of the JSON documents (default: ${cases.DATA_ENV}, else {cases.DEFAULT_DATA_DIR})"
    )
    parser.add_argument("--inputs", help="comma-separated inputs to run (default: all): " + ", ".join(cases.INPUTS))
    parser.add_argument(
        "--encoders", help="comma-separated encoders to run (default: all): " + ", ".join(cases.ENCODERS)
    )
    parser.add_argument(
        "--output-dir", type=pathlib.Path, default=OUTPUT_DIR, help="where the results go (default: %(default)s)"
    )
    args = parser.parse_args(argv)
    args.inputs = _selection(parser, args.inputs, cases.INPUTS, "input")
    args.encoders = _selection(parser, args.encoders, cases.ENCODERS, "encoder")
    if cases.BASELINE not in args.encoders:
        print(f"note: without {cases.BASELINE} the ratio column stays empty", file=sys.stderr)
    return args


def _selection(parser, text, known, what):
    if not text:
        return list(known)
    chosen = [name.strip() for name in text.split(",") if name.strip()]
    for name in chosen:
        if name not in known:
            parser.error(f"unknown {what} {name!r}; known: {', '.join(known)}")
    return [name for name in known if name in chosen]


def probe(encoder, input_name, folder):
    result = subprocess.run(
        [sys.executable, str(HERE / "memory_probe.py"), encoder, input_name, str(folder)],
        capture_output=True,
        text=True,
        check=False,
    )
    if result.returncode != 0:  # a crash, not a refusal: stop rather than print "n/a"
        raise RuntimeError(f"memory probe {input_name}/{encoder} failed:\n{result.stdout}{result.stderr}")
    return json.loads(result.stdout)


def run_worker(encoder, input_name, folder, options):
    """One pyperf worker process timing one pair."""
    command = [
        sys.executable,
        str(HERE / "timing_worker.py"),
        "--worker",
        "--quiet",
        "--encoder",
        encoder,
        "--input",
        input_name,
        "--data-dir",
        str(folder),
        *options,
    ]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"timing {input_name}/{encoder} failed:\n{result.stdout}{result.stderr}")


def calibrate(pair, folder, mode, scratch):
    """The loops per value that make one value of the pair last the mode's least time."""
    output = scratch / "calibration.json"
    output.unlink(missing_ok=True)
    run_worker(*pair, folder, ["--calibrate-loops", "--output", str(output), *mode.worker_options()])
    (run,) = pyperf.Benchmark.load(str(output)).get_runs()
    return run.get_metadata()["calibrate_loops"]


def time_pairs(pairs, folder, mode, scratch):
    """Times every (encoder, input) pair in rounds; returns each pair's pyperf benchmark."""
    loops = {pair: calibrate(pair, folder, mode, scratch) for pair in pairs}
    files = {pair: scratch / f"{index}.json" for index, pair in enumerate(pairs)}
    started = time.monotonic()
    for round_number in range(mode.rounds):
        order = list(pairs)
        random.Random(round_number).shuffle(order)
        for pair in order:
            run_worker(
                *pair, folder, ["--loops", str(loops[pair]), "--append", str(files[pair]), *mode.worker_options()]
            )
        print(
            f"round {round_number + 1} of {mode.rounds} done in {(time.monotonic() - started) / 60:.1f} min", flush=True
        )
    return {pair: pyperf.Benchmark.load(str(files[pair])) for pair in pairs}


def format_time(seconds):
    for unit, scale in (("s", 1.0), ("ms", 1e-3), ("µs", 1e-6)):
        if seconds >= scale:
            return f"{seconds / scale:.3g} {unit}"
    return f"{seconds / 1e-9:.3g} ns"


def format_size(count):
    if count < 10_000:
        return f"{count} B"
    if count < 10_000_000:
        return f"{count / 1024:.1f} KiB"
    return f"{count / 2**20:.2f} MiB"


def format_kib(kib):
    return f"{kib} KiB" if kib < 10_000 else f"{kib / 1024:.1f} MiB"


def table(title, inputs, columns, cell, heading=True):
    """A Markdown table of one row per input under its title, a heading or a
    line of its own; columns are (heading, key) and cell(input, key) gives the text."""
    lines = [f"### {title}" if heading else f"{title}:", ""]
    lines += ["| input | " + " | ".join(heading for heading, _ in columns) + " |", "|---|" + "---:|" * len(columns)]
    for input_name in inputs:
        lines.append(f"| {input_name} | " + " | ".join(cell(input_name, key) for _, key in columns) + " |")
    return [*lines, ""]


def ratio_to_baseline(results, input_name, encoder):
    """The encoder's median time over the baseline's, or None where either is missing."""
    median = results[input_name].get(encoder, {}).get("median")
    base = results[input_name].get(cases.BASELINE, {}).get("median")
    return median / base if median and base else None


def document_encoders(encoders):
    """The encoders of the main tables and the chart: all but the call shapes timed on tiny inputs only."""
    return [encoder for encoder in encoders if encoder not in cases.SHAPE_ONLY]


class Report:
    """The tables of one run, from the probes' and the timings' results."""

    def __init__(self, inputs, encoders, results):
        self.inputs, self.results = inputs, results
        self.encoders = document_encoders(encoders)
        self.tiny_inputs = [name for name in inputs if name in cases.TINY_INPUTS]
        peers = [encoder for encoder in (cases.BASELINE, "msgpack") if encoder in encoders]
        self.shape_columns = [
            (heading, encoder) for heading, encoder in cases.CALL_SHAPES.items() if encoder in encoders
        ] + [(peer, peer) for peer in peers]

    def timing(self, input_name, encoder):
        entry = self.results[input_name][encoder]
        if "median" not in entry:
            return "n/a"
        ratio = ratio_to_baseline(self.results, input_name, encoder)
        return format_time(entry["median"]) + (f" ({ratio:.2f}×)" if ratio else "")

    def size(self, input_name, encoder):
        entry = self.results[input_name][encoder]
        return format_size(entry["size"]) if "size" in entry else "n/a"

    def memory(self, input_name, encoder):
        entry = self.results[input_name][encoder]
        return format_kib(entry["peak_kib"]) if "peak_kib" in entry else "n/a"

    def time_tables(self, heading=True):
        """The main table of times and, for the tiny inputs, the call-shape table."""
        columns = [(encoder, encoder) for encoder in self.encoders]
        lines = table(
            f"Median time per call (ratio to {cases.BASELINE} default; below 1 is faster)",
            self.inputs,
            columns,
            self.timing,
            heading,
        )
        if self.tiny_inputs and len(self.shape_columns) > 1:
            lines += table(
                f"Tiny calls in each call shape (ratio to {cases.BASELINE} default)",
                self.tiny_inputs,
                self.shape_columns,
                self.timing,
                heading,
            )
        return lines

    def other_tables(self):
        columns = [(encoder, encoder) for encoder in self.encoders]
        return table("Output size", self.inputs, columns, self.size) + table(
            "Peak memory of one call", self.inputs, columns, self.memory
        )

    def peak_exact(self):
        return all(entry.get("peak_exact", True) for row in self.results.values() for entry in row.values())


def run_summary(mode, inputs, folder, elapsed, loads):
    """Where and how the run was made, in one paragraph."""
    versions = ", ".join(f"{name} {importlib.metadata.version(name)}" for name in PEERS)
    documents = [name for name in inputs if cases.document_file(name)]
    try:
        source = f"documents from `{pathlib.Path(folder).resolve().relative_to(cases.REPO).as_posix()}`"
    except ValueError:
        source = f"documents from outside the repository (--data-dir or ${cases.DATA_ENV})"
    return (
        f"{datetime.date.today().isoformat()}, {mode.name} run of `make bench`, {len(inputs)} inputs in "
        f"{elapsed / 60:.1f} min, on {os.cpu_count()} cores of {_cpu_name()} ({platform.machine()}), "
        f"Python {platform.python_version()}, {versions}; load average {loads[0]:.2f} at the start and "
        f"{loads[1]:.2f} at the end; {mode.describe()}" + (f"; {source}." if documents else ".")
    )


def markdown_report(report, summary):
    lines = ["## Benchmark results", "", summary, ""]
    lines += report.time_tables() + report.other_tables()
    lines += [
        (
            "Times are pyperf medians of the CPU time per call, over fresh worker processes. "
            '"n/a": the encoder refuses the input (json and orjson take no bytes; orjson nests at most 254 deep).'
        ),
        "",
        "Peak memory: one call in a fresh process, measured as the rise of the process's peak resident set "
        "above its resident size just before the call (peak reset through /proc/self/clear_refs). It counts "
        "the output object and every temporary, from the C heap as well as Python's allocator, and the stack pages "
        "that deep recursion touches, in 4 KiB pages; "
        "memory freed earlier and reused does not show, so small calls read 0 KiB."
        + (
            ""
            if report.peak_exact()
            else " Here the reset was refused: figures are only the rise above the peak of "
            "building the input (a lower bound)."
        ),
        "",
        "Inputs: " + "; ".join(f"{name}: {cases.INPUTS[name][0]}" for name in report.inputs) + ".",
        "",
    ]
    return "\n".join(lines)


def published_tables(report, summary):
    """What make bench-publish puts into bench/README.md: the summary and the two tables of times."""
    return "\n".join([summary, "", *report.time_tables(heading=False)])


def _cpu_name():
    try:
        with open("/proc/cpuinfo") as stream:
            for line in stream:
                if line.startswith("model name"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return platform.processor() or "unknown CPU"


def main(argv=None):
    args = parse_args(argv)
    mode = MODES["quick" if args.quick else "full"]
    folder = cases.data_dir(args.data_dir)
    inputs = []
    for name in args.inputs:
        missing = cases.missing_document(name, folder)
        if missing is not None:
            print(f"skipping {name}: {missing} not found (set {cases.DATA_ENV} or --data-dir)")
        else:
            inputs.append(name)
    args.output_dir.mkdir(parents=True, exist_ok=True)
    outputs = {name: args.output_dir / name for name in ("results.md", "results.svg", "results.json", PUBLISHED_TABLES)}
    for path in outputs.values():  # nothing of an earlier run may pass for this one's
        path.unlink(missing_ok=True)

    started, load_at_start = time.monotonic(), os.getloadavg()[0]
    results = {name: {} for name in inputs}
    pairs = []
    for input_name in inputs:
        for encoder in args.encoders:
            if not cases.crosses(encoder, input_name):
                continue
            entry = probe(encoder, input_name, folder)
            results[input_name][encoder] = entry
            if "error" in entry:
                print(f"{input_name:14} {encoder:34} n/a  ({entry['error']})", flush=True)
            else:
                pairs.append((encoder, input_name))
    print(f"timing {len(pairs)} pairs in {mode.rounds} rounds", flush=True)
    with tempfile.TemporaryDirectory(prefix="veldspray-bench-") as scratch:
        benchmarks = time_pairs(pairs, folder, mode, pathlib.Path(scratch))
    for (encoder, input_name), benchmark in benchmarks.items():
        entry = results[input_name][encoder]
        entry["median"] = benchmark.median()
        print(
            f"{input_name:14} {encoder:34} {format_time(entry['median']):>10}  "
            f"{format_size(entry['size']):>11}  peak {format_kib(entry['peak_kib'])}"
        )

    report = Report(inputs, args.encoders, results)
    summary = run_summary(mode, inputs, folder, time.monotonic() - started, (load_at_start, os.getloadavg()[0]))
    markdown = markdown_report(report, summary)
    print()
    print(markdown)
    outputs["results.md"].write_text(markdown)
    ratios = {
        input_name: {
            encoder: ratio
            for encoder in report.encoders
            if (ratio := ratio_to_baseline(results, input_name, encoder)) is not None
        }
        for input_name in inputs
    }
    outputs["results.svg"].write_text(
        chart.svg_chart(
            f"Time per call relative to {cases.BASELINE} (log scale; left of 1 is faster)",
            inputs,
            report.encoders,
            ratios,
        )
    )
    written = [outputs["results.md"], outputs["results.svg"]]
    if benchmarks:
        pyperf.BenchmarkSuite(list(benchmarks.values())).dump(str(outputs["results.json"]))
        written.append(outputs["results.json"])
    if mode.name == "full" and inputs == list(cases.INPUTS) and args.encoders == list(cases.ENCODERS):
        outputs[PUBLISHED_TABLES].write_text(published_tables(report, summary))
        written.append(outputs[PUBLISHED_TABLES])
    print("written: " + ", ".join(os.path.relpath(path) for path in written))


if __name__ == "__main__":
    main()
