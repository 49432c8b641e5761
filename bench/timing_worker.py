"""Times one encoder on one input with pyperf.

    python bench/timing_worker.py --encoder NAME --input NAME --data-dir DIR [pyperf options]

run.py starts it as a pyperf worker (--worker), once per pair and round, so
that each process builds only its own input. Run alone, pyperf re-runs it in
worker processes of its own, and the callback below hands the pair to them.

A value is the CPU time that this thread spends in the calls
(time.thread_time), not the wall-clock time: on a machine shared with other
work, the time that the process waits for a core is then not counted
against the encoder it happens to be running.
"""

import itertools
import time

import pyperf

import cases


def pass_pair(command, args):
    command.extend(("--encoder", args.encoder, "--input", args.input, "--data-dir", args.data_dir))


def calls_timer(setup, statement):
    """A function of (loops, value) that runs the statement loops times and
    returns the thread's CPU time for them; the setup binds the encoder to a
    local name, as timeit does."""
    source = (
        f"def time_calls(loops, value):\n"
        f"    {setup}\n"
        f"    calls = repeat(None, loops)\n"
        f"    start = thread_time()\n"
        f"    for _ in calls:\n"
        f"        {statement}\n"
        f"    return thread_time() - start\n"
    )
    scope = {"repeat": itertools.repeat, "thread_time": time.thread_time}
    exec(source, scope)
    return scope["time_calls"]


def main():
    runner = pyperf.Runner(add_cmdline_args=pass_pair)
    runner.argparser.add_argument("--encoder", required=True, choices=sorted(cases.ENCODERS))
    runner.argparser.add_argument("--input", required=True, choices=sorted(cases.INPUTS))
    runner.argparser.add_argument("--data-dir", required=True)
    args = runner.parse_args()

    setup, statement = cases.ENCODERS[args.encoder]
    value = cases.build_input(args.input, args.data_dir)
    runner.metadata["description"] = cases.INPUTS[args.input][0]
    runner.bench_time_func(f"{args.input}/{args.encoder}", calls_timer(setup, statement), value)


if __name__ == "__main__":
    main()
