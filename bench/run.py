"""Compares veldspray_cbor.dumps with the encoders users would pick instead.

    make bench                         full run (about 10 minutes on 2 cores)
    make bench BENCH_ARGS=--quick      rough figures in about 2 minutes
    .venv/bin/python bench/run.py --help

For every input and encoder it first runs a memory probe (a fresh process,
one call: output size, peak memory, or "n/a" when the encoder refuses the
input), then times the pair with pyperf in fresh worker processes. It prints
Markdown tables and writes them to bench/results.md, draws the time ratios as
bench/results.svg (the chart the README shows), and writes the raw pyperf data
to bench/results.json, for `python -m pyperf compare_to OLD NEW`.

The JSON documents are read from ../shared/bench-data beside the repository,
or from $VELDSPRAY_BENCH_DATA, or from --data-dir; missing ones are skipped.
"""

import argparse
import datetime
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import pyperf

import cases
import chart

HERE = pathlib.Path(__file__).resolve().parent

# pyperf settings: workers (fresh processes), timed values per worker, and the
# least time one value takes (loops are calibrated to reach it).
MODES = {
    "full": ["--processes", "5", "--values", "3", "--warmups", "1", "--min-time", "0.1"],
    "quick": ["--processes", "2", "--values", "2", "--warmups", "1", "--min-time", "0.05"],
}


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="fewer workers and values: rough figures, fast")
    parser.add_argument("--data-dir", help=f"folder of the JSON documents (default: ${cases.DATA_ENV}, "
                                           f"else {cases.DEFAULT_DATA_DIR})")
    parser.add_argument("--inputs", help="comma-separated inputs to run (default: all): "
                                         + ", ".join(cases.INPUTS))
    parser.add_argument("--encoders", help="comma-separated encoders to run (default: all): "
                                           + ", ".join(cases.ENCODERS))
    parser.add_argument("--markdown", type=pathlib.Path, default=HERE / "results.md",
                        help="where the tables go (default: %(default)s)")
    parser.add_argument("--chart", type=pathlib.Path, default=HERE / "results.svg",
                        help="where the chart of the time ratios goes (default: %(default)s)")
    parser.add_argument("--json", type=pathlib.Path, default=HERE / "results.json",
                        help="where the pyperf suite goes (default: %(default)s)")
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
    result = subprocess.run([sys.executable, str(HERE / "memory_probe.py"), encoder, input_name, str(folder)],
                            capture_output=True, text=True, check=False)
    if result.returncode != 0:  # a crash, not a refusal: stop rather than print "n/a"
        raise RuntimeError(f"memory probe {input_name}/{encoder} failed:\n{result.stdout}{result.stderr}")
    return json.loads(result.stdout)


def time_pair(encoder, input_name, folder, mode, scratch):
    output = scratch / f"{len(list(scratch.iterdir()))}.json"
    command = [sys.executable, str(HERE / "timing_worker.py"), "--encoder", encoder, "--input", input_name,
               "--data-dir", str(folder), "--quiet", "--output", str(output)] + MODES[mode]
    result = subprocess.run(command, capture_output=True, text=True, check=False)
    if result.returncode != 0:
        raise RuntimeError(f"timing {input_name}/{encoder} failed:\n{result.stdout}{result.stderr}")
    return pyperf.Benchmark.load(str(output))


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


def table(title, inputs, encoders, cell):
    lines = [f"### {title}", "", "| input | " + " | ".join(encoders) + " |",
             "|---|" + "---:|" * len(encoders)]
    for input_name in inputs:
        lines.append(f"| {input_name} | " + " | ".join(cell(input_name, e) for e in encoders) + " |")
    return [*lines, ""]


def ratio_to_baseline(results, input_name, encoder):
    """The encoder's median time over the baseline's, or None where either is missing."""
    median = results[input_name][encoder].get("median")
    base = results[input_name].get(cases.BASELINE, {}).get("median")
    return median / base if median and base else None


def document_encoders(encoders):
    """The encoders of the main tables and the chart: all but the call shapes."""
    return [encoder for encoder in encoders if encoder not in cases.CALL_SHAPES]


def report(args, inputs, results, mode, folder, elapsed):
    encoders = document_encoders(args.encoders)
    shapes = [encoder for encoder in args.encoders if encoder in cases.CALL_SHAPES]
    tiny_inputs = [name for name in inputs if name in cases.TINY_INPUTS]
    shape_peers = [encoder for encoder in (cases.BASELINE, "msgpack") if encoder in args.encoders]

    def timing(input_name, encoder):
        entry = results[input_name][encoder]
        if "median" not in entry:
            return "n/a"
        ratio = ratio_to_baseline(results, input_name, encoder)
        return format_time(entry["median"]) + (f" ({ratio:.2f}×)" if ratio else "")

    def size(input_name, encoder):
        entry = results[input_name][encoder]
        return format_size(entry["size"]) if "size" in entry else "n/a"

    def memory(input_name, encoder):
        entry = results[input_name][encoder]
        return format_kib(entry["peak_kib"]) if "peak_kib" in entry else "n/a"

    exact = all(e.get("peak_exact", True) for row in results.values() for e in row.values())
    lines = [
        "## Benchmark results",
        "",
        (
            f"{datetime.date.today().isoformat()}, {mode} mode, Python {platform.python_version()}, "
            f"{platform.machine()}, {_cpu_name()}, {len(inputs)} inputs in {elapsed / 60:.1f} min."
        ),
        "Produced by `make bench` (bench/run.py)"
        + (f"; documents from `{os.path.relpath(folder, cases.REPO)}`." if any(cases.document_file(n) for n in inputs) else "."),
        "",
    ]
    lines += table(f"Median time per call (ratio to {cases.BASELINE} default; below 1 is faster)",
                   inputs, encoders, timing)
    if shapes and tiny_inputs:
        lines += table(f"Tiny calls in each call shape (ratio to {cases.BASELINE} default)",
                       tiny_inputs, shapes + shape_peers, timing)
    lines += table("Output size", inputs, encoders, size)
    lines += table("Peak memory of one call", inputs, encoders, memory)
    lines += [
        (
            "Times are pyperf medians over fresh worker processes. "
            "\"n/a\": the encoder refuses the input (json and orjson take no bytes; orjson nests at most 254 deep)."
        ),
        "",
        "Peak memory: one call in a fresh process, measured as the rise of the process's peak resident set "
        "above its resident size just before the call (peak reset through /proc/self/clear_refs). It counts "
        "the output object and every temporary, from the C heap as well as Python's allocator, and the stack pages "
        "that deep recursion touches, in 4 KiB pages; "
        "memory freed earlier and reused does not show, so small calls read 0 KiB."
        + ("" if exact else " Here the reset was refused: figures are only the rise above the peak of "
                            "building the input (a lower bound)."),
        "",
        "Inputs: " + "; ".join(f"{name}: {cases.INPUTS[name][0]}" for name in inputs) + ".",
        "",
    ]
    return "\n".join(lines)


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
    mode = "quick" if args.quick else "full"
    folder = cases.data_dir(args.data_dir)
    inputs = []
    for name in args.inputs:
        missing = cases.missing_document(name, folder)
        if missing is not None:
            print(f"skipping {name}: {missing} not found (set {cases.DATA_ENV} or --data-dir)")
        else:
            inputs.append(name)

    started = time.monotonic()
    results = {name: {} for name in inputs}
    suite = []
    with tempfile.TemporaryDirectory(prefix="veldspray-bench-") as scratch_name:
        scratch = pathlib.Path(scratch_name)
        for input_name in inputs:
            for encoder in args.encoders:
                if not cases.crosses(encoder, input_name):
                    continue
                entry = probe(encoder, input_name, folder)
                results[input_name][encoder] = entry
                if "error" in entry:
                    print(f"{input_name:14} {encoder:38} n/a  ({entry['error']})", flush=True)
                    continue
                benchmark = time_pair(encoder, input_name, folder, mode, scratch)
                suite.append(benchmark)
                entry["median"] = benchmark.median()
                print(f"{input_name:14} {encoder:38} {format_time(entry['median']):>10}  "
                      f"{format_size(entry['size']):>11}  peak {format_kib(entry['peak_kib'])}", flush=True)

    markdown = report(args, inputs, results, mode, folder, time.monotonic() - started)
    print()
    print(markdown)
    args.markdown.write_text(markdown)
    charted = document_encoders(args.encoders)
    ratios = {input_name: {encoder: ratio for encoder in charted
                           if (ratio := ratio_to_baseline(results, input_name, encoder)) is not None}
              for input_name in inputs}
    args.chart.write_text(chart.svg_chart(f"Time per call relative to {cases.BASELINE} (log scale; left of 1 is faster)",
                                          inputs, charted, ratios))
    if suite:
        if args.json.exists():
            args.json.unlink()
        pyperf.BenchmarkSuite(suite).dump(str(args.json))
    print(f"written: {args.markdown}, {args.chart}" + (f", {args.json}" if suite else ""))


if __name__ == "__main__":
    main()
