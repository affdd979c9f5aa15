"""What the push mode costs, against the HTTP mode on the same machine at
the same time: quillmere-exporter --remote-write pushing every second to a
receiver in this process, and quillmere-exporter serving HTTP scraped every
second by this process, side by side for the same span, so that load from
elsewhere falls on both alike.

Prints, for each: CPU time per pass (user + system, from /proc/PID/stat),
resident memory at the end and at its peak (VmRSS, VmHWM), and bytes written
to storage (write_bytes of /proc/PID/io) scaled to an hour; for the push, the
bytes per sample on the wire (snappy-compressed) and before compression, and
the bytes of one push, and whether the queue directory was touched while the receiver answered (its
modification time).

  python bench/push.py [--seconds 60]

Needs quillmere with its extras `exporter` and `push` installed (pip install
'.[exporter,push]'); quillmere-exporter is taken from beside the interpreter.
"""

import argparse
import http.server
import os
import re
import select
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import cramjam

EXPORTER = os.path.join(os.path.dirname(sys.executable), "quillmere-exporter")
TICKS = os.sysconf("SC_CLK_TCK")


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def status_kib(pid, key):
    return int(re.search(rf"^{key}:\s+(\d+) kB", open(f"/proc/{pid}/status").read(), re.MULTILINE).group(1))


def written_bytes(pid):
    return int(re.search(r"^write_bytes: (\d+)", open(f"/proc/{pid}/io").read(), re.MULTILINE).group(1))


def series_count(message):
    """The TimeSeries (field 1) of a WriteRequest: one sample each here."""
    count, pos = 0, 0
    while pos < len(message):
        key, pos = varint(message, pos)
        if key & 7 != 2:
            raise ValueError(f"wire type {key & 7} at the top level")
        size, pos = varint(message, pos)
        pos += size
        count += key >> 3 == 1
    return count


def varint(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if byte < 0x80:
            return value, pos


class Receiver(http.server.ThreadingHTTPServer):
    daemon_threads = True

    def __init__(self):
        self.wire = self.raw = self.samples = self.requests = 0
        receiver = self

        class Handler(http.server.BaseHTTPRequestHandler):
            protocol_version = "HTTP/1.1"

            def do_POST(self):
                body = self.rfile.read(int(self.headers["Content-Length"]))
                message = bytes(cramjam.snappy.decompress_raw(body))
                samples = series_count(message)
                if samples:  # not the metadata request
                    receiver.wire += len(body)
                    receiver.raw += len(message)
                    receiver.samples += samples
                    receiver.requests += 1
                self.send_response(204)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        super().__init__(("127.0.0.1", 0), Handler)


def first_line(proc):
    ready, _, _ = select.select([proc.stdout], [], [], 30)
    line = proc.stdout.readline() if ready else ""
    if not line:
        sys.exit(f"quillmere-exporter did not start: {proc.stderr.read() if proc.poll() is not None else ''}")
    return line


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--seconds", type=float, default=60.0)
    args = parser.parse_args()

    receiver = Receiver()
    threading.Thread(target=receiver.serve_forever, daemon=True).start()
    with tempfile.TemporaryDirectory() as tmp:
        queue = os.path.join(tmp, "queue")
        pusher = subprocess.Popen([EXPORTER, "--remote-write", f"http://127.0.0.1:{receiver.server_port}/api/v1/write",
                                   "--every", "1", "--remote-write.buffer-dir", queue],
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        server = subprocess.Popen([EXPORTER, "--port", "0"], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        try:
            first_line(pusher)
            url = re.fullmatch(r"serving (\S+)\n", first_line(server)).group(1)
            time.sleep(3)  # both warmed up: imports done, a few passes made
            procs = {"push": pusher, "http": server}
            start = {name: (cpu_seconds(p.pid), written_bytes(p.pid)) for name, p in procs.items()}
            sent_before, queue_mtime = receiver.samples, os.stat(queue).st_mtime_ns
            began = time.monotonic()
            scrapes = 0
            while time.monotonic() - began < args.seconds:
                with urllib.request.urlopen(url, timeout=10) as response:
                    response.read()
                scrapes += 1
                time.sleep(max(0.0, began + scrapes - time.monotonic()))
            span = time.monotonic() - began
            end = {name: (cpu_seconds(p.pid), written_bytes(p.pid)) for name, p in procs.items()}
            memory = {name: (status_kib(p.pid, "VmRSS"), status_kib(p.pid, "VmHWM")) for name, p in procs.items()}
            touched = os.stat(queue).st_mtime_ns != queue_mtime
        finally:
            for proc in (pusher, server):
                proc.terminate()
                proc.communicate(timeout=15)
    passes = {"push": round(span), "http": scrapes}
    print(f"{span:.0f} s, one pass a second in each mode (push: {receiver.samples - sent_before} samples received)")
    for name in ("push", "http"):
        cpu = (end[name][0] - start[name][0]) / passes[name]
        writes = (end[name][1] - start[name][1]) * 3600 / span
        print(f"  {name:<4}: CPU {cpu * 1000:6.2f} ms per pass, RSS {memory[name][0] / 1024:5.1f} MiB "
              f"(peak {memory[name][1] / 1024:5.1f}), disk writes {writes:,.0f} bytes per hour")
    print(f"  push: {receiver.wire / receiver.samples:.2f} bytes per sample compressed "
          f"({receiver.wire / receiver.requests:,.0f} a push), {receiver.raw / receiver.samples:.1f} before "
          f"compression; queue directory "
          f"{'TOUCHED' if touched else 'untouched'} while the receiver answered")


if __name__ == "__main__":
    main()
