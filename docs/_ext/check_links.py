"""Checks the local links of a built HTML site: every href and src that
names no other address must lead to a file of the site, and its #anchor (if
any) to an id in that file.  Markdown files given after the site (the
README, which links into docs/ but is not part of the site) must have every
relative link lead to an existing file.  Contacts nothing.

Usage: check_links.py HTML_DIR [MARKDOWN_FILE...]
       (exit status 1 and one line per broken link)
"""

import html.parser
import pathlib
import re
import sys
import urllib.parse


class Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.links = set(), []

    def handle_starttag(self, tag, attrs):
        for name, value in attrs:
            if name in ("id", "name") and value:
                self.ids.add(value)
            if name in ("href", "src") and value is not None:
                self.links.append(value)


def parse(path):
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def broken_links(root):
    pages = {p.resolve(): parse(p) for p in root.rglob("*.html")}
    broken = []
    for path, page in sorted(pages.items()):
        for link in page.links:
            url = urllib.parse.urlsplit(link)
            if url.scheme or url.netloc:  # another address: not followed
                continue
            target = (path.parent / urllib.parse.unquote(url.path)).resolve() if url.path else path
            if root not in target.parents and target != root:
                broken.append(f"{path.relative_to(root)}: {link}: leads out of the site")
            elif target.is_dir():
                if not (target / "index.html").exists():
                    broken.append(f"{path.relative_to(root)}: {link}: a folder without index.html")
            elif not target.exists():
                broken.append(f"{path.relative_to(root)}: {link}: no such file")
            elif url.fragment and target.suffix == ".html":
                anchor = urllib.parse.unquote(url.fragment)
                if anchor not in pages[target].ids:
                    broken.append(f"{path.relative_to(root)}: {link}: no anchor #{anchor}")
    return broken, len(pages)


def broken_markdown_links(path):
    text = re.sub(r"```.*?```", "", path.read_text(encoding="utf-8"), flags=re.S)
    broken = []
    for link in re.findall(r"\]\(([^)\s]+)\)", text):
        url = urllib.parse.urlsplit(link)
        if not (url.scheme or url.netloc) and url.path and not (path.parent / url.path).exists():
            broken.append(f"{path}: {link}: no such file")
    return broken


if __name__ == "__main__":
    root = pathlib.Path(sys.argv[1]).resolve()
    broken, count = broken_links(root)
    for markdown in sys.argv[2:]:
        broken += broken_markdown_links(pathlib.Path(markdown))
    for line in broken:
        print(line, file=sys.stderr)
    if broken:
        sys.exit(1)
    print(f"{count} pages, every local link resolves")
