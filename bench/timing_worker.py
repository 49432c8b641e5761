"""Times one encoder on one input with pyperf.

    python bench/timing_worker.py --encoder NAME --input NAME --data-dir DIR [pyperf options]

run.py starts it as a pyperf worker (--worker), once per pair and round, so
that each process builds only its own input. Run alone, pyperf re-runs it in
worker processes of its own, and the callback below hands the pair to them.
"""

import pyperf

import cases


def pass_pair(command, args):
    command.extend(("--encoder", args.encoder, "--input", args.input, "--data-dir", args.data_dir))


def main():
    runner = pyperf.Runner(add_cmdline_args=pass_pair)
    runner.argparser.add_argument("--encoder", required=True, choices=sorted(cases.ENCODERS))
    runner.argparser.add_argument("--input", required=True, choices=sorted(cases.INPUTS))
    runner.argparser.add_argument("--data-dir", required=True)
    args = runner.parse_args()

    setup, statement = cases.ENCODERS[args.encoder]
    value = cases.build_input(args.input, args.data_dir)
    runner.metadata["description"] = cases.INPUTS[args.input][0]
    runner.timeit(f"{args.input}/{args.encoder}", stmt=statement,
                  setup=f"{setup}\nvalue = __value", globals={"__value": value})


if __name__ == "__main__":
    main()
