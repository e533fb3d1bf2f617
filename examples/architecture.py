"""Draws the package's architecture into docs/architecture.png.

The picture is read from the build files, so it follows the code: every
`kolvane_module` of src/*/CMakeLists.txt is a box on the top row, every
`kolvane_component` a box on the bottom row, and a line joins a component to
each module it is compiled into (directly or through another component).
The third-party libraries a target links appear on the right. Objects crossing
modules at run time (capsules) are drawn as dashed arrows.

    python examples/architecture.py [out.png]
"""

import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parents[1]

# Linked libraries, by the CMake variable or name that brings them in.
EXTERNAL = {"FFTW3": "FFTW3", "NATS": "nats.c", "CJSON": "cJSON", "pthread": None}

# The status codes, state header and binding frame go into every module; a line
# from them to each box would only hide the others.
EVERYWHERE = "sx_core"

# Run-time links between modules: (from, to, what travels).
CAPSULES = [("clock", "telemetry", "sample clock")]
INTERRUPT_OWNER = "interrupt"
INTERRUPT_COMPONENT = "sx_interrupt_guard"

_CALL = re.compile(r"kolvane_(module|component)\(\s*(\w+)(.*?)\)", re.S)


def parse_build(root=ROOT):
    """({module: libs}, {component: libs}) from the subsystem CMakeLists files."""
    modules, components = {}, {}
    for cm in sorted((root / "src").glob("*/CMakeLists.txt")):
        text = re.sub(r"#[^\n]*", "", cm.read_text())
        for kind, name, body in _CALL.findall(text):
            libs = []
            m = re.search(r"\bLIBS\b(.*)", body, re.S)
            if m:
                libs = m.group(1).split()
            (modules if kind == "module" else components)[name] = libs
    return modules, components


def _external(lib):
    for key, label in EXTERNAL.items():
        if key in lib:
            return label
    return None


def closure(modules, components):
    """{module: (set of components, set of external libraries)}, transitively."""
    out = {}
    for mod, libs in modules.items():
        comps, ext, todo = set(), set(), list(libs)
        while todo:
            lib = todo.pop()
            if lib in components:
                if lib not in comps:
                    comps.add(lib)
                    todo += components[lib]
            elif _external(lib):
                ext.add(_external(lib))
        out[mod] = (comps, ext)
    return out


def draw(path, root=ROOT):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    from matplotlib.patches import FancyArrowPatch, FancyBboxPatch

    modules, components = parse_build(root)
    links = closure(modules, components)
    mods = sorted(modules)
    comps = sorted(c for c in components if c != EVERYWHERE)
    exts = sorted({e for _, ext in links.values() for e in ext})

    width = max(len(mods), len(comps)) + 2
    fig, ax = plt.subplots(figsize=(1.25 * width, 5.6))
    ax.set_xlim(-0.6, width)
    ax.set_ylim(0.1, 5.2)
    ax.axis("off")

    def box(x, y, text, color, w=0.98, h=0.5):
        ax.add_patch(FancyBboxPatch((x - w / 2, y - h / 2), w, h, boxstyle="round,pad=0.04",
                                    fc=color, ec="#333333", lw=0.8))
        ax.text(x, y, text, ha="center", va="center", fontsize=7.5)
        return x, y

    step_m = (width - 2.2) / max(len(mods) - 1, 1)
    step_c = (width - 2.2) / max(len(comps) - 1, 1)
    mpos = {m: box(i * step_m, 3.0, f"kolvane.{m}" if m != INTERRUPT_OWNER else "kolvane.interrupt", "#cfe3f7")
            for i, m in enumerate(mods)}
    cpos = {c: box(i * step_c, 0.6, c, "#f7e7c4") for i, c in enumerate(comps)}
    epos = {e: box(width - 0.75, 0.6 + 1.0 * i, e, "#dcdcdc", w=0.9) for i, e in enumerate(exts)}

    palette = plt.get_cmap("tab20")
    for m, (cs, es) in links.items():
        for c in cs:
            if c in cpos:
                ax.plot([cpos[c][0], mpos[m][0]], [cpos[c][1] + 0.25, mpos[m][1] - 0.25],
                        color=palette(comps.index(c) % 20), lw=0.9, alpha=0.8)
        for e in es:
            ax.plot([epos[e][0] - 0.45, mpos[m][0] + 0.2], [epos[e][1], mpos[m][1] - 0.25],
                    color="#999999", lw=0.6, ls=":")

    arrows = list(CAPSULES)
    if INTERRUPT_OWNER in mpos:
        arrows += [(INTERRUPT_OWNER, m, "interrupt state") for m, (cs, _) in sorted(links.items())
                   if m != INTERRUPT_OWNER and INTERRUPT_COMPONENT in cs]
    for src, dst, what in arrows:
        if src in mpos and dst in mpos:
            (x0, y0), (x1, y1) = mpos[src], mpos[dst]
            ax.add_patch(FancyArrowPatch((x0, y0 + 0.27), (x1, y1 + 0.27), connectionstyle="arc3,rad=-0.18",
                                         arrowstyle="-|>", mutation_scale=8, ls="--", lw=0.8,
                                         color="#3060a0" if what == "interrupt state" else "#a03030"))
    ax.text(-0.5, 5.1, "Python extension modules (one shared object each); dashed: capsules handed over at "
            "run time (blue: the process-wide interrupt state, red: the sample clock)", fontsize=8, va="top")
    ax.text(-0.5, 1.25, f"Shared components, one source each, compiled into every module joined to them "
            f"({EVERYWHERE}, the status codes, state header and binding frame, goes into all)",
            fontsize=8, va="bottom")
    ax.text(width - 0.75, 0.6 + 1.0 * len(exts) - 0.35, "libraries", ha="center", fontsize=8)
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return mods, comps, exts


def main(argv):
    out = pathlib.Path(argv[1]) if len(argv) > 1 else ROOT / "docs" / "architecture.png"
    out.parent.mkdir(parents=True, exist_ok=True)
    mods, comps, exts = draw(out)
    print(f"{out}: {len(mods)} modules, {len(comps)} shared components, libraries {', '.join(exts)}")


if __name__ == "__main__":
    main(sys.argv)
