"""How decoders in other languages read what dumps writes.

    make interop            install the readers, build them, run this
    make interop-publish    the last run's tables into interop/README.md (--publish)

Writes a set of values with dumps in both length modes, one item per line in
hex (build/interop/items-MODE.hex), and has each reader in interop/readers
print what it decoded, one line per item, in a shared rendering:

    N T F                     null, true, false
    -5                        an integer, in decimal
    f3ff8000000000000 fnan    a float: its IEEE double bits in hex; any NaN
    h0102  s6162              a byte string, a text string (its UTF-8), in hex
    [a,b]  {k:v,k:v}          an array, a map, entries in the order read
                              (sorted, where the reader's maps have no order)
    *                         a value that the reader may or may not keep
    !reason                   the reader refused the item

Each rendering is compared with the value's own. A difference must be
explained by a named limit of that reader: a refusal rule that says the reader
refuses the value, or a sequence of transformations of the expected value
(its data model, its known defects) after which the two renderings are equal.
Anything else is unexplained and fails the run, and so does a reader that
accepts either of two corrupted items added to the end of each file.

The JSON documents are the benchmark's (bench/cases.py: examples/data, or
$VELDSPRAY_BENCH_DATA, or --data-dir).
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
import time
from collections.abc import Mapping

import cases
import publish

# cbor2 and the module are imported where a measurement needs them: publishing
# the last run's tables (--publish) needs neither, so make interop-publish
# builds and installs nothing.

HERE = pathlib.Path(__file__).resolve().parent
BUILD = cases.REPO / "build" / "interop"
PUBLISHED_TABLES = "published-tables.md"
START = "<!-- interop tables: written by make interop-publish -->"
END = "<!-- end of interop tables -->"
SEED = 2026
GENERATED_TREES = 2700
MODES = {"definite": False, "indefinite": True}


# ---- the values ---------------------------------------------------------


def appendix_a():
    """The examples, as cbor2 reads them, that are plain values dumps can
    write: no tags, no simple values other than null and the booleans, no
    integers beyond 64 bits."""
    import cbor2

    from veldspray_cbor import dumps

    values = []
    for entry in json.loads((cases.REPO / "tests" / "vectors" / "appendix_a.json").read_text()):
        try:
            value = cbor2.loads(bytes.fromhex(entry["hex"]))
            render(tree(value))
            dumps(value)
        except (cbor2.CBORDecodeError, TypeError, RuntimeError):
            continue
        values.append(value)
    return values


def documents(folder):
    return [json.loads(path.read_bytes()) for path in sorted(pathlib.Path(folder).glob("*.json"))]


INTEGER_HEADS = [0, 23, 24, 255, 256, 65535, 65536, 2**31 - 1, 2**31, 2**32 - 1, 2**32, 2**53, 2**63 - 1, 2**63]
FLOATS = [
    0.0, -0.0, 1.0, -1.5, 65504.0, 65505.0, 2.0**-14, 2.0**-24, 2.0**-25, 100000.0, 3.4028234663852886e38,
    1.401298464324817e-45, 16777217.0, 0.1, 1e300, 5e-324, -1e-320, 2.0**53, 2.0**64, math.inf, -math.inf, math.nan,
]  # fmt: skip
LENGTHS = [0, 1, 22, 23, 24, 25, 254, 255, 256, 257, 65534, 65535, 65536, 65537]
DEPTHS = [1, 2, 16, 31, 32, 33, 34, 126, 127, 128, 129, 130, 399, 400, 401, 402, 510, 511, 512, 513, 514, 1000]


def integers():
    values = set()
    for head in INTEGER_HEADS:
        for n in (head - 1, head, head + 1):
            if 0 <= n < 2**64:
                values.add(n)
            if 0 <= n <= 2**63:
                values.add(-n)
    values.add(2**64 - 1)
    return sorted(values)


def nested(depth, container):
    value = 0
    for _ in range(depth):
        value = container(value)
    return value


def edge_values():
    values = [None, True, False, [], {}, [[]], [{}], {"": {}}, ()]
    values += integers() + FLOATS
    for length in LENGTHS:
        values += [
            "a" * length,
            "é" * (length // 2) + "a" * (length % 2),
            "\U0001f600" * (length // 4),
            b"\xff" * length,
        ]
    keys = [0, 1, -1, 2**31, 2**63, -(2**63), 1.5, -0.0, math.nan, math.inf, "", "a", "2", "é", b"", b"\x00\xff"]
    keys += [True, False, None, (), (1, "a"), ((1,),), 2**64 - 1, 255, 256]
    values += [{key: 1} for key in keys]
    values += [dict.fromkeys(keys, 1), dict(zip(keys, range(len(keys)), strict=True)), {"b": 1, "a": 2, "1": 3, "0": 4}]
    nan_keys = {float("nan"): 1, float("nan"): 2}  # two NaN objects are two keys
    values += [nan_keys, {0.0: 1, "x": {-0.0: 2}}, {"a": 1, b"a": 2}]
    for depth in DEPTHS:
        values += [nested(depth, lambda child: [child]), nested(depth, lambda child: {"k": child})]
    return values


class Generator:
    """Random trees of every kind of value, map keys of every kind included."""

    def __init__(self, seed):
        self.random = random.Random(seed)

    def scalar(self):
        choice = self.random.randrange(8)
        if choice == 0:
            return self.random.choice([None, True, False])
        if choice == 1:
            return self.random.choice(integers())
        if choice == 2:
            return self.random.randint(-(2**63), 2**64 - 1) >> self.random.randrange(64)
        if choice == 3:
            return self.random.choice(FLOATS)
        if choice == 4:
            return struct.unpack("<d", self.random.randbytes(8))[0]
        if choice == 5:
            return bytes(self.random.randbytes(self.random.randrange(30)))
        alphabet = "ab09_-é€\U0001f600\u00a0\u2028 "
        return "".join(self.random.choice(alphabet) for _ in range(self.random.randrange(30)))

    def key(self, depth):
        if depth < 3 and self.random.random() < 0.1:
            return tuple(self.key(depth + 1) for _ in range(self.random.randrange(3)))
        if self.random.random() < 0.6:
            return "".join(self.random.choice("abc019é") for _ in range(self.random.randrange(5)))
        return self.scalar()

    def value(self, depth):
        if depth == 0 or self.random.random() < 0.45:
            return self.scalar()
        size = self.random.randrange(6)
        if self.random.random() < 0.5:
            return [self.value(depth - 1) for _ in range(size)]
        return {self.key(0): self.value(depth - 1) for _ in range(size)}

    def tree(self):
        return self.value(self.random.choice([1, 2, 3, 4, 6, 8]))


def corpus(data_dir):
    """(group, value) pairs: the groups name where the values come from."""
    generator = Generator(SEED)
    groups = {
        "appendix A": appendix_a(),
        "documents": documents(data_dir),
        "edge values": edge_values(),
        "generated": [generator.tree() for _ in range(GENERATED_TREES)],
    }
    return [(group, value) for group, values in groups.items() for value in values]


# ---- the expected rendering, and the readers' limits ----------------------


class Map(list):
    """A map as a list of (key, value) pairs, which may repeat a key once a
    reader's rule has changed the keys; unordered ones render sorted."""

    ordered = True


class UnorderedMap(Map):
    ordered = False


def tree(value):
    """The value as the rules transform it: tuples as lists, dicts as Maps."""
    if isinstance(value, Mapping):
        return Map((tree(key), tree(item)) for key, item in value.items())
    if isinstance(value, (list, tuple)):
        return [tree(item) for item in value]
    return value


def render(value):
    if value is None:
        return "N"
    if value is True or value is False:
        return "T" if value else "F"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return "fnan" if math.isnan(value) else "f" + struct.pack(">d", value).hex()
    if isinstance(value, bytes):
        return "h" + value.hex()
    if isinstance(value, Lost):
        return "*"
    if isinstance(value, str):
        return "s" + value.encode().hex()
    if isinstance(value, Map):
        entries = [f"{render(key)}:{render(item)}" for key, item in value]
        return "{" + ",".join(entries if value.ordered else sorted(entries)) + "}"
    if isinstance(value, list):
        return "[" + ",".join(render(item) for item in value) + "]"
    raise TypeError(f"no rendering for {type(value).__name__}")


def depth(value):
    if isinstance(value, Map):
        return 1 + max((max(depth(key), depth(item)) for key, item in value), default=0)
    if isinstance(value, list):
        return 1 + max((depth(item) for item in value), default=0)
    return 0


def walk(value, scalar=lambda x: x, map_=lambda m: m):
    """value with scalar applied to every scalar and map_ to every map,
    children first."""
    if isinstance(value, Map):
        return map_(type(value)((walk(key, scalar, map_), walk(item, scalar, map_)) for key, item in value))
    if isinstance(value, list):
        return [walk(item, scalar, map_) for item in value]
    return scalar(value)


def any_map(value, test):
    if isinstance(value, Map):
        return test(value) or any(any_map(key, test) or any_map(item, test) for key, item in value)
    if isinstance(value, list):
        return any(any_map(item, test) for item in value)
    return False


def merged(pairs, kind, identity=render):
    """The pairs with each repeated key (same identity) kept once, where it
    first stood, with its last value: what a reader's hash table does."""
    entries = {}
    for key, item in pairs:
        entries.setdefault(identity(key), [key, item])[1] = item
    return kind(tuple(entry) for entry in entries.values())


def unordered(value):
    return walk(value, map_=UnorderedMap)


def sorted_maps(value):
    """Maps sorted by key, keys that compare equal (every NaN) merged."""
    return walk(value, map_=lambda m: merged(m, UnorderedMap))


def twos_complement_heads(value):
    """An integer whose head has 4 bytes and its top bit set reads as its
    32-bit two's complement, one with an 8-byte head and its top bit set as
    its 64-bit one; negative integers alike (their argument is -1 - n)."""

    def misread(n):
        if isinstance(n, bool) or not isinstance(n, int):
            return n
        argument = n if n >= 0 else -1 - n
        for bits in (32, 64):
            if 2 ** (bits - 1) <= argument < 2**bits:
                wrapped = argument - 2**bits
                return wrapped if n >= 0 else -1 - wrapped
        return n

    return walk(value, scalar=misread)


def perl_key(key):
    if key is None:
        return ""
    if key is True or key is False:
        return "1" if key else "0"
    if isinstance(key, float):
        if math.isnan(key):
            return "NaN"
        if math.isinf(key):
            return "Inf" if key > 0 else "-Inf"
        return f"{key:.15g}" if key else "0"
    if isinstance(key, bytes):
        return key.decode("latin-1")
    return str(key)


class Lost(str):
    """A value that a reader may or may not have kept."""


def perl_keys(value):
    """Every map key becomes a string; the array keys all become one, which
    the Perl reader prints as ARRAY() with the value *."""

    def rekey(m):
        pairs = [(perl_key(key), item) if not isinstance(key, list) else ("ARRAY()", Lost()) for key, item in m]
        return merged(pairs, type(m))

    return walk(value, map_=rekey)


def jackson_keys(value):
    """Every map key reads as text: an integer as its decimals, a byte string
    as its bytes read as UTF-8. The parser gives a repeated key twice."""

    def text(key):
        if isinstance(key, bytes):
            return key.decode(errors="replace")
        return key if isinstance(key, str) else str(key)

    return walk(value, map_=lambda m: type(m)((text(key), item) for key, item in m))


def js_number(x):
    """A float that is an integer up to 2^53 reads as that integer; -0.0 stays a float."""
    if type(x) is float and x.is_integer() and abs(x) <= 2**53 and not (x == 0 and math.copysign(1, x) < 0):
        return int(x)
    return x


def js_numbers(value):
    return walk(value, scalar=js_number)


def is_array_index(key):
    return isinstance(key, str) and key.isascii() and key.isdigit() and str(int(key)) == key and int(key) < 2**32 - 1


def js_objects(value):
    """A map whose keys are all text becomes an object: its index-like keys
    come first, in ascending order."""

    def reorder(m):
        if not all(isinstance(key, str) for key, _ in m):
            return m
        indexes = sorted((pair for pair in m if is_array_index(pair[0])), key=lambda pair: int(pair[0]))
        return type(m)(indexes + [pair for pair in m if not is_array_index(pair[0])])

    return walk(value, map_=reorder)


def js_map_keys(value):
    """In a Map, -0.0 is the key 0, and every NaN key is one key."""

    def rekey(m):
        if all(isinstance(key, str) for key, _ in m):
            return m
        return merged(((0 if type(key) is float and key == 0 else key, item) for key, item in m), type(m))

    return walk(value, map_=rekey)


def ascii_bytes_keys_as_text(value):
    """A byte-string key of ASCII bytes is the same hash key as the text of
    those characters."""

    def identity(key):
        return render(key.decode()) if isinstance(key, bytes) and key.isascii() else render(key)

    return walk(value, map_=lambda m: merged(m, type(m), identity))


def deeper_than(limit):
    return lambda value, mode: depth(value) > limit


def nested_indefinite(value, mode):
    return mode == "indefinite" and depth(value) >= 2


def keys_of_kinds(test):
    return lambda value, mode: any_map(value, lambda m: any(test(key) for key, _ in m))


# Each reader: its command, the Debian packages that bring it, and its named
# limits: refusals (value, mode -> refused?) and transformations of the
# expected value, applied in order.
READERS = {
    "libcbor": {"command": [BUILD / "read_libcbor"], "packages": ["libcbor-dev"], "refuses": {}, "transforms": {}},
    "fxamacker/cbor": {
        "command": [BUILD / "read_fxamacker"],
        "packages": ["golang-github-fxamacker-cbor-dev"],
        "refuses": {
            "nesting over 32 levels refused": deeper_than(32),
            "byte-string and array map keys refused": keys_of_kinds(lambda key: isinstance(key, (bytes, list))),
        },
        "transforms": {"map order lost (Go map)": unordered},
    },
    "serde_cbor": {
        "command": [BUILD / "rust" / "release" / "read_serde_cbor"],
        "packages": ["librust-serde-cbor-dev"],
        "refuses": {"nesting over 127 levels refused": deeper_than(127)},
        "transforms": {"map order lost, NaN keys merge (BTreeMap)": sorted_maps},
    },
    "Jackson": {
        "command": [
            "java",
            "-cp",
            "/usr/share/java/jackson-core.jar:/usr/share/java/jackson-dataformat-cbor.jar",
            HERE / "readers" / "ReadJackson.java",
        ],
        "packages": ["libjackson2-dataformat-cbor", "libjackson2-core-java"],
        "refuses": {
            "map keys other than text, bytes or integers refused": keys_of_kinds(
                lambda key: not isinstance(key, (str, bytes, int)) or isinstance(key, bool)
            )
        },
        "transforms": {
            "4-byte heads from 2^31 and 8-byte heads from 2^63 read with the sign flipped": twos_complement_heads,
            "map keys become text": jackson_keys,
        },
    },
    "node-cbor": {
        "command": ["node", HERE / "readers" / "read_node_cbor.js"],
        "packages": ["node-cbor"],
        "refuses": {},
        "transforms": {
            "integral floats read as integers": js_numbers,
            "text-keyed maps become objects: index-like keys first": js_objects,
            "Map keys: -0.0 becomes 0, NaN keys merge": js_map_keys,
        },
    },
    "CBOR::XS": {
        "command": ["perl", HERE / "readers" / "read_cbor_xs.pl"],
        "packages": ["libcbor-xs-perl"],
        "refuses": {"nesting over 512 levels refused": deeper_than(512)},
        "transforms": {
            "map keys become strings; array keys lose their values": perl_keys,
            "map order lost (Perl hash)": unordered,
        },
    },
    "cbor gem": {
        "command": ["ruby", HERE / "readers" / "read_cbor_gem.rb"],
        "packages": ["ruby-cbor"],
        "refuses": {
            "indefinite-length containers nested in a container refused": nested_indefinite,
            "nesting over 128 levels refused": deeper_than(128),
        },
        "transforms": {"an ASCII byte-string key merges with the same text key": ascii_bytes_keys_as_text},
    },
    "cbor2": {
        "command": None,
        "packages": [],
        "refuses": {"nesting over 400 levels refused": deeper_than(400)},
        "transforms": {},
    },
}


def read_with_cbor2(lines):
    import cbor2

    renderings = []
    for line in lines:
        try:
            renderings.append(render(tree(cbor2.loads(bytes.fromhex(line)))))
        except Exception as error:  # every refusal is a result
            renderings.append("!" + str(error).replace("\n", " "))
    return renderings


def run_reader(name, lines_file, lines):
    reader = READERS[name]
    if reader["command"] is None:
        return read_with_cbor2(lines)
    env = dict(os.environ, NODE_PATH="/usr/share/nodejs")
    with open(lines_file, "rb") as stream:
        result = subprocess.run(
            [str(part) for part in reader["command"]], stdin=stream, capture_output=True, env=env, check=False
        )
    output = result.stdout.decode("utf-8", "replace").splitlines()
    if result.returncode != 0 or len(output) != len(lines):
        sys.exit(
            f"interop: {name} exited with {result.returncode} and printed {len(output)} lines for "
            f"{len(lines)} items:\n{result.stderr.decode(errors='replace')[-2000:]}"
        )
    return output


def explain(name, value, mode, actual):
    """('agreed' | 'differed' | 'failed' | 'unexplained', the limits named,
    the expected rendering with every transformation applied)."""
    reader = READERS[name]
    expected = tree(value)
    if actual == render(expected):
        return "agreed", [], actual
    if actual.startswith("!"):
        refusals = [rule for rule, refuses in reader["refuses"].items() if refuses(expected, mode)]
        return ("failed", refusals[:1], actual) if refusals else ("unexplained", [], render(expected))
    applied = []
    for rule, transform in reader["transforms"].items():
        transformed = transform(expected)
        if render(transformed) != render(expected):
            applied.append(rule)
            expected = transformed
        if actual == render(expected):
            return "differed", applied, actual
    return "unexplained", [], render(expected)


def self_check_items(lines):
    """Two corrupted copies of the longest generated item: its first byte made
    0x1c (a reserved additional information), and its last byte cut off."""
    longest = max(lines, key=len)
    return ["1c" + longest[2:], longest[:-2]]


def package_versions(packages):
    if not packages:
        return f"cbor2 {importlib.metadata.version('cbor2')} (PyPI)"
    versions = []
    for package in packages:
        query = ["dpkg-query", "-W", "-f", "${Version}", package]
        versions.append(f"`{package}` {subprocess.run(query, capture_output=True, text=True, check=False).stdout}")
    return ", ".join(versions)


def runtimes():
    """The interpreters and virtual machine that ran the readers: any recent
    one will do, so make interop installs them only where there is none."""
    commands = {
        "Java": ["java", "-XshowSettings:properties", "-version"],
        "Node.js": ["node", "-p", "process.versions.node"],
        "Perl": ["perl", "-e", "print $^V"],
        "Ruby": ["ruby", "-e", "print RUBY_VERSION"],
    }
    versions = []
    for name, command in commands.items():
        result = subprocess.run(command, capture_output=True, text=True, check=False)
        output = result.stdout + result.stderr
        if name == "Java":
            output = next(line for line in output.splitlines() if "java.version =" in line).split("=")[1]
        versions.append(f"{name} {output.strip().lstrip('v')}")
    return ", ".join(versions)


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data-dir", help="the folder of JSON documents (default: the benchmark's)")
    parser.add_argument("--publish", action="store_true", help="copy the last run's tables into interop/README.md")
    args = parser.parse_args(argv)
    if args.publish:
        tables = BUILD / PUBLISHED_TABLES
        if not tables.is_file():
            sys.exit(
                "interop: no run to publish (build/interop/published-tables.md is missing); run make interop first"
            )
        publish.replace_between_markers(HERE / "README.md", START, END, tables.read_text())
        print("published build/interop/published-tables.md into interop/README.md")
        return
    from veldspray_cbor import dumps

    sys.setrecursionlimit(20_000)  # the deepest values are 1,000 levels; rendering one takes two frames a level
    started = time.monotonic()
    BUILD.mkdir(parents=True, exist_ok=True)
    values = corpus(cases.data_dir(args.data_dir))
    summary = (
        f"{len(values)} values ("
        + ", ".join(f"{group} {sum(g == group for g, _ in values)}" for group in dict(values))
        + ")"
    )
    print(summary)

    counts, smallest, unexplained, self_check_failures = {}, {}, [], []
    for mode, indefinite in MODES.items():
        lines = [dumps(value, indefinite=indefinite).hex() for _, value in values]
        corrupted = self_check_items(lines)
        lines_file = BUILD / f"items-{mode}.hex"
        lines_file.write_text("".join(line + "\n" for line in lines + corrupted))
        for name in READERS:
            reader_started = time.monotonic()
            output = run_reader(name, lines_file, lines + corrupted)
            row = counts.setdefault(
                (name, mode), dict.fromkeys(("read", "agreed", "differed", "failed", "unexplained"), 0)
            )
            for (group, value), line, actual in zip(values, lines, output[: len(lines)], strict=True):
                outcome, rules, expected = explain(name, value, mode, actual)
                row["read"] += 1
                row[outcome] += 1
                for rule in rules:
                    if (name, rule) not in smallest or len(line) < len(smallest[name, rule]):
                        smallest[name, rule] = line
                if outcome == "unexplained":
                    unexplained.append((name, mode, group, line, expected, actual))
            for item, actual in zip(corrupted, output[len(lines) :], strict=True):
                if not actual.startswith("!"):
                    self_check_failures.append(
                        f"{name} ({mode}) accepted the corrupted item {item[:40]}…: {actual[:80]}"
                    )
            print(f"  {name}, {mode}: {time.monotonic() - reader_started:.1f} s", flush=True)

    tables = tables_text(counts, smallest, summary)
    print("\n" + tables)
    report_unexplained(unexplained)
    for failure in self_check_failures:
        print(f"self-check failed: {failure}")
    print(f"\n{len(values)} values in 2 modes by {len(READERS)} readers in {time.monotonic() - started:.0f} s")
    if unexplained or self_check_failures:
        sys.exit(f"interop: {len(unexplained)} unexplained differences, {len(self_check_failures)} self-check failures")
    (BUILD / PUBLISHED_TABLES).write_text(tables)
    print(
        f"every difference explained; every reader refused both corrupted items. Tables in {BUILD / PUBLISHED_TABLES}"
    )


def tables_text(counts, smallest, summary):
    today = datetime.datetime.now(datetime.timezone.utc).date().isoformat()
    measured = (
        f"Measured on {today}, on {summary}, each written in both length modes "
        f"(`indefinite=False`, then `True`), with {runtimes()}, by these readers:\n"
    )
    rows = [measured, "| reader | version |", "|---|---|"]
    rows += [f"| {name} | {package_versions(reader['packages'])} |" for name, reader in READERS.items()]
    rows += ["", "| reader | mode | read | agreed | differed by a limit | failed by a limit | unexplained |"]
    rows += ["|---|---|--:|--:|--:|--:|--:|"]
    for (name, mode), row in sorted(counts.items(), key=lambda entry: list(READERS).index(entry[0][0])):
        rows.append(f"| {name} | {mode} | " + " | ".join(str(row[key]) for key in row) + " |")
    rows += ["", "The smallest item that each limit explained, as `dumps` wrote it:", ""]
    rows += ["| reader | limit | item (hex) |", "|---|---|---|"]
    for (name, rule), line in sorted(
        smallest.items(), key=lambda entry: (list(READERS).index(entry[0][0]), entry[0][1])
    ):
        shown = line if len(line) <= 32 else f"{line[:24]}… ({len(line) // 2} bytes)"
        rows.append(f"| {name} | {rule} | `{shown}` |")
    return "\n".join(rows) + "\n"


def report_unexplained(unexplained, shown_per_reader=3):
    seen = {}
    for name, mode, group, line, expected, actual in unexplained:
        seen[name] = seen.get(name, 0) + 1
        if seen[name] <= shown_per_reader:
            start = max(0, next((i for i, (a, b) in enumerate(zip(expected, actual, strict=False)) if a != b), 0) - 60)
            print(f"UNEXPLAINED {name} ({mode}, {group}): item {line[:120]}")
            print(f"    expected …{expected[start : start + 200]}\n    read     …{actual[start : start + 200]}")
    for name, count in seen.items():
        print(f"{name}: {count} unexplained")


if __name__ == "__main__":
    main()
