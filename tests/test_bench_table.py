"""The benchmark table writer: rows recorded by the benchmark scripts become one
Markdown table between the README's markers, and nothing else in the file moves."""

import importlib.util
import json
import pathlib

import pytest

BENCH = pathlib.Path(__file__).resolve().parents[1] / "benchmarks"


def _load(name):
    found = importlib.util.spec_from_file_location(f"_bench_{name}", BENCH / f"{name}.py")
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return mod


table = _load("table")
timing = _load("timing")


def test_record_appends_only_when_asked(tmp_path, monkeypatch):
    path = tmp_path / "rows.jsonl"
    monkeypatch.delenv("KOLVANE_BENCH_RECORD", raising=False)
    timing.record("b", "blk", 2e6, "peer", 1e6)
    assert not path.exists()
    monkeypatch.setenv("KOLVANE_BENCH_RECORD", str(path))
    timing.record("b", "blk", 2e6, "peer", 1e6)
    timing.record("b", "solo", 3e6)
    rows = table.read_rows(path)
    assert [r["block"] for r in rows] == ["blk", "solo"]
    assert rows[0]["ours"] == 2e6 and rows[0]["peer_rate"] == 1e6 and rows[1]["peer_rate"] is None


@pytest.mark.parametrize("ours,peer", [(2.5e8, 1e8), (1e6, 4e6), (3.3e9, 3.3e9)])
def test_table_states_rates_and_ratio(ours, peer):
    row = {"bench": "x", "block": "blk", "ours": ours, "unit": "samples/s", "peer": "p", "peer_rate": peer}
    line = table.table([row], "note").splitlines()[-1]
    cells = [c.strip() for c in line.strip("|").split("|")]
    assert cells[:2] == ["x", "blk"] and cells[3] == "p"
    assert float(cells[2].split()[0].replace(",", "")) == pytest.approx(ours / 1e6, rel=0.01)
    assert float(cells[4].split()[0].replace(",", "")) == pytest.approx(peer / 1e6, rel=0.01)
    assert float(cells[5].rstrip("x")) == pytest.approx(ours / peer, rel=0.01)


def test_markers_replace_only_the_table():
    text = f"intro\n{table.BEGIN}\nold table\n{table.END}\noutro\n"
    once = table.replace_between_markers(text, "new")
    assert once == f"intro\n{table.BEGIN}\nnew\n{table.END}\noutro\n"
    assert table.replace_between_markers(once, "new") == once
    with pytest.raises(SystemExit):
        table.replace_between_markers("no markers here", "new")


def test_partial_run_keeps_other_benchmarks(tmp_path):
    old = [{"bench": "a", "block": "1"}, {"bench": "b", "block": "2"}]
    new = [{"bench": "b", "block": "3"}]
    assert table.merge(old, new) == [old[0], new[0]]
    rows = tmp_path / "rows.jsonl"
    rows.write_text("".join(json.dumps(dict(r, ours=1.0, unit="samples/s")) + "\n" for r in old))
    readme = tmp_path / "README.md"
    readme.write_text(f"a\n{table.BEGIN}\n{table.END}\nb\n")
    assert table.main(["--rows", str(rows), "--readme", str(readme)]) == 0
    body = readme.read_text()
    assert body.startswith("a\n") and body.endswith(f"{table.END}\nb\n")
    assert "| a | 1 |" in body and "| b | 2 |" in body


def test_readme_carries_the_markers():
    readme = (BENCH.parent / "README.md").read_text()
    assert readme.count(table.BEGIN) == 1 and readme.count(table.END) == 1
    assert readme.index(table.BEGIN) < readme.index(table.END)
