"""Runs the benchmarks and writes their summary table into README.md.

Every benchmark script hands its measured rows to `timing.record`; this script
runs each one with KOLVANE_BENCH_RECORD pointing at a rows file, then replaces
what stands between the two marker lines of the README with one table: each
block, its rate, the peer it was timed against in the same run, the peer's rate
and the ratio (ours / peer, above 1 means kolvane is faster).

    python benchmarks/table.py                   # run every bench_*.py, update README.md
    python benchmarks/table.py bench_wfm.py      # run some, keep the other rows
    python benchmarks/table.py --rows rows.jsonl # rewrite the table from saved rows
"""

import argparse
import json
import os
import pathlib
import platform
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
README = HERE.parent / "README.md"
ROWS = HERE / "results.jsonl"
BEGIN = "<!-- benchmark table: written by benchmarks/table.py -->"
END = "<!-- end of benchmark table -->"

# Units of the records and how the table shows them.
SCALE = {"samples/s": (1e6, "MS/s"), "payload B/s": (1e6, "MB/s"), "records/s": (1e6, "M rec/s"),
         "codewords/s": (1e3, "k cw/s"), "bits/s": (1e6, "Mbit/s"), "chips/s": (1e6, "Mchip/s")}


def run(scripts):
    """Run the scripts; return their rows and the names of those that failed."""
    rows, failed = [], []
    with tempfile.TemporaryDirectory() as d:
        for script in scripts:
            out = pathlib.Path(d) / (script.stem + ".jsonl")
            env = dict(os.environ, KOLVANE_BENCH_RECORD=str(out))
            print(f"== {script.name}", flush=True)
            if subprocess.run([sys.executable, str(script)], env=env, cwd=HERE.parent).returncode != 0:
                failed.append(script.name)
            if out.exists():
                rows += read_rows(out)
    return rows, failed


def read_rows(path):
    with open(path, encoding="utf-8") as f:
        return [json.loads(line) for line in f if line.strip()]


def fmt_rate(value, unit):
    scale, shown = SCALE.get(unit, (1.0, unit))
    v = value / scale
    return f"{v:,.0f} {shown}" if v >= 100 else f"{v:.3g} {shown}"


def table(rows, note):
    """The Markdown table of the rows, grouped by benchmark in the order met."""
    lines = [note, "",
             "| benchmark | kolvane block | kolvane | peer (same run) | peer | ratio |",
             "|---|---|---:|---|---:|---:|"]
    for r in sorted(rows, key=lambda r: r["bench"]):
        peer_rate = r.get("peer_rate")
        ratio = f"{r['ours'] / peer_rate:.3g}x" if peer_rate else "—"
        lines.append("| {} | {} | {} | {} | {} | {} |".format(
            r["bench"], r["block"], fmt_rate(r["ours"], r["unit"]), r.get("peer") or "—",
            fmt_rate(peer_rate, r["unit"]) if peer_rate else "—", ratio))
    return "\n".join(lines)


def replace_between_markers(text, body):
    """`text` with everything between the marker lines replaced by `body`."""
    try:
        head, rest = text.split(BEGIN + "\n", 1)
        _, tail = rest.split(END, 1)
    except ValueError:
        raise SystemExit(f"README.md lacks the marker lines {BEGIN!r} / {END!r}") from None
    return f"{head}{BEGIN}\n{body}\n{END}{tail}"


def merge(old, new):
    """Rows of `old` whose benchmark was not run again, then the new rows."""
    rerun = {r["bench"] for r in new}
    return [r for r in old if r["bench"] not in rerun] + new


def main(argv=None):
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("scripts", nargs="*", help="benchmark scripts to run (default: every bench_*.py)")
    ap.add_argument("--rows", type=pathlib.Path, help="write the table from this rows file, run nothing")
    ap.add_argument("--readme", type=pathlib.Path, default=README)
    a = ap.parse_args(argv)

    failed = []
    if a.rows:
        rows = read_rows(a.rows)
    else:
        scripts = [HERE / pathlib.Path(s).name for s in a.scripts] or sorted(HERE.glob("bench_*.py"))
        rows, failed = run(scripts)
        old = read_rows(ROWS) if a.scripts and ROWS.exists() else []
        rows = merge(old, rows)
        ROWS.write_text("".join(json.dumps(r) + "\n" for r in rows), encoding="utf-8")
    note = (f"Measured {time.strftime('%Y-%m-%d', time.gmtime())} on {platform.machine()}, "
            f"{os.cpu_count()} cores shared with other jobs: absolute rates move from run to run, "
            "the ratios much less.")
    a.readme.write_text(replace_between_markers(a.readme.read_text(encoding="utf-8"), table(rows, note)),
                        encoding="utf-8")
    print(f"{len(rows)} rows written to {a.readme}")
    if failed:
        print(f"failed: {', '.join(failed)}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
