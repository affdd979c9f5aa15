"""quillmere-exporter's push mode (--remote-write).

Without servers: the hand-written WriteRequest encoder against a decoder
written here from the message's definition (a fixed message and random
round trips), a pass pushed as the same series as the HTTP mode's scrape,
the queue on disk, and the option checks.

With servers (marked `servers`): the program pushing every 0.1 to 1 s to a
receiver written here (answers 400, 500 and 429, a tiny queue bound, TLS
with a client certificate and a bearer token), and to Debian's Prometheus
with its remote-write receiver (series, labels and rates against its scrape
of the HTTP mode, a 30 s outage, and a SIGKILL during one).

Each server test prints what it read (run pytest with -s to see)."""

import base64
import http.server
import json
import math
import os
import random
import re
import select
import signal
import socket
import ssl
import struct
import subprocess
import threading
import time
from pathlib import Path
from types import SimpleNamespace

import cramjam
import pytest
from prometheus_client.exposition import generate_latest

import quillmere_exporter
import quillmere_sampler
from quillmere_exporter import push, wire
from quillmere_exporter.sender import Stats
from quillmere_exporter.spool import BLOCK, QueueInUse, Spool
from conftest import EXPORTER, FAKE_TOOL, env_with_tool, parse_exposition, require_tool, start_exporter, stop
from test_prometheus import LoopbackTraffic, Prometheus, free_port, get, wait_for

REPO = Path(__file__).resolve().parents[2]
PUSH_ALERTS = REPO / "contrib" / "prometheus" / "quillmere-push-alerts.yml"
PUSH_ALERT_TESTS = REPO / "contrib" / "prometheus" / "quillmere-push-alerts.test.yml"
UNIT = REPO / "contrib" / "systemd" / "quillmere-exporter.service"
PUSH_DROP_IN = REPO / "contrib" / "systemd" / "quillmere-exporter.service.d" / "push.conf"
HEALTH = {push.PREFIX + row.name for row in push.HEALTH}


# --- a protobuf decoder of WriteRequest, independent of the encoder -----------

def _varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos
        if shift > 63:
            raise ValueError("varint longer than 10 bytes")


def _fields(data):
    """(field number, wire type, value) of each field of one message."""
    pos = 0
    while pos < len(data):
        key, pos = _varint(data, pos)
        number, kind = key >> 3, key & 7
        if kind == 0:
            value, pos = _varint(data, pos)
        elif kind == 1:
            value, pos = data[pos:pos + 8], pos + 8
        elif kind == 2:
            size, pos = _varint(data, pos)
            value, pos = data[pos:pos + size], pos + size
        else:
            raise ValueError(f"wire type {kind}")
        if pos > len(data):
            raise ValueError("truncated")
        yield number, kind, value


def decode(data):
    """([(labels as [(name, value)], [(value, timestamp ms)])], [(type, family, help)])."""
    series, metadata = [], []
    for number, kind, message in _fields(data):
        assert kind == 2, (number, kind)
        if number == 1:
            labels, samples = [], []
            for field, field_kind, part in _fields(message):
                assert field_kind == 2
                parts = {n: (k, v) for n, k, v in _fields(part)}
                if field == 1:
                    assert {k for k, _ in parts.values()} <= {2}
                    labels.append(tuple(parts[n][1].decode() if n in parts else "" for n in (1, 2)))
                elif field == 2:
                    assert parts[1][0] == 1 and parts[2][0] == 0
                    stamp = parts[2][1] - (1 << 64) if parts[2][1] >> 63 else parts[2][1]
                    samples.append((struct.unpack("<d", parts[1][1])[0], stamp))
            series.append((labels, samples))
        elif number == 3:
            parts = {n: v for n, _, v in _fields(message)}
            metadata.append((parts.get(1, 0), parts[2].decode(), parts[4].decode()))
    return series, metadata


def by_name(series):
    """{(name, labels without __name__ as a frozenset): [(value, ms)]}."""
    out = {}
    for labels, samples in series:
        table = dict(labels)
        name = table.pop("__name__")
        out.setdefault((name, frozenset(table.items())), []).extend(samples)
    return out


def test_the_encoder_writes_the_message_and_round_trips_random_ones():
    # One series, by hand from the message's definition: WriteRequest field 1
    # (TimeSeries, 30 bytes) = Label {"__name__", "up"} + Sample {1.5, 1000}.
    expected = bytes.fromhex("0a1e" "0a0e" "0a085f5f6e616d655f5f" "1202" "7570"
                             "120c" "09000000000000f83f" "10e807")
    assert wire.series(wire.labels([("__name__", "up")]), 1.5, 1000) == expected
    assert wire.metadata("counter", "a_total", "h") == bytes.fromhex("1a0e" "0801" "1207" "615f746f74616c" "2201" "68")

    rng = random.Random(21)
    alphabet = "az_AZ09 \"\\\n\u00e9\u4e2d\U0001f600"
    specials = [0.0, -0.0, math.inf, -math.inf, math.nan, 5e-324, 1.7976931348623157e308, 2.0 ** 53 + 1]
    for _ in range(300):
        pieces, want_series, want_metadata = [], [], []
        for _ in range(rng.randrange(0, 6)):
            if rng.random() < 0.2:
                entry = (rng.choice(["counter", "gauge"]), "".join(rng.choices(alphabet, k=rng.randrange(1, 20))),
                         "".join(rng.choices(alphabet, k=rng.randrange(0, 300))))
                pieces.append(wire.metadata(*entry))
                want_metadata.append(({"counter": 1, "gauge": 2}[entry[0]], entry[1], entry[2]))
                continue
            labels = [("".join(rng.choices(alphabet, k=rng.randrange(1, 12))),
                       "".join(rng.choices(alphabet, k=rng.randrange(1, 200)))) for _ in range(rng.randrange(0, 5))]
            value = rng.choice(specials + [struct.unpack("<d", rng.randbytes(8))[0]])
            stamp = rng.choice([0, -1, -(1 << 63), (1 << 63) - 1, rng.randrange(-(1 << 63), 1 << 63)])
            pieces.append(wire.series(wire.labels(labels), value, stamp))
            want_series.append((labels, [(value, stamp)]))
        got_series, got_metadata = decode(wire.decompress(wire.compress(b"".join(pieces))))
        assert got_metadata == want_metadata
        assert [(labels, [(struct.pack("<d", v), t) for v, t in samples]) for labels, samples in got_series] == \
            [(labels, [(struct.pack("<d", v), t) for v, t in samples]) for labels, samples in want_series]


def _labels(text):
    pairs = re.findall(r'(\w+)="((?:[^"\\]|\\.)*)"', text)
    unescape = {"\\\\": "\\", '\\"': '"', "\\n": "\n"}
    return frozenset((n, re.sub(r'\\[\\"n]', lambda m: unescape[m.group()], v)) for n, v in pairs if v)


def test_a_pass_pushes_the_scraped_series_with_job_instance_labels_and_types():
    counters = quillmere_sampler.read_counters()
    spool = Spool(None, 1 << 20, print)
    health = push.health_families(Stats(), spool)
    body, count = push.Batcher({"job": "quillmere", "instance": "board", "site": "barn"}).batch(counters, health)
    series, _ = decode(wire.decompress(body))
    assert count == len(series)
    for labels, samples in series:
        assert [name for name, _ in labels] == sorted(name for name, _ in labels)
        assert samples == [(samples[0][0], round(counters["timestamp"] * 1000))]
        assert {("job", "quillmere"), ("instance", "board"), ("site", "barn")} <= set(labels)
    pushed = {(name, labels - {("job", "quillmere"), ("instance", "board"), ("site", "barn")}): samples[0][0]
              for (name, labels), samples in by_name(series).items()}
    types, scraped = parse_exposition(generate_latest(quillmere_exporter.make_registry(lambda: counters)).decode())
    # The same samples (an empty label, like type="" of a zone, is no label),
    # but for the exporter's own process figures, which each reads anew.
    scraped = {(name, _labels(labels)): value for (name, labels), value in scraped.items()}
    pushed_board = {key: value for key, value in pushed.items() if key[0] not in HEALTH}
    assert scraped.keys() == pushed_board.keys()
    assert {k: v for k, v in scraped.items() if not k[0].startswith("quillmere_process_")} == \
        {k: v for k, v in pushed_board.items() if not k[0].startswith("quillmere_process_")}
    assert {name for name, _ in pushed if name in HEALTH} == HEALTH - {
        "quillmere_remote_write_last_success_timestamp_seconds"}
    # The same types, in the metadata the push sends.
    _, metadata = decode(push.all_metadata())
    kinds = {family: {1: "counter", 2: "gauge"}[kind] for kind, family, _ in metadata}
    assert {name: kinds[name] for name in types} == types
    assert set(kinds) == {name.split("{")[0] for name, _, _ in quillmere_exporter.metric_list()} | HEALTH


def test_the_queue_keeps_order_across_a_restart_and_drops_the_oldest_beyond_its_bound(tmp_path):
    directory = tmp_path / "queue"
    lines = []
    spool = Spool(str(directory), 3 * BLOCK, lines.append)
    spool.open()
    assert directory.stat().st_mode & 0o777 == 0o700
    spool.put(b"first", 1)
    assert os.listdir(directory) == []  # nothing on disk while pushes succeed
    spool.spill()
    for index, data in enumerate([b"second", b"third", b"x" * (BLOCK + 1)], 2):
        spool.put(data, index)
    # Five blocks for a bound of three: the two oldest went.
    assert (spool.dropped, spool.queued_bytes, len(os.listdir(directory))) == (3, 3 * BLOCK, 2)
    assert len(lines) == 1 and "full" in lines[0]
    assert {p.stat().st_mode & 0o777 for p in directory.iterdir()} == {0o600}
    with pytest.raises(QueueInUse):
        Spool(str(directory), 3 * BLOCK, lines.append).open()
    spool.close()

    (directory / ".tmp-killed").write_bytes(b"half a batch")  # a run killed mid-write
    again = Spool(str(directory), 10 * BLOCK, lines.append)
    again.open()
    again.put(b"fifth", 5)  # a restart with a queue keeps writing to disk
    group = again.take(100, 0)
    assert [again.read(entry) for entry in group] == [b"third", b"x" * (BLOCK + 1), b"fifth"]
    assert [entry.samples for entry in group] == [3, 4, 5]
    again.finish(group)
    assert os.listdir(directory) == [] and again.queued_bytes == 0
    again.close()


@pytest.mark.parametrize("args, message", [
    (["--label", "site=barn"], "--label needs --remote-write"),
    (["--remote-write", "ftp://h/"], "http:// or https://"),
    (["--remote-write", "https://user:secret@h/"], "must not carry credentials"),
    (["--remote-write", "https://h/", "--label", "device=x"], "label of quillmere's own series"),
    (["--remote-write", "https://h/", "--label", "__x=1"], "must be NAME=VALUE"),
    (["--remote-write", "https://h/", "--label", "a=1", "--label", "a=2"], "given twice"),
    (["--remote-write", "http://h/", "--remote-write.bearer-token-file", "t"], "credentials over plain http"),
    (["--remote-write", "http://h/", "--remote-write.ca-file", "c"], "needs an https:// URL"),
    (["--remote-write", "https://h/", "--remote-write.basic-auth-username", "u"], "go together"),
    (["--remote-write", "https://h/", "--remote-write.buffer-max-bytes", "1K"], "from 4096 to 1T"),
    (["--remote-write", "https://h/", "--textfile", "f"], "choose one"),
])
def test_push_options_that_cannot_work_are_usage_errors(capsys, args, message):
    with pytest.raises(SystemExit) as exit_:
        quillmere_exporter.main(args)
    assert exit_.value.code == 2 and message in capsys.readouterr().err


def test_a_bad_token_file_or_a_queue_in_use_gives_one_line_and_exit_1(capsys, tmp_path):
    token = tmp_path / "token"
    token.write_bytes(b"line one\nline two\n")  # a header cannot carry it
    base = ["--remote-write", "http://127.0.0.1:9/", "--remote-write.allow-insecure",
            "--remote-write.buffer-dir", str(tmp_path / "q")]
    for extra, expected in ([["--remote-write.bearer-token-file", str(tmp_path / "none")], "none"],
                            [["--remote-write.bearer-token-file", str(token)], "characters a header cannot carry"]):
        assert quillmere_exporter.main(base + extra) == 1
        err = capsys.readouterr().err
        assert expected in err and "line" not in err and len(err.splitlines()) == 1
    held = Spool(str(tmp_path / "q"), BLOCK, print)
    held.open()
    assert quillmere_exporter.main(base) == 1
    assert "in use by another" in capsys.readouterr().err
    held.close()


# --- the program against a receiver written here -------------------------------

class Receiver:
    """A remote-write receiver on 127.0.0.1 that decodes and records every
    request and answers answer(index, request) -> (status, headers)."""

    def __init__(self, answer=lambda index, request: (204, {}), context=None):
        self.requests = []
        lock = threading.Lock()
        requests = self.requests

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                series, metadata = decode(bytes(cramjam.snappy.decompress_raw(body)))
                request = SimpleNamespace(headers=self.headers, series=series, metadata=metadata, size=len(body),
                                          status=None, time=time.time())
                with lock:
                    index = len(requests)
                    requests.append(request)
                request.status, headers = answer(index, request)
                self.send_response(request.status)
                for name, value in headers.items():
                    self.send_header(name, value)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        class Server(http.server.ThreadingHTTPServer):
            daemon_threads = True

            def handle_error(self, request, client_address):
                pass  # a client that fails the TLS handshake

        self.server = Server(("127.0.0.1", 0), Handler)
        if context is not None:
            self.server.socket = context.wrap_socket(self.server.socket, server_side=True,
                                                     do_handshake_on_connect=False)
        self.url = f"{'https' if context else 'http'}://127.0.0.1:{self.server.server_port}/api/v1/write"
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(10)

    def samples(self, name, instance=None, statuses=(204,)):
        """[(value, ms)] of the series `name` in the requests answered with
        one of `statuses`, in arrival order."""
        return [sample for request in list(self.requests) if request.status in statuses
                for labels, samples in request.series
                if ("__name__", name) in labels and (instance is None or ("instance", instance) in labels)
                for sample in samples]


def start_pusher(spawn, url, *args, env=None):
    proc = spawn([EXPORTER, "--remote-write", url, *args], env=env)
    ready, _, _ = select.select([proc.stdout], [], [], 30)
    line = proc.stdout.readline() if ready else ""
    assert line.startswith("pushing to "), (line, proc.stderr.read() if proc.poll() is not None else "")
    return proc


def stamps(samples):
    return [stamp for _, stamp in samples]


def holes(stamps, every_ms):
    """The gaps between passes' stamps where batches were lost. Passes run on
    a grid that skips the ticks a loaded machine misses, so a gap of up to
    three ticks is load; a longer one is lost batches."""
    return [(a, b) for a, b in zip(stamps, stamps[1:]) if b - a >= 3.5 * every_ms]


@pytest.mark.servers
def test_a_refused_batch_is_dropped_and_counted_and_failures_are_retried_in_order(spawn, tmp_path):
    # The first batch is refused (400); then 500, 429 with Retry-After: 1 and
    # 500 again, each batch queued on disk meanwhile; then all is accepted.
    script = {0: (400, {}), 1: (500, {}), 2: (429, {"Retry-After": "1"}), 3: (500, {})}
    queue = tmp_path / "queue"
    with Receiver(lambda index, request: script.get(index, (204, {}))) as receiver:
        proc = start_pusher(spawn, receiver.url, "--every", "0.2", "--remote-write.buffer-dir", str(queue))
        saw_disk = wait_for("a batch on disk", lambda: os.listdir(queue), 10, proc)
        wait_for("the queue drained", lambda: len(receiver.requests) > 6 and not os.listdir(queue), 20, proc)
        status, _, err = stop(proc)
    print(f"\nanswers: {[r.status for r in receiver.requests]}, queued on disk meanwhile: {saw_disk}\nstderr: {err}")
    assert status == 0
    assert [r.status for r in receiver.requests[:5]] == [400, 500, 429, 500, 204]
    assert receiver.requests[3].time - receiver.requests[2].time >= 1.0  # Retry-After
    for request in receiver.requests:
        assert (request.headers["Content-Encoding"], request.headers["Content-Type"],
                request.headers["X-Prometheus-Remote-Write-Version"]) == ("snappy", "application/x-protobuf", "0.1.0")
        assert re.fullmatch(r"quillmere-exporter/\S+", request.headers["User-Agent"])
    refused = stamps(receiver.samples("quillmere_uptime_seconds", statuses=(400,)))
    accepted = stamps(receiver.samples("quillmere_uptime_seconds"))
    # Every later pass arrives once, in order, the refused one never.
    assert len(refused) == 1 and accepted == sorted(set(accepted)) and accepted[0] > refused[0]
    assert not holes(accepted, 200)
    failed = [v for v, _ in receiver.samples("quillmere_remote_write_samples_failed_total")]
    assert failed[-1] == len(receiver.requests[0].series) and "refused" in err and "status 400" in err
    assert any(metadata for r in receiver.requests for metadata in r.metadata)


@pytest.mark.servers
def test_a_queue_left_by_a_previous_run_goes_first_then_nothing_touches_the_disk(spawn, tmp_path):
    queue = tmp_path / "queue"
    queue.mkdir(mode=0o755)
    counters = dict(quillmere_sampler.read_counters(), timestamp=time.time() - 60)
    body, count = push.Batcher({"job": "quillmere", "instance": "earlier"}).batch(counters, [])
    (queue / f"{7:020d}-{count}.batch").write_bytes(body)
    with Receiver() as receiver:
        proc = start_pusher(spawn, receiver.url, "--every", "0.2", "--remote-write.buffer-dir", str(queue))
        wait_for("the queue sent", lambda: not os.listdir(queue) and len(receiver.requests) > 2, 10, proc)
        quiet_since = queue.stat().st_mtime_ns
        time.sleep(1.5)  # seven more passes, all accepted at once: the directory stays as it is
        assert queue.stat().st_mtime_ns == quiet_since
        stop(proc)
    assert queue.stat().st_mode & 0o777 == 0o700
    accepted = receiver.samples("quillmere_uptime_seconds")
    assert accepted[0] == receiver.samples("quillmere_uptime_seconds", "earlier")[0]
    assert stamps(accepted) == sorted(set(stamps(accepted)))


@pytest.mark.servers
def test_a_rotated_token_is_taken_up_and_a_removed_one_stays_in_use(spawn, tmp_path):
    token = tmp_path / "token"
    token.write_text("first-token\n")
    with Receiver() as receiver:
        proc = start_pusher(spawn, receiver.url, "--every", "0.2", "--remote-write.allow-insecure",
                            "--remote-write.bearer-token-file", str(token), "--remote-write.buffer-dir", str(tmp_path / "q"))

        def authorizations():
            return [r.headers["Authorization"] for r in list(receiver.requests)]

        wait_for("a push", authorizations, 10, proc)
        (tmp_path / "new").write_text("second-token\n")
        os.replace(tmp_path / "new", token)  # as an agent rotates it
        wait_for("the new token", lambda: "Bearer second-token" in authorizations(), 10, proc)
        token.unlink()
        count = len(receiver.requests)
        wait_for("pushes after the removal", lambda: len(receiver.requests) > count + 2, 10, proc)
        status, _, err = stop(proc)
    sent = authorizations()
    first_new = sent.index("Bearer second-token")
    assert set(sent[:first_new]) == {"Bearer first-token"} and set(sent[first_new:]) == {"Bearer second-token"}
    assert status == 0 and err.count("the previous credentials stay in use") == 1 and "first-token" not in err and "second-token" not in err


@pytest.mark.servers
def test_beyond_the_queue_bound_the_oldest_are_dropped_and_counted_and_the_newest_arrive(spawn, tmp_path):
    # Three refusals take about 2 s of back-off: some 20 passes at 0.1 s
    # against a bound of three batches.
    with Receiver(lambda index, request: (503, {}) if index < 3 else (204, {})) as receiver:
        proc = start_pusher(spawn, receiver.url, "--every", "0.1", "--remote-write.buffer-dir", str(tmp_path / "q"),
                            "--remote-write.buffer-max-bytes", str(3 * BLOCK))
        wait_for("pushes accepted for 1 s", lambda: any(
            r.status == 204 and r.time < time.time() - 1 for r in receiver.requests), 30, proc)
        stop(proc)
    first = stamps(receiver.samples("quillmere_uptime_seconds", statuses=(503,)))[0]
    accepted = stamps(receiver.samples("quillmere_uptime_seconds"))
    dropped = receiver.samples("quillmere_remote_write_samples_dropped_total")[-1][0]
    queued = [v for v, _ in receiver.samples("quillmere_remote_write_queued_bytes", statuses=(204, 503))]
    per_pass = len(receiver.requests[0].series)
    print(f"\nfirst pass {first}, first accepted {accepted[0]}, {dropped:.0f} samples dropped "
          f"({per_pass} a pass), queued bytes at most {max(queued):.0f}")
    assert accepted[0] > first and dropped > 0 and dropped % per_pass == 0
    assert not holes(accepted, 100)  # from there on, every pass
    assert max(queued) <= 4 * BLOCK


def _openssl(tmp_path, *args):
    done = subprocess.run([require_tool("openssl"), *args], cwd=tmp_path, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr


def make_certificates(tmp_path):
    """A CA, a server certificate for 127.0.0.1 and a client certificate, both signed by it."""
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    _openssl(tmp_path, "req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2",
             "-subj", "/CN=quillmere test CA", "-addext", "basicConstraints=critical,CA:TRUE",
             "-addext", "keyUsage=critical,keyCertSign,cRLSign")
    for name, extensions in (("server", "subjectAltName=IP:127.0.0.1\nextendedKeyUsage=serverAuth\n"),
                             ("client", "extendedKeyUsage=clientAuth\n")):
        (tmp_path / f"{name}.ext").write_text("basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\n"
                                              "authorityKeyIdentifier=keyid\nsubjectKeyIdentifier=hash\n" + extensions)
        _openssl(tmp_path, "req", *key, "-keyout", f"{name}.key", "-out", f"{name}.csr", "-subj", f"/CN={name}")
        _openssl(tmp_path, "x509", "-req", "-in", f"{name}.csr", "-CA", "ca.pem", "-CAkey", "ca.key",
                 "-CAcreateserial", "-days", "2", "-out", f"{name}.pem", "-extfile", f"{name}.ext")


@pytest.mark.servers
def test_tls_with_a_client_certificate_and_a_bearer_token_or_basic_auth(spawn, tmp_path):
    make_certificates(tmp_path)
    context = ssl.create_default_context(ssl.Purpose.CLIENT_AUTH, cafile=str(tmp_path / "ca.pem"))
    context.load_cert_chain(tmp_path / "server.pem", tmp_path / "server.key")
    context.verify_mode = ssl.CERT_REQUIRED
    (tmp_path / "right").write_text("right-token-1234\n")
    (tmp_path / "wrong").write_text("wrong-token-5678\n")
    (tmp_path / "password").write_text("pass-word-90\n")
    accepted = {"Bearer right-token-1234", "Basic " + base64.b64encode(b"board:pass-word-90").decode()}

    def answer(index, request):
        return (204, {}) if request.headers["Authorization"] in accepted else (401, {})

    tls = ["--remote-write.cert-file", str(tmp_path / "client.pem"), "--remote-write.key-file",
           str(tmp_path / "client.key"), "--every", "0.2"]
    with Receiver(answer, context) as receiver:
        procs = {
            "right": start_pusher(spawn, receiver.url, *tls, "--remote-write.ca-file", str(tmp_path / "ca.pem"),
                                  "--remote-write.bearer-token-file", str(tmp_path / "right"),
                                  "--label", "instance=right", "--remote-write.buffer-dir", str(tmp_path / "q1")),
            "wrong": start_pusher(spawn, receiver.url, *tls, "--remote-write.ca-file", str(tmp_path / "ca.pem"),
                                  "--remote-write.bearer-token-file", str(tmp_path / "wrong"),
                                  "--label", "instance=wrong", "--remote-write.buffer-dir", str(tmp_path / "q2")),
            "basic": start_pusher(spawn, receiver.url, *tls, "--remote-write.ca-file", str(tmp_path / "ca.pem"),
                                  "--remote-write.basic-auth-username", "board",
                                  "--remote-write.basic-auth-password-file", str(tmp_path / "password"),
                                  "--label", "instance=basic", "--remote-write.buffer-dir", str(tmp_path / "q4")),
            # The system's CAs do not know the test CA.
            "untrusted": start_pusher(spawn, receiver.url, *tls, "--remote-write.bearer-token-file",
                                      str(tmp_path / "right"), "--label", "instance=untrusted",
                                      "--remote-write.buffer-dir", str(tmp_path / "q3")),
        }
        wait_for("the wrong token counted", lambda: any(
            v > 0 for v, _ in receiver.samples("quillmere_remote_write_samples_failed_total", "wrong", (401,))),
            20, procs["wrong"])
        errors = {name: stop(proc)[2] for name, proc in procs.items()}
    print("\n" + "\n".join(f"{name}: {err.strip()}" for name, err in errors.items()))
    assert all(receiver.samples("quillmere_uptime_seconds", name) for name in ("right", "basic"))
    assert not receiver.samples("quillmere_uptime_seconds", "wrong")
    assert not [r for r in receiver.requests for labels, _ in r.series if ("instance", "untrusted") in labels]
    assert "status 401" in errors["wrong"] and "certificate verify failed" in errors["untrusted"]
    assert not any(secret in err for err in errors.values() for secret in ("right-token", "wrong-token", "pass-word"))


# --- the program against Prometheus ---------------------------------------------

def start_prometheus(spawn, tmp_path, port, scrape=""):
    config = tmp_path / "prometheus.yml"
    config.write_text("global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n" + scrape)
    server = spawn([require_tool("prometheus"), f"--config.file={config}", f"--storage.tsdb.path={tmp_path / 'data'}",
                    f"--web.listen-address=127.0.0.1:{port}", "--web.enable-remote-write-receiver",
                    "--log.level=warn"], cwd=tmp_path)
    api = Prometheus(f"http://127.0.0.1:{port}")
    wait_for("Prometheus ready", lambda: "Ready" in get(api.url + "/-/ready"), 60, server)
    return server, api


SPAN = 10


@pytest.mark.servers
def test_prometheus_receives_the_scraped_series_with_the_same_rates(spawn, tmp_path):
    env = env_with_tool(tmp_path, FAKE_TOOL)
    _, exporter_url = start_exporter(spawn, env=env)
    target = exporter_url.split("/")[2]
    port = free_port()
    server, api = start_prometheus(spawn, tmp_path, port, f"""scrape_configs:
  - job_name: scraped
    static_configs: [{{targets: ["{target}"]}}]
""")
    start_pusher(spawn, f"http://127.0.0.1:{port}/api/v1/write", "--every", "1", "--label", "site=barn",
                 "--remote-write.buffer-dir", str(tmp_path / "q"), env=env)
    wait_for("three pushes and scrapes", lambda: api.query(
        'count_over_time(quillmere_uptime_seconds{job="quillmere"}[1m]) >= 3') and api.query(
        'count_over_time(up[1m]) >= 3'), 60, server)
    with LoopbackTraffic(4 << 20):
        time.sleep(SPAN + 2)
        end = time.time()
    wait_for("samples after the span", lambda: api.query(
        f'timestamp(quillmere_uptime_seconds{{job="quillmere"}}) > {end:.3f}'), 30, server)

    pushed = api.query('{__name__=~"quillmere_.+", job="quillmere"}', end)
    scraped = api.query('{__name__=~"quillmere_.+", job="scraped"}', end)
    print(f"\n{len(pushed)} pushed and {len(scraped)} scraped series; a pushed one: {pushed[0]['metric']}")
    def own(result):
        return {frozenset((k, v) for k, v in r["metric"].items() if k not in ("job", "instance", "site"))
                for r in result if r["metric"]["__name__"] not in HEALTH}

    assert own(pushed) == own(scraped)
    assert {r["metric"]["__name__"] for r in pushed} >= HEALTH
    assert {(r["metric"]["instance"], r["metric"]["site"]) for r in pushed} == {(socket.gethostname(), "barn")}
    for expr, rel in ((f"sum by (job) (rate(quillmere_cpu_seconds_total[{SPAN}s]))", 0.1),
                      (f"rate(quillmere_context_switches_total[{SPAN}s])", 0.25),
                      (f'rate(quillmere_network_receive_bytes_total{{device="lo"}}[{SPAN}s])', 0.15)):
        rates = {r["metric"]["job"]: float(r["value"][1]) for r in api.query(expr, end)}
        print(f"{expr}: pushed {rates['quillmere']:.4g}, scraped {rates['scraped']:.4g}")
        assert rates["quillmere"] > 0 and rates["quillmere"] == pytest.approx(rates["scraped"], rel=rel)


def gaps(api, instance, start, end):
    """The pushed samples of `instance` in [start, end] as (timestamps, gaps between them)."""
    result = api.query(f'quillmere_uptime_seconds{{instance="{instance}"}}[{(end - start) * 1000:.0f}ms]', end)
    assert len(result) == 1, result
    times = [float(t) for t, _ in result[0]["values"]]
    return times, [b - a for a, b in zip(times, times[1:])]


@pytest.mark.servers
def test_an_outage_loses_nothing_and_a_kill_during_one_loses_only_the_seconds_down(spawn, tmp_path):
    port = free_port()
    server, api = start_prometheus(spawn, tmp_path, port)
    url = f"http://127.0.0.1:{port}/api/v1/write"
    queues = {name: tmp_path / name for name in ("steady", "killed")}

    def pusher(name):
        return start_pusher(spawn, url, "--every", "1", "--label", f"instance={name}",
                            "--remote-write.buffer-dir", str(queues[name]))

    procs = {name: pusher(name) for name in queues}
    wait_for("pushes arriving", lambda: len(api.query(
        "count_over_time(quillmere_uptime_seconds[1m]) >= 3")) == 2, 30, server)

    down = time.time()
    assert stop(server)[0] == 0
    time.sleep(10)
    killed = time.time()
    procs["killed"].kill()
    procs["killed"].wait()
    time.sleep(4)
    procs["killed"] = pusher("killed")
    restarted = time.time()
    time.sleep(max(0.0, down + 30 - time.time()))
    server, api = start_prometheus(spawn, tmp_path, port)
    up = time.time()
    wait_for("the queues drained", lambda: not any(os.listdir(q) for q in queues.values()) and len(api.query(
        f"timestamp(quillmere_uptime_seconds) > {up + 1:.3f}")) == 2, 60, server)
    end = time.time()

    expr = f'count_over_time(quillmere_uptime_seconds{{instance="steady"}}[{(up - down) * 1000:.0f}ms])'
    print(f"\noutage {down:.3f} to {up:.3f}; at {up:.3f}: {expr} -> {json.dumps(api.query(expr, up))}")
    times, steps = gaps(api, "steady", down - 5, end)
    print(f"steady: {len(times)} samples, steps {min(steps):.3f} to {max(steps):.3f} s")
    assert 0.5 < min(steps) and max(steps) < 1.9 and len(times) >= end - down
    times, steps = gaps(api, "killed", down - 5, end)
    holes = [(times[i], step) for i, step in enumerate(steps) if step >= 1.9]
    print(f"killed at {killed:.3f}, running again at {restarted:.3f}: {len(times)} samples, holes {holes}")
    assert 0.5 < min(steps) and len(holes) == 1
    assert killed - 1.9 < holes[0][0] < killed and holes[0][0] + holes[0][1] < restarted + 1.9
    assert any(down < t < killed - 2 for t in times)  # queued before the kill, sent after it
    for proc in procs.values():
        assert stop(proc)[0] == 0
    assert api.scalar('max(quillmere_remote_write_samples_dropped_total)') == 0


# --- the alert rules and the unit's push drop-in -----------------------------------

@pytest.mark.servers
def test_promtool_and_systemd_accept_the_push_rules_and_drop_in(tmp_path):
    promtool = require_tool("promtool")
    for args in (["check", "rules", str(PUSH_ALERTS)], ["test", "rules", str(PUSH_ALERT_TESTS)]):
        done = subprocess.run([promtool, *args], capture_output=True, text=True, timeout=120)
        assert done.returncode == 0, done.stdout + done.stderr
    analyze = require_tool("systemd-analyze")
    (tmp_path / "quillmere-exporter.service.d").mkdir()
    for source, target in ((UNIT, UNIT.name), (PUSH_DROP_IN, f"quillmere-exporter.service.d/{PUSH_DROP_IN.name}")):
        (tmp_path / target).write_text(source.read_text().replace("/usr/local/bin/quillmere-exporter", EXPORTER))
    done = subprocess.run([analyze, "verify", str(tmp_path / UNIT.name)], capture_output=True, text=True, timeout=120,
                          env=dict(os.environ, SYSTEMD_UNIT_PATH=f"{tmp_path}:"))
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
