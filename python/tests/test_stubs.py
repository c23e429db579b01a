"""The type stubs (imgnorm/__init__.pyi) against the module they describe, and
mypy --strict on the README's example and on wrong calls."""

import ast
import importlib.util
import inspect
import os
import pathlib
import re
import subprocess

import pytest
from test_readme import python_section

import imgnorm

STUB = ast.parse(pathlib.Path(imgnorm.__file__).with_name("__init__.pyi").read_text())


def stub_parameters(node):
    a = node.args
    return [p.arg for p in a.posonlyargs + a.args + a.kwonlyargs if p.arg not in ("self", "cls")]


def runtime_parameters(obj):
    """Names of obj's parameters: from its signature, or for the extension's
    functions from the signature line their docstrings start with."""
    try:
        sig = inspect.signature(obj)
    except (TypeError, ValueError):
        line = re.match(r"\w+\((.*?)\)", obj.__doc__).group(1)
        return [p.split("=")[0].strip() for p in line.split(",") if p.strip() not in ("", "*")], False
    kinds = (inspect.Parameter.VAR_POSITIONAL, inspect.Parameter.VAR_KEYWORD)
    return ([n for n, p in sig.parameters.items() if p.kind not in kinds and n != "self"],
            any(p.kind == inspect.Parameter.VAR_KEYWORD for p in sig.parameters.values()))


def check(name, obj, node):
    names, more_keywords = runtime_parameters(obj)
    stubbed = stub_parameters(node)
    if more_keywords:  # **parameters: the stub spells them out
        assert stubbed[:len(names)] == names and set(stubbed[len(names):]) == set(imgnorm._PARAMETERS), name
    else:
        assert stubbed == names, name


def test_stubs_describe_every_public_name_with_its_parameters_and_each_is_documented():
    top = {n.name: n for n in STUB.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    assigned = {t.id for n in STUB.body if isinstance(n, (ast.Assign, ast.AnnAssign))
                for t in (n.targets if isinstance(n, ast.Assign) else [n.target])}
    for name in imgnorm.__all__:
        assert name in top or name in assigned, name
        obj = getattr(imgnorm, name)
        assert obj.__doc__, name
        if callable(obj) and not isinstance(obj, type):
            check(name, obj, top[name])
    members = {n.name: n for n in top["Normalizer"].body if isinstance(n, ast.FunctionDef)}
    for name in [n for n in dir(imgnorm.Normalizer) if not n.startswith("_")] + ["__init__"]:
        assert name in members, name
        obj = getattr(imgnorm.Normalizer, name)
        assert obj.__doc__, name
        if not isinstance(obj, property):
            check(name, obj, members[name])
    # The method names and flags come from the library's table.
    literal = next(n.value for n in STUB.body if isinstance(n, ast.Assign) and n.targets[0].id == "MethodName")
    assert {e.value for e in literal.slice.elts} == set(imgnorm.METHOD_NAMES)
    flags = {t.targets[0].id: t.value.value for t in top["Method"].body if isinstance(t, ast.Assign)}
    assert flags == {name: int(m) for name, m in imgnorm.Method.__members__.items()}
    for section in ("Usage", "tool.train(", "tool.run(", "neighborhood_size", "BadParams", "GIL"):
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


def test_mypy_passes_the_readme_example_and_flags_wrong_calls(tmp_path):
    example = re.search(r"```python\n(.*?)```", python_section(), re.S).group(1)
    code, text = mypy(tmp_path, "example.py", example)
    assert code == 0, text
    wrong = ("import numpy as np\nimport imgnorm\n"
             "image = np.zeros((4, 4), np.uint8)\n"
             "imgnorm.normalize([[1, 2]], reference=image, method='histogram')\n"
             "imgnorm.Normalizer(image).run(image, 'histgram')\n")
    code, text = mypy(tmp_path, "wrong.py", wrong)
    assert code == 1 and re.search(r"wrong.py:4: error: .*List", text) and re.search(r"wrong.py:5: error", text), text
