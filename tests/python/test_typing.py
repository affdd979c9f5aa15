"""The type stub against the module it describes: the installed copies, a real
call, the runtime signature, the README's key table, and the examples checked
by mypy --strict against it."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import quillmere

REPO = Path(__file__).resolve().parents[2]
STUB_SOURCE = REPO / "stubs" / "quillmere.pyi"
SITE = Path(quillmere.__file__).parent


def stub_fields(path):
    """[(key, type name)] of the Metrics TypedDict and the stub's __all__."""
    tree = ast.parse(path.read_text(), str(path))
    metrics = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Metrics")
    fields = [(n.target.id, n.annotation.id) for n in metrics.body if isinstance(n, ast.AnnAssign)]
    exported = next(n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    return fields, ast.literal_eval(exported)


def run_tool(args, cwd):
    # Without MYPYPATH the tools see only what is installed, not the source tree.
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    return subprocess.run([sys.executable, "-m", *args], cwd=cwd, env=env, capture_output=True, text=True,
                          timeout=300)


def test_both_installed_stubs_are_the_source_and_describe_a_real_call():
    installed = [SITE / "quillmere.pyi", SITE / "quillmere-stubs" / "__init__.pyi"]
    for path in installed:
        assert path.read_text() == STUB_SOURCE.read_text(), path
    fields, exported = stub_fields(STUB_SOURCE)
    d = quillmere.get_metrics_once(1000)
    assert fields == [(k, type(v).__name__) for k, v in d.items()]
    assert exported == quillmere.__all__


def test_stub_signature_and_exports_match_the_runtime(tmp_path):
    # Metrics is a name for type checkers only; the dict it types is plain.
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("quillmere.Metrics\n")
    done = run_tool(["mypy.stubtest", "quillmere", "--allowlist", str(allowlist)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_readme_key_table_matches_the_stub():
    text = (REPO / "README.md").read_text()
    table = text.split("\n## The 26 keys\n", 1)[1].split("\n## ", 1)[0]
    rows = [line.split("|")[1:3] for line in table.splitlines() if line.startswith("| `")]
    assert [(key.strip().strip("`"), kind.strip()) for key, kind in rows] == stub_fields(STUB_SOURCE)[0]


def test_examples_pass_mypy_strict(tmp_path):
    examples = sorted(str(p) for p in (REPO / "examples").glob("*.py"))
    assert len(examples) >= 3
    done = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
