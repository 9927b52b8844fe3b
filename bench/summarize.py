#!/usr/bin/python3
"""Turns the raw measurements of bench/compare into one Markdown table.

    summarize.py RAW.tsv

RAW.tsv has one line per run: case, tool, run, wall seconds, CPU seconds,
peak RSS in KiB, amount (MB of attachment data, or messages). The table
gives the median of the runs of each tool, the throughput, and the ratio of
Parcelwing's median wall time to the tool's (below 1.0: Parcelwing is faster).
"""
import statistics
import sys
from collections import OrderedDict


def main():
    rows = OrderedDict()
    with open(sys.argv[1]) as f:
        for line in f:
            parts = line.rstrip("\n").split("\t")
            if len(parts) != 7:
                continue
            case, tool, _run, wall, cpu, rss, amount = parts
            entry = rows.setdefault(case, OrderedDict()).setdefault(
                tool, {"wall": [], "cpu": [], "rss": [], "amount": float(amount)})
            entry["wall"].append(float(wall))
            entry["cpu"].append(float(cpu))
            entry["rss"].append(float(rss) / 1024.0)

    out = []
    out.append("| case | tool | runs | wall s | CPU s | throughput | peak RSS MB | parcelwing wall / tool wall |")
    out.append("|---|---|---:|---:|---:|---:|---:|---:|")
    for case, tools in rows.items():
        messages = case.startswith("messages")
        own = tools.get("parcelwing")
        own_wall = statistics.median(own["wall"]) if own else None
        for tool, e in tools.items():
            wall = statistics.median(e["wall"])
            cpu = statistics.median(e["cpu"])
            rss = statistics.median(e["rss"])
            if wall > 0:
                rate = e["amount"] / wall
                throughput = ("%.0f msg/s" % rate) if messages else ("%.1f MB/s" % rate)
            else:
                throughput = "-"
            if own_wall is not None and tool != "parcelwing" and wall > 0:
                ratio = "%.2f" % (own_wall / wall)
            else:
                ratio = ""
            out.append("| %s | %s | %d | %.3f | %.3f | %s | %.1f | %s |" % (
                case, tool, len(e["wall"]), wall, cpu, throughput, rss, ratio))
    print("\n".join(out))


if __name__ == "__main__":
    main()
