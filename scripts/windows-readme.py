#!/usr/bin/env python3
"""Writes README.txt for the Windows zips from docs/windows.md, as plain text
that Notepad on any Windows shows: CR LF line ends, and a byte-order mark so
that it reads UTF-8 as UTF-8. It must stand alone in the zip: it stops where
the page names another document, or where its list of names is not the
tool's own table.

Usage: scripts/windows-readme.py SOURCE-DIR OUT
"""
import re
import sys


def plain(markdown):
    """Markdown as text: headings underlined, links and code marks dropped."""
    lines = []
    for line in markdown.strip("\n").split("\n"):
        line = re.sub(r"\[([^\]]*)\]\([^)]*\)", r"\1", line).replace("`", "")
        heading = re.match(r"(#+) (.*)", line)
        if heading:
            lines += [heading.group(2), ("=" if len(heading.group(1)) == 1 else "-")
                      * len(heading.group(2))]
        else:
            lines.append(line)
    return lines


def table_names(source):
    """The (second name, target) pairs of the built-in table, as Windows writes them."""
    with open(f"{source}/src/link_table.h", encoding="utf-8") as f:
        rows = re.findall(r'\{link_type::\w+,\s*"([^"]+)",\s*"([^"]+)"\}', f.read())
    return [(name.replace("/", "\\"), target.replace("/", "\\")) for target, name in rows]


def main():
    source, out = sys.argv[1], sys.argv[2]
    with open(f"{source}/docs/windows.md", encoding="utf-8") as f:
        page = f.read()
    listed = re.findall(r"^- `([^`]+)`, for `([^`]+)`$", page, re.MULTILINE)
    if listed != table_names(source):
        sys.exit("docs/windows.md: its names are not the tool's table in src/link_table.h")
    if re.search(r"\]\(|\.md\b|docs/", page):
        sys.exit("docs/windows.md: it names a document that the zips do not hold")
    with open(out, "w", encoding="utf-8-sig", newline="\r\n") as f:
        f.write("\n".join(plain(page) + [""]))


if __name__ == "__main__":
    main()
