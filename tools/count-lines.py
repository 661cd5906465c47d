#!/usr/bin/env python3
"""Counts the non-blank, non-comment lines of the C++ files under each folder
given on the command line, then the ratio of the second to the first."""
import pathlib
import sys


def code_lines(text):
    """Lines holding something besides comments and blanks (strings kept)."""
    out, line, i, n = 0, "", 0, len(text)
    state = None  # None, '//', '/*', '"' or "'"
    while i < n:
        c, nxt = text[i], text[i + 1:i + 2]
        if c == "\n":
            out += bool(line.strip())
            line = ""
            if state == "//":
                state = None
        elif state == "//":
            pass
        elif state == "/*":
            if c == "*" and nxt == "/":
                state, i = None, i + 1
        elif state in ('"', "'"):
            line += c
            if c == "\\":
                line += nxt
                i += 1
            elif c == state:
                state = None
        elif c == "/" and nxt in ("/", "*"):
            state, i = "/" + nxt, i + 1
        else:
            line += c
            if c in ('"', "'") and not (c == "'" and line[-2:-1].isalnum()):
                state = c
        i += 1
    return out + bool(line.strip())


def count(folder):
    files = [p for p in pathlib.Path(folder).rglob("*") if p.suffix in (".cpp", ".h")]
    return sum(code_lines(p.read_text(errors="replace")) for p in files)


a, b = count(sys.argv[1]), count(sys.argv[2])
print(f"{sys.argv[1]}: {a} lines, {sys.argv[2]}: {b} lines, ratio {b / a:.2f}")
