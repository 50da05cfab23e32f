"""Check a built HTML site without the network: every internal link, image, style sheet and
script of every page must lead to a file of the site, and every #fragment to an id on the page
it names. External links (http:, https:, mailto:) are not followed.

    python docs/check_site.py build/docs/html

Prints each problem as PAGE: what is wrong, and exits with status 1 if there is any.
"""

from __future__ import annotations

import sys
from html.parser import HTMLParser
from pathlib import Path
from typing import Dict, List, Optional, Set, Tuple
from urllib.parse import unquote, urlsplit

# (tag, attribute) pairs that point at something the page needs or offers.
REFERENCES = {("a", "href"), ("img", "src"), ("link", "href"), ("script", "src"), ("source", "src")}


class Page(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.ids: Set[str] = set()
        self.references: List[Tuple[str, str]] = []

    def handle_starttag(self, tag: str, attrs: List[Tuple[str, Optional[str]]]) -> None:
        for name, value in attrs:
            if value is None:
                continue
            if name in ("id", "name") and (name == "id" or tag == "a"):
                self.ids.add(value)
            if (tag, name) in REFERENCES:
                self.references.append((tag, value))


def parse(path: Path) -> Page:
    page = Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def check(site: Path) -> List[str]:
    # The theme's own templates copied among the static files are no pages.
    pages: Dict[Path, Page] = {path.resolve(): parse(path) for path in sorted(site.rglob("*.html"))
                               if path.relative_to(site).parts[0] not in ("_static", "_sources")}
    problems = []
    checked = 0
    for path, page in pages.items():
        where = path.relative_to(site.resolve())
        for tag, reference in page.references:
            parts = urlsplit(reference)
            if parts.scheme or parts.netloc or reference.startswith("//"):
                continue  # external: not followed
            target = (path.parent / unquote(parts.path)).resolve() if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            checked += 1
            if not target.is_file():
                problems.append(f"{where}: <{tag}> {reference!r} leads to no file")
                continue
            if parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else parse(target).ids
                if unquote(parts.fragment) not in ids:
                    problems.append(f"{where}: <{tag}> {reference!r}: no id {parts.fragment!r} on that page")
    if not pages:
        problems.append(f"{site}: no HTML page found")
    print(f"checked {checked} internal references of {len(pages)} pages: {len(problems)} broken")
    return problems


def main() -> int:
    if len(sys.argv) != 2:
        sys.exit(f"usage: {sys.argv[0]} SITE-FOLDER")
    problems = check(Path(sys.argv[1]))
    for problem in problems:
        print(problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
