"""Doxygen input filter: reads a header's plain // comments as documentation.

The headers are commented in plain C++ comments, and the comments are the
reference.  Doxygen only reads ///-style comments, so this filter rewrites,
on the way into Doxygen only (the files are not changed):

- the comment block that opens the file -> the file's description;
- a block of whole-line comments directly above a declaration -> the
  declaration's description (a block followed by a blank line, a
  preprocessor line or a closing brace is commentary and stays as it is);
- a comment after a declaration on the same line (members, enumerators)
  -> that declaration's description;
- section rulers ("// ---- setters ----") stay plain comments;
- a string or character literal loses its encoding prefix (L"...",
  u8"...", U'x'), which Sphinx's C++ parser does not read.

Usage (Doxygen's INPUT_FILTER): doxyfilter.py FILE, writes to standard output.
"""

import re
import sys

WHOLE = re.compile(r"^(\s*)//(?!/)\s?(.*)$")
TRAILING = re.compile(r"^(\s*[^/\s].*?[;,])(\s*)//(?![/<])\s?(.*)$")
RULER = re.compile(r"^\s*//\s*-{3,}")
# A string or character literal with its encoding prefix, if any; matched
# literal by literal, so a quote inside a literal starts nothing.
LITERAL = re.compile(r"""(?:\b(?:u8|[LuU]))?("(?:[^"\\]|\\.)*"|'(?:[^'\\]|\\.)*')""")


def is_declaration(line):
    s = line.strip()
    return bool(s) and not s.startswith(("#", "}", "//", "public:", "private:", "protected:"))


def convert(lines):
    out = []
    i, n = 0, len(lines)
    # The file's opening block.
    if n and WHOLE.match(lines[0]) and not RULER.match(lines[0]):
        out.append("/// @file")
        while i < n and WHOLE.match(lines[i]):
            out.append("///" + lines[i].split("//", 1)[1])
            i += 1
    while i < n:
        if RULER.match(lines[i]):  # a ruler, over as many lines as it takes
            while i < n and WHOLE.match(lines[i]):
                out.append(lines[i])
                i += 1
                if out[-1].rstrip().endswith("----"):
                    break
            continue
        m = WHOLE.match(lines[i])
        if m:
            j = i
            while j < n and WHOLE.match(lines[j]) and not RULER.match(lines[j]):
                j += 1
            doc = j < n and is_declaration(lines[j])
            for k in range(i, j):
                out.append(re.sub(r"^(\s*)//", r"\1///", lines[k]) if doc else lines[k])
            i = j
            continue
        lines[i] = LITERAL.sub(r"\1", lines[i])
        t = TRAILING.match(lines[i])
        if t and '"' not in t.group(1):
            out.append(f"{t.group(1)}{t.group(2)}///< {t.group(3)}")
        else:
            out.append(lines[i])
        i += 1
    return out


if __name__ == "__main__":
    with open(sys.argv[1], encoding="utf-8") as f:
        text = f.read().split("\n")
    sys.stdout.write("\n".join(convert(text)))
