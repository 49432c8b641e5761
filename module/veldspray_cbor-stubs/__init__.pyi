"""Exact CBOR (RFC 8949) encoding of Python object trees."""

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
        indefinite: `True` (the default) writes every array and map with an
            indefinite length (`9f` / `bf` ... `ff`); `False` writes its count
            in the head. Text and byte strings always carry their length.
            Any other object whose type has `__bool__` counts as its truth
            value: `None` and `0` as `False`, `1` as `True`, and so do
            floats and `numpy.bool_`. One without `__bool__` (a `str`, a
            `list`), or whose `__bool__` raises, raises `TypeError`.
        max_depth: `0` (the default) sets no limit on nesting; N, from 1 to
            18446744073709551615 (2**64 - 1), refuses an element inside more
            than N containers. The top-level value is not counted. It takes
            an `int` (`True` as 1) or another number that is not a `float`,
            read through `int()` (`numpy.int64(8)` as 8, `Decimal("1.7")` as
            1). A negative number, one above 2**64 - 1, a `float`, `None` or
            a `str` raises `TypeError`.

    What each value becomes:
        None, True, False: null, true, false (`f6`, `f5`, `f4`).
        int (subclasses and IntEnum members too): unsigned or negative
            integer with the shortest head, from -9223372036854775808
            (-2**63) to 18446744073709551615 (2**64 - 1); any other int
            raises `RuntimeError`.
        float (and subclasses): the narrowest of half, single and double
            precision that reads back as exactly the same number, half
            precision only for zeros and normal half-precision numbers (a
            half-precision subnormal, such as `2**-24`, is written in single
            precision); `inf`, `-inf` and `nan` are `f9 7c 00`, `f9 fc 00`
            and `f9 7e 00`.
        str, bytes (and subclasses): text string (UTF-8), byte string.
        list, tuple (named tuples too): array.
        dict (OrderedDict too): map in insertion order, key before value.
        Any other object: the first of these that it has and that works:
            `__index__`, that integer, in the range above; `__bool__`, its
            truth value; `__int__`, that integer (`uuid.UUID`), in the range
            above. An object with none that works (`set`, `bytearray`,
            `datetime`, a `UUID` above 2**64 - 1) is refused.

    Subclasses of the built-in types are written from their stored contents;
    their own `__iter__`, `items`, `__str__` or `__float__` is never called.

    Warning:
        Some common types are written as `true` or `false`, their truth
        value, without an error: `Decimal`, `Fraction`, `complex`,
        `numpy.float32`, `numpy.float16`, `numpy.longdouble`, `numpy.uint64`
        above 2**63 - 1, `datetime.timedelta`, `collections.deque` and
        `range`. Convert them before the call: `str(x)` or `float(x)`,
        `x.item()` or `x.tolist()` for NumPy's values, `x.total_seconds()`,
        `list(x)`.

    Returns:
        bytes: the CBOR encoding of value, a new object on every call.

    Raises:
        TypeError: the arguments do not fit the signature, or the top-level
            value is refused. The text's first line is `dumps(): incompatible
            function arguments. The following argument types are supported:`;
            the next lines name the signature and the arguments given.
        RuntimeError: `Unable to cast Python instance to C++ type (compile in
            debug mode for details)`: a nested value is refused, or a `str`
            holds a lone surrogate and has no UTF-8 form.
        RuntimeError: `Exceeded recursion limit:N`: nesting deeper than
            `max_depth` N.
        RuntimeError: `dumps received an integer out of range for both int64_t
            and uint64_t`, followed by up to 40 bytes of the value's text: an
            int outside the range above.
        RuntimeError: `list changed size during dumps`, `dict changed size
            during dumps` or `dict changed during dumps`: a value's own Python
            code changed a container while it was being written.
        RuntimeError: `Could not allocate bytes object!`: there is no memory
            for the result.
        RecursionError: nesting deeper than the recursion limit (without
            `max_depth`) or than the native stack allows; on a stack that is
            not the thread's own, the stack that a call uses counts against
            the recursion limit: see "Where it runs".
        MemoryError: the output cannot grow.
        BaseException: an exception outside `Exception`, a `MemoryError` or a
            `RecursionError` from a value's or an argument's own code ends the
            call unchanged, such as `KeyboardInterrupt`, asyncio's
            `CancelledError` or gevent's `Timeout`: see "Where it runs".

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
