"""A result as a notebook shows it: the rows of its text (plane, seed, boardings, estimate,
interval, exact answer, rate) as a small HTML table, built from the text itself so that it
always says what str() says."""

from __future__ import annotations

import html

INTERRUPTED = "INTERRUPTED"


def html_table(text: str) -> str:
    """The lines "label   value" of a result's text as rows of a table; a line without a
    value (the INTERRUPTED notice) becomes the table's caption."""
    caption = "tavrin_estimate result"
    rows = []
    for line in text.splitlines():
        label, _, value = line.partition(" ")
        if line.startswith(INTERRUPTED) or not value.strip():
            caption = line
            continue
        rows.append(
            f'<tr><th style="text-align:left">{html.escape(label, quote=False)}</th>'
            f'<td style="text-align:left">{html.escape(value.strip(), quote=False)}</td></tr>'
        )
    style = ' style="color:#b00"' if caption.startswith(INTERRUPTED) else ""
    return (
        f'<table class="tavrin-estimate"><caption{style}>{html.escape(caption, quote=False)}</caption>'
        + "".join(rows)
        + "</table>"
    )

