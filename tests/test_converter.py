"""The JSON converter example reports each bad input in one line."""

import importlib.util
import pathlib

import pytest

CONVERTER = pathlib.Path(__file__).parents[1] / "examples" / "json_to_cbor.py"
loader = importlib.util.spec_from_file_location("json_to_cbor", CONVERTER)
json_to_cbor = importlib.util.module_from_spec(loader)
loader.loader.exec_module(json_to_cbor)


@pytest.mark.parametrize(
    "content, options, message",
    [
        (None, [], "in.json: cannot read: No such file or directory"),
        ("directory", [], "in.json: cannot read: Is a directory"),
        (b'{"a": [1,\n  2,, 3]}', [], "in.json:2:5: invalid JSON: Expecting value"),
        (b'["caf\xe9"]', [], "in.json: not UTF-8: byte 0xe9 at offset 5"),
        (b"[" * 100_000 + b"]" * 100_000, [], "in.json: JSON nested too deeply for Python's json module"),
        (b"[[[1]]]", ["--max-depth", "1"], "in.json: cannot encode: Exceeded recursion limit:1"),
        (b"[1]", ["--output", "missing/out.cbor"], "missing/out.cbor: cannot write: No such file or directory"),
    ],
)
def test_failure_is_one_line_naming_the_file(tmp_path, monkeypatch, capsys, content, options, message):
    monkeypatch.chdir(tmp_path)
    if content == "directory":
        (tmp_path / "in.json").mkdir()
    elif content is not None:
        (tmp_path / "in.json").write_bytes(content)
    assert json_to_cbor.main(["in.json", *options]) == 1
    captured = capsys.readouterr()
    assert (captured.out, captured.err) == ("", f"json_to_cbor: {message}\n")
