#!/usr/bin/python3
"""Turns the raw measurements of bench/compare into one Markdown table.

    summarize.py RAW.tsv

RAW.tsv has one line per run: case, tool, run, wall seconds, CPU seconds,
peak RSS in KiB, amount (MB of attachment data, or messages). The table
gives the median of the runs of each tool, the throughput, and the ratio of
Parcelwing's median wall time to the tool's (below 1.0: Parcelwing is faster).
A second table sets Parcelwing's throughput against the ceilings: base64 of
the same file (the attachment cases' base64 rows) and, for the TLS cases,
the TLS ceiling through the same terminator; the rows into smtp-sink also
against smtp-sink's own rate where it was measured for that size.
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
            if own_wall is not None and not tool.startswith("parcelwing") and wall > 0:
                ratio = "%.2f" % (own_wall / wall)
            else:
                ratio = ""
            out.append("| %s | %s | %d | %.3f | %.3f | %s | %.1f | %s |" % (
                case, tool, len(e["wall"]), wall, cpu, throughput, rss, ratio))
    ceilings = ceiling_table(rows)
    if ceilings:
        out.append("")
        out.extend(ceilings)
    print("\n".join(out))


def rate(entry):
    wall = statistics.median(entry["wall"])
    return entry["amount"] / wall if wall > 0 else 0.0


def ceiling_table(rows):
    """Parcelwing's median rate as a share of the ceiling's median rate."""
    tls_ceiling = None
    for case, tools in rows.items():
        if case.startswith("tls-ceiling") and "stunnel-tls" in tools:
            tls_ceiling = (case, tools["stunnel-tls"])
    out = []
    for case, tools in rows.items():
        ceilings = []  # (name, entry, whether the read-sink rows are set against it)
        if case.startswith("attach-") and "base64" in tools:
            ceilings.append(("base64 of the same file", tools["base64"], True))
            sink = rows.get("ceiling-" + case[len("attach-"):], {}).get("smtp-sink")
            if sink is not None:
                ceilings.append(("smtp-sink's own rate", sink, False))
        elif case.startswith("tls-") and not case.startswith("tls-ceiling") and tls_ceiling is not None:
            ceilings.append(("TLS through stunnel (%s)" % tls_ceiling[0], tls_ceiling[1], True))
            sink = rows.get("tls-ceiling-" + case[len("tls-"):], {}).get("smtp-sink-tls")
            if sink is not None:
                ceilings.append(("smtp-sink's own rate behind stunnel", sink, False))
        for name, ceiling, with_read_sink in ceilings:
            for tool, own in tools.items():
                if not tool.startswith("parcelwing") or (tool.endswith("read-sink") and not with_read_sink):
                    continue
                own_rate, top = rate(own), rate(ceiling)
                share = "%.0f %%" % (100.0 * own_rate / top) if top > 0 else "-"
                out.append("| %s | %s | %.1f MB/s | %s | %.1f MB/s | %s | %.1f |" % (
                    case, tool, own_rate, name, top, share, statistics.median(own["rss"])))
    if not out:
        return []
    return ["| case | tool | rate | ceiling | ceiling rate | tool / ceiling | peak RSS MB |",
            "|---|---|---:|---|---:|---:|---:|"] + out


if __name__ == "__main__":
    main()
