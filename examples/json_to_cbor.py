"""Convert a JSON document to CBOR with veldspray_cbor and report the result.

    python examples/json_to_cbor.py [DOCUMENT] [--definite] [--max-depth N] [--output FILE]

Without DOCUMENT it converts the sample shipped beside this script; "-" reads
standard input. "--output -" writes the CBOR to standard output instead of the
report, so that the converter works in a pipe:

    curl -s URL | python examples/json_to_cbor.py - --output - > document.cbor

Any failure is one line on standard error, and the exit status is 1.
"""

import argparse
import json
import os
import pathlib
import sys

import veldspray_cbor

SAMPLE = pathlib.Path(__file__).parent / "data" / "twitter.json"
SHOWN_BYTES = 32
STANDARD_STREAM = "-"
LARGEST_DEPTH = 2**64 - 1


def depth_limit(text):
    """A --max-depth that dumps takes: a whole number from 0 to 2**64 - 1."""
    try:
        depth = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= depth <= LARGEST_DEPTH:
        raise argparse.ArgumentTypeError(f"must be between 0 and {LARGEST_DEPTH}: {depth}")
    return depth


def display_name(path, stream):
    return stream if path == STANDARD_STREAM else path


class ConversionError(Exception):
    """One line that says what went wrong, naming the file it concerns."""


def read_json(document):
    name = display_name(document, "<stdin>")
    try:
        if document == STANDARD_STREAM:
            text = sys.stdin.buffer.read()
        else:
            text = pathlib.Path(document).read_bytes()
    except OSError as error:
        raise ConversionError(f"{name}: cannot read: {error.strerror}") from None
    try:
        return text, json.loads(text.decode("utf-8-sig"))
    except UnicodeDecodeError as error:
        raise ConversionError(f"{name}: not UTF-8: byte 0x{text[error.start]:02x} at offset {error.start}") from None
    except json.JSONDecodeError as error:
        raise ConversionError(f"{name}:{error.lineno}:{error.colno}: invalid JSON: {error.msg}") from None
    except RecursionError:
        raise ConversionError(f"{name}: JSON nested too deeply for Python's json module") from None


def write_cbor(output, encoded):
    try:
        if output == STANDARD_STREAM:
            sys.stdout.buffer.write(encoded)
            sys.stdout.flush()
        else:
            pathlib.Path(output).write_bytes(encoded)
    except BrokenPipeError:
        raise
    except OSError as error:
        raise ConversionError(f"{display_name(output, '<stdout>')}: cannot write: {error.strerror}") from None


def convert(args):
    text, value = read_json(args.document)
    try:
        encoded = veldspray_cbor.dumps(value, indefinite=not args.definite, max_depth=args.max_depth)
    except (RuntimeError, RecursionError, MemoryError) as error:
        raise ConversionError(f"{display_name(args.document, '<stdin>')}: cannot encode: {error}") from None
    if args.output:
        write_cbor(args.output, encoded)
    if args.output == STANDARD_STREAM:
        return

    lengths = "definite" if args.definite else "indefinite"
    depth = args.max_depth or "unlimited"
    print(f"document:   {args.document}")
    print(f"options:    {lengths} lengths, max depth {depth}")
    print(f"JSON size:  {len(text):>10,} bytes")
    print(f"CBOR size:  {len(encoded):>10,} bytes ({len(encoded) / len(text):.1%} of the JSON)")
    print(f"first {min(SHOWN_BYTES, len(encoded))} bytes: {encoded[:SHOWN_BYTES].hex(' ')}")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Convert a JSON document to CBOR.")
    parser.add_argument(
        "document",
        nargs="?",
        default=str(SAMPLE),
        help="the JSON file to convert, - for standard input (default: the shipped sample)",
    )
    parser.add_argument(
        "--definite", action="store_true", help="write arrays and maps with their counts instead of indefinite lengths"
    )
    parser.add_argument(
        "--max-depth",
        type=depth_limit,
        default=0,
        metavar="N",
        help="refuse nesting deeper than N levels (0: no limit)",
    )
    parser.add_argument(
        "--output",
        metavar="FILE",
        help="also write the CBOR to FILE; - writes it to standard output instead of the report",
    )
    args = parser.parse_args(argv)
    try:
        convert(args)
    except ConversionError as error:
        print(f"json_to_cbor: {error}", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader of the output has gone (as with "| head"): stop quietly,
        # with nothing left for the interpreter to flush at exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
