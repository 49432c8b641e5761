"""Has decoders in other languages read what dumps writes, and tables the results.

    make interop            install and build the readers, then run this
    make interop-publish    the last run's tables into interop/README.md (--publish)

Writes about 3,000 values with dumps in both length modes, one item per line
in hex (build/interop/items-MODE.hex), and has each reader of interop/readers
print what it decoded, one line per item, in a shared rendering:

    N T F                     null, true, false
    -5                        an integer, in decimal
    f3ff8000000000000 fnan    a float: its IEEE double bits in hex; any NaN
    h0102  s6162              a byte string, a text string (its UTF-8), in hex
    [a,b]  {k:v,k:v}          an array, a map, entries in the order read
                              (sorted, where the reader's maps have no order)
    !reason                   the reader refused the item

A reading equal to the value's own rendering is exact; the tables count the
others and show the smallest item of each outcome, which the page's prose
explains. Two corrupted items end each file: a reader that accepts either, or
that fails, fails the run.
"""

import argparse
import datetime
import importlib.metadata
import json
import math
import os
import pathlib
import random
import struct
import subprocess
import sys

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "interop"
TABLES = BUILD / "tables.md"
PAGE = REPO / "interop" / "README.md"
START, END = "<!-- interop tables: written by make interop-publish -->", "<!-- end of interop tables -->"
READERS_DIR = REPO / "interop" / "readers"
JACKSON = "/usr/share/java/jackson-core.jar:/usr/share/java/jackson-dataformat-cbor.jar"
# Each reader's command (None: cbor2, in this process) and the Debian packages that bring it.
READERS = {
    "libcbor": ([BUILD / "read_libcbor"], ["libcbor-dev"]),
    "fxamacker/cbor": ([BUILD / "read_fxamacker"], ["golang-github-fxamacker-cbor-dev"]),
    "serde_cbor": ([BUILD / "rust" / "release" / "read_serde_cbor"], ["librust-serde-cbor-dev"]),
    "Jackson": (
        ["java", "-cp", JACKSON, READERS_DIR / "ReadJackson.java"],
        ["libjackson2-dataformat-cbor", "libjackson2-core-java"],
    ),
    "node-cbor": (["node", READERS_DIR / "read_node_cbor.js"], ["node-cbor"]),
    "CBOR::XS": (["perl", READERS_DIR / "read_cbor_xs.pl"], ["libcbor-xs-perl"]),
    "cbor gem": (["ruby", READERS_DIR / "read_cbor_gem.rb"], ["ruby-cbor"]),
    "cbor2": (None, []),
}
RUNTIMES = {
    "Java": "java --version",
    "Node.js": "node --version",
    "Perl": "perl -e print$^V",
    "Ruby": "ruby -e print(RUBY_VERSION)",
}
FLOATS = [0.0, -0.0, 1.0, -1.5, 65504.0, 65505.0, 2.0**-14, 2.0**-24, 2.0**-25, 100000.0, 3.4028234663852886e38,
          1.401298464324817e-45, 16777217.0, 0.1, 1e300, 5e-324, 2.0**64, math.inf, -math.inf, math.nan]  # fmt: skip
HEADS = [0, 23, 24, 255, 256, 65535, 65536, 2**31, 2**32, 2**53, 2**63, 2**64 - 1]
INTEGERS = sorted(
    {s * n for h in HEADS for n in (h - 1, h, h + 1) for s in (1, -1) if 0 <= n < 2**64 and s * n >= -(2**63)}
)
LENGTHS = [0, 1, 23, 24, 255, 256, 65535, 65536]
DEPTHS = [2, 32, 33, 127, 128, 129, 400, 401, 512, 513, 1000]
KEYS = [0, -1, 2**63, 1.5, -0.0, math.nan, "", "a", "2", "é", b"", b"a", True, None, (), (1, "a")]


def nested(depth, wrap):
    value = 0
    for _ in range(depth):
        value = wrap(value)
    return value


def edge_values():
    values = [None, True, False, [], {}, [[]], {"": {}}, *INTEGERS, *FLOATS]
    values += [v for n in LENGTHS for v in ("a" * n, "é" * n, "\U0001f600" * n, b"\xff" * n)]
    values += [{key: 1} for key in KEYS] + [dict.fromkeys(KEYS, 1), {"b": 1, "a": 2, "1": 3, "0": 4}, {"a": 1, b"a": 2}]
    return values + [nested(depth, wrap) for depth in DEPTHS for wrap in (lambda v: [v], lambda v: {"k": v})]


def random_tree(rng, depth):
    """A seeded random tree of every kind of value, map keys of every kind included."""
    if depth == 0 or rng.random() < 0.45:
        scalars = [None, True, rng.choice(INTEGERS), rng.randint(-(2**63), 2**64 - 1) >> rng.randrange(64),
                   rng.choice(FLOATS), struct.unpack("<d", rng.randbytes(8))[0], rng.randbytes(rng.randrange(30)),
                   "".join(rng.choices("ab09_-é€\U0001f600\u2028 ", k=rng.randrange(30)))]  # fmt: skip
        return rng.choice(scalars)
    size = rng.randrange(6)
    if rng.random() < 0.5:
        return [random_tree(rng, depth - 1) for _ in range(size)]
    return {
        random_tree(rng, 0) if rng.random() < 0.5 else rng.choice("abc"): random_tree(rng, depth - 1)
        for _ in range(size)
    }


def corpus(data_dir):
    """(group, values): the RFC 8949 examples that are plain values, the JSON documents, edge values, random trees."""
    import cbor2

    from veldspray_cbor import dumps

    plain = []  # no tags, no other simple values, no bignums
    for entry in json.loads((REPO / "tests/vectors/appendix_a.json").read_text()):
        try:
            value = cbor2.loads(bytes.fromhex(entry["hex"]))
            dumps(value), render(value)
        except (cbor2.CBORDecodeError, TypeError, RuntimeError):
            continue
        plain.append(value)
    rng = random.Random(2026)
    return {
        "appendix A": plain,
        "documents": [json.loads(path.read_bytes()) for path in sorted(pathlib.Path(data_dir).glob("*.json"))],
        "edge values": edge_values(),
        "generated": [random_tree(rng, rng.choice([1, 2, 3, 4, 6, 8])) for _ in range(2700)],
    }


def render(value):
    if value is None or value is True or value is False:
        return {None: "N", True: "T", False: "F"}[value]
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return "fnan" if math.isnan(value) else "f" + struct.pack(">d", value).hex()
    if isinstance(value, bytes):
        return "h" + value.hex()
    if isinstance(value, str):
        return "s" + value.encode().hex()
    if isinstance(value, dict):
        return "{" + ",".join(f"{render(key)}:{render(item)}" for key, item in value.items()) + "}"
    if isinstance(value, (list, tuple)):
        return "[" + ",".join(map(render, value)) + "]"
    raise TypeError(type(value).__name__)


def read(name, items_file, items):
    command, _ = READERS[name]
    if command is None:
        import cbor2

        readings = []
        for item in items:
            try:
                readings.append(render(cbor2.loads(bytes.fromhex(item))))
            except Exception as error:  # every refusal is a result
                readings.append("!" + str(error).replace("\n", " "))
        return readings
    env = dict(os.environ, NODE_PATH="/usr/share/nodejs")
    with open(items_file, "rb") as stream:
        run = subprocess.run(list(map(str, command)), stdin=stream, capture_output=True, env=env, check=False)
    readings = run.stdout.decode(errors="replace").splitlines()
    if run.returncode != 0 or len(readings) != len(items):
        sys.exit(
            f"interop: {name} exited with {run.returncode}, {len(readings)} lines for {len(items)} items:\n"
            + run.stderr.decode(errors="replace")[-2000:]
        )
    return readings


def versions(packages):
    if not packages:
        return f"cbor2 {importlib.metadata.version('cbor2')} (PyPI)"
    query = ["dpkg-query", "-W", "-f", "${Version}"]
    return ", ".join(f"`{p}` {subprocess.run([*query, p], capture_output=True, text=True).stdout}" for p in packages)


def runtimes():
    found = {
        name: subprocess.run(command.split(), capture_output=True, text=True) for name, command in RUNTIMES.items()
    }
    return ", ".join(f"{name} {(run.stdout + run.stderr).split(chr(10))[0].strip()}" for name, run in found.items())


def shown(item, reading):
    """An item (hex) and a reading, each cut short to fit a table's column."""
    item = item if len(item) <= 32 else f"{item[:24]}… ({len(item) // 2} bytes)"
    return f"`{item}` | `{reading if len(reading) <= 48 else reading[:47] + '…'}`"


def measure(data_dir):
    from veldspray_cbor import dumps

    sys.setrecursionlimit(10_000)  # the deepest values are 1,000 levels
    BUILD.mkdir(parents=True, exist_ok=True)
    groups = corpus(data_dir)
    values = [value for group in groups.values() for value in group]
    counts = [f"{group} {len(group_values)}" for group, group_values in groups.items()]
    rows, smallest, failures = [], [], []
    for mode, indefinite in (("definite", False), ("indefinite", True)):
        items = [dumps(value, indefinite=indefinite).hex() for value in values]
        longest = max(items, key=len)
        corrupted = ["1c" + longest[2:], longest[:-2]]  # a reserved first byte; an item cut short
        items_file = BUILD / f"items-{mode}.hex"
        items_file.write_text("".join(item + "\n" for item in items + corrupted))
        for name in READERS:
            readings = read(name, items_file, items + corrupted)
            failures += [
                f"{name} ({mode}) accepted the corrupted {c[:20]}…"
                for c, r in zip(corrupted, readings[len(items) :], strict=True)
                if not r.startswith("!")
            ]
            outcomes = {"exact": [], "otherwise": [], "refused": []}
            for value, item, reading in zip(values, items, readings[: len(items)], strict=True):
                outcome = "exact" if reading == render(value) else "refused" if reading.startswith("!") else "otherwise"
                outcomes[outcome].append((len(item), item, reading))
            rows.append(f"| {name} | {mode} | " + " | ".join(str(len(found)) for found in outcomes.values()) + " |")
            for outcome in ("otherwise", "refused"):
                if outcomes[outcome]:
                    _, item, reading = min(outcomes[outcome])
                    smallest.append(f"| {name} | {mode} | {outcome} | {shown(item, reading)} |")
            print(f"{name}, {mode}: " + ", ".join(f"{len(found)} {outcome}" for outcome, found in outcomes.items()))
    today = datetime.datetime.now(datetime.timezone.utc).date().isoformat()
    table = [
        f"Measured on {today}, on {len(values)} values ({', '.join(counts)}), each written in both length modes,",
        f"with {runtimes()}, by these readers:",
        "",
        "| reader | version |",
        "|---|---|",
    ]
    table += [f"| {name} | {versions(packages)} |" for name, (_, packages) in READERS.items()]
    table += ["", "| reader | mode | read exactly | read otherwise | refused |", "|---|---|--:|--:|--:|", *rows]
    table += ["", "The smallest item of each outcome, as `dumps` wrote it, and what the reader made of it:", ""]
    table += ["| reader | mode | outcome | item (hex) | reading |", "|---|---|---|---|---|", *smallest]
    print("\n".join(["", *table, *failures]))
    if failures:
        sys.exit(f"interop: {len(failures)} corrupted items accepted")
    TABLES.write_text("\n".join(table) + "\n")
    print(f"every reader refused both corrupted items; the tables are in {TABLES}")


def publish():
    from publish import replace_between_markers  # the benchmark's (PYTHONPATH=bench)

    if not TABLES.is_file():
        sys.exit(f"interop: no run to publish ({TABLES} is missing): run make interop first")
    replace_between_markers(PAGE, START, END, TABLES.read_text())
    print(f"published {TABLES} into {PAGE}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data-dir", default=REPO / "examples" / "data", help="the folder of JSON documents")
    parser.add_argument("--publish", action="store_true", help="copy the last run's tables into interop/README.md")
    args = parser.parse_args()
    publish() if args.publish else measure(args.data_dir)
