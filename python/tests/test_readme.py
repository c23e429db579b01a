"""The README's Python section as written, and an install into a scratch prefix."""

import os
import pathlib
import re
import subprocess

ROOT = pathlib.Path(__file__).resolve().parents[2]
BUILD = pathlib.Path(os.environ.get("IMGNORM_BUILD_DIR", ROOT / "build"))


def python_section():
    text = (ROOT / "README.md").read_text()
    return text.split("\n## Python\n", 1)[1].split("\n## ", 1)[0]


def test_readme_example_runs_as_written(tmp_path):
    section = python_section()
    (tmp_path / "example.py").write_text(re.search(r"```python\n(.*?)```", section, re.S).group(1))
    command = next(c.strip() for c in re.findall(r"```sh\n(.*?)```", section, re.S) if "example.py" in c)
    # The command names build/python relative to the repository folder: run
    # it in a folder where build/ is this build tree.
    (tmp_path / "build").symlink_to(BUILD)
    out = subprocess.run(["bash", "-c", command], cwd=tmp_path, capture_output=True, text=True, env={
        k: v for k, v in os.environ.items() if k != "PYTHONPATH"})
    assert out.returncode == 0, out.stderr
    assert "mean error" in out.stdout and "NotTrained 0x10007a02" in out.stdout


def test_installed_package_imports_from_the_documented_folder(tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run(["cmake", "--install", str(BUILD), "--prefix", str(prefix), "--component", "python"], check=True,
                   capture_output=True)
    site = prefix / "lib/python3/dist-packages"
    env = {k: v for k, v in os.environ.items() if k != "PYTHONPATH"}
    env["PYTHONPATH"] = str(site)
    out = subprocess.run(["/usr/bin/python3", "-c", "import imgnorm, numpy as np; print(imgnorm.__file__, "
                          "imgnorm.normalize(np.eye(8, dtype=np.uint8), reference=np.eye(8, dtype=np.uint8), method='histogram').sum())"],
                         env=env, capture_output=True, text=True, cwd=tmp_path)
    assert out.returncode == 0, out.stderr
    assert out.stdout.startswith(str(site / "imgnorm" / "__init__.py")) and out.stdout.split()[1] == "8"
