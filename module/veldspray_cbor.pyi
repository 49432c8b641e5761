"""Fast, exact CBOR (RFC 8949) encoding of Python object trees."""

from typing import Any, Union

__version__: str

def dumps(
    value: Union[None, bool, int, float, str, bytes, list[Any], tuple[Any, ...], dict[Any, Any]],
    indefinite: bool = True,
    max_depth: int = 0,
) -> bytes:
    """Dump a Python object to cbor"""
