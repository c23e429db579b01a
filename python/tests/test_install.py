"""A wheel built offline, installed into a fresh venv, imported from elsewhere."""

import os
import shutil
import subprocess
from pathlib import Path

import imgnorm

ROOT = Path(__file__).resolve().parents[2]
PROBE = """
import importlib.metadata, pathlib, numpy as np, imgnorm
ref = np.tile(np.arange(256, dtype=np.uint8), (16, 1))
out = imgnorm.normalize((ref // 2 + 40).astype(np.uint8), reference=ref, method="mean-stddev")
assert int(abs(out.astype(int) - ref).max()) <= 1
typed = all((pathlib.Path(imgnorm.__file__).parent / f).is_file() for f in ("py.typed", "__init__.pyi"))
print(importlib.metadata.version("imgnorm"), imgnorm.__version__, typed, imgnorm.__file__)
"""


def test_wheel_installs_into_a_venv_and_imports_anywhere(tmp_path):
    src = tmp_path / "src"
    shutil.copytree(ROOT, src, ignore=shutil.ignore_patterns(".git", "build*", "out", "dist", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    subprocess.run(["/usr/bin/python3", "-m", "build", "--wheel", "--no-isolation", "--outdir", str(tmp_path / "dist"),
                    str(src)], check=True, env=env, capture_output=True)
    wheels = list((tmp_path / "dist").glob("imgnorm-*.whl"))
    assert len(wheels) == 1
    venv = tmp_path / "venv"
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", str(venv)], check=True, env=env)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-index", "--no-deps", str(wheels[0])],
                   check=True, env=env)
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    probe = subprocess.run([str(venv / "bin" / "python"), "-c", PROBE], cwd=elsewhere, env=env, check=True,
                           capture_output=True, text=True)
    installed, version, typed, where = probe.stdout.split()
    assert installed == version == imgnorm.__version__
    assert typed == "True"
    assert Path(where).is_relative_to(venv)
