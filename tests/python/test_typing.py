"""The type stub against the module it describes: the installed copies, a real
call, the runtime signature, the README's key table, and the examples checked
by mypy --strict against it."""

import ast
import os
import subprocess
import sys
from pathlib import Path

import quillmere
import quillmere_sampler

REPO = Path(__file__).resolve().parents[2]
STUB_SOURCE = REPO / "stubs" / "quillmere.pyi"
SAMPLER_STUB = REPO / "stubs" / "quillmere_sampler.pyi"
SITE = Path(quillmere.__file__).parent


def stub_fields(path):
    """[(key, type name)] of the Metrics TypedDict and the stub's __all__."""
    tree = ast.parse(path.read_text(), str(path))
    metrics = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Metrics")
    fields = [(n.target.id, n.annotation.id) for n in metrics.body if isinstance(n, ast.AnnAssign)]
    exported = next(n.value for n in tree.body if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    return fields, ast.literal_eval(exported)


def typed_dict_keys(path, name):
    """[(key, annotation as written)] of one TypedDict of a stub."""
    tree = ast.parse(path.read_text(), str(path))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == name)
    return [(n.target.id, ast.unparse(n.annotation)) for n in cls.body if isinstance(n, ast.AnnAssign)]


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


# (the TypedDict of a dict, of its key, and of every entry of that key's
# value if it is a table, or of the value itself)
NESTED = [("Counters", "cpu_seconds", "CpuSeconds", False), ("Counters", "cpus", "CpuSeconds", True),
          ("Counters", "disks", "DiskCounters", True), ("Counters", "interfaces", "InterfaceCounters", True),
          ("Counters", "temperatures", "ZoneTemperature", True), ("Counters", "processes", "Processes", False),
          ("Counters", "pressure", "Pressure", True), ("Counters", "filesystems", "Filesystem", True),
          ("Counters", "wireless", "Wireless", True), ("Counters", "hwmon", "Sensor", True),
          ("Counters", "throttle", "Throttle", False), ("Sample", "pressure", "PressureShare", True),
          ("Sample", "disks", "DiskRates", True), ("Sample", "interfaces", "InterfaceRates", True)]


def test_sampler_stubs_are_installed():
    for path in (SITE / "quillmere_sampler.pyi", SITE / "quillmere_sampler-stubs" / "__init__.pyi"):
        assert path.read_text() == SAMPLER_STUB.read_text(), path


def test_sampler_stub_names_the_runtime_keys():
    with quillmere_sampler.Sampler(10) as s:
        results = {"Counters": quillmere_sampler.read_counters(), "Sample": s.sample()}
    for name, result in results.items():
        assert [k for k, _ in typed_dict_keys(SAMPLER_STUB, name)] == list(result), name
    for name, key, typed, table in NESTED:
        value = results[name][key]
        for entry in (value.values() if table else [value]) if value is not None else []:
            assert [k for k, _ in typed_dict_keys(SAMPLER_STUB, typed)] == list(entry), (name, key)


def test_stub_signature_and_exports_match_the_runtime(tmp_path):
    # The TypedDicts are names for type checkers only; the dicts they type are plain.
    tree = ast.parse(SAMPLER_STUB.read_text())
    typed_dicts = [n.name for n in tree.body if isinstance(n, ast.ClassDef) and n.name != "Sampler"]
    allowlist = tmp_path / "allowlist"
    allowlist.write_text("quillmere.Metrics\n" + "".join(f"quillmere_sampler.{name}\n" for name in typed_dicts))
    done = run_tool(["mypy.stubtest", "quillmere", "quillmere_sampler", "--allowlist", str(allowlist)], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr


def test_readme_key_table_matches_the_stub():
    text = (REPO / "README.md").read_text()
    table = text.split("\n## The 26 keys\n", 1)[1].split("\n## ", 1)[0]
    rows = [line.split("|")[1:3] for line in table.splitlines() if line.startswith("| `")]
    assert [(key.strip().strip("`"), kind.strip()) for key, kind in rows] == stub_fields(STUB_SOURCE)[0]


def test_readme_sampler_key_tables_match_the_stub():
    text = (REPO / "README.md").read_text()
    for heading, name in (("## read_counters() keys", "Counters"), ("## Sampler sample keys", "Sample")):
        table = text.split(f"\n{heading}\n", 1)[1].split("\n## ", 1)[0]
        rows = [line.split("|")[1:3] for line in table.splitlines() if line.startswith("| `")]
        assert [(key.strip().strip("`"), kind.strip().strip("`")) for key, kind in rows] == \
            typed_dict_keys(SAMPLER_STUB, name), heading


def test_examples_and_the_exporter_pass_mypy_strict(tmp_path):
    examples = sorted(str(p) for p in (REPO / "examples").glob("*.py"))
    assert len(examples) >= 3
    exporter = str(REPO / "src" / "exporter" / "quillmere_exporter")
    done = run_tool(["mypy", "--strict", "--cache-dir", str(tmp_path / "cache"), *examples, exporter], tmp_path)
    assert done.returncode == 0, done.stdout + done.stderr
