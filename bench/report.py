#!/usr/bin/env python3
"""Prints the benchmark table from hyperfine's JSON exports.

Reads a tab-separated list of workloads: name, size, JSON file (empty for a
row that only measures memory), Tovalise's peak memory in KiB, the command
that is the physical limit, the most the ratio to it may be, and whether the
output matched sed's.
"""
import json
import sys

COMMANDS = ["tovalise", "dd durable", "cat read", "sed -i", "perl -pi", "sd -s"]


def seconds(value):
    return "%.3f" % value if value < 10 else "%.2f" % value


def main():
    rows = []
    with open(sys.argv[1]) as listing:
        for line in listing:
            name, size, path, peak, limit, bound, check = line.rstrip("\n").split("\t")
            medians = {}
            if path:
                with open(path) as exported:
                    for result in json.load(exported)["results"]:
                        medians[result["command"]] = result["median"]
            rows.append((name, size, medians, int(peak), limit, bound, check))

    present = [c for c in COMMANDS if any(c in r[2] for r in rows)]
    header = ["workload", "size"] + [
        c + (" s" if c == "tovalise" else " s (x)") for c in present
    ] + ["vs limit", "peak RSS", "output"]
    table = [header]
    for name, size, medians, peak, limit, bound, check in rows:
        cells = [name, size]
        own = medians.get("tovalise")
        for command in present:
            value = medians.get(command)
            if value is None:
                cells.append("-")
            elif command == "tovalise":
                cells.append(seconds(value))
            else:
                cells.append("%s (%.2f)" % (seconds(value), value / own))
        if own is not None and limit in medians:
            ratio = own / medians[limit]
            verdict = "ok" if ratio <= float(bound) else "MISS"
            cells.append("%.2f of %s (<= %s) %s" % (ratio, limit.split()[0], bound, verdict))
        else:
            cells.append("-")
        cells.append("%.1f MiB %s" % (peak / 1024, "ok" if peak <= 4096 else "MISS"))
        cells.append(check)
        table.append(cells)

    widths = [max(len(row[i]) for row in table) for i in range(len(header))]
    for index, row in enumerate(table):
        print("  ".join(cell.ljust(width) for cell, width in zip(row, widths)).rstrip())
        if index == 0:
            print("  ".join("-" * width for width in widths))
    print()
    print("Medians; (x) is the command's time over Tovalise's: above 1, Tovalise is faster.")
    print("vs limit: Tovalise's time over the limit's (the durable copy, the plain read, or sed -i")
    print("for many files), against the most allowed; peak RSS against 4 MiB.")


if __name__ == "__main__":
    main()
