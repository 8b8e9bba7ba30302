#!/usr/bin/env python3
"""Prints the longest function definitions under src/ (lines from the signature to the closing
brace), longest first: `function-lengths.py [COUNT] [--over N]`. With --over, exits non-zero
when a function is longer than N lines. Reads the project's format: a definition outside a class
starts at column 0 and ends at its closing brace at column 0."""
import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
NAME = re.compile(r"(~?[A-Za-z_][\w:]*(?:<[^()]*>)?(?:::~?[A-Za-z_]\w*)*|operator\S+)\s*\(")
KEYWORDS = {"if", "for", "while", "switch", "return", "sizeof", "decltype", "alignas", "noexcept",
            "static_assert", "requires", "template", "alignof", "throw", "catch"}


def code_only(text):
    """The text with comments, string and character literals blanked (newlines kept)."""
    out = []
    i, n = 0, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            j = text.find("\n", i)
            j = n if j < 0 else j
            out.append(" " * (j - i))
            i = j
        elif text.startswith("/*", i):
            j = text.find("*/", i + 2)
            j = n if j < 0 else j + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c == "R" and text.startswith('R"', i) and (i == 0 or not text[i - 1].isalnum()):
            k = text.find("(", i)
            delim = ")" + text[i + 2:k] + '"'
            j = text.find(delim, k)
            j = n if j < 0 else j + len(delim)
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            if c == "'" and i > 0 and text[i - 1].isalnum():  # a digit separator
                out.append(c)
                i += 1
                continue
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (min(j, n) - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


def functions(path):
    text = code_only(open(path, encoding="utf-8", errors="replace").read())
    lines = text.split("\n")
    # Preprocessor lines (and their continuations) are not code here.
    carry = False
    for k, line in enumerate(lines):
        if carry or line.lstrip().startswith("#"):
            carry = line.rstrip().endswith("\\")
            lines[k] = ""
    found = []
    depth = 0
    start = None  # (line, signature) of the definition being read
    statement = []  # the text since the last top-level statement ended
    statement_line = 0
    for number, line in enumerate(lines, 1):
        for ch in line:
            if depth == 0:
                if not "".join(statement).strip():
                    statement_line = number
                if ch == "{":
                    head = " ".join("".join(statement).split())
                    if re.match(r"^(namespace\b|extern\b)", head):
                        statement = []
                        continue  # a namespace or linkage block: its contents are top level
                    body = head.rstrip()
                    is_function = bool(re.search(r"\)\s*(const\s*)?(noexcept\s*)?(override\s*)?"
                                                 r"(->\s*[\w:<>,\s*&]+)?$", body)) or \
                        bool(re.search(r"\)\s*:\s*.*\)$", body))
                    if is_function and "=" not in body.split("(")[0]:
                        names = [m.group(1) for m in NAME.finditer(body)
                                 if m.group(1).split("::")[-1] not in KEYWORDS]
                        start = (statement_line, names[0] if names else body[:40])
                    else:
                        start = None
                    depth = 1
                    statement = []
                    continue
                if ch == ";":
                    statement = []
                    continue
                if ch == "}":
                    statement = []  # a namespace's end
                    continue
                statement.append(ch)
            else:
                if ch == "{":
                    depth += 1
                elif ch == "}":
                    depth -= 1
                    if depth == 0:
                        if start:
                            found.append((number - start[0] + 1, start[1], path, start[0]))
                        start = None
                        statement = []
        if depth == 0:
            statement.append("\n")
    return found


def main():
    args = sys.argv[1:]
    over = None
    if "--over" in args:
        k = args.index("--over")
        over = int(args[k + 1])
        del args[k:k + 2]
    count = int(args[0]) if args else 10
    found = []
    for folder, _, files in os.walk(os.path.join(ROOT, "src")):
        for name in sorted(files):
            if name.endswith(".cpp"):
                found += functions(os.path.join(folder, name))
    found.sort(key=lambda f: (-f[0], f[2], f[3]))
    for length, name, path, line in found[:count]:
        print(f"{length:5d}  {name}  {os.path.relpath(path, ROOT)}:{line}")
    if over is not None:
        longer = [f for f in found if f[0] > over]
        if longer:
            print(f"functions: {len(longer)} longer than {over} lines")
            return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
