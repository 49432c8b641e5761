"""Fast, exact CBOR (RFC 8949) encoding of Python object trees."""

from typing import Any, Protocol, SupportsIndex, SupportsInt

__version__: str

class _SupportsBool(Protocol):
    def __bool__(self) -> bool: ...

# What dumps takes as a value: the built-in kinds, and any object with
# __index__, __bool__ or __int__ (written as an integer or a truth value).
# Elements of containers are checked only when they are written.
_Value = (
    None
    | bool
    | int
    | float
    | str
    | bytes
    | list[Any]
    | tuple[Any, ...]
    | dict[Any, Any]
    | SupportsIndex
    | _SupportsBool
    | SupportsInt
)

def dumps(value: _Value, indefinite: bool = True, max_depth: int = 0) -> bytes:
    """Write a tree of Python objects as CBOR (RFC 8949) and return the bytes.

    Arguments:
        value: the object to write; lists, tuples and dicts nest freely.
        indefinite: True (the default) writes every array and map with an
            indefinite length (9f / bf ... ff); False writes its count in
            the head. Text and byte strings always carry their length.
        max_depth: 0 (the default) sets no limit on nesting; N refuses an
            element inside more than N containers. The top-level value is
            not counted.

    What each value becomes:
        None, True, False: null, true, false (f6, f5, f4).
        int (subclasses and IntEnum members too): unsigned or negative
            integer with the shortest head; it must fit in 64 bits.
        float (and subclasses): the narrowest of half, single and double
            precision that reads back as exactly the same number; inf,
            -inf and nan are f9 7c 00, f9 fc 00 and f9 7e 00.
        str, bytes (and subclasses): text string (UTF-8), byte string.
        list, tuple (named tuples too): array.
        dict (OrderedDict too): map in insertion order, key before value.
        Any other object: with __index__, that integer; else with __bool__,
            its truth value (so Decimal, Fraction, complex and
            numpy.float32 become true or false); else with __int__, that
            integer (uuid.UUID). Anything else (set, bytearray, datetime)
            is refused.

    Subclasses of the built-in types are written from their stored contents;
    their own __iter__, items, __str__ or __float__ is never called.

    Returns:
        bytes: the CBOR encoding of value, a new object on every call.

    Raises:
        TypeError: the arguments do not fit the signature, or the top-level
            value is of no kind above.
        RuntimeError: a nested value is of no kind above, or a str has no
            UTF-8 form ("Unable to cast Python instance to C++ type ...");
            nesting deeper than max_depth ("Exceeded recursion limit:N");
            an integer outside both 64-bit ranges; a value's own Python
            code changed a container while it was being written.
        RecursionError: without max_depth, nesting deeper than the
            interpreter's recursion limit, including a container that
            contains itself; with or without it, nesting deeper than the
            calling thread's native stack allows.
        MemoryError: the output cannot grow.
        KeyboardInterrupt, SystemExit, MemoryError, RecursionError: raised by
            a value's own methods, they pass through unchanged; any other
            exception from them only means that the value is refused.

    Examples:
        >>> dumps({"a": [1, 2.5]}).hex(" ")
        'bf 61 61 9f 01 f9 41 00 ff ff'
        >>> dumps({"a": [1, 2.5]}, indefinite=False).hex(" ")
        'a1 61 61 82 01 f9 41 00'
        >>> dumps([[1]], max_depth=1)
        Traceback (most recent call last):
          ...
        RuntimeError: Exceeded recursion limit:1
    """
