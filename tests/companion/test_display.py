"""A result in a notebook: its text as a small HTML table."""

from __future__ import annotations

import re
from html.parser import HTMLParser

from tavrin_estimate import estimate
from tavrin_estimate._display import html_table


class Cells(HTMLParser):
    def __init__(self) -> None:
        super().__init__()
        self.cells: list[str] = []
        self.caption = ""
        self._inside: str | None = None

    def handle_starttag(self, tag: str, attrs: object) -> None:
        self._inside = tag

    def handle_data(self, data: str) -> None:
        if self._inside in ("th", "td"):
            self.cells.append(data)
        elif self._inside == "caption":
            self.caption += data


def test_every_line_of_the_text_is_a_row_and_markup_is_escaped() -> None:
    """Each "label value" line becomes a row holding exactly its text (a cols string with <
    and & included); the INTERRUPTED notice becomes a red caption."""
    result = estimate(2000, 6, 6, "A<B&CD", seed=11)
    text = str(result)
    parsed = Cells()
    parsed.feed(html_table(text))
    rows = [re.split(r"\s+", line, maxsplit=1) for line in text.splitlines()]
    assert parsed.cells == [cell for row in rows for cell in row] and parsed.caption == "tavrin_estimate result"
    assert "cols 'A&lt;B&amp;CD'" in html_table(text)
    stopped = Cells()
    stopped.feed(html_table("INTERRUPTED: a partial result\n" + text))
    assert stopped.caption == "INTERRUPTED: a partial result" and stopped.cells == parsed.cells
    assert 'caption style="color:#b00"' in html_table("INTERRUPTED: a partial result\n" + text)
