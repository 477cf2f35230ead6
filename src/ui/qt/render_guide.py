#!/usr/bin/env python3
"""Renders the README as the HTML user guide that the program opens.

Usage: render_guide.py README.md OUT.html
Uses python3-markdown when it is installed; otherwise the text is shown as
preformatted HTML, so the build never depends on it.
"""
import html
import sys


def main() -> int:
    source, target = sys.argv[1], sys.argv[2]
    with open(source, encoding="utf-8") as f:
        text = f.read()
    try:
        import markdown  # type: ignore

        body = markdown.markdown(text, extensions=["fenced_code", "tables"])
    except ImportError:
        body = "<pre>" + html.escape(text) + "</pre>"
    page = (
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<title>Ambrelic - user guide</title>"
        "<style>body{font-family:sans-serif;max-width:52em;margin:2em auto;padding:0 1em;"
        "line-height:1.45}pre,code{background:#f4f4f4}pre{padding:.6em;overflow:auto}</style>"
        "</head><body>\n" + body + "\n</body></html>\n"
    )
    with open(target, "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
