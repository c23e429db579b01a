"""The type stubs against the module and pybind11's signatures; mypy --strict on examples."""

import __future__
import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess
import types
import typing

import numpy
import numpy.typing
import pytest
from test_readme import python_section

import imgnorm

SOURCE = pathlib.Path(imgnorm.__file__).with_name("__init__.pyi").read_text()
STUB = ast.parse(SOURCE)
# The stub executed (annotations left as text): its aliases and classes, in
# which both sides' annotations are evaluated.
STUB_NAMES = {}
exec(compile(SOURCE, "__init__.pyi", "exec", __future__.annotations.compiler_flag, dont_inherit=True), STUB_NAMES)
SIGNATURE_NAMES = {"numpy": numpy, "typing": typing, "os": os, "Tuple": typing.Tuple,
                   "imgnorm": types.SimpleNamespace(**STUB_NAMES)}


def canon(t):
    """A comparable form of a type: unions as sets (flattened), TypeVars as
    the union of their constraints, Literal values as sets."""
    if isinstance(t, typing.TypeVar):
        return canon(typing.Union[t.__constraints__])
    origin, args = typing.get_origin(t), typing.get_args(t)
    if origin in (typing.Union, types.UnionType):
        members = [canon(a) for a in args]
        nested = [c[1] if isinstance(c, tuple) and c[0] == "union" else [c] for c in members]
        return ("union", frozenset(m for group in nested for m in group))
    if origin is typing.Literal:
        return ("literal", frozenset(args))
    return t if origin is None else (origin, tuple(canon(a) for a in args))


def typed_parameters(node, names):
    """[(name, canonical type, has default)] of a def and its return type."""
    a = node.args
    defaults = {p.arg for p, d in zip((a.posonlyargs + a.args)[::-1], a.defaults[::-1])}
    defaults |= {p.arg for p, d in zip(a.kwonlyargs, a.kw_defaults) if d is not None}
    kind = lambda e: canon(eval(ast.unparse(e), names))  # noqa: E731
    return ([(p.arg, kind(p.annotation), p.arg in defaults) for p in a.posonlyargs + a.args + a.kwonlyargs
             if p.arg not in ("self", "cls", "arg0")], kind(node.returns))


def signature_of(obj):
    """The signature pybind11 wrote at the head of obj's docstring, as a def."""
    line = obj.__doc__.split("\n", 1)[0]
    return ast.parse("def " + re.sub(r"^\w*\(", "f(", line) + ": ...").body[0]


def check(name, obj, nodes):
    """obj against its stub (the defs of one name: overloads, or a property's
    getter and setter)."""
    if isinstance(obj, property):
        for accessor, node in zip((obj.fget, obj.fset), nodes):
            runtime = typed_parameters(signature_of(accessor), SIGNATURE_NAMES)
            stubbed = typed_parameters(node, STUB_NAMES)
            assert [t for _, t, _ in runtime[0]] == [t for _, t, _ in stubbed[0]] and runtime[1] == stubbed[1], name
        return
    stubbed, returns = typed_parameters(nodes[0], STUB_NAMES)
    try:
        sig = inspect.signature(obj)  # a Python function: names only, **parameters spelt out in the stub
        names = [n for n, p in sig.parameters.items() if p.kind not in (p.VAR_POSITIONAL, p.VAR_KEYWORD)]
        spelt = {n for n, _, _ in stubbed[len(names):]}
        more = any(p.kind == p.VAR_KEYWORD for p in sig.parameters.values())
        assert [n for n, _, _ in stubbed[:len(names)]] == names, name
        assert spelt == set(imgnorm._PARAMETERS if more else ()), name
    except ValueError:  # the extension's: types and defaults too (but the run overloads' types)
        runtime, runtime_returns = typed_parameters(signature_of(obj), SIGNATURE_NAMES)
        if len(nodes) > 1:
            assert [n for n, _, _ in runtime] == [n for n, _, _ in stubbed], name
        else:
            assert runtime == stubbed and runtime_returns == returns, name


def test_stubs_describe_every_public_name_with_its_parameters_and_types_and_each_is_documented():
    top = {}
    for n in STUB.body:
        if isinstance(n, (ast.FunctionDef, ast.ClassDef)):
            top.setdefault(n.name, []).append(n)
    assigned = {t.id for n in STUB.body if isinstance(n, (ast.Assign, ast.AnnAssign))
                for t in (n.targets if isinstance(n, ast.Assign) else [n.target])}
    for name in imgnorm.__all__:
        assert name in top or name in assigned, name
        obj = getattr(imgnorm, name)
        assert obj.__doc__, name
        if callable(obj) and not isinstance(obj, type):
            check(name, obj, top[name])
    members = {}
    for n in top["Normalizer"][0].body:
        if isinstance(n, ast.FunctionDef):
            members.setdefault(n.name, []).append(n)
    for name in [n for n in dir(imgnorm.Normalizer) if not n.startswith("_")] + ["__init__"]:
        assert name in members, name
        obj = inspect.getattr_static(imgnorm.Normalizer, name)
        obj = obj if isinstance(obj, property) else getattr(imgnorm.Normalizer, name)
        assert obj.__doc__, name
        check(name, obj, members[name])
    # The method names and flags come from the library's table.
    assert STUB_NAMES["MethodName"] == typing.Literal[tuple(imgnorm.METHOD_NAMES)]
    flags = {t.targets[0].id: t.value.value for t in top["Method"][0].body if isinstance(t, ast.Assign)}
    assert flags == {name: int(m) for name, m in imgnorm.Method.__members__.items()}
    for section in ("Usage", "tool.train(", "tool.run(", "neighborhood_size", "BadParams", "GIL", "uint16"):
        assert section in imgnorm.Normalizer.__doc__


def mypy(tmp_path, name, code):
    if importlib.util.find_spec("mypy") is None:
        pytest.skip("mypy is not installed (python3-mypy)")
    path = tmp_path / name
    path.write_text(code)
    env = dict(os.environ, MYPYPATH=str(pathlib.Path(imgnorm.__file__).parents[1]))
    out = subprocess.run(["/usr/bin/python3", "-m", "mypy", "--strict", "--cache-dir", str(tmp_path / "cache"),
                          str(path)], capture_output=True, text=True, env=env, cwd=tmp_path)
    return out.returncode, out.stdout


def test_mypy_passes_the_readme_examples_and_flags_wrong_calls(tmp_path):
    for i, example in enumerate(re.findall(r"```python\n(.*?)```", python_section(), re.S)):
        code, text = mypy(tmp_path, "example%d.py" % i, example)
        assert code == 0, text
    wrong = ("import numpy as np\nimport imgnorm\n"
             "image = np.zeros((4, 4), np.uint8)\n"
             "imgnorm.normalize([[1, 2]], reference=image, method='histogram')\n"
             "imgnorm.Normalizer(image).run(image, 'histgram')\n"
             "deep: 'np.typing.NDArray[np.uint16]' = imgnorm.match_histograms(image, image)\n")
    code, text = mypy(tmp_path, "wrong.py", wrong)
    assert code == 1 and all(re.search(r"wrong.py:%d: error" % n, text) for n in (4, 5, 6)), text
