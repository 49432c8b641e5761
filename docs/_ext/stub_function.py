"""The `stub-function` directive documents a function of the current module
(set by `py:module`) from its type stub, so that the stub's docstring is the
reference's one source:

    .. stub-function:: ../module/veldspray_cbor-stubs/__init__.pyi dumps

It generates reStructuredText, so it belongs on a .rst page.

The signature is the one a caller writes: names and defaults, without the
stub's parameter types. The docstring's Google-style sections (Arguments,
Returns, Raises, Examples, and the custom one below) become the Python
domain's fields, through napoleon.
"""

import ast
import pathlib

from docutils import nodes
from docutils.statemachine import StringList
from sphinx.ext.napoleon import Config
from sphinx.ext.napoleon.docstring import GoogleDocstring
from sphinx.util.docutils import SphinxDirective

NAPOLEON = Config(napoleon_custom_sections=[("What each value becomes", "params_style")])


def caller_signature(function: ast.FunctionDef) -> str:
    arguments = function.args
    if arguments.posonlyargs or arguments.vararg or arguments.kwonlyargs or arguments.kwarg:
        raise ValueError(f"{function.name}: only plain positional-or-keyword parameters are rendered")
    defaults = [None] * (len(arguments.args) - len(arguments.defaults)) + arguments.defaults
    parameters = [
        argument.arg if default is None else f"{argument.arg}={ast.unparse(default)}"
        for argument, default in zip(arguments.args, defaults, strict=True)
    ]
    returns = f" -> {ast.unparse(function.returns)}" if function.returns else ""
    return f"{function.name}({', '.join(parameters)}){returns}"


class StubFunction(SphinxDirective):
    required_arguments = 2

    def run(self) -> list[nodes.Node]:
        stub, name = self.arguments
        relative_path, path = self.env.relfn2path(stub)
        self.env.note_dependency(relative_path)
        tree = ast.parse(pathlib.Path(path).read_text(encoding="utf-8"), filename=path)
        function = next((node for node in tree.body if isinstance(node, ast.FunctionDef) and node.name == name), None)
        if function is None:
            raise self.error(f"{stub} defines no function {name}")
        body = str(GoogleDocstring(ast.get_docstring(function) or "", NAPOLEON, what="function"))
        lines = [f".. py:function:: {caller_signature(function)}", ""]
        lines += [f"   {line}" if line else "" for line in body.splitlines()]
        container = nodes.Element()
        self.state.nested_parse(StringList(lines, source=path), 0, container)
        return container.children


def setup(app):
    app.add_directive("stub-function", StubFunction)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
