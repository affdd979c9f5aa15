"""The firmware tool as the module runs it: a fake `vcgencmd` first on PATH
gives the output, exit status and delay of each case, and logs its argv."""

import os
import subprocess
import sys
import textwrap
import time

import pytest

import quillmere
from conftest import EMULATED, child_pids, open_fds, settled, thread_count


@pytest.fixture
def fake_tool(tmp_path, monkeypatch):
    """Installs a `vcgencmd` shell script first on PATH; returns its argv log."""
    bindir = tmp_path / "bin"
    bindir.mkdir()
    log = tmp_path / "argv.log"

    def install(body):
        script = bindir / "vcgencmd"
        script.write_text(f'#!/bin/sh\necho "$#:$*" >> "{log}"\n{body}\n')
        script.chmod(0o755)
        monkeypatch.setenv("PATH", f"{bindir}:{os.environ.get('PATH', '/usr/bin:/bin')}")
        return log

    return install


def answer(throttled_stdout, clock_stdout, code=0):
    """A tool body that prints the given bytes (octal escapes allowed) per query."""
    return textwrap.dedent(f"""
        case "$1" in
          get_throttled) printf '{throttled_stdout}' ;;
          measure_clock) printf '{clock_stdout}' ;;
        esac
        exit {code}
    """)


@pytest.mark.parametrize(
    "throttled, clock, code, expected",
    [
        ("throttled=0x5\\n", "frequency(48)=600\\n", 0, (5, 600)),
        ("throttled=0x0\\n", "frequency(48)=0\\n", 0, (0, 0)),
        ("throttled=0xaB\\n", "x=+42\\n", 0, (171, 42)),
        ("throttled=0xffffffff\\n", "=18446744073709551615\\n", 0, (4294967295, 2**64 - 1)),
        ("throttled=0x1ffffffff\\n", "=18446744073709551616\\n", 0, (0, 0)),  # do not fit
        ("throttled=0x000000005\\n", "=00000000000000000000000600\\n", 0, (5, 600)),  # leading zeros
        ("throttled=0x5 now\\n", "frequency(48)=600 Hz\\n", 0, (0, 0)),  # trailing text
        ("throttled=0x5\\nmore\\n", "f=600\\nmore\\n", 0, (0, 0)),  # the rest of the whole output
        ("throttled=0x5\\n\\n\\t\\n", "f=600\\n \\n", 0, (5, 600)),  # trailing blank lines trim away
        ("throttled=0X5\\n", "a=b=600\\n", 0, (0, 0)),  # upper-case X; text after the first =
        ("throttled=0x5\\n", "frequency(48)=600\\n", 1, (0, 0)),  # failure exit
        ("\\377\\376 throttled=0x7\\n", "\\377=9\\n", 0, (7, 9)),  # invalid UTF-8 before the marker
        ("throttled=0x-5\\n", "f=-600\\n", 0, (0, 0)),
        ("no marker\\n", "no equals\\n", 0, (0, 0)),
    ],
)
def test_query_results(fake_tool, throttled, clock, code, expected):
    fake_tool(answer(throttled, clock, code))
    d = quillmere.get_metrics_once(1000)
    assert (d["throttle_status"], d["measure_clock"]) == expected


def test_tool_is_run_twice_per_tick_with_exact_arguments_in_order(fake_tool):
    log = fake_tool(answer("throttled=0x1\\n", "f=1\\n"))
    quillmere.get_metrics_once(1000)
    assert log.read_text().splitlines() == ["1:get_throttled", "2:measure_clock arm"]


def test_tool_killed_by_a_signal_gives_zero(fake_tool):
    fake_tool('[ "$1" = get_throttled ] && echo "throttled=0x5" || echo "f=600"\nkill -9 $$')
    d = quillmere.get_metrics_once(1000)
    assert (d["throttle_status"], d["measure_clock"]) == (0, 0)


def test_tool_stdin_is_the_null_device_and_stderr_is_discarded(fake_tool, capfd):
    fake_tool('read line && exit 1\necho "noise" >&2\n' + answer("throttled=0x3\\n", "f=5\\n"))
    d = quillmere.get_metrics_once(1000)
    assert (d["throttle_status"], d["measure_clock"]) == (3, 5)
    assert "noise" not in capfd.readouterr().err


@pytest.mark.parametrize("interval_ms", [1, 1000, 3000])
def test_hung_tool_costs_one_tick_and_leaves_nothing_behind(fake_tool, interval_ms):
    # The first tick's two runs end at their 1 s bounds. A second tick that is
    # already due then must not run the tool in full: shutting the call down
    # kills a run in progress. Repeated, since the race is not lost every time.
    log = fake_tool("exec sleep 60")

    def census():
        # Under qemu-user on a loaded machine a killed tool can outlast the
        # reap bound, and is kept with its pidfd for a later run to reap; the
        # children and those descriptors are counted where the tests run natively.
        return thread_count(), open_fds(without_pidfds=EMULATED), [] if EMULATED else child_pids()

    before = census()
    for _ in range(3):
        log.write_text("")
        started = time.monotonic()
        d = quillmere.get_metrics_once(interval_ms)
        elapsed = time.monotonic() - started
        assert (d["throttle_status"], d["measure_clock"]) == (0, 0)
        assert elapsed < (3.5 if EMULATED else 2.6)  # under 4 s: never two runs of the second tick
        assert len(log.read_text().splitlines()) <= 3
    assert settled(census, before) == before


# A tracer of its own session, as a real one would be: the tool's process
# group, which the module kills, must not take it along.
TRACER = """
import ctypes, os, sys, time
os.setsid()
ptrace_attach = 16
attached = ctypes.CDLL(None, use_errno=True).ptrace(ptrace_attach, int(sys.argv[1]), None, None) == 0
with open(sys.argv[2] + ".tmp", "w") as f:
    f.write(f"{os.getpid()} {int(attached)}")
os.rename(sys.argv[2] + ".tmp", sys.argv[2])
time.sleep(30)
"""


def test_killed_tool_that_cannot_be_reaped_is_given_up_after_a_bound(tmp_path):
    # A tool traced by another process that never waits for it: once killed,
    # its exit is reported to the tracer only, so our reap can never finish,
    # as with a tool stuck in an uninterruptible firmware call. The query is
    # given up about 1 s after the kill instead of blocking for ever.
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (tmp_path / "tracer.py").write_text(TRACER)
    tracer = tmp_path / "tracer.pid"
    (bindir / "vcgencmd").write_text(textwrap.dedent(f"""\
        #!/bin/sh
        [ "$1" = measure_clock ] && echo "frequency(48)=600" && exit 0
        "{sys.executable}" "{tmp_path / 'tracer.py'}" $$ "{tracer}" </dev/null >/dev/null 2>&1 &
        while [ ! -e "{tracer}" ]; do sleep 0.01; done
        exec sleep 60
    """))
    (bindir / "vcgencmd").chmod(0o755)
    code = "import time, quillmere; t = time.monotonic(); d = quillmere.get_metrics_once(10000); " \
           "print(d['throttle_status'], d['measure_clock'], time.monotonic() - t)"
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}")
    try:
        done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    finally:
        pid, attached = (int(v) for v in tracer.read_text().split()) if tracer.exists() else (0, 0)
        if pid:
            os.kill(pid, 9)
    if not attached:
        pytest.skip("ptrace is not available here (an emulator, or a kernel policy against it)")
    assert done.returncode == 0, done.stderr
    throttled, clock, elapsed = done.stdout.split()
    assert (throttled, clock) == ("0", "600")
    assert 1.9 < float(elapsed) < 3.5  # the 1 s run bound, then the 1 s reap bound


@pytest.mark.parametrize("path_variable", ["", ":/usr/bin", "/usr/bin:", ".", "bin:/usr/bin", "./bin"])
def test_tool_is_never_run_from_the_working_directory(tmp_path, monkeypatch, path_variable):
    ran = tmp_path / "ran"
    for tool in (tmp_path / "vcgencmd", tmp_path / "bin" / "vcgencmd"):
        tool.parent.mkdir(exist_ok=True)
        tool.write_text(f'#!/bin/sh\ntouch "{ran}"\necho throttled=0x5\n')
        tool.chmod(0o755)
    monkeypatch.chdir(tmp_path)
    monkeypatch.setenv("PATH", path_variable)
    assert quillmere.get_metrics_once(1000)["throttle_status"] == 0
    assert not ran.exists()


def test_tool_flooding_its_output_gives_zero_with_bounded_memory(tmp_path):
    bindir = tmp_path / "bin"
    bindir.mkdir()
    (bindir / "vcgencmd").write_text("#!/bin/sh\nhead -c 100000000 /dev/zero\necho '=5'\n")
    (bindir / "vcgencmd").chmod(0o755)
    code = textwrap.dedent("""
        import resource, quillmere
        before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        d = quillmere.get_metrics_once(1000)
        after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
        print(d["throttle_status"], d["measure_clock"], after - before)
    """)
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}")
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    throttled, clock, growth_kib = map(int, done.stdout.split())
    assert (throttled, clock) == (0, 0)
    assert growth_kib < 16 * 1024


def test_no_tool_on_path_gives_zeros(tmp_path, monkeypatch):
    # A file that is named like the tool but is not executable does not count.
    (tmp_path / "vcgencmd").write_text("#!/bin/sh\necho throttled=0x5\n")
    monkeypatch.setenv("PATH", str(tmp_path))
    d = quillmere.get_metrics_once(1000)
    assert (d["throttle_status"], d["measure_clock"]) == (0, 0)
    monkeypatch.delenv("PATH")
    assert len(quillmere.get_metrics_once(1000)) == 26


def test_sigint_during_a_call_is_raised_after_the_call_returns(tmp_path):
    # The tool takes 0.6 s per query (under its 1 s limit); SIGINT arrives
    # from outside 0.2 s into the call. The call must finish both queries,
    # then the interpreter raises KeyboardInterrupt; nothing crashes and no
    # child is left.
    bindir = tmp_path / "bin"
    bindir.mkdir()
    log = tmp_path / "argv.log"
    (bindir / "vcgencmd").write_text(f'#!/bin/sh\necho "$1" >> "{log}"\nsleep 0.6\necho "x=0x5"\n')
    (bindir / "vcgencmd").chmod(0o755)
    code = textwrap.dedent("""
        import os, subprocess, time, quillmere
        from conftest import child_pids
        killer = subprocess.Popen(["sh", "-c", f"sleep 0.2; kill -INT {os.getpid()}"])
        started = time.monotonic()
        try:
            quillmere.get_metrics_once(10000)
            print("returned without interrupt")
        except KeyboardInterrupt:
            print(f"KeyboardInterrupt {time.monotonic() - started:.3f}")
        killer.wait()
        print("children", len(child_pids()))
    """)
    env = dict(os.environ, PATH=f"{bindir}:{os.environ.get('PATH', '')}",
               PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0, done.stderr
    outcome, children = done.stdout.splitlines()
    kind, elapsed = outcome.split()
    assert kind == "KeyboardInterrupt"
    assert float(elapsed) >= 1.2  # both queries ran to their end
    assert children == "children 0"
    assert log.read_text().split() == ["get_throttled", "measure_clock"]
    assert done.stderr == ""
