#!/usr/bin/env python3
"""Helper of scripts/mutation.sh: reads the mutant catalogue, applies one mutant to its file and
finds the build targets that a set of CTest entries runs.

  mutation.py plan <catalogue> [<ids>]            id TAB file TAB entries, one line per mutant
                                                  (in the order of <ids> when given)
  mutation.py apply <catalogue> <id> <root>       writes the mutant into its file (exit 3: the
                                                  text does not occur exactly once)
  mutation.py targets <build> <entries regex>     the ninja targets those entries need

Catalogue lines (blank lines and lines starting with # are skipped):
  <id> | <file> | <entries regex> | <original text> ==> <replacement>
The texts use \\n for a line break, \\t for a tab and \\\\ for a backslash.
"""
import json
import os
import re
import subprocess
import sys

SEPARATOR = " ==> "


def unescape(text):
    out = []
    i = 0
    while i < len(text):
        c = text[i]
        if c == "\\" and i + 1 < len(text):
            nxt = text[i + 1]
            out.append({"n": "\n", "t": "\t", "\\": "\\"}.get(nxt, "\\" + nxt))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def read_catalogue(path):
    mutants = []
    seen = set()
    with open(path, encoding="utf-8") as f:
        for number, line in enumerate(f, 1):
            line = line.rstrip("\n")
            if not line.strip() or line.lstrip().startswith("#"):
                continue
            fields = [field.strip() for field in line.split(" | ", 3)]
            texts = (fields[3] + " ").split(SEPARATOR) if len(fields) == 4 else []
            if len(texts) != 2:
                sys.exit(f"mutation: {path}:{number}: not '<id> | <file> | <entries> | "
                         f"<original>{SEPARATOR}<replacement>'")
            original, replacement = texts[0], texts[1][:-1]
            ident = fields[0]
            if ident in seen:
                sys.exit(f"mutation: {path}:{number}: mutant {ident} listed twice")
            seen.add(ident)
            mutants.append({"id": ident, "file": fields[1], "entries": fields[2],
                            "original": unescape(original), "replacement": unescape(replacement)})
    return mutants


def plan(catalogue, wanted):
    mutants = read_catalogue(catalogue)
    if wanted.strip():
        ids = [i for i in re.split(r"[,\s]+", wanted.strip()) if i]
        known = {m["id"] for m in mutants}
        unknown = [i for i in ids if i not in known]
        if unknown:
            sys.exit("mutation: no such mutant: " + ", ".join(unknown))
        mutants = [next(m for m in mutants if m["id"] == i) for i in dict.fromkeys(ids)]
    for m in mutants:
        print(f"{m['id']}\t{m['file']}\t{m['entries']}")


def apply(catalogue, ident, root):
    mutant = next(m for m in read_catalogue(catalogue) if m["id"] == ident)
    path = os.path.join(root, mutant["file"])
    with open(path, encoding="utf-8", newline="") as f:
        text = f.read()
    count = text.count(mutant["original"])
    if count != 1:
        print(f"the original text occurs {count} times in {mutant['file']}")
        sys.exit(3)
    with open(path, "w", encoding="utf-8", newline="") as f:
        f.write(text.replace(mutant["original"], mutant["replacement"]))


def targets(build, entries):
    shown = subprocess.run(["ctest", "--show-only=json-v1", "-R", entries], cwd=build,
                           check=True, capture_output=True, text=True).stdout
    known = set()
    listing = subprocess.run(["ninja", "-C", build, "-t", "targets", "all"], check=True,
                             capture_output=True, text=True).stdout
    for line in listing.splitlines():
        known.add(line.rsplit(": ", 1)[0])
    build = os.path.realpath(build)
    found = ["CryptoGraphicKey"]  # the module DLL: loaded or registered by most entries
    for test in json.loads(shown).get("tests", []):
        # An entry named as its executable's target: that target brings its added dependencies.
        if test.get("name") in known:
            found.append(test["name"])
        words = list(test.get("command", []))
        for prop in test.get("properties", []):
            value = prop.get("value")
            words += value if isinstance(value, list) else [str(value)]
        for word in words:
            for piece in re.split(r"[=;]", word):
                if re.match(r"^[A-Za-z]:\\", piece):  # a path as Wine shows it (Z:\...)
                    piece = piece[2:].replace("\\\\", "/").replace("\\", "/")
                if piece.startswith(build + "/"):
                    relative = piece[len(build) + 1:]
                    if relative in known:
                        found.append(relative)
    print(" ".join(dict.fromkeys(found)))


if __name__ == "__main__":
    command = sys.argv[1] if len(sys.argv) > 1 else ""
    if command == "plan" and len(sys.argv) in (3, 4):
        plan(sys.argv[2], sys.argv[3] if len(sys.argv) == 4 else "")
    elif command == "apply" and len(sys.argv) == 5:
        apply(sys.argv[2], sys.argv[3], sys.argv[4])
    elif command == "targets" and len(sys.argv) == 4:
        targets(sys.argv[2], sys.argv[3])
    else:
        sys.exit(__doc__)
