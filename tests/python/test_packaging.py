"""The distributions a user installs: an sdist of the source tree, a wheel
built from that sdist alone, and the wheel installed into a fresh virtual
environment, imported and type-checked there."""

import email
import json
import os
import re
import subprocess
import sys
import sysconfig
import tarfile
import textwrap
import zipfile
from pathlib import Path

import pytest

REPO = Path(__file__).resolve().parents[2]
EXT_SUFFIX = sysconfig.get_config_var("EXT_SUFFIX")


def run(args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, timeout=900, **kwargs)
    assert done.returncode == 0, done.stdout[-3000:] + done.stderr[-3000:]
    return done


@pytest.fixture(scope="module")
def dist(tmp_path_factory):
    """(sdist, wheel) built the way `python -m build` does by default: the
    sdist from the tree, then the wheel from the unpacked sdist."""
    out = tmp_path_factory.mktemp("dist")
    # No isolation: the build tools come from this environment, not a download.
    run([sys.executable, "-m", "build", "--no-isolation", "--outdir", str(out), str(REPO)])
    sdists, wheels = list(out.glob("*.tar.gz")), list(out.glob("*.whl"))
    assert len(sdists) == 1 and len(wheels) == 1
    return sdists[0], wheels[0]


@pytest.mark.slow
def test_sdist_holds_what_a_build_needs_and_no_local_state(dist):
    with tarfile.open(dist[0]) as sdist:
        names = {name.split("/", 1)[1] for name in sdist.getnames() if "/" in name}
    for needed in ("CMakeLists.txt", "pyproject.toml", "README.md", "LICENSE", "PKG-INFO", "stubs/quillmere.pyi",
                   "stubs/quillmere_sampler.pyi", "src/lib/module.cpp", "src/lib/sampler_module.cpp",
                   "examples/snapshot.py"):
        assert needed in names
    local = [n for n in names if n.split("/")[0] in (".venv", "build", "dist", ".git", ".ci")
             or n.startswith("build-") or "__pycache__" in n or n.endswith(".so")]
    assert local == []


@pytest.mark.slow
def test_wheel_holds_the_module_both_stubs_and_complete_metadata(dist):
    with zipfile.ZipFile(dist[1]) as wheel:
        names = set(wheel.namelist())
        stub = (REPO / "stubs" / "quillmere.pyi").read_bytes()
        assert wheel.read("quillmere.pyi") == stub
        assert wheel.read("quillmere-stubs/__init__.pyi") == stub
        sampler_stub = (REPO / "stubs" / "quillmere_sampler.pyi").read_bytes()
        assert wheel.read("quillmere_sampler.pyi") == sampler_stub
        assert wheel.read("quillmere_sampler-stubs/__init__.pyi") == sampler_stub
        info = "quillmere-0.1.0.dist-info/"
        metadata = email.message_from_bytes(wheel.read(info + "METADATA"))
        entry_points = wheel.read(info + "entry_points.txt").decode()
    # The exporter program: every module of its package, and its console script.
    exporter = {f"quillmere_exporter/{p.name}" for p in (REPO / "src" / "exporter" / "quillmere_exporter").iterdir()
                if p.suffix == ".py" or p.name == "py.typed"}
    assert {"quillmere_exporter/__main__.py", "quillmere_exporter/server.py"} < exporter
    assert {n for n in names if n.startswith("quillmere_exporter/")} == exporter
    assert "quillmere-exporter = quillmere_exporter:main" in entry_points
    assert {n for n in names if not n.startswith(info)} - exporter == {
        "quillmere" + EXT_SUFFIX, "quillmere.pyi", "quillmere-stubs/__init__.pyi",
        "quillmere_sampler" + EXT_SUFFIX, "quillmere_sampler.pyi", "quillmere_sampler-stubs/__init__.pyi"}
    assert info + "licenses/LICENSE" in names

    assert metadata["Name"] == "quillmere"
    assert metadata["Requires-Python"] == ">=3.9"
    assert metadata["License-Expression"] == "MIT"
    classifiers = metadata.get_all("Classifier")
    assert "Operating System :: POSIX :: Linux" in classifiers
    assert [c for c in classifiers if c.startswith("Programming Language :: Python :: 3.")] == [
        f"Programming Language :: Python :: 3.{minor}" for minor in range(9, 14)]
    assert metadata["Description-Content-Type"] == "text/markdown"
    assert metadata.get_payload().startswith("# quillmere\n")
    # Nothing at run time: every requirement belongs to an extra.
    requirements = metadata.get_all("Requires-Dist")
    assert requirements and all("extra ==" in r for r in requirements)
    assert any(r.startswith("prometheus_client") and 'extra == "exporter"' in r for r in requirements)


@pytest.mark.slow
def test_wheel_installed_in_a_fresh_environment_works_and_is_typed(dist, tmp_path):
    venv = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--without-pip", str(venv)])
    python = str(venv / "bin" / "python")
    site = run([python, "-c", "import sysconfig; print(sysconfig.get_paths()['platlib'])"]).stdout.strip()
    run([sys.executable, "-m", "pip", "install", "--no-deps", "--no-index", "--target", site, str(dist[1])])

    done = run([python, "-c", "import json, quillmere; print(json.dumps(list(quillmere.get_metrics_once(1000))))"],
               cwd=tmp_path)
    assert len(json.loads(done.stdout)) == 26
    done = run([python, "-c", "import quillmere_sampler as q\nwith q.Sampler(10) as s: print(len(s.sample()))"],
               cwd=tmp_path)
    assert done.stdout.strip() == "44"

    # mypy resolves quillmere from that environment's site-packages alone.
    probe = tmp_path / "probe.py"
    probe.write_text(textwrap.dedent("""\
        import quillmere
        m = quillmere.get_metrics_once(1000)
        reveal_type(m["load_avg_1"])
        reveal_type(m["mem_total_bytes"])
        m["load_avg1"]
        quillmere.get_metrics_once("1000")
        import quillmere_sampler
        reveal_type(quillmere_sampler.read_counters()["mem_available_bytes"])
        reveal_type(quillmere_sampler.Sampler(1000).sample()["disk_read_bytes_per_sec"])
    """))
    env = {k: v for k, v in os.environ.items() if k != "MYPYPATH"}
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--python-executable", python,
                           "--cache-dir", str(tmp_path / "cache"), str(probe)],
                          cwd=tmp_path, env=env, capture_output=True, text=True, timeout=300)
    out = done.stdout
    assert re.search(r':3: note: Revealed type is "(builtins\.)?float"', out), out
    assert re.search(r':4: note: Revealed type is "(builtins\.)?int"', out), out
    assert ':5: error: TypedDict "Metrics" has no key "load_avg1"' in out
    assert ':6: error: Argument 1 to "get_metrics_once" has incompatible type "str"; expected "int"' in out
    # "int | None" or "Union[builtins.int, None]", as the mypy version spells it.
    assert re.search(r':8: note: Revealed type is ".*int.*None', out), out
    assert re.search(r':9: note: Revealed type is ".*float.*None', out), out
    assert done.returncode == 1
