"""Sphinx extension of imgnorm's site: runs Doxygen over the public headers
and expands ``.. imgnorm-headers:: FOLDER`` into one Breathe section per
public header of that folder.

The public headers are those imgnorm.h includes (it gives a client the whole
API) and the adapters' headers, so the reference follows that header and the
adapters' folder and needs no list of its own.
"""

import copy
import pathlib
import re
import subprocess
import xml.etree.ElementTree as ET

from docutils import nodes
from docutils.parsers.rst import Directive
from docutils.statemachine import StringList
from sphinx.util import logging
from sphinx.util.nodes import nested_parse_with_titles

logger = logging.getLogger(__name__)

DOCS = pathlib.Path(__file__).resolve().parents[1]
ROOT = DOCS.parent


def public_headers():
    """The headers imgnorm.h includes, in its order ("imgnorm/mxImageNormalizer.h", ...),
    then the adapters' headers (installed beside the library, not part of it)."""
    text = (ROOT / "imgnorm.h").read_text()
    adapters = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "adapters").rglob("*.h"))
    return re.findall(r'^#include "([^"]+\.h)"', text, re.M) + adapters


def run_doxygen(app):
    xml = pathlib.Path(app.config.breathe_projects["imgnorm"])
    out = xml.parent
    out.mkdir(parents=True, exist_ok=True)
    headers = " ".join(str(ROOT / h) for h in public_headers())
    doxyfile = f"""
PROJECT_NAME = imgnorm
OUTPUT_DIRECTORY = {out}
INPUT = {headers}
INPUT_FILTER = "/usr/bin/python3 {DOCS / '_ext' / 'doxyfilter.py'}"
FILTER_SOURCE_FILES = NO
STRIP_FROM_PATH = {ROOT}
STRIP_FROM_INC_PATH = {ROOT}
FULL_PATH_NAMES = YES
GENERATE_XML = YES
GENERATE_HTML = NO
GENERATE_LATEX = NO
XML_PROGRAMLISTING = NO
EXTRACT_ALL = YES
EXTRACT_PRIVATE = NO
EXTRACT_STATIC = YES
MAX_INITIALIZER_LINES = 1
EXCLUDE_SYMBOLS = *_detail* detail
HIDE_FRIEND_COMPOUNDS = YES
JAVADOC_AUTOBRIEF = YES
MARKDOWN_SUPPORT = NO
AUTOLINK_SUPPORT = NO
ENABLE_PREPROCESSING = YES
MACRO_EXPANSION = YES
EXPAND_ONLY_PREDEF = NO
SEARCH_INCLUDES = YES
INCLUDE_PATH = {ROOT}
PREDEFINED = IMGNORM_API=
QUIET = YES
WARNINGS = NO
"""
    subprocess.run(["doxygen", "-"], input=doxyfile, text=True, check=True, cwd=ROOT)
    one_home_per_namespace(xml)
    drop_private_members(xml)
    drop_empty_namespaces(xml)


def drop_private_members(xml):
    """Private members are no part of the API (Doxygen's XML keeps them)."""
    private = re.compile(r'\s*<sectiondef kind="private-[a-z-]+">.*?</sectiondef>', re.S)
    for path in xml.glob("*.xml"):
        text = path.read_text()
        if 'sectiondef kind="private-' in text:
            path.write_text(private.sub("", text))


def drop_empty_namespaces(xml):
    """A namespace whose only content is left out (imgnorm::detail) would be
    shown as an empty "namespace imgnorm" heading."""
    for compound in ET.parse(xml / "index.xml").getroot().iter("compound"):
        if compound.get("kind") != "namespace":
            continue
        ns = ET.parse(xml / (compound.get("refid") + ".xml")).getroot().find("compounddef")
        if any(ns.find(tag) is not None for tag in ("sectiondef", "innerclass", "innernamespace")):
            continue
        if "".join(ns.find("briefdescription").itertext()).strip() or "".join(
                ns.find("detaileddescription").itertext()).strip():
            continue
        line = f'<innernamespace refid="{compound.get("refid")}">'
        for path in xml.glob("*.xml"):
            text = path.read_text()
            if line in text:
                path.write_text("\n".join(x for x in text.split("\n") if line not in x))


def header_refids(xml):
    """Doxygen's id of each header's page ({"imgnorm/mxImageNormalizer.h": "mxImageNormalizer_8h"})."""
    ids = {}
    for compound in ET.parse(xml / "index.xml").getroot().iter("compound"):
        if compound.get("kind") == "file":
            location = ET.parse(xml / (compound.get("refid") + ".xml")).getroot().find("compounddef/location")
            ids[location.get("file")] = compound.get("refid")
    return ids


def one_home_per_namespace(xml):
    """A namespace declared in several headers (the tool's method table, its
    checks and its errors beside its methods) is declared on one header's
    section only: Breathe would declare it once per header, and Sphinx takes
    the second declaration for a duplicate.  Its home is the first header, in
    imgnorm.h's order, that declares members of it.  Breathe shows on a
    header's section only the members that header declares, so each other
    header gets its own members of the namespace as members of its own,
    under their qualified names ("mxImageNormalizerDefs::Method"): every
    declaration stays on its header's section and can be referred to."""
    refids = header_refids(xml)
    order = {refids[h]: i for i, h in enumerate(public_headers()) if h in refids}
    for compound in ET.parse(xml / "index.xml").getroot().iter("compound"):
        if compound.get("kind") != "namespace":
            continue
        ns = ET.parse(xml / (compound.get("refid") + ".xml")).getroot().find("compounddef")
        files = {loc.get("file") for loc in ns.iter("location")} - {None}
        homes = sorted((order[refids[f]] for f in files if f in refids and refids[f] in order))
        if not homes:
            continue
        home = [r for r, i in order.items() if i == homes[0]][0]
        for header, refid in refids.items():
            if refid == home or refid not in order:
                continue
            path = xml / (refid + ".xml")
            tree = ET.parse(path)
            compounddef = tree.getroot().find("compounddef")
            inner = [e for e in compounddef.findall("innernamespace") if e.get("refid") == compound.get("refid")]
            if not inner:
                continue
            for e in inner:
                compounddef.remove(e)
            for section in ns.findall("sectiondef"):
                members = members_of_header(section, header)
                if members is None:
                    continue
                # Into the header's own section of that kind (one "Functions" heading), or a new one.
                same = [s for s in compounddef.findall("sectiondef")
                        if s.attrib == section.attrib and s.findtext("header") == section.findtext("header")]
                if same:
                    same[0].extend(members.findall("memberdef"))
                else:
                    compounddef.insert(list(compounddef).index(compounddef.find("briefdescription")), members)
            tree.write(path, encoding="UTF-8", xml_declaration=True)


def members_of_header(sectiondef, header):
    """A copy of a namespace's section with only the members declared in header,
    each named by its qualified name; None when there are none."""
    members = [m for m in sectiondef.findall("memberdef") if m.find("location").get("file") == header]
    if not members:
        return None
    section = ET.Element("sectiondef", sectiondef.attrib)
    section.extend(copy.deepcopy(e) for e in sectiondef if e.tag != "memberdef")
    for member in members:
        member = copy.deepcopy(member)
        qualified = member.findtext("qualifiedname")
        if qualified:
            member.find("name").text = qualified
        section.append(member)
    return section


class HeadersDirective(Directive):
    """One section per public header in the folder given as argument."""

    required_arguments = 1

    def run(self):
        folder = self.arguments[0].rstrip("/") + "/"
        env = self.state.document.settings.env
        if not hasattr(env, "imgnorm_header_folders"):
            env.imgnorm_header_folders = {}
        env.imgnorm_header_folders[folder] = env.docname
        refids = header_refids(pathlib.Path(self.state.document.settings.env.config.breathe_projects["imgnorm"]))
        lines = []
        for header in public_headers():
            if not header.startswith(folder):
                continue
            lines += [f"``{header}``", "-" * (len(header) + 4), "", f".. doxygenfile:: {header}", ""]
        node = nodes.section()
        node.document = self.state.document
        nested_parse_with_titles(self.state, StringList(lines, source=f"imgnorm.h ({folder})"), node)
        # Breathe links a header's name (in "#include" lines) to Doxygen's id
        # of its page: the section of that header here.  Labels are registered
        # as they are spelled (a label written in reST would be lower-cased).
        std = env.get_domain("std")
        for section in node.children:
            header = section.astext().split("\n", 1)[0] if isinstance(section, nodes.section) else None
            if header in refids:
                section["ids"].append(refids[header])
                std.anonlabels[refids[header]] = (env.docname, refids[header])
                std.labels[refids[header]] = (env.docname, refids[header], header)
        return node.children


def every_header_has_a_page(app, env):
    """A public header in a folder that no page lists is an error, not a gap."""
    folders = getattr(env, "imgnorm_header_folders", {})
    for header in public_headers():
        if not any(header.startswith(folder) for folder in folders):
            logger.warning(f"public header {header} is on no page: add '.. imgnorm-headers:: "
                           f"{header.split('/')[0]}' to a page under docs/api/")


def purge_folders(app, env, docname):
    folders = getattr(env, "imgnorm_header_folders", {})
    for folder in [f for f, doc in folders.items() if doc == docname]:
        del folders[folder]


def merge_folders(app, env, docnames, other):
    if not hasattr(env, "imgnorm_header_folders"):
        env.imgnorm_header_folders = {}
    env.imgnorm_header_folders.update(getattr(other, "imgnorm_header_folders", {}))


def setup(app):
    app.connect("builder-inited", run_doxygen)
    app.connect("env-check-consistency", every_header_has_a_page)
    app.connect("env-purge-doc", purge_folders)
    app.connect("env-merge-info", merge_folders)
    app.add_directive("imgnorm-headers", HeadersDirective)
    return {"parallel_read_safe": True}
