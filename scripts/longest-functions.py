#!/usr/bin/env python3
"""Lists the longest function bodies of the product code (not tests).

Brace matching on clang-formatted sources: a function starts at a line that opens a
brace at column 0 (or a member body one level in a namespace-free file) after a
parameter list, and ends at its matching brace. Comments and string literals are
blanked first so braces inside them do not count.

    scripts/longest-functions.py [count]      (default 15)
"""
import pathlib
import re
import sys

LAYERS = ["platform", "core", "engine", "api", "app", "controls", "ui", "cli"]
ROOT = pathlib.Path(__file__).resolve().parent.parent


def blank(text):
    """Replaces comments, string and character literals by spaces, keeping newlines."""
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
        elif c == 'R' and text.startswith('R"', i):
            m = re.match(r'R"([^(]*)\(', text[i:])
            end = text.find(")" + m.group(1) + '"', i) if m else -1
            j = n if end < 0 else end + len(m.group(1)) + 2
            out.append(re.sub(r"[^\n]", " ", text[i:j]))
            i = j
        elif c in "\"'":
            j = i + 1
            while j < n and text[j] != c:
                j += 2 if text[j] == "\\" else 1
            out.append(c + " " * (j - i - 1) + c)
            i = j + 1
        else:
            out.append(c)
            i += 1
    return "".join(out)


HEAD = re.compile(r"\)\s*(const|noexcept|override|final|->\s*[\w:<>,\s*&]+|\s)*$")
NOT_FUNC = re.compile(r"^\s*(if|for|while|switch|catch|else|do|return)\b|\b(class|struct|enum|namespace|union)\b")


def functions(path):
    lines = blank(path.read_text(encoding="utf-8", errors="replace")).split("\n")
    depth = 0
    start = None
    start_depth = 0
    name = ""
    for number, line in enumerate(lines, 1):
        for pos, c in enumerate(line):
            if c == "{":
                if start is None:
                    before = " ".join(l.strip() for l in lines[max(0, number - 30):number - 1])
                    head = (before + " " + line[:pos]).rstrip()
                    # the signature is what follows the last statement or block end
                    sig = re.split(r"[;{}]", head)[-1].strip()
                    sig = re.sub(r"^(public|private|protected)\s*:", "", sig).strip()
                    if "(" in sig and HEAD.search(sig.split(":")[0] if re.search(r"\)\s*:\s*\w", sig) else sig) is not None or re.search(r"\)\s*:\s*\w", sig):
                        if not NOT_FUNC.search(sig) and "=" not in sig.split("(")[0]:
                            start, start_depth = number, depth
                            m = re.search(r"([\w:~]+(?:operator\S*)?)\s*\(", sig)
                            name = m.group(1) if m else sig[:60]
                depth += 1
            elif c == "}":
                depth -= 1
                if start is not None and depth == start_depth:
                    yield name, start, number
                    start = None


def main():
    if len(sys.argv) > 2 or (len(sys.argv) == 2 and not sys.argv[1].isdigit()):
        print(__doc__.strip().splitlines()[-1].strip(), file=sys.stderr)
        sys.exit(2)
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 15
    found = []
    for layer in LAYERS:
        for path in sorted((ROOT / layer).glob("*.[ch]*")):
            if path.suffix not in (".cpp", ".h"):
                continue
            for name, first, last in functions(path):
                found.append((last - first + 1, f"{path.relative_to(ROOT)}:{first}", name))
    found.sort(key=lambda f: (-f[0], f[1]))
    for length, where, name in found[:count]:
        print(f"{length:5d}  {name:45s} {where}")


if __name__ == "__main__":
    main()
