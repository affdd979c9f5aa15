"""Shared helpers: the process census (from census.py), running Python in a
private mount namespace with fixture files over /proc and /sys, and starting
quillmere-exporter and the servers it is tested with."""

import ctypes
import errno
import json
import os
import pathlib
import re
import select
import shutil
import signal
import subprocess
import sys
import textwrap

import pytest
import quillmere_sampler

from census import child_pids, open_fds, settled, thread_count  # noqa: F401 - the tests import them from here


def _namespace_prefix():
    if shutil.which("unshare") is None:
        return None
    prefix = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        prefix = ["unshare", "--map-root-user", "--mount", "--propagation", "private"]
    probe = subprocess.run(prefix + ["true"], capture_output=True)
    return prefix if probe.returncode == 0 else None


NAMESPACE_PREFIX = _namespace_prefix()

needs_namespace = pytest.mark.skipif(
    NAMESPACE_PREFIX is None and os.environ.get("CI") != "true",
    reason="private mount namespaces are unavailable here (unshare refused)",
)


def _mount_api_missing():
    # open_tree without OPEN_TREE_CLONE only opens a path; ENOSYS means the
    # kernel (before 5.2) or the emulator (qemu-user) lacks the new mount API.
    libc = ctypes.CDLL(None, use_errno=True)
    fd = libc.syscall(428, -100, b"/", os.O_CLOEXEC)  # open_tree(AT_FDCWD, "/")
    if fd >= 0:
        os.close(fd)
        return False
    return ctypes.get_errno() == errno.ENOSYS


MOUNT_API_MISSING = _mount_api_missing()


def _address_space_limit_ignored():
    # qemu-user accepts RLIMIT_AS but does not apply it to the guest: a
    # mapping far beyond the limit still succeeds there.
    code = ("import mmap, resource\n"
            "resource.setrlimit(resource.RLIMIT_AS, (1 << 30, resource.getrlimit(resource.RLIMIT_AS)[1]))\n"
            "try:\n    mmap.mmap(-1, 3 << 29)\nexcept (MemoryError, OSError, OverflowError):\n    print('enforced')\n")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True)
    return done.stdout.strip() != "enforced"


needs_address_space_limit = pytest.mark.skipif(
    _address_space_limit_ignored(),
    reason="RLIMIT_AS is not enforced here (qemu-user ignores it)",
)


# Set by the ARM stage, whose tests run under qemu-user: starting and killing
# a process there takes far longer than on the machine itself.
EMULATED = os.environ.get("QUILLMERE_EMULATED") == "1"


REPO = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
MOUNT_OVER = os.path.join(REPO, "scripts", "mount_over.py")


# A fixture that is a FIFO nobody writes: a source that would block its reader.
FIFO = object()


def _write_fixture(path, content):
    if content is None:
        path.write_bytes(b"\xff\xfe\n")
    elif isinstance(content, bytes):
        path.write_bytes(content)
    else:
        path.write_text(content)


def run_isolated(tmp_path, code, files=None, thermal=None, tool=None, path=None, timeout=60):
    """Runs `code` in a fresh interpreter inside a private mount namespace.

    files: {"/proc/stat": content}, where content is text or bytes, or None
    for a file that is not valid UTF-8, which the module treats exactly as an
    unreadable one (a directory cannot be mounted over a file, and mode 000
    does not stop root); FIFO, a FIFO that nobody writes; a pathlib.Path, that
    file itself (a device, say); or a pair (first, second): a file holding
    `first` that the firmware tool, which get_metrics_once runs between its
    baseline and its tick, rewrites to `second`, so that a counter moves in
    between (a fake tool of the caller's runs after the rewrite). /proc/net/dev
    is reached by a symlink over /proc/net to a directory of its own.
    thermal: {"thermal_zone0": {"temp": "48312\n"}} mounted over
    /sys/class/thermal (FIFO for a temp file nobody writes). tool: the text
    of a fake `vcgencmd` script put first on PATH (or path overrides PATH).
    The code prints what the caller wants; returns the completed process.
    """
    assert NAMESPACE_PREFIX is not None, "unshare is required"
    if "/proc/net/dev" in (files or {}) and MOUNT_API_MISSING:
        pytest.skip("open_tree/move_mount are missing here (qemu-user lacks them); /proc/net cannot be replaced")
    fixtures = tmp_path / "fixtures"
    fixtures.mkdir(exist_ok=True)
    shell = ["set -e"]
    rewrites = []  # what the firmware tool does before it answers
    for index, (target, content) in enumerate((files or {}).items()):
        if isinstance(content, pathlib.Path):
            source = content
        elif target == "/proc/net/dev":
            netdir = fixtures / "net"
            netdir.mkdir()
            source = netdir / "dev"
        else:
            source = fixtures / f"file{index}"
        if target == "/proc/net/dev":
            # A symlink over /proc/net to a directory whose `dev` is the source.
            if source.parent.name != "net" or source.name != "dev":
                netdir = fixtures / "net"
                netdir.mkdir()
                (netdir / "dev").symlink_to(source)
                source = netdir / "dev"
            (fixtures / "net-link").symlink_to(source.parent)
            mount = f"\"$0\" '{MOUNT_OVER}' '{fixtures / 'net-link'}' /proc/net"
        else:
            mount = f"mount --bind '{source}' '{target}'"
        if content is FIFO:
            os.mkfifo(source)
        elif isinstance(content, tuple):
            second = fixtures / f"second{index}"
            _write_fixture(source, content[0])
            _write_fixture(second, content[1])
            rewrites.append(f"cat '{second}' > '{source}'")
        elif not isinstance(content, pathlib.Path):
            _write_fixture(source, content)
        shell.append(mount)
    if rewrites:
        tool = "#!/bin/sh\n" + "\n".join(rewrites) + "\n" + (tool.split("\n", 1)[1] if tool else "")
    if thermal is not None:
        tdir = fixtures / "thermal"
        tdir.mkdir()
        for zone, entries in thermal.items():
            zdir = tdir / zone
            zdir.mkdir()
            for name, content in entries.items():
                if content is None:
                    (zdir / name).mkdir()
                elif content is FIFO:
                    os.mkfifo(zdir / name)
                else:
                    (zdir / name).write_text(content)
        shell.append(f"mount --bind '{tdir}' /sys/class/thermal")
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    # The interpreter under test gets its own PATH; the shell that sets up the
    # mounts keeps the caller's.
    python_path = env.get("PATH", "/usr/bin:/bin")
    if tool is not None:
        bindir = tmp_path / "bin"
        bindir.mkdir(exist_ok=True)
        script = bindir / "vcgencmd"
        script.write_text(tool)
        script.chmod(0o755)
        python_path = f"{bindir}:{python_path}"
    if path is not None:
        python_path = path
    env["QUILLMERE_TEST_PATH"] = python_path
    shell.append('PATH="$QUILLMERE_TEST_PATH" exec "$0" -c "$1"')
    argv = NAMESPACE_PREFIX + ["sh", "-c", "\n".join(shell), sys.executable, textwrap.dedent(code)]
    # The run is a process group of its own, killed whole on every way out
    # (a failed mount, a timeout, the end of the code).
    with subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, env=env,
                          start_new_session=True) as process:
        try:
            stdout, stderr = process.communicate(timeout=timeout)
        finally:
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            process.wait()
    return subprocess.CompletedProcess(argv, process.returncode, stdout, stderr)


def run_python(code, timeout=60, **kwargs):
    """Runs `code` (dedented) in a fresh interpreter; returns the completed run."""
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          timeout=timeout, **kwargs)


def sample_isolated(tmp_path, interval_ms=1000, **kwargs):
    """One get_metrics_once call in the namespace; returns the dict."""
    code = f"""
        import json, math, quillmere
        d = quillmere.get_metrics_once({interval_ms})
        print(json.dumps({{k: (repr(v) if isinstance(v, float) and not math.isfinite(v) else v)
                          for k, v in d.items()}}))
    """
    done = run_isolated(tmp_path, code, **kwargs)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.strip().splitlines()[-1])


# --- the exporter program and the servers it is tested with -------------------

EXPORTER = os.path.join(os.path.dirname(sys.executable), "quillmere-exporter")

# A fake firmware tool: 0x50005 is under-voltage and throttled, now and since boot.
FAKE_TOOL = """#!/bin/sh
case "$1" in
  get_throttled) echo "throttled=0x50005" ;;
  measure_clock) echo "frequency(48)=1500000000" ;;
esac
"""


def env_with_tool(tmp_path, script):
    """The environment with `script` as vcgencmd first on PATH."""
    bindir = tmp_path / "bin"
    bindir.mkdir(exist_ok=True)
    (bindir / "vcgencmd").write_text(script)
    (bindir / "vcgencmd").chmod(0o755)
    return dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '/usr/bin:/bin')}")


def require_tool(name):
    """The path of a program the test runs; a missing one skips the test,
    except in CI, where scripts/test.sh installs it and it must be there."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("CI") == "true":
            pytest.fail(f"{name} is not installed (scripts/test.sh installs it)")
        pytest.skip(f"{name} is not installed")
    return path


def _default_sigint():
    # A shell that starts its children in the background makes them ignore
    # SIGINT, and Python keeps an inherited ignore; undo it so that the
    # program sees Ctrl-C as it would on a terminal.
    signal.signal(signal.SIGINT, signal.SIG_DFL)


@pytest.fixture
def spawn():
    """Starts programs (stdout and stderr piped, text); whatever still runs
    when the test ends, however it ends, is killed and reaped."""
    procs = []

    def start(argv, **kwargs):
        proc = subprocess.Popen(argv, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                preexec_fn=_default_sigint, **kwargs)
        procs.append(proc)
        return proc

    yield start
    for proc in procs:
        if proc.poll() is None:
            proc.kill()
        try:
            proc.communicate(timeout=10)
        except (subprocess.TimeoutExpired, ValueError):
            pass


def start_exporter(spawn, *args, env=None, command=(EXPORTER,)):
    """quillmere-exporter (or `command`, a program that takes its options) on
    a free port of 127.0.0.1; returns (process, URL)."""
    proc = spawn([*command, "--port", "0", *args], env=env)
    ready, _, _ = select.select([proc.stdout], [], [], 30)
    assert ready, "the exporter printed no URL"
    line = proc.stdout.readline()
    match = re.fullmatch(r"serving (http://127\.0\.0\.1:(\d+)/metrics)\n", line)
    assert match, (line, proc.stderr.read() if proc.poll() is not None else "")
    return proc, match.group(1)


def stop(proc, signum=signal.SIGTERM, timeout=15):
    """Sends `signum`; returns (exit status, stdout, stderr) once the process is gone."""
    proc.send_signal(signum)
    out, err = proc.communicate(timeout=timeout)
    return proc.returncode, out, err


def parse_exposition(text):
    """{name: type} and {(name, labels): value} from the text format."""
    types, samples = {}, {}
    for line in text.splitlines():
        if line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            types[name] = kind
        elif line and not line.startswith("#"):
            series, value = line.rsplit(" ", 1)
            name, _, labels = series.partition("{")
            samples[name, labels[:-1]] = float(value)
    return types, samples
