#!/usr/bin/env python3
"""Writes THIRD-PARTY-NOTICES.txt for the Windows zips: the copyright and
licence texts of the runtime that each statically linked exe holds, taken
from the toolchain's own copyright files, with CR LF line ends. It stops,
and writes nothing, where a file or a part it needs is missing: a zip
without its notices is never made.

Usage: scripts/windows-notices.py MINGW-COPYRIGHT GCC-COPYRIGHT OUT
"""
import re
import sys

# The parts of MinGW-w64 that a static link takes in: the CRT's start-up
# code and its number formatting, and winpthreads, which libstdc++ uses.
MINGW_PARTS = [
    "*",
    "mingw-w64-crt/crt/*",
    "mingw-w64-crt/gdtoa/*",
    "mingw-w64-crt/gdtoa/qnan.c",
    "mingw-w64-libraries/winpthreads/*",
    "mingw-w64-libraries/winpthreads/include/pthread.h",
    "mingw-w64-libraries/winpthreads/src/clock.c",
]

LINKED = ("mingw-w64-crt/", "mingw-w64-libraries/winpthreads/")

HEADER = """\
Third-party notices
===================

link-installer.exe is linked statically with the runtime of the MinGW-w64
toolchain that built it, and so holds parts of:

- the MinGW-w64 C runtime (CRT) and its start-up code;
- winpthreads, MinGW-w64's POSIX threads library;
- libstdc++, the GNU C++ library, and libgcc, GCC's low-level runtime.

Their copyright and licence texts follow, as the toolchain's own copyright
files give them, reduced to the parts that are linked in.
"""


def fail(why):
    sys.exit(f"windows-notices.py: {why}; no zip is made without its notices")


def read(path):
    try:
        with open(path, encoding="utf-8") as f:
            return f.read()
    except OSError as error:
        fail(f"cannot read {path}: {error.strerror}")


def linked_files_only(stanza):
    """A stanza whose Files list names only the CRT and winpthreads, not headers or tools."""
    lines = stanza.split("\n")
    files = 1
    while files < len(lines) and lines[files].startswith((" ", "\t")) and "/" in lines[files]:
        files += 1
    kept = [line for line in lines[1:files] if line.strip().startswith(LINKED)]
    return "\n".join(lines[:1] + kept + lines[files:])


def mingw_notices(text):
    """The stanzas for MINGW_PARTS, then the licences they name but do not hold."""
    stanzas = [s for s in re.split(r"\n\s*\n(?=\S)", text) if s.strip()]
    by_part, licences = {}, {}
    for stanza in stanzas:
        files = re.match(r"Files: *(\S+)", stanza)
        if files:
            by_part[files.group(1)] = stanza
        elif stanza.startswith("License: "):
            licences[stanza.split("\n", 1)[0][len("License: "):].strip()] = stanza
    missing = [part for part in MINGW_PARTS if part not in by_part]
    if missing:
        fail(f"the MinGW-w64 copyright file has no part for {', '.join(missing)}")
    chosen = [linked_files_only(by_part[part]) for part in MINGW_PARTS]
    named = []
    for stanza in chosen:
        licence = re.search(r"^License: *(.+?) *$", stanza, re.MULTILINE).group(1)
        if "\n " not in stanza.split("License:", 1)[1] and licence not in named:
            if licence not in licences:
                fail(f"the MinGW-w64 copyright file does not give the licence {licence}")
            named.append(licence)
    return "\n\n".join(chosen + [licences[name] for name in named])


def between(text, first, last, what):
    start = text.find(first)
    end = text.find(last, start)
    if start < 0 or end < 0:
        fail(f"the GCC copyright file lacks {what}")
    return text[start:end].rstrip()


def gcc_notices(text):
    terms = between(text, "GCC is Copyright", "The libbacktrace library", "its terms")
    exception = between(text, "GCC RUNTIME LIBRARY EXCEPTION", "libquadmath/",
                        "the GCC Runtime Library Exception")
    return terms + "\n\n\n" + exception


def main():
    if len(sys.argv) != 4:
        sys.exit(__doc__.split("\n\n")[-1].strip())
    mingw = mingw_notices(read(sys.argv[1]))
    gcc = gcc_notices(read(sys.argv[2]))
    rule = "-" * 72
    parts = [HEADER, rule, "MinGW-w64: the CRT and winpthreads", rule, "", mingw, "", rule,
             "GCC: libstdc++ and libgcc", rule, "", gcc, ""]
    with open(sys.argv[3], "w", encoding="utf-8", newline="\r\n") as f:
        f.write("\n".join(parts))


if __name__ == "__main__":
    main()
