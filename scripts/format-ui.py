#!/usr/bin/env python3
"""Lays out Qt .ui files one element per line with one-space indents, as Qt
Designer writes them, so that a change to a form shows as a change to the lines
it touches. Only whitespace between elements changes; uic reads the result as
before. Usage: scripts/format-ui.py FILE.ui..."""
import re
import sys
import xml.etree.ElementTree as ET


def format_file(path):
    tree = ET.parse(path)
    root = tree.getroot()
    # Designer keeps a leaf's text on its own line and indents children by one space.
    ET.indent(tree, space=" ")
    body = ET.tostring(root, encoding="unicode", short_empty_elements=True)
    body = re.sub(r"(<[^<>]*) />", r"\1/>", body)  # <resources/>, not <resources />
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        out.write('<?xml version="1.0" encoding="UTF-8"?>\n')
        out.write(body)
        out.write("\n")


if __name__ == "__main__":
    for name in sys.argv[1:]:
        format_file(name)
