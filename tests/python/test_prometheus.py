"""quillmere-exporter read by the real server (Debian's prometheus), started
on a 127.0.0.1 port the test picks,
with temporary storage: Prometheus scrapes the exporter every second and its
HTTP API must show every series the exporter serves with its type, rates that
agree with /proc over the same span, and the throttle flags of a fake
vcgencmd; a board with every source readable must give every documented
family and every query of the Grafana dashboard a series; promtool must
accept the textfile mode's output as a textfile collector parses it; and promtool and
systemd-analyze must accept the configuration, the alert rules, their tests
and the service unit as shipped.

Each test prints what it read from the servers (run pytest with -s to see)."""

import json
import os
import re
import shutil
import socket
import subprocess
import threading
import time
import urllib.parse
import urllib.request
from pathlib import Path

import pytest

import quillmere_exporter
from quillmere_exporter import server
from conftest import (EXPORTER, FAKE_TOOL, env_with_tool, needs_namespace, parse_exposition,
                      require_tool, run_isolated, start_exporter)

REPO = Path(__file__).resolve().parents[2]
ALERTS = REPO / "contrib" / "prometheus" / "quillmere-alerts.yml"
ALERT_TESTS = REPO / "contrib" / "prometheus" / "quillmere-alerts.test.yml"
UNIT = REPO / "contrib" / "systemd" / "quillmere-exporter.service"
DASHBOARD = REPO / "contrib" / "grafana" / "quillmere-boards.json"
pytestmark = pytest.mark.servers

SPAN = 10  # seconds: the rate() window, and the span the test reads /proc over


def free_port():
    # The port is free when this returns; a server that loses the race fails
    # to start and the test says so.
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def wait_for(what, predicate, timeout, proc=None):
    """Polls `predicate` until it returns a true value; fails after `timeout` s
    or as soon as `proc` exits."""
    deadline = time.monotonic() + timeout
    while True:
        try:
            result = predicate()
        except OSError:
            result = None
        if result:
            return result
        if proc is not None and proc.poll() is not None:
            pytest.fail(f"{what}: the server exited ({proc.returncode}): {proc.stderr.read()[-2000:]}")
        if time.monotonic() > deadline:
            pytest.fail(f"{what}: not within {timeout} s")
        time.sleep(0.2)


def get(url, timeout=10):
    with urllib.request.urlopen(url, timeout=timeout) as response:
        return response.read().decode()


def proc_counters():
    """(ctxt, total CPU seconds, idle CPU seconds, lo received bytes) now."""
    ticks = os.sysconf("SC_CLK_TCK")
    stat = Path("/proc/stat").read_text().splitlines()
    cpu = [int(v) for v in stat[0].split()[1:9]]
    ctxt = next(int(line.split()[1]) for line in stat if line.startswith("ctxt "))
    lo = next(line for line in Path("/proc/net/dev").read_text().splitlines() if line.strip().startswith("lo:"))
    return ctxt, sum(cpu) / ticks, cpu[3] / ticks, int(lo.split(":", 1)[1].split()[0])


class LoopbackTraffic:
    """Sends a steady stream over a TCP connection on 127.0.0.1 until stopped."""

    def __init__(self, bytes_per_second):
        self.rate = bytes_per_second
        self.stopping = threading.Event()
        self.server = socket.create_server(("127.0.0.1", 0))
        # Daemon threads: a connection that never came cannot hold up the exit.
        self.threads = [threading.Thread(target=self._receive, daemon=True),
                        threading.Thread(target=self._send, daemon=True)]

    def _receive(self):
        conn, _ = self.server.accept()
        with conn:
            while conn.recv(1 << 16):
                pass

    def _send(self):
        chunk = b"q" * (1 << 16)
        sent, started = 0, time.monotonic()
        with socket.create_connection(self.server.getsockname()) as conn:
            while not self.stopping.is_set():
                if sent < self.rate * (time.monotonic() - started):
                    conn.sendall(chunk)
                    sent += len(chunk)
                else:
                    time.sleep(0.005)

    def __enter__(self):
        for t in self.threads:
            t.start()
        return self

    def __exit__(self, *exc):
        self.stopping.set()
        for t in self.threads:
            t.join(10)
        self.server.close()


class Prometheus:
    def __init__(self, url):
        self.url = url

    def query(self, expr, at=None):
        params = {"query": expr, **({"time": f"{at:.3f}"} if at is not None else {})}
        reply = json.loads(get(f"{self.url}/api/v1/query?{urllib.parse.urlencode(params)}"))
        assert reply["status"] == "success", reply
        return reply["data"]["result"]

    def scalar(self, expr, at=None):
        result = self.query(expr, at)
        assert len(result) == 1, (expr, result)
        return float(result[0]["value"][1])


def test_promtool_accepts_the_rules_and_their_unit_tests():
    promtool = require_tool("promtool")
    for args in (["check", "rules", str(ALERTS)], ["test", "rules", str(ALERT_TESTS)]):
        done = subprocess.run([promtool, *args], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr


def test_the_service_unit_as_shipped_passes_systemd_analyze_verify_where_the_readme_installs(tmp_path):
    analyze = require_tool("systemd-analyze")
    # A root with the system's units, the unit as shipped, and the program
    # where the unit starts it; verify insists that the command exists.
    program = re.search(r"^ExecStart=(\S+)", UNIT.read_text(), re.MULTILINE).group(1)
    units = Path("/usr/lib/systemd/system")
    shutil.copytree(units, tmp_path / units.relative_to("/"), symlinks=True)
    (tmp_path / "etc" / "systemd" / "system").mkdir(parents=True)
    shutil.copy(UNIT, tmp_path / "etc" / "systemd" / "system")
    installed = tmp_path / program.lstrip("/")
    installed.parent.mkdir(parents=True)
    installed.write_text(f"#!/bin/sh\nexec '{EXPORTER}' \"$@\"\n")
    installed.chmod(0o755)
    done = subprocess.run([analyze, "verify", f"--root={tmp_path}", UNIT.name], capture_output=True, text=True,
                          timeout=120)
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
    # The README's install makes that program, in a directory outside any
    # home (the dynamic user may read it) that the same block creates.
    readme = (REPO / "README.md").read_text()
    install = readme.split("\n### Run it as a service\n", 1)[1].split("```sh\n", 1)[1].split("```", 1)[0]
    venv = str(Path(program).parents[1])
    assert f"python3 -m venv {venv}" in install and f"{venv}/bin/pip install" in install, install
    assert not venv.startswith(("/root", "/home"))
    # Room for the server's whole connection bound and its own descriptors.
    limit = int(re.search(r"^LimitNOFILE=(\d+)$", UNIT.read_text(), re.MULTILINE).group(1))
    assert limit > server.MAX_CONNECTIONS + server.RESERVED_DESCRIPTORS


def start_prometheus(spawn, tmp_path, exporter_url):
    """Prometheus scraping the exporter every second, with the alert rules
    loaded; returns its API and process once it has scraped three times."""
    prometheus = require_tool("prometheus")
    promtool = require_tool("promtool")
    target = urllib.parse.urlsplit(exporter_url).netloc
    config = tmp_path / "prometheus.yml"
    config.write_text(f"""
global:
  scrape_interval: 1s
  scrape_timeout: 1s
  evaluation_interval: 1s
rule_files: ["{ALERTS}"]
scrape_configs:
  - job_name: quillmere
    static_configs:
      - targets: ["{target}"]
""")
    done = subprocess.run([promtool, "check", "config", str(config)], capture_output=True, text=True, timeout=120)
    assert done.returncode == 0, done.stdout + done.stderr

    port = free_port()
    server = spawn([prometheus, f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
                    f"--web.listen-address=127.0.0.1:{port}", "--log.level=warn"], cwd=tmp_path)
    api = Prometheus(f"http://127.0.0.1:{port}")
    wait_for("Prometheus ready", lambda: "Ready" in get(api.url + "/-/ready"), 60, server)
    wait_for("three scrapes", lambda: api.query("count_over_time(up[1m]) >= 3"), 60, server)
    return api, server


def families_expected(api, exporter_url):
    """{name: type} of the families the exporter serves now, each of them
    documented; and {name: type} of what Prometheus holds. Which families a
    host gives depends on its sources (a VM has no sensors, a container may
    list no disk); the fixture boards of the other tests give every one."""
    with urllib.request.urlopen(exporter_url, timeout=10) as response:
        _, served = parse_exposition(response.read().decode())
    documented = {name.split("{")[0]: kind for name, kind, _ in quillmere_exporter.metric_list()}
    served_names = {name for name, _ in served}
    assert served_names <= set(documented), served_names - set(documented)
    metadata = json.loads(get(api.url + "/api/v1/metadata"))["data"]
    present = {r["metric"]["__name__"] for r in api.query('count by (__name__) ({__name__=~"quillmere_.+"})')}
    # Prometheus keys a counter's metadata by its family name (no _total)
    # when it scraped OpenMetrics, as prometheus_client serves it.
    return {name: documented[name] for name in served_names}, {
        name: (metadata.get(name) or metadata[name.removesuffix("_total")])[0]["type"] for name in present}


def test_prometheus_scrapes_the_exporter_every_second(spawn, tmp_path):
    _, exporter_url = start_exporter(spawn, env=env_with_tool(tmp_path, FAKE_TOOL))
    api, server = start_prometheus(spawn, tmp_path, exporter_url)

    with LoopbackTraffic(4 << 20):
        time.sleep(2)  # the stream is steady before the span starts
        start, before = time.time(), proc_counters()
        time.sleep(SPAN)
        end, after = time.time(), proc_counters()
    # Prometheus's window (end - SPAN, end] is the span over which the test
    # read /proc; the last scrape in it must be stored before querying.
    wait_for("a scrape after the span", lambda: api.query(f"timestamp(up) > {end:.3f}"), 30, server)

    assert api.scalar(f'up{{job="quillmere"}}', end) == 1
    cpus = api.scalar(f"sum(rate(quillmere_cpu_seconds_total[{SPAN}s]))", end)
    idle = api.scalar(f'sum(rate(quillmere_cpu_seconds_total{{mode="idle"}}[{SPAN}s]))', end)
    ctxt = api.scalar(f"rate(quillmere_context_switches_total[{SPAN}s])", end)
    lo_query = f'sum(rate(quillmere_network_receive_bytes_total{{device="lo"}}[{SPAN}s]))'
    lo_result = api.query(lo_query, end)
    print(f"\nquery {lo_query} -> {json.dumps(lo_result)}")
    assert len(lo_result) == 1
    lo = float(lo_result[0]["value"][1])
    true = [(b - a) / (end - start) for a, b in zip(before, after)]
    print(f"rates over {end - start:.1f} s, Prometheus vs /proc: CPU seconds/s {cpus:.3f} vs {true[1]:.3f}, "
          f"idle {idle:.3f} vs {true[2]:.3f}, context switches/s {ctxt:.0f} vs {true[0]:.0f}, "
          f"lo received B/s {lo:.0f} vs {true[3]:.0f}")
    assert cpus > 0 and ctxt > 0 and lo > 0
    assert cpus == pytest.approx(true[1], rel=0.1)
    assert idle == pytest.approx(true[2], abs=0.1 * true[1])
    assert ctxt == pytest.approx(true[0], rel=0.25)
    assert lo == pytest.approx(true[3], rel=0.15) and lo > 2 << 20

    # Every family the exporter serves, with its documented type.
    expected, present = families_expected(api, exporter_url)
    assert present == expected

    # The fake tool's 0x50005: under-voltage and throttled, now and since boot.
    flags = api.query("quillmere_throttle_flag")
    print("query quillmere_throttle_flag ->", json.dumps(
        [(r["metric"]["condition"], r["metric"]["when"], r["value"][1]) for r in flags]))
    assert {(r["metric"]["condition"], r["metric"]["when"]) for r in flags if r["value"][1] == "1"} == {
        (c, w) for c in ("under_voltage", "throttled") for w in ("now", "since_boot")}
    assert len(flags) == 8
    assert api.scalar("quillmere_throttle_status") == 0x50005
    assert api.scalar("quillmere_arm_clock_hertz") == 1.5e9
    # The rule with no waiting time fires from the rules Prometheus loaded.
    wait_for("the since-boot alert", lambda: api.query(
        'ALERTS{alertname="QuillmereUnderVoltageSinceBoot", alertstate="firing"}'), 30, server)


def dashboard_queries():
    """Every query of the dashboard (its panels' and its variables'), with
    the variables as the test's Prometheus needs them: every board, and a
    rate window of a few scrapes."""
    dashboard = json.loads(DASHBOARD.read_text())
    panels = [p for row in dashboard["panels"] for p in [row, *row.get("panels", [])]]
    exprs = [target["expr"] for panel in panels for target in panel.get("targets", [])]
    exprs += [re.fullmatch(r"label_values\((.+), \w+\)", v["definition"]).group(1)
              for v in dashboard["templating"]["list"] if v["type"] == "query"]
    assert len(exprs) > 40 and all(panel["datasource"]["uid"] == "${datasource}" for panel in panels
                                   if panel["type"] != "row")
    return [expr.replace("$instance", ".+").replace("$__rate_interval", "10s") for expr in exprs]


def test_every_family_and_every_dashboard_query_has_series(spawn, tmp_path):
    _, exporter_url = start_exporter(spawn, env=env_with_tool(tmp_path, FAKE_TOOL))
    api, _ = start_prometheus(spawn, tmp_path, exporter_url)
    expected, present = families_expected(api, exporter_url)
    assert present == expected
    # Every query reads documented families, and may be empty only where it
    # reads one of a source the host lacks.
    queries = dashboard_queries()
    documented = {name.split("{")[0] for name, _, _ in quillmere_exporter.metric_list()}
    assert {name for expr in queries for name in re.findall(r"quillmere_\w+", expr)} <= documented
    empty = [expr for expr in queries if not api.query(expr) and set(re.findall(r"quillmere_\w+", expr)) <= set(expected)]
    print(f"\n{len(present)} families in Prometheus, {len(queries)} dashboard queries, {len(empty)} without series")
    assert empty == []


@needs_namespace
def test_promtool_accepts_the_textfile_with_odd_names(tmp_path):
    promtool = require_tool("promtool")
    textdir = tmp_path / "textfile"
    textdir.mkdir()
    # The exporter reads a /proc/net/dev with interface names that are not
    # UTF-8 or need escaping (a quote, a backslash, a non-ASCII letter), the
    # rest of the host as it is.
    net_dev = (b"Inter-|   Receive                                                |  Transmit\n"
               b" face |bytes    packets errs drop fifo frame compressed multicast|bytes    packets\n"
               b"    lo: 5000 10 0 0 0 0 0 0 6000 10 0 0 0 0 0 0\n"
               b"wl\xff0: 7000 10 0 0 0 0 0 0 8000 10 0 0 0 0 0 0\n"
               b"w\xc3\xa1n\"\\0: 9000 10 0 0 0 0 0 0 9500 10 0 0 0 0 0 0\n")
    done = run_isolated(tmp_path, f"""
        import sys, quillmere_exporter
        sys.exit(quillmere_exporter.main(["--textfile", "{textdir / 'quillmere.prom'}"]))
    """, files={"/proc/net/dev": net_dev}, tool=FAKE_TOOL)
    assert done.returncode == 0, done.stderr

    # promtool's lint of the exposition format, as a textfile collector
    # parses it: every family typed, names and label values well formed.
    text = (textdir / "quillmere.prom").read_text()
    checked = subprocess.run([promtool, "check", "metrics"], input=text, capture_output=True, text=True, timeout=120)
    assert checked.returncode == 0, checked.stdout + checked.stderr
    written, samples = parse_exposition(text)
    excerpt = [line for line in text.splitlines() if "quillmere_network_receive" in line or "throttle_flag{" in line]
    print("\ntextfile excerpt:\n" + "\n".join(excerpt))
    assert "quillmere_textfile_write_timestamp_seconds" in written and "quillmere_process_open_fds" in written
    assert samples["quillmere_network_receive_bytes_total", 'device="lo"'] == 5000
    assert samples["quillmere_network_transmit_bytes_total", 'device="wl\\\\xff0"'] == 8000
    assert samples["quillmere_network_transmit_bytes_total", 'device="wán\\"\\\\0"'] == 9500
    assert samples["quillmere_throttle_flag", 'condition="under_voltage",when="since_boot"'] == 1
