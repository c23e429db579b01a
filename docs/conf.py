# Sphinx configuration of imgnorm's documentation site.
#
# Built by scripts/docs.sh (which sets the environment variables below); with
# only Debian's packages: python3-sphinx (autodoc, napoleon), furo,
# python3-myst-parser (the Markdown pages), doxygen and python3-breathe.
#
# The C++ reference is made by Doxygen from the public headers and shown
# through Breathe, not written out by hand in Sphinx's C++ domain: the
# headers' comments are the reference, so a declaration or comment changed in
# a header is changed in the site at the next build, and a header added to
# imgnorm.h (the header that gives a client the whole public API) gets its
# section on its folder's page with no edit here (a header in a folder that
# no page lists fails the build).  Hand-written C++ domain pages would copy
# every declaration and comment and go stale silently.  The headers use plain
# // comments, which _ext/doxyfilter.py hands to Doxygen as documentation
# comments, so the headers need no Doxygen markup.
#
# The Python reference is autodoc over the imported package, so the extension
# module must be built: IMGNORM_PYTHON_DIR names the folder that holds the
# built package (<build>/python).

import os
import pathlib
import re
import sys

DOCS = pathlib.Path(__file__).resolve().parent
ROOT = DOCS.parent
BUILD = pathlib.Path(os.environ.get("IMGNORM_DOCS_WORK", ROOT / "build" / "docs"))
sys.path.insert(0, os.environ.get("IMGNORM_PYTHON_DIR", str(ROOT / "build" / "python")))
sys.path.insert(0, str(DOCS / "_ext"))

project = "imgnorm"
author = "the imgnorm developers"
copyright = "the imgnorm developers"
_version = re.search(r"project\(imgnorm VERSION ([0-9.]+)", (ROOT / "CMakeLists.txt").read_text())
release = version = _version.group(1) if _version else ""

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx.ext.napoleon",
    "breathe",
    "imgnorm_docs",
]
source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "_ext", "README.md"]
root_doc = "index"
html_theme = "furo"
html_title = f"imgnorm {release}"
html_static_path = []
# Markdown headings get anchors, so that pages can link to each other's sections.
myst_heading_anchors = 3
myst_enable_extensions = ["colon_fence"]

# Python: numpy-style docstrings.
autodoc_member_order = "bysource"
autodoc_default_options = {"members": True, "undoc-members": False, "show-inheritance": True}
napoleon_google_docstring = False
napoleon_numpy_docstring = True
napoleon_custom_sections = [("Usage", "Examples")]

# C++: Doxygen's XML of the public headers (run at every build: it takes a few seconds).
DOXYGEN_XML = BUILD / "doxygen" / "xml"
breathe_projects = {"imgnorm": str(DOXYGEN_XML)}
breathe_default_project = "imgnorm"
breathe_default_members = ("members",)
breathe_domain_by_extension = {"h": "cpp"}

# Every reference must resolve (scripts/docs.sh builds with -n -W), except the
# type fields of numpy-style docstrings, which are prose ("2-D uint8 array",
# "(low, high) fractions") or name other packages' classes (numpy.ndarray):
# Sphinx would read each word as a reference.  References to imgnorm's own
# objects are still checked.
# OpenCV's classes, which the OpenCV adapter's functions take, are not in this
# site either.
nitpick_ignore_regex = [(r"py:(class|exc|obj|data)", r"(?!imgnorm\b).*"), (r"cpp:identifier", r"cv(::.*)?")]
