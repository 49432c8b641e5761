"""Times veldspray_cbor.dumps against the encoders users would pick instead (make bench).

Each pair of encoder and input is a pyperf benchmark, timed by fresh worker
processes of this script in pyperf's worker mode (--quick: rough figures;
pyperf's options pass through). After a calibration of its loops, each pair
gets one worker per round, for as many rounds as pyperf's --processes: a
round takes the inputs in turn and an input's encoders one after another, so
that those compared in one row are timed within seconds of each other, and
it rotates both orders, so that no pair always runs first or last. A value
is the CPU time of the calls, so that waiting for a core on a shared machine
is not counted against the encoder that happens to run.
Writes to build/bench pyperf's JSON (results.json, for `python -m pyperf
compare_to OLD NEW`), the tables (results.md) and, after a full run, the
tables that make bench-publish copies (published.md).
"""

import datetime
import functools
import importlib.metadata
import itertools
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

import pyperf

import cases

OUTPUT = cases.REPO / "build" / "bench"
MODES = {
    "full": dict(processes=6, values=3, warmups=1, min_time=0.05),
    "quick": dict(processes=2, values=2, warmups=1, min_time=0.02),
}
PEER_PACKAGES = ("cbor2", "msgpack", "msgspec", "orjson")
TIMED = cases.ENCODERS | cases.SHAPE_ONLY | cases.NO_CALL


@functools.cache
def prepared(encoder, input_name, folder):
    """The encoder's loop of calls, compiled as timeit does, and the input."""
    setup, statement = TIMED[encoder]
    scope = {"repeat": itertools.repeat, "thread_time": time.thread_time}
    exec(
        f"def time_calls(loops, value):\n    {setup}\n    start = thread_time()\n"
        f"    for _ in repeat(None, loops):\n        {statement}\n    return thread_time() - start\n",
        scope,
    )
    value = cases.build_input(input_name, folder)
    for other_setup, _ in TIMED.values():  # every worker holds every encoder, so that only the calls differ
        exec(other_setup, {})
    # Building the input is not the calls' cost: reset the peak resident set
    # to the present one (Linux), so that pyperf's mem_max_rss is the calls'.
    with open("/proc/self/clear_refs", "w") as stream:
        stream.write("5")
    return scope["time_calls"], value


def time_pair(loops, encoder, input_name, folder):
    time_calls, value = prepared(encoder, input_name, folder)
    return time_calls(loops, value)


def output_size(encoder, value):
    """The length of the encoder's output, or None where it refuses the value."""
    scope = {"value": value}
    exec(TIMED[encoder][0], scope)
    try:
        output = eval(TIMED[encoder][1], scope)
    except (TypeError, ValueError, RecursionError):
        return None
    return len(output.encode() if isinstance(output, str) else output)  # json's text is ASCII


def format_time(seconds):
    units = (("s", 1), ("ms", 1e-3), ("µs", 1e-6), ("ns", 1e-9))
    unit, scale = next((unit, scale) for unit, scale in units if seconds >= scale or unit == "ns")
    return f"{seconds / scale:.3g} {unit}"


def table(title, rows, columns, cell):
    """A Markdown table of one row per input; columns map headings to
    encoders, and cell(input, encoder) is the text, None for n/a."""
    lines = [f"{title}:", "", "| input | " + " | ".join(columns) + " |", "|---|" + "---:|" * len(columns)]
    lines += [f"| {row} | " + " | ".join(cell(row, name) or "n/a" for name in columns.values()) + " |" for row in rows]
    return [*lines, ""]


def report(results, summary):
    """The tables of a run; results[input][encoder] holds the pair's time, peak and size."""

    def figure(key, form):
        return lambda row, name: form(results[row][name][key]) if key in results[row].get(name, {}) else None

    def over_dumps(row, name):
        times = [results[row].get(encoder, {}).get("time") for encoder in ("veldspray definite", name)]
        return f"{times[0] / times[1]:.2f}×" if all(times) else None

    def memory(row, name):
        floor, peak = (results[row].get(encoder, {}).get("peak", 0) / 2**20 for encoder in ("no call", name))
        return f"{floor:.1f}" if name == "no call" else f"+{max(peak - floor, 0):.1f}" if peak else None

    main, timing, rows = {name: name for name in cases.ENCODERS}, figure("time", format_time), cases.INPUTS
    peers = {name: name for name in main if not name.startswith("veldspray")}
    with_floor = {"no call": "no call"} | main
    parts = [
        ("Median time per call", rows, main, timing),
        ("Time of `dumps(v, indefinite=False)` over each encoder's (below 1: faster)", rows, peers, over_dumps),
        ("Tiny calls in each way of writing the call", cases.TINY_INPUTS, cases.CALL_SHAPES, timing),
        ("Output size, bytes", rows, main, figure("size", "{:,}".format)),
        ("Peak memory, MiB: a worker that makes no call, and what the calls add", rows, with_floor, memory),
    ]
    return "\n".join([summary, "", *(line for part in parts for line in table(*part))])


def rotated(items, by):
    return items[by % len(items) :] + items[: by % len(items)]


def spawn(task, args, *options):
    """One worker process of this script, timing the task-th pair."""
    command = [sys.executable, __file__, "--worker", f"--worker-task={task}", f"--data-dir={args.data_dir}"]
    command += [f"--values={args.values}", f"--min-time={args.min_time}", f"--warmups={args.warmups}", *options]
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL)


def calibrated_loops(task, args, scratch):
    """The loops per value that pyperf's calibration gives the task-th pair."""
    calibration = scratch / f"calibration-{task}.json"
    spawn(task, args, "--calibrate-loops", f"--output={calibration}")
    return pyperf.Benchmark.load(str(calibration)).get_runs()[0].get_metadata()["calibrate_loops"]


def time_in_rounds(rows, args, scratch):
    """Each pair's benchmark; rows maps each input to its encoders, and the pairs in that order are the tasks."""
    pairs = [(input_name, encoder) for input_name, encoders in rows.items() for encoder in encoders]
    loops = {pair: args.loops or calibrated_loops(task, args, scratch) for task, pair in enumerate(pairs)}
    for round_number in range(args.processes):
        for input_name in rotated(list(rows), round_number):
            for encoder in rotated(rows[input_name], round_number):
                task = pairs.index((input_name, encoder))
                spawn(task, args, f"--loops={loops[input_name, encoder]}", f"--append={scratch / f'{task}.json'}")
        print(f"round {round_number + 1} of {args.processes} done", flush=True)
    return {pair: pyperf.Benchmark.load(str(scratch / f"{task}.json")) for task, pair in enumerate(pairs)}


def summary(mode, args, minutes, loads):
    versions = ", ".join(f"{name} {importlib.metadata.version(name)}" for name in PEER_PACKAGES)
    return (
        f"{datetime.date.today().isoformat()}, {mode} run of `make bench` in {minutes:.0f} min, on {cases.machine()}, "
        f"Python {platform.python_version()}, {versions}; dumps as make install builds it, with {cases.allocator()}; "
        f"load average {loads[0]:.2f} at the start and {loads[1]:.2f} "
        f"at the end. A time is the median of {args.processes * args.values} values: {args.processes} rounds after "
        f"pyperf's calibration, each a worker process per pair, an input's encoders one after another, in orders "
        f"rotated each round; a worker gives {args.values} values after {args.warmups} warm-up, a value at least "
        f"{args.min_time * 1000:g} ms of calls."
    )


def main():
    mode = "quick" if "--quick" in sys.argv else "full"
    sys.argv = [argument for argument in sys.argv if argument != "--quick"]
    runner = pyperf.Runner(**MODES[mode])
    runner.argparser.add_argument("--data-dir", help=f"the documents (default: ${cases.DATA_ENV} or examples/data)")
    args = runner.parse_args()
    args.data_dir = str(cases.data_dir(args.data_dir))  # the workers get no environment variables
    rows = {
        input_name: [
            encoder
            for encoder in TIMED
            if (encoder, input_name) not in cases.REFUSED
            and (encoder not in cases.SHAPE_ONLY or input_name in cases.TINY_INPUTS)
        ]
        for input_name in cases.INPUTS
    }
    if args.worker:  # pyperf runs the benchmark of its --worker-task alone
        for input_name, encoders in rows.items():
            for encoder in encoders:
                runner.bench_time_func(f"{input_name}/{encoder}", time_pair, encoder, input_name, args.data_dir)
        return
    started, load_at_start = time.monotonic(), os.getloadavg()[0]
    results = {name: {} for name in cases.INPUTS}
    with tempfile.TemporaryDirectory() as scratch:
        benchmarks = time_in_rounds(rows, args, pathlib.Path(scratch))
    for (input_name, encoder), benchmark in benchmarks.items():
        peak = max(run.get_metadata()["mem_max_rss"] for run in benchmark.get_runs())
        results[input_name][encoder] = {"time": benchmark.median(), "peak": peak}
    for input_name in cases.INPUTS:  # built only now, so that no worker inherits its pages
        value = cases.build_input(input_name, args.data_dir)
        for encoder in cases.ENCODERS:
            size = output_size(encoder, value)
            if (size is None) != ((encoder, input_name) in cases.REFUSED):
                sys.exit(f"{encoder} on {input_name}: cases.REFUSED says the opposite")
            results[input_name].get(encoder, {})["size"] = size
    OUTPUT.mkdir(parents=True, exist_ok=True)
    pyperf.BenchmarkSuite(list(benchmarks.values())).dump(str(OUTPUT / "results.json"), replace=True)
    minutes = (time.monotonic() - started) / 60
    tables = report(results, summary(mode, args, minutes, (load_at_start, os.getloadavg()[0])))
    print(tables)
    published = OUTPUT / "published.md"
    published.unlink(missing_ok=True)  # a quick run is never published
    for path in [OUTPUT / "results.md"] + ([published] if mode == "full" else []):
        path.write_text(tables + "\n")


if __name__ == "__main__":
    main()
