"""What several test files share: the tables that the codec's own tests read
too, and the walk over the objects inside a value."""

import pathlib

TABLES = pathlib.Path(__file__).parent / "tables"


def table(name):
    """The (value text, expected hex) rows of tests/tables/NAME. Lines starting
    with '#' are comments; words past the second column are notes."""
    rows = []
    for line in (TABLES / name).read_text().splitlines():
        fields = line.split()
        if len(fields) >= 2 and not line.startswith("#"):
            rows.append((fields[0], fields[1]))
    return rows


def objects_in(value, seen=None):
    """Every object reachable through the containers of a value (dict keys and
    values, list and tuple items), each once."""
    seen = {} if seen is None else seen
    if id(value) not in seen:
        seen[id(value)] = value
        children = (
            [*value.keys(), *value.values()]
            if isinstance(value, dict)
            else value
            if isinstance(value, (list, tuple))
            else ()
        )
        for child in children:
            objects_in(child, seen)
    return list(seen.values())
