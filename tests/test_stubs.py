"""Type stubs and docstrings: every name a module exposes has a docstring and an
entry in its stub, every stub entry exists, and where the binding states its
signature the stub states the same one. mypy --strict checks the stubs
themselves when it is installed."""

import ast
import importlib
import inspect
import os
import pathlib
import subprocess
import sys

import pytest

import kolvane

SRC = pathlib.Path(__file__).resolve().parents[1] / "src" / "kolvane"


def _extension_modules():
    """Dotted names of the extension modules the installed package holds."""
    found = []
    for root in kolvane.__path__:
        root = pathlib.Path(root)
        for so in sorted(root.rglob("*.so")):
            rel = so.relative_to(root).with_suffix("")
            found.append(".".join(rel.parts[:-1] + (rel.name.split(".")[0],)))
    return found


MODULES = _extension_modules()

# Types that a module creates on first use rather than at import.
def _a_frame(m):
    import numpy as np

    return m.Frame(np.zeros(0, np.uint8), np.ones(8, np.uint8), np.ones(16, np.uint8), crc="crc16")


FIRST_USE = {
    ("telemetry", "TelemetryStats"): lambda m: type(m.Telemetry(1 << 12).stats()),
    ("wfm", "FrameLayout"): lambda m: type(_a_frame(m).layout()),
    ("wfm", "FrameCheck"): lambda m: type((lambda f: f.check(f.bits()))(_a_frame(m))),
}

# Dunders whose signature and presence the stubs state; the others (slot
# wrappers such as __new__) carry the interpreter's generic texts.
STUB_DUNDERS = {"__init__", "__enter__", "__exit__", "__call__"}


def _stub_path(modname):
    return SRC.joinpath(*modname.split(".")).with_suffix(".pyi")


def _is_property(fn):
    return any(isinstance(d, ast.Name) and d.id == "property" for d in fn.decorator_list)


def _is_setter(fn):
    return any(isinstance(d, ast.Attribute) and d.attr in ("setter", "deleter") for d in fn.decorator_list)


def _parse_stub(modname):
    """{name: node} of the stub's top level, and {class: {member: node}}."""
    tree = ast.parse(_stub_path(modname).read_text())
    top, classes = {}, {}
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            top[node.name] = node
        elif isinstance(node, ast.AnnAssign) and isinstance(node.target, ast.Name):
            top[node.target.id] = node
        elif isinstance(node, ast.Assign):
            # `_Name = Literal[...]`: an alias of the stub only, not a runtime name.
            for t in node.targets:
                assert isinstance(t, ast.Name) and t.id.startswith("_"), (
                    f"{modname}.pyi assigns {ast.dump(t)}: public names need a declaration")
        if isinstance(node, ast.ClassDef):
            members = {}
            for item in node.body:
                if isinstance(item, ast.FunctionDef) and not _is_setter(item):
                    members[item.name] = item
                elif isinstance(item, ast.AnnAssign) and isinstance(item.target, ast.Name):
                    members[item.target.id] = item
            classes[node.name] = members
    return top, classes


def _runtime_names(mod):
    return {n for n in vars(mod) if not n.startswith("__")}


def _stub_params(fn, drop_first):
    a = fn.args
    positional = [(p.arg, inspect.Parameter.POSITIONAL_ONLY) for p in a.posonlyargs]
    positional += [(p.arg, inspect.Parameter.POSITIONAL_OR_KEYWORD) for p in a.args]
    first_default = len(positional) - len(a.defaults)
    params = [(n, k, i >= first_default) for i, (n, k) in enumerate(positional)]
    if a.vararg:
        params.append((a.vararg.arg, inspect.Parameter.VAR_POSITIONAL, False))
    params += [(p.arg, inspect.Parameter.KEYWORD_ONLY, d is not None)
               for p, d in zip(a.kwonlyargs, a.kw_defaults)]
    if a.kwarg:
        params.append((a.kwarg.arg, inspect.Parameter.VAR_KEYWORD, False))
    return params[1:] if drop_first else params


def _runtime_params(obj, drop_first):
    """The binding's own signature, or None when it states none."""
    if getattr(obj, "__text_signature__", None) is None:
        return None
    try:
        sig = inspect.signature(obj)
    except (ValueError, TypeError):
        return None
    params = [(p.name, p.kind, p.default is not inspect.Parameter.empty)
              for p in sig.parameters.values()]
    if drop_first and params and params[0][0] in ("self", "module"):
        params = params[1:]
    return params


def _documented(obj):
    return bool((getattr(obj, "__doc__", None) or "").strip())


def _type_members(cls):
    return {n: v for n, v in vars(cls).items()
            if not n.startswith("__") or n in STUB_DUNDERS}


def _resolve(modname, mod, name):
    if hasattr(mod, name):
        return getattr(mod, name)
    maker = FIRST_USE.get((modname.split(".")[-1], name))
    return maker(mod) if maker else None


@pytest.fixture(scope="module", params=MODULES)
def module(request):
    modname = request.param
    return modname, importlib.import_module(f"kolvane.{modname}"), _parse_stub(modname)


def test_every_extension_module_is_typed():
    assert MODULES, "no extension modules found in the installed package"
    missing = [m for m in MODULES if not _stub_path(m).is_file()]
    assert not missing, f"modules without a stub: {missing}"
    for root in kolvane.__path__:
        assert (pathlib.Path(root) / "py.typed").is_file()


def test_module_names_match_stub(module):
    modname, mod, (top, _) = module
    assert _documented(mod), f"kolvane.{modname} has no module docstring"
    runtime = _runtime_names(mod)
    assert sorted(runtime - set(top)) == [], f"names of kolvane.{modname} missing from its stub"
    ghosts = sorted(n for n in set(top) - runtime if _resolve(modname, mod, n) is None)
    assert ghosts == [], f"kolvane.{modname}.pyi declares names the module lacks"


def _signature_problem(where, stub, obj, is_method):
    want = _runtime_params(obj, drop_first=is_method)
    have = _stub_params(stub, drop_first=is_method)
    if want is not None and have != want:
        return f"{where}: stub {have}, binding {want}"
    return None


def test_functions_documented_and_signed(module):
    modname, mod, (top, _) = module
    problems = []
    for name in sorted(_runtime_names(mod)):
        obj = getattr(mod, name)
        if isinstance(obj, type) or not callable(obj):
            continue
        where = f"kolvane.{modname}.{name}"
        if not _documented(obj):
            problems.append(f"{where} has no docstring")
        stub = top[name]
        if not isinstance(stub, ast.FunctionDef):
            problems.append(f"{where} is not a function in the stub")
            continue
        problems.append(_signature_problem(where, stub, obj, is_method=False))
    problems = [p for p in problems if p]
    assert not problems, "\n".join(problems)


def _type_problems(modname, name, cls, stub_members):
    where = f"kolvane.{modname}.{name}"
    if not _documented(cls):
        yield f"{where} has no docstring"
    if issubclass(cls, tuple):
        # A record: its fields are the stub's annotated attributes, in order.
        fields = [n for n, node in stub_members.items() if isinstance(node, ast.AnnAssign)]
        record_fields = list(getattr(cls, "_fields", None) or cls.__match_args__)
        if fields != record_fields:
            yield f"{where}: stub fields {fields}, record fields {record_fields}"
        return
    runtime = _type_members(cls)
    for m in sorted(set(runtime) - set(stub_members)):
        yield f"{where}.{m} is missing from the stub"
    for m in sorted(set(stub_members) - set(runtime)):
        if not hasattr(cls, m):
            yield f"{where}.{m} is in the stub but not on the type"
    for mname, value in sorted(runtime.items()):
        stub = stub_members.get(mname)
        if stub is None:
            continue
        if mname not in STUB_DUNDERS and not _documented(value):
            yield f"{where}.{mname} has no docstring"
        is_prop = inspect.isdatadescriptor(value) and not callable(value)
        stub_prop = isinstance(stub, ast.AnnAssign) or _is_property(stub)
        if stub_prop != is_prop:
            yield f"{where}.{mname}: a property in one of stub and type, a method in the other"
        elif not is_prop and mname not in STUB_DUNDERS:
            yield _signature_problem(f"{where}.{mname}", stub, value, is_method=True)
    init = stub_members.get("__init__")
    if init is not None:
        yield _signature_problem(f"{where}()", init, cls, is_method=True)


def test_types_documented_and_signed(module):
    modname, mod, (top, classes) = module
    problems = []
    for name in sorted(top):
        cls = _resolve(modname, mod, name)
        if not isinstance(cls, type):
            continue
        if not isinstance(top[name], ast.ClassDef):
            problems.append(f"kolvane.{modname}.{name} is not a class in the stub")
            continue
        problems += _type_problems(modname, name, cls, classes[name])
    problems = [p for p in problems if p]
    assert not problems, "\n".join(problems)


@pytest.mark.skipif(bool(os.environ.get("KOLVANE_UNDER_SANITIZER")),
                    reason="checks text files only; the first pass has run it")
def test_stubs_pass_mypy_strict():
    pytest.importorskip("mypy")
    stubs = sorted(str(p) for p in SRC.rglob("*.pyi"))
    r = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                        "--python-version", f"{sys.version_info[0]}.{sys.version_info[1]}", *stubs],
                       capture_output=True, text=True, timeout=300)
    assert r.returncode == 0, r.stdout + r.stderr
