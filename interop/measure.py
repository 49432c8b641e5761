"""Has decoders in other languages read what dumps writes, and fails on any
reading that no documented limit of its reader explains.

    make interop            install and build the readers, then run this
    make interop-publish    the last run's tables and each reader's limits into interop/README.md (--publish)

Writes about 3,000 values with dumps in both length modes, one item per line
in hex (build/interop/items-MODE.hex), and has each reader of interop/readers
print what it decoded, one line per item, in a shared rendering:

    N T F                     null, true, false
    -5                        an integer, in decimal
    f3ff8000000000000 fnan    a float: its IEEE double bits in hex; any NaN
    h0102  s6162              a byte string, a text string (its UTF-8), in hex
    [a,b]  {k:v,k:v}          an array, a map, entries in the order read
                              (sorted, where the reader's maps have no order)
    *                         a value that the reader may or may not keep
    !reason                   the reader refused the item

A reading equal to the value's own rendering is exact. Any other must be
explained by a limit of that reader in READERS, the one list that the page's
section on each language is written from: a refusal that the limit says the
reader makes, or a reading equal to the value transformed by the reader's
limits in turn. An unexplained reading fails the run, and so does a reader
that fails, or that accepts either of two corrupted items that end each file.
"""

import argparse
import datetime
import importlib.metadata
import json
import math
import os
import pathlib
import random
import re
import struct
import subprocess
import sys
from collections.abc import Callable
from typing import NamedTuple

REPO = pathlib.Path(__file__).resolve().parent.parent
BUILD = REPO / "build" / "interop"
TABLES = BUILD / "tables.md"
PAGE = REPO / "interop" / "README.md"
TABLES_MARKERS = "<!-- interop tables: written by make interop-publish -->", "<!-- end of interop tables -->"
LIMITS_MARKERS = "<!-- reader limits: written by make interop-publish -->", "<!-- end of reader limits -->"
READERS_DIR = REPO / "interop" / "readers"
JACKSON = "/usr/share/java/jackson-core.jar:/usr/share/java/jackson-dataformat-cbor.jar"
RUNTIMES = {
    "Java": "java --version",
    "Node.js": "node --version",
    "Perl": "perl -e print$^V",
    "Ruby": "ruby -e print(RUBY_VERSION)",
}

# ---- the values -------------------------------------------------------------

FLOATS = [0.0, -0.0, 1.0, -1.5, 65504.0, 65505.0, 2.0**-14, 2.0**-24, 2.0**-25, 100000.0, 3.4028234663852886e38,
          1.401298464324817e-45, 16777217.0, 0.1, 1e300, 5e-324, -1e-320, 2.0**53, 2.0**64, math.inf, -math.inf,
          math.nan]  # fmt: skip
HEADS = [0, 23, 24, 255, 256, 65535, 65536, 2**31, 2**32, 2**53, 2**63, 2**64 - 1]
INTEGERS = sorted(
    {s * n for h in HEADS for n in (h - 1, h, h + 1) for s in (1, -1) if 0 <= n < 2**64 and s * n >= -(2**63)}
)
# Around each width of a head's argument: 1, 2 and 4 bytes.
LENGTHS = [0, 1, 22, 23, 24, 25, 254, 255, 256, 257, 65534, 65535, 65536, 65537]
DEPTHS = [1, 2, 16, 31, 32, 33, 34, 126, 127, 128, 129, 130, 399, 400, 401, 402, 510, 511, 512, 513, 514, 1000]
KEYS = [0, 1, -1, 2**31, 2**63, -(2**63), 2**64 - 1, 255, 256, 1.5, -0.0, math.nan, math.inf, "", "a", "2", "é",
        b"", b"\x00\xff", True, False, None, (), (1, "a"), ((1,),)]  # fmt: skip


def nested(depth, wrap):
    value = 0
    for _ in range(depth):
        value = wrap(value)
    return value


def sized(n):
    """Values of n items or n UTF-8 bytes; the last text has n characters in 2n bytes."""
    texts = ["a" * n, "é" * (n // 2) + "a" * (n % 2), "\U0001f600" * (n // 4) + "a" * (n % 4), "é" * n]
    return [*texts, b"\xff" * n, [0] * n, dict.fromkeys(range(n), 0)]


def edge_values():
    values = [None, True, False, [], {}, [[]], [{}], {"": {}}, (), *INTEGERS, *FLOATS]
    values += [value for n in LENGTHS for value in sized(n)]
    values += [{key: 1} for key in KEYS] + [dict.fromkeys(KEYS, 1), dict(zip(KEYS, range(len(KEYS)), strict=True))]
    values += [{"b": 1, "a": 2, "1": 3, "0": 4}, {"a": 1, b"a": 2}, {0.0: 1, "x": {-0.0: 2}}]
    values.append({float("nan"): 1, float("nan"): 2})  # two NaN objects are two keys
    return values + [nested(depth, wrap) for depth in DEPTHS for wrap in (lambda v: [v], lambda v: {"k": v})]


def random_scalar(rng):
    return rng.choice(
        [rng.choice([None, True, False]), rng.choice(INTEGERS), rng.randint(-(2**63), 2**64 - 1) >> rng.randrange(64),
         rng.choice(FLOATS), struct.unpack("<d", rng.randbytes(8))[0], rng.randbytes(rng.randrange(30)),
         "".join(rng.choices("ab09_-é€\U0001f600\u00a0\u2028 ", k=rng.randrange(30)))]
    )  # fmt: skip


def random_key(rng, depth=0):
    if depth < 3 and rng.random() < 0.1:
        return tuple(random_key(rng, depth + 1) for _ in range(rng.randrange(3)))
    return "".join(rng.choices("abc019é", k=rng.randrange(5))) if rng.random() < 0.6 else random_scalar(rng)


def random_tree(rng, depth):
    """A seeded random tree of every kind of value, map keys of every kind (tuples too) included."""
    if depth == 0 or rng.random() < 0.45:
        return random_scalar(rng)
    size = rng.randrange(6)
    if rng.random() < 0.5:
        return [random_tree(rng, depth - 1) for _ in range(size)]
    return {random_key(rng): random_tree(rng, depth - 1) for _ in range(size)}


def corpus(data_dir):
    """(group, values): the RFC 8949 examples that are plain values, the JSON documents, edge values, random trees."""
    import cbor2

    from veldspray_cbor import dumps

    plain = []  # no tags, no other simple values, no bignums
    for entry in json.loads((REPO / "tests/vectors/appendix_a.json").read_text()):
        try:
            value = cbor2.loads(bytes.fromhex(entry["hex"]))
            dumps(value), render(tree(value))
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


# ---- the expected reading, and each reader's limits -------------------------


class Map(list):
    """A map as (key, value) pairs, which may repeat a key once a limit has
    changed the keys; an unordered one renders sorted."""

    ordered = True


class UnorderedMap(Map):
    ordered = False


class Lost(str):
    """A value that the reader may or may not have kept."""


def tree(value):
    """The value as the limits transform it: tuples as lists, dicts as Maps."""
    if isinstance(value, dict):
        return Map((tree(key), tree(item)) for key, item in value.items())
    if isinstance(value, (list, tuple)):
        return [tree(item) for item in value]
    return value


def render(value):
    if value is None or value is True or value is False:
        return {None: "N", True: "T", False: "F"}[value]
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
        return "[" + ",".join(map(render, value)) + "]"
    raise TypeError(type(value).__name__)


def depth(value):
    if isinstance(value, Map):
        return 1 + max((max(depth(key), depth(item)) for key, item in value), default=0)
    if isinstance(value, list):
        return 1 + max(map(depth, value), default=0)
    return 0


def walk(value, scalar=lambda x: x, map_=lambda m: m):
    """value with scalar applied to every scalar and map_ to every map, children first."""
    if isinstance(value, Map):
        return map_(type(value)((walk(key, scalar, map_), walk(item, scalar, map_)) for key, item in value))
    if isinstance(value, list):
        return [walk(item, scalar, map_) for item in value]
    return scalar(value)


def any_map(value, test):
    if isinstance(value, Map):
        return test(value) or any(any_map(key, test) or any_map(item, test) for key, item in value)
    return isinstance(value, list) and any(any_map(item, test) for item in value)


def merged(pairs, kind, identity=render):
    """Each repeated key (same identity) kept once, where it first stood, with its last value: a hash table."""
    entries = {}
    for key, item in pairs:
        entries.setdefault(identity(key), [key, item])[1] = item
    return kind(tuple(entry) for entry in entries.values())


def deeper_than(limit):
    return lambda value, mode: depth(value) > limit


def keys_where(test):
    return lambda value, mode: any_map(value, lambda m: any(test(key) for key, _ in m))


def unordered(value):
    return walk(value, map_=UnorderedMap)


def sorted_merging_nan(value):
    return walk(value, map_=lambda m: merged(m, UnorderedMap))


def sign_flipped_heads(value):
    """An argument of 4 bytes from 2^31, or of 8 from 2^63, read as its two's complement."""

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


def java_text(data):
    """Bytes as Java's UTF-8 decoder reads them: as Python's, but for ED followed by A0 to BF, the start of an
    encoded surrogate, which Java takes as one malformed sequence with a continuation byte after it, if any."""
    return re.sub(rb"\xed[\xa0-\xbf][\x80-\xbf]?", b"\xff", data).decode(errors="replace")


def keys_as_text(value):
    def text(key):
        return java_text(key) if isinstance(key, bytes) else key if isinstance(key, str) else str(key)

    return walk(value, map_=lambda m: type(m)((text(key), item) for key, item in m))


def perl_key(key):
    if key is None or key is True or key is False:
        return {None: "", True: "1", False: "0"}[key]
    if isinstance(key, float):
        if math.isnan(key) or math.isinf(key):
            return "NaN" if math.isnan(key) else "Inf" if key > 0 else "-Inf"
        return f"{key:.15g}" if key else "0"
    return key.decode("latin-1") if isinstance(key, bytes) else str(key)


def perl_keys(value):
    def rekey(m):
        pairs = [(perl_key(key), item) if not isinstance(key, list) else ("ARRAY()", Lost()) for key, item in m]
        return merged(pairs, type(m))

    return walk(value, map_=rekey)


def js_numbers(value):
    def number(x):
        negative_zero = x == 0 and math.copysign(1, x) < 0
        return int(x) if type(x) is float and x.is_integer() and abs(x) <= 2**53 and not negative_zero else x

    return walk(value, scalar=number)


def is_array_index(key):
    return isinstance(key, str) and key.isascii() and key.isdigit() and str(int(key)) == key and int(key) < 2**32 - 1


def js_objects(value):
    def reorder(m):
        if not all(isinstance(key, str) for key, _ in m):
            return m
        indexes = sorted((pair for pair in m if is_array_index(pair[0])), key=lambda pair: int(pair[0]))
        return type(m)(indexes + [pair for pair in m if not is_array_index(pair[0])])

    return walk(value, map_=reorder)


def js_map_keys(value):
    def rekey(m):
        if all(isinstance(key, str) for key, _ in m):
            return m
        return merged(((0 if type(key) is float and key == 0 else key, item) for key, item in m), type(m))

    return walk(value, map_=rekey)


def ascii_bytes_keys_as_text(value):
    def identity(key):
        return render(key.decode()) if isinstance(key, bytes) and key.isascii() else render(key)

    return walk(value, map_=lambda m: merged(m, type(m), identity))


class Limit(NamedTuple):
    """What the page says of a reader, and the rule it stands for: refuses (value, mode -> bool) or
    reads (the expected value -> what the reader reads instead)."""

    text: str
    refuses: Callable = None
    reads: Callable = None


class Reader(NamedTuple):
    command: list  # None: cbor2, in this process
    packages: list  # the Debian packages that bring it
    title: str
    advice: str
    limits: list


# The one list of each reader's documented limits: the runner holds every
# reading against it, and the page's section on each language is written from it.
READERS = {
    "libcbor": Reader(
        [BUILD / "read_libcbor"],
        ["libcbor-dev"],
        "C, libcbor 0.8 (Debian's `libcbor-dev`)",
        "nothing to pass or avoid.",
        [],
    ),
    "fxamacker/cbor": Reader(
        [BUILD / "read_fxamacker"],
        ["golang-github-fxamacker-cbor-dev"],
        "Go, fxamacker/cbor 2.4 (Debian's `golang-github-fxamacker-cbor-dev`), decoding into `interface{}`",
        "raise `DecOptions.MaxNestedLevels` (at most 256 in this version) for deeper values.",
        [
            Limit("Refuses values nested more than 32 levels.", refuses=deeper_than(32)),
            Limit(
                "Refuses maps with byte string or array keys, which `map[interface{}]interface{}` cannot hold.",
                refuses=keys_where(lambda key: isinstance(key, (bytes, list))),
            ),
            Limit("Go maps have no order: the order of a map's entries is lost.", reads=unordered),
        ],
    ),
    "serde_cbor": Reader(
        [BUILD / "rust" / "release" / "read_serde_cbor"],
        ["librust-serde-cbor-dev"],
        "Rust, serde_cbor 0.11 (Debian's `librust-serde-cbor-dev`), into `serde_cbor::Value`",
        "keep values within 127 levels, a limit this version has no option to raise.",
        [
            Limit("Refuses values nested more than 127 levels.", refuses=deeper_than(127)),
            Limit(
                "`Value::Map` is a `BTreeMap`, sorted by key: a map's order is lost, and NaN keys are one key.",
                reads=sorted_merging_nan,
            ),
        ],
    ),
    "Jackson": Reader(
        ["java", "-cp", JACKSON, READERS_DIR / "ReadJackson.java"],
        ["libjackson2-dataformat-cbor", "libjackson2-core-java"],
        "Java, Jackson's CBOR module 2.7 (Debian's `libjackson2-dataformat-cbor` 2.7.8, on Debian's "
        "`jackson-core` 2.14, read with its streaming parser)",
        "avoid this version for large integers. A fix is reported in Jackson's 2.9 series (not measured here): "
        "use a later version, or keep such integers out of the data (as text, say). Both length modes read alike.",
        [
            Limit(
                "Refuses maps with float, boolean, null or array keys: map keys must be text, bytes or integers.",
                refuses=keys_where(lambda key: not isinstance(key, (str, bytes, int)) or isinstance(key, bool)),
            ),
            Limit(
                "Reads the argument of a 4- or 8-byte head whose top bit is set as a signed number, so the sign "
                "flips: `1a 80 00 00 00` (2^31) reads as -2^31, `1a ff ff ff ff` (2^32 - 1) as -1, "
                "`1b 80 00 00 00 00 00 00 00` (2^63) as -2^63, `3a 80 00 00 00` (-2^31 - 1) as 2^31 - 1. Integers "
                "from 2^32 to 2^63 - 1, from -2^31 up to 2^31 - 1, and from -2^63 to -2^32 - 1 read right.",
                reads=sign_flipped_heads,
            ),
            Limit(
                "Gives map keys as text: an integer key as its decimals, a byte string key as its bytes read as "
                "UTF-8, each malformed sequence as U+FFFD.",
                reads=keys_as_text,
            ),
        ],
    ),
    "node-cbor": Reader(
        ["node", READERS_DIR / "read_node_cbor.js"],
        ["node-cbor"],
        "JavaScript, node-cbor 8.1 (Debian's `node-cbor`)",
        "where a map's order matters, avoid index-like keys, or send the entries as an array of pairs.",
        [
            Limit(
                "A number no longer tells an integral float from an integer: `1.0` reads as `1` (integers beyond "
                "2^53 read exactly, as `BigInt`).",
                reads=js_numbers,
            ),
            Limit(
                'A map whose keys are all text becomes a plain object, which puts index-like keys (`"0"`, `"2"`) '
                "first, in numeric order.",
                reads=js_objects,
            ),
            Limit(
                "In maps with other keys, which become `Map`s, a `-0.0` key becomes `0` and NaN keys are one key.",
                reads=js_map_keys,
            ),
        ],
    ),
    "CBOR::XS": Reader(
        ["perl", READERS_DIR / "read_cbor_xs.pl"],
        ["libcbor-xs-perl"],
        "Perl, CBOR::XS 1.86 (Debian's `libcbor-xs-perl`)",
        "raise `max_depth` on a `CBOR::XS->new` decoder for values nested deeper than 512 levels.",
        [
            Limit("Refuses values nested more than 512 levels.", refuses=deeper_than(512)),
            Limit(
                'A hash has string keys: every map key becomes a string (`1` as `"1"`, `null` as `""`, `true` as '
                '`"1"`, a byte string as its bytes), and keys that become the same string merge. An array key '
                "becomes the text of a reference freed at once, `ARRAY(0x…)`, whose address the next array key "
                "may reuse, so values under array keys may be lost.",
                reads=perl_keys,
            ),
            Limit("A hash has no order: the order of a map's entries is lost.", reads=unordered),
        ],
    ),
    "cbor gem": Reader(
        ["ruby", READERS_DIR / "read_cbor_gem.rb"],
        ["ruby-cbor"],
        "Ruby, the `cbor` gem 0.5.9.6 (Debian's `ruby-cbor`)",
        "pass `indefinite=False`. A fix is reported upstream (March 2026; not measured here), but distributions "
        "still ship this version.",
        [
            Limit(
                'Refuses any indefinite-length array or map nested in another container: "extra bytes follow '
                'after a deserialized object", or "invalid byte" inside a map. With the default `indefinite=True` '
                "it reads only values without nested containers.",
                refuses=lambda value, mode: mode == "indefinite" and depth(value) >= 2,
            ),
            Limit("Refuses values nested more than 128 levels.", refuses=deeper_than(128)),
            Limit(
                'A byte string key of ASCII bytes is the same hash key as the text of those characters (`{"a": 1, '
                'b"a": 2}` reads as one entry).',
                reads=ascii_bytes_keys_as_text,
            ),
        ],
    ),
    "cbor2": Reader(
        None,
        [],
        "Python, cbor2 6.3",
        "pass a larger `max_depth` to `cbor2.loads` for deeper values.",
        [Limit("Refuses values nested more than 400 levels, its default `max_depth`.", refuses=deeper_than(400))],
    ),
}


def explain(reader, value, mode, reading):
    """The limit that explains a reading other than the exact one (None: unexplained), and the expected rendering."""
    expected = tree(value)
    if reading.startswith("!"):
        return next((limit for limit in reader.limits if limit.refuses and limit.refuses(expected, mode)), None), ""
    explained = None
    for limit in (limit for limit in reader.limits if limit.reads):
        transformed = limit.reads(expected)
        if render(transformed) != render(expected):
            explained, expected = explained or limit, transformed
        if reading == render(expected):
            return explained, reading
    return None, render(expected)


def limits_section():
    """The page's section on each language, from READERS."""
    lines = []
    for reader in READERS.values():
        lines += [f"**{reader.title}**: {reader.advice}", ""]
        lines += [f"- {limit.text}" for limit in reader.limits] or ["- Read every value exactly, in both modes."]
        lines.append("")
    return "\n".join(lines)


# ---- running the readers ----------------------------------------------------


def read(name, items_file, items):
    command = READERS[name].command
    if command is None:
        import cbor2

        readings = []
        for item in items:
            try:
                readings.append(render(tree(cbor2.loads(bytes.fromhex(item)))))
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


def shown(item):
    return item if len(item) <= 32 else f"{item[:24]}… ({len(item) // 2} bytes)"


def measure(data_dir):
    from veldspray_cbor import dumps

    sys.setrecursionlimit(20_000)  # the deepest values are 1,000 levels; rendering takes two frames a level
    BUILD.mkdir(parents=True, exist_ok=True)
    groups = corpus(data_dir)
    values = [value for group in groups.values() for value in group]
    counts = [f"{group} {len(group_values)}" for group, group_values in groups.items()]
    rows, smallest, failures = [], {}, []
    for mode, indefinite in (("definite", False), ("indefinite", True)):
        items = [dumps(value, indefinite=indefinite).hex() for value in values]
        longest = max(items, key=len)
        corrupted = ["1c" + longest[2:], longest[:-2]]  # a reserved first byte; an item cut short
        items_file = BUILD / f"items-{mode}.hex"
        items_file.write_text("".join(item + "\n" for item in items + corrupted))
        for name, reader in READERS.items():
            readings = read(name, items_file, items + corrupted)
            failures += [
                f"{name} ({mode}) accepted the corrupted {c[:20]}…"
                for c, r in zip(corrupted, readings[len(items) :], strict=True)
                if not r.startswith("!")
            ]
            outcomes = dict.fromkeys(("exact", "otherwise", "refused", "unexplained"), 0)
            for value, item, reading in zip(values, items, readings[: len(items)], strict=True):
                if reading == render(tree(value)):
                    outcomes["exact"] += 1
                    continue
                limit, expected = explain(reader, value, mode, reading)
                if limit is None:
                    outcomes["unexplained"] += 1
                    failures.append(f"{name} ({mode}) read {shown(item)} as {reading[:160]}, expected {expected[:160]}")
                    continue
                outcomes["refused" if reading.startswith("!") else "otherwise"] += 1
                if len(item) < len(smallest.get((name, limit.text), item + "-")):
                    smallest[name, limit.text] = item
            rows.append(f"| {name} | {mode} | " + " | ".join(map(str, outcomes.values())) + " |")
            print(f"{name}, {mode}: " + ", ".join(f"{count} {outcome}" for outcome, count in outcomes.items()))
    today = datetime.datetime.now(datetime.timezone.utc).date().isoformat()
    table = [
        f"Measured on {today}, on {len(values)} values ({', '.join(counts)}), each written in both length modes,",
        f"with {runtimes()}, by these readers:",
        "",
        "| reader | version |",
        "|---|---|",
    ]
    table += [f"| {name} | {versions(reader.packages)} |" for name, reader in READERS.items()]
    table += ["", "| reader | mode | read exactly | read otherwise by a limit | refused by a limit | unexplained |"]
    table += ["|---|---|--:|--:|--:|--:|", *rows]
    table += ["", "The smallest item, as `dumps` wrote it, that each limit above explained:", ""]
    table += ["| reader | limit | item (hex) |", "|---|---|---|"]
    table += [
        f"| {name} | {re.split(r': | [(]', text)[0].rstrip('.')} | `{shown(item)}` |"
        for (name, text), item in smallest.items()
    ]
    print("\n".join(["", *table, "", *failures[:40]]))
    if failures:
        sys.exit(f"interop: {len(failures)} readings that no limit explains, or corrupted items accepted")
    TABLES.write_text("\n".join(table) + "\n")
    print(f"every reading exact or explained by a limit, every corrupted item refused; the tables are in {TABLES}")


def publish():
    from publish import replace_between_markers  # the benchmark's (PYTHONPATH=bench)

    if not TABLES.is_file():
        sys.exit(f"interop: no run to publish ({TABLES} is missing): run make interop first")
    replace_between_markers(PAGE, *LIMITS_MARKERS, limits_section())
    replace_between_markers(PAGE, *TABLES_MARKERS, TABLES.read_text())
    print(f"published {TABLES} and each reader's limits into {PAGE}")


if __name__ == "__main__":
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--data-dir", default=REPO / "examples" / "data", help="the folder of JSON documents")
    parser.add_argument("--publish", action="store_true", help="copy the last run's tables into interop/README.md")
    args = parser.parse_args()
    publish() if args.publish else measure(args.data_dir)
