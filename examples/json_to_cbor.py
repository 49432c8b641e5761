"""Convert a JSON document to CBOR with veldspray_cbor and report the result.

    python examples/json_to_cbor.py [DOCUMENT] [--definite] [--max-depth N]

Without DOCUMENT it converts the sample shipped beside this script.
"""

import argparse
import json
import pathlib
import sys

import veldspray_cbor

SAMPLE = pathlib.Path(__file__).parent / "data" / "twitter.json"
SHOWN_BYTES = 32


def main(argv=None):
    parser = argparse.ArgumentParser(description="Convert a JSON document to CBOR.")
    parser.add_argument("document", nargs="?", type=pathlib.Path, default=SAMPLE,
                        help="the JSON file to convert (default: the shipped sample)")
    parser.add_argument("--definite", action="store_true",
                        help="write arrays and maps with their counts instead of indefinite lengths")
    parser.add_argument("--max-depth", type=int, default=0, metavar="N",
                        help="refuse nesting deeper than N levels (0: no limit)")
    parser.add_argument("--output", type=pathlib.Path, help="also write the CBOR to this file")
    args = parser.parse_args(argv)

    text = args.document.read_bytes()
    value = json.loads(text)
    try:
        encoded = veldspray_cbor.dumps(value, indefinite=not args.definite, max_depth=args.max_depth)
    except RuntimeError as error:
        print(f"{args.document}: {error}", file=sys.stderr)
        return 1
    if args.output:
        args.output.write_bytes(encoded)

    lengths = "definite" if args.definite else "indefinite"
    depth = args.max_depth or "unlimited"
    print(f"document:   {args.document}")
    print(f"options:    {lengths} lengths, max depth {depth}")
    print(f"JSON size:  {len(text):>10,} bytes")
    print(f"CBOR size:  {len(encoded):>10,} bytes ({len(encoded) / len(text):.1%} of the JSON)")
    print(f"first {min(SHOWN_BYTES, len(encoded))} bytes: {encoded[:SHOWN_BYTES].hex(' ')}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
