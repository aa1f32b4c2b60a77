#!/usr/bin/env python3
"""Draws bench/results.png from the first table of bench/results.md: for each
stream and thread setting, the library's frames per second beside its kept
floor, with the bare decode floor as a line."""
import re
import sys
from pathlib import Path

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402

HERE = Path(__file__).resolve().parent


def read_first_table(path):
    rows, started = [], False
    for line in path.read_text().splitlines():
        if line.startswith("| stream |"):
            if started:
                break
            started = True
            continue
        if started and line.startswith("|---"):
            continue
        if started and line.startswith("|"):
            cells = [cell.strip() for cell in line.strip("|").split("|")]
            rows.append({"stream": cells[0], "threads": cells[1], "row": cells[2], "fps": float(cells[3])})
        elif started and rows:
            break
    return rows


def main():
    source = Path(sys.argv[1]) if len(sys.argv) > 1 else HERE / "results.md"
    target = Path(sys.argv[2]) if len(sys.argv) > 2 else HERE / "results.png"
    rows = read_first_table(source)
    streams = list(dict.fromkeys(row["stream"] for row in rows))
    settings = list(dict.fromkeys(row["threads"] for row in rows))
    figure, axes = plt.subplots(len(streams), len(settings), figsize=(6.5 * len(settings), 3.6 * len(streams)),
                                squeeze=False)
    for i, stream in enumerate(streams):
        for j, threads in enumerate(settings):
            mine = [row for row in rows if row["stream"] == stream and row["threads"] == threads]
            floor = next(row["fps"] for row in mine if row["row"] == "floor")
            outputs = [re.sub(r"^library ", "", row["row"]) for row in mine if row["row"].startswith("library ")]
            kept = [next(r["fps"] for r in mine if r["row"] == "kept floor " + name) for name in outputs]
            library = [next(r["fps"] for r in mine if r["row"] == "library " + name) for name in outputs]
            axis = axes[i][j]
            positions = range(len(outputs))
            axis.bar([p - 0.2 for p in positions], kept, width=0.4, label="kept floor (plain code, outputs kept)",
                     color="#9aa7b8")
            axis.bar([p + 0.2 for p in positions], library, width=0.4, label="library (C ABI)", color="#2f6db5")
            axis.axhline(floor, color="#c0392b", linestyle="--", linewidth=1.2, label="bare decode floor")
            axis.set_xticks(list(positions))
            axis.set_xticklabels([name.replace(", ", "\n") for name in outputs], fontsize=7)
            axis.set_ylabel("frames per second")
            axis.set_title(f"{stream}, threads {threads}", fontsize=10)
    handles, labels = axes[0][0].get_legend_handles_labels()
    figure.legend(handles, labels, loc="lower center", ncol=3, fontsize=8)
    figure.tight_layout(rect=(0, 0.03, 1, 1))
    figure.savefig(target, dpi=90)
    print(f"wrote {target}")


if __name__ == "__main__":
    main()
