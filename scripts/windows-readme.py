#!/usr/bin/env python3
"""Writes README.txt for the Windows zips: docs/windows.md, then the README's
opening and its command line, as plain text that Notepad on any Windows shows:
CR LF line ends, and a byte-order mark so that it reads UTF-8 as UTF-8.

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


def section(markdown, title):
    """The part of markdown under the heading title, up to the next heading."""
    start = markdown.index(f"\n## {title}\n")
    end = markdown.find("\n## ", start + 1)
    return markdown[start:] if end < 0 else markdown[start:end]


def main():
    source, out = sys.argv[1], sys.argv[2]
    with open(f"{source}/README.md", encoding="utf-8") as f:
        readme = f.read()
    with open(f"{source}/docs/windows.md", encoding="utf-8") as f:
        windows = f.read()
    title, _, body = windows.partition("\n")
    opening = readme[readme.index("\n") + 1:readme.index("\n## ")]
    lines = (plain(title) + [""] + plain(opening) + [""] + plain(body) + [""]
             + plain(section(readme, "Command line")) + [""])
    with open(out, "w", encoding="utf-8-sig", newline="\r\n") as f:
        f.write("\n".join(lines))


if __name__ == "__main__":
    main()
