#!/usr/bin/env python3
"""Sums up gcovr's JSON report of the merged counts: drops the exception edges (branches marked
"throw"), writes the report without them for the per-file pages, prints coverage.lines,
coverage.branches and the ten files with the most uncovered lines, and writes an HTML index with
the figures per folder and per file.

    coverage_summary.py <merged.json> <report.json> <index.html>
"""
import html
import json
import sys
from collections import defaultdict


def file_counts(entry):
    lines = [l for l in entry["lines"] if not l.get("gcovr/noncode", False)]
    covered = sum(1 for l in lines if l["count"] > 0)
    branches = [b for l in lines for b in l.get("branches", [])]
    taken = sum(1 for b in branches if b["count"] > 0)
    return {"lines": len(lines), "covered": covered, "branches": len(branches), "taken": taken}


def percent(part, whole):
    return 100.0 * part / whole if whole else 100.0


def main(json_path, report_path, index_path):
    with open(json_path) as f:
        data = json.load(f)
    for entry in data["files"]:
        for line in entry["lines"]:
            line["branches"] = [b for b in line.get("branches", []) if not b.get("throw")]
    with open(report_path, "w") as f:
        json.dump(data, f)
    files = {}
    for entry in data["files"]:
        files[entry["file"]] = file_counts(entry)

    total = defaultdict(int)
    folders = defaultdict(lambda: defaultdict(int))
    for name, c in files.items():
        folder = name.rsplit("/", 1)[0] if "/" in name else "."
        for k, v in c.items():
            total[k] += v
            folders[folder][k] += v

    print(f"coverage.lines = {percent(total['covered'], total['lines']):.1f}")
    print(f"coverage.branches = {percent(total['taken'], total['branches']):.1f}")
    worst = sorted(files.items(), key=lambda kv: (kv[1]["covered"] - kv[1]["lines"], kv[0]))[:10]
    print("most uncovered lines:")
    for name, c in worst:
        print(f"  {c['lines'] - c['covered']:5d}  {name}  "
              f"(lines {percent(c['covered'], c['lines']):.1f}%, "
              f"branches {percent(c['taken'], c['branches']):.1f}%)")

    def row(name, c, link=None):
        label = html.escape(name)
        if link:
            label = f'<a href="{html.escape(link)}">{label}</a>'
        return (f"<tr><td>{label}</td><td>{c['covered']}/{c['lines']}</td>"
                f"<td>{percent(c['covered'], c['lines']):.1f}%</td>"
                f"<td>{c['taken']}/{c['branches']}</td>"
                f"<td>{percent(c['taken'], c['branches']):.1f}%</td>"
                f"<td>{c['lines'] - c['covered']}</td></tr>")

    head = ("<tr><th>{}</th><th>lines</th><th>%</th><th>branches</th><th>%</th>"
            "<th>uncovered lines</th></tr>")
    out = ["<!DOCTYPE html><html><head><meta charset='utf-8'><title>Coverage</title>",
           "<style>body{font-family:sans-serif}td,th{padding:2px 10px;text-align:right}"
           "td:first-child,th:first-child{text-align:left}</style></head><body>",
           "<h1>Coverage of the product code</h1>",
           f"<p>Lines {percent(total['covered'], total['lines']):.1f}%, branches "
           f"{percent(total['taken'], total['branches']):.1f}%. Each file's page "
           "(<a href='files.html'>all files</a>) marks every line and branch.</p>",
           "<h2>Per folder</h2><table>", head.format("folder")]
    out += [row(name, folders[name]) for name in sorted(folders)]
    out += ["</table><h2>Per file</h2><table>", head.format("file")]
    out += [row(name, files[name]) for name in sorted(files)]
    out += ["</table></body></html>"]
    with open(index_path, "w") as f:
        f.write("\n".join(out))


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3])
