"""The README's examples run as written, each in an empty directory of its own,
so they cannot rot; the Quick start keeps its two commands, and the
architecture picture shows the modules that are built.

A block preceded by the line `<!-- readme-test: nats -->` talks to a NATS server:
it runs against the session's server, its "nats://127.0.0.1:4222" replaced by
that server's address."""

import importlib.util
import os
import pathlib
import re
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[1]
README = ROOT / "README.md"
NATS_PLACEHOLDER = "nats://127.0.0.1:4222"
MARK = re.compile(r"<!-- readme-test: (\w+) -->")
FENCE = re.compile(r"^```(\w*)\s*$")


def code_blocks(text):
    """[(language, first line number, code, mark or None)] of the fenced blocks."""
    blocks, lines, i = [], text.splitlines(), 0
    while i < len(lines):
        m = FENCE.match(lines[i])
        if m is None:
            i += 1
            continue
        mark = MARK.fullmatch(lines[i - 1].strip()) if i else None
        start, body = i + 2, []
        i += 1
        while i < len(lines) and not lines[i].startswith("```"):
            body.append(lines[i])
            i += 1
        assert i < len(lines), f"README.md: the block opened at line {start} is never closed"
        blocks.append((m.group(1), start, "\n".join(body) + "\n", mark.group(1) if mark else None))
        i += 1
    return blocks


TEXT = README.read_text(encoding="utf-8")
PYTHON = [(line, code, mark) for lang, line, code, mark in code_blocks(TEXT) if lang == "python"]


def built_modules():
    """Names of the extension modules in the installed package (interrupt.interrupt -> interrupt)."""
    import kolvane

    return sorted({so.name.split(".")[0] for root in kolvane.__path__ for so in pathlib.Path(root).rglob("*.so")})


def drawn_modules():
    """The modules examples/architecture.py puts in the picture."""
    found = importlib.util.spec_from_file_location("_architecture", ROOT / "examples" / "architecture.py")
    mod = importlib.util.module_from_spec(found)
    found.loader.exec_module(mod)
    return sorted(mod.parse_build(ROOT)[0])


def run_block(code, cwd):
    env = dict(os.environ, PYTHONDONTWRITEBYTECODE="1", MPLBACKEND="Agg")
    return subprocess.run([sys.executable, "-c", code], cwd=cwd, env=env, capture_output=True,
                          text=True, timeout=300)


@pytest.mark.parametrize("line,code,mark", PYTHON, ids=[f"line{line}" for line, _, _ in PYTHON])
def test_python_block_runs(line, code, mark, tmp_path, request):
    assert mark in (None, "nats"), f"README.md line {line}: unknown mark {mark!r}"
    if mark == "nats":
        assert NATS_PLACEHOLDER in code, f"README.md line {line}: a NATS block names {NATS_PLACEHOLDER}"
        from natsfix import NatsServer

        server = request.getfixturevalue("readme_nats")
        assert isinstance(server, NatsServer)
        code = code.replace(NATS_PLACEHOLDER, server.url)
    r = run_block(code, tmp_path)
    assert r.returncode == 0, f"README.md block at line {line} failed:\n{r.stdout}\n{r.stderr}"


@pytest.fixture(scope="module")
def readme_nats():
    from natsfix import NatsServer

    s = NatsServer()
    yield s
    s.close()


def test_there_are_examples_to_run():
    # Every module the package builds shows up in at least one runnable example.
    shown = "\n".join(code for _, code, _ in PYTHON)
    missing = [m for m in built_modules() if not re.search(rf"\b{m}\b", shown)]
    assert missing == [], f"modules without a runnable README example: {missing}"


def test_block_parser_sees_marks_and_languages():
    text = "a\n```sh\nmake\n```\n<!-- readme-test: nats -->\n```python\nx = 1\n```\n```\nout\n```\n"
    assert code_blocks(text) == [("sh", 3, "make\n", None), ("python", 7, "x = 1\n", "nats"), ("", 10, "out\n", None)]
    with pytest.raises(AssertionError):
        code_blocks("```python\nnever closed\n")


def test_failing_block_is_reported(tmp_path):
    assert run_block("raise SystemExit(3)", tmp_path).returncode == 3
    assert run_block("open('made_here', 'w').close()", tmp_path).returncode == 0
    assert (tmp_path / "made_here").exists()


def test_quick_start_keeps_its_two_commands():
    section = TEXT.split("## Quick start", 1)[1].split("\n## ", 1)[0]
    sh = [code for lang, _, code, _ in code_blocks(section) if lang == "sh"]
    commands = [ln.split("#")[0].strip() for ln in sh[0].splitlines() if ln.split("#")[0].strip()]
    assert commands == ["make demo", "make test"]


def test_architecture_picture_shows_the_built_modules():
    assert "(docs/architecture.png)" in TEXT and (ROOT / "docs" / "architecture.png").is_file()
    assert drawn_modules() == built_modules()


def test_licence_is_named_by_spdx_identifier():
    assert "GPL-3.0-or-later" in TEXT.split("## Licence", 1)[1]
    assert 'license = "GPL-3.0-or-later"' in (ROOT / "pyproject.toml").read_text()
