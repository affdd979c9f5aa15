"""What one quillmere.get_metrics_once call costs, against gathering the same
26 values in plain Python ("plain Python": the same files opened and parsed,
the same tool run with subprocess) and against a C++ floor that only
reads the same files and runs the same tool, with no parsing and no thread.
quillmere_sampler.read_counters(), one pass on the calling thread, is timed
beside them against the same floor, and, with every source it has, against
the floor's board pass over the same files; the exporter's own cost per
scrape is measured last.

Round by round, in rotated order, each contender runs once; medians and
ratios come from the same rounds, so load from other processes falls on all
of them alike. Six sections:
  1. PATH as given (on most machines: no vcgencmd);
  2. a fake vcgencmd first on PATH, so that both tool runs are timed;
  3. 10,000 block devices and 10,000 interfaces: generated files mounted
     over /proc/diskstats and /proc/net/dev in a private mount namespace;
     then a quillmere_sampler.Sampler tick over them, in process CPU time,
     against the floor's board pass in its CPU time, at the same pace;
  4. a quillmere_sampler.Sampler tick against one get_metrics_once call at
     the same pace, in process CPU time, and the sampler's cost while idle;
  5. read_counters() with every source it has against the board floor:
     the board sources are found by their keys in its result, and the floor
     reads only the files of those it has;
  6. quillmere-exporter serving HTTP on a free loopback port, scraped
     back to back: its CPU per scrape and its resident memory afterwards.

Run it through bench/run.sh, which builds the floor and the fake tool.
"""

import argparse
import importlib.util
import math
import os
import platform
import random
import re
import resource
import select
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.request
from importlib import metadata

import quillmere
import quillmere_sampler

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts"))
from mount_over import mount_over  # noqa: E402 - found through the path set just above

INTERVAL_MS = 1000
FAKE_THROTTLED = 0x50005
FAKE_CLOCK = 1500345728


def read_file(path):
    try:
        with open(path) as f:
            return f.read()
    except OSError:
        return ""


def device_bytes(path, skip, name_at, first_at, second_at, unit):
    """name -> (first counter, second counter) in bytes from a device file."""
    devices = {}
    for line in read_file(path).splitlines()[skip:]:
        fields = line.split()
        if len(fields) > second_at:
            devices[fields[name_at].rstrip(":")] = (int(fields[first_at]) * unit, int(fields[second_at]) * unit)
    return devices


def disk_bytes():
    return device_bytes("/proc/diskstats", 0, 2, 5, 9, 512)


def net_bytes():
    return device_bytes("/proc/net/dev", 2, 0, 1, 9, 1)


def plain_python_way(interval_ms):
    """The 26 values as a user would gather them in plain Python: open and
    parse the same /proc and /sys files, run the same tool with subprocess."""
    disk_before = disk_bytes()
    net_before = net_bytes()

    cpu = [0] * 8
    context_switches = 0
    for line in read_file("/proc/stat").splitlines():
        if line.startswith("cpu "):
            cpu = [int(v) for v in line.split()[1:9]]
            cpu += [0] * (8 - len(cpu))
        elif line.startswith("ctxt "):
            context_switches = int(line.split()[1])
    user, nice, system, idle, iowait, irq, softirq, steal = cpu
    total = sum(cpu)

    def share(part):
        return part / total * 100.0 if total else float("nan")

    load = read_file("/proc/loadavg").split()
    load1, load5, load15 = (float(v) for v in load[:3])
    run_queue = float(load[3].split("/")[0])

    temperature = 0.0
    zones = "/sys/class/thermal"
    names = sorted(n for n in os.listdir(zones) if n.startswith("thermal_zone")) if os.path.isdir(zones) else []
    for name in names:
        try:
            temperature = float(read_file(os.path.join(zones, name, "temp")).strip()) / 1000
            break
        except ValueError:
            continue

    throttled = arm_clock = 0
    tool = shutil.which("vcgencmd")
    if tool is not None:
        try:
            out = subprocess.run([tool, "get_throttled"], capture_output=True, text=True, timeout=1).stdout
            throttled = int(out.split("0x", 1)[1], 16)
            out = subprocess.run([tool, "measure_clock", "arm"], capture_output=True, text=True, timeout=1).stdout
            arm_clock = int(out.split("=", 1)[1])
        except (OSError, subprocess.SubprocessError, ValueError, IndexError):
            pass

    memory = {}
    for line in read_file("/proc/meminfo").splitlines():
        key, value = line.split()[:2]
        memory[key] = int(value) * 1024
    mem_total = memory.get("MemTotal:", 0)
    unused = memory.get("MemFree:", 0) + memory.get("Buffers:", 0) + memory.get("Cached:", 0)

    faults = {}
    for line in read_file("/proc/vmstat").splitlines():
        name, value = line.split()
        if name in ("pgfault", "pgmajfault"):
            faults[name] = int(value)
    uptime = float(read_file("/proc/uptime").split()[0])

    disk_after = disk_bytes()
    net_after = net_bytes()
    seconds = interval_ms / 1000

    def rate(before, after, side):
        grown = sum(max(now[side] - before[name][side], 0) for name, now in after.items() if name in before)
        return int(grown / seconds)

    return {
        "timestamp": time.time(),
        "cpu_usage_percent": share(total - idle),
        "cpu_user_percent": share(user + nice),
        "cpu_system_percent": share(system),
        "cpu_idle_percent": share(idle),
        "cpu_iowait_percent": share(iowait),
        "cpu_irq_percent": share(irq),
        "cpu_softirq_percent": share(softirq),
        "cpu_steal_percent": share(steal),
        "run_queue_length": run_queue,
        "context_switches_per_sec": context_switches,
        "cpu_temp_celsius": temperature,
        "throttle_status": throttled,
        "mem_total_bytes": mem_total,
        "mem_used_bytes": max(mem_total - unused, 0),
        "page_faults_minor_per_sec": faults.get("pgfault", 0),
        "page_faults_major_per_sec": faults.get("pgmajfault", 0),
        "uptime_seconds": uptime,
        "load_avg_1": load1,
        "load_avg_5": load5,
        "load_avg_15": load15,
        "disk_read_bytes_per_sec": rate(disk_before, disk_after, 0),
        "disk_write_bytes_per_sec": rate(disk_before, disk_after, 1),
        "net_rx_bytes_per_sec": rate(net_before, net_after, 0),
        "net_tx_bytes_per_sec": rate(net_before, net_after, 1),
        "measure_clock": arm_clock,
    }


class Floor:
    """The floor program as a server: one command a line, one duration back."""

    def __init__(self, path):
        self.process = subprocess.Popen([path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)

    def ns(self, command):
        self.process.stdin.write(command + "\n")
        self.process.stdin.flush()
        return int(self.process.stdout.readline())

    def close(self):
        self.process.stdin.close()
        self.process.wait()


def in_process(function):
    """A contender timed here, around one call of function(INTERVAL_MS)."""
    def run():
        start = time.perf_counter_ns()
        function(INTERVAL_MS)
        return time.perf_counter_ns() - start
    return run


THREAD_COSTS = {"thread start+join": "thread", "floor on a new thread": "threaded"}


def measure(rounds, floor, python_too=True, threads_too=False):
    """Durations in ns of quillmere's calls and of the floor's pass."""
    contenders = {"quillmere": in_process(quillmere.get_metrics_once),
                  "read_counters": in_process(lambda _interval_ms: quillmere_sampler.read_counters())}
    if python_too:
        contenders["plain Python"] = in_process(plain_python_way)
    contenders["floor"] = lambda: floor.ns("pass")
    if threads_too:
        for name, command in THREAD_COSTS.items():
            contenders[name] = lambda command=command: floor.ns(command)
    return run_rounds(rounds, contenders)


def run_rounds(rounds, contenders):
    """Each contender (name -> function giving ns) once a round, in rotated
    order; the first tenth of the rounds warms up."""
    names = list(contenders)
    samples = {name: [] for name in names}
    warmup = max(rounds // 10, 2)
    for k in range(warmup + rounds):
        shift = k % len(names)
        for name in names[shift:] + names[:shift]:
            value = contenders[name]()
            if k >= warmup:
                samples[name].append(value)
    return samples


def median_us(values):
    return statistics.median(values) / 1000


# False in a quick run: too few rounds to judge a goal, so no verdicts.
JUDGE = True


def verdict(ratio, op, bound):
    """The target's words after a ratio, and whether it was met; empty and
    met when not judging."""
    if not JUDGE:
        return "", True
    met = ratio >= bound if op == ">=" else ratio <= bound
    return f"   target {op} {bound:<4} {'met' if met else 'MISSED'}", met


def report(title, samples, ratios):
    """Prints the table and the ratios of medians; a ratio is (numerator,
    denominator) or, with a target, (numerator, denominator, op, bound).
    Returns whether every target was met (always True when not judging)."""
    print(f"\n== {title}")
    print(f"  {'':22}{'median':>10}{'p10':>10}{'p90':>10}   (us, {len(next(iter(samples.values())))} rounds)")
    for name, values in samples.items():
        deciles = statistics.quantiles(values, n=10)
        print(f"  {name:22}{median_us(values):10.1f}{deciles[0] / 1000:10.1f}{deciles[-1] / 1000:10.1f}")
    met_all = True
    for numerator, denominator, *target in ratios:
        ratio = median_us(samples[numerator]) / median_us(samples[denominator])
        line = f"  {numerator + ' / ' + denominator:36}{ratio:8.2f}x"
        if target:
            words, met = verdict(ratio, *target)
            met_all &= met
            line += words
        print(line)
    return met_all


def check_same_keys(expect_tool):
    ours = quillmere.get_metrics_once(INTERVAL_MS)
    theirs = plain_python_way(INTERVAL_MS)
    assert list(ours) == list(theirs), "plain Python must give the same 26 keys"
    if expect_tool:
        for values in (ours, theirs):
            assert (values["throttle_status"], values["measure_clock"]) == (FAKE_THROTTLED, FAKE_CLOCK), values


def section_bare(args):
    check_same_keys(expect_tool=False)
    tool = shutil.which("vcgencmd")
    title = "1. PATH as given: " + (f"vcgencmd found at {tool}" if tool else "no vcgencmd")
    floor = Floor(args.floor)
    try:
        samples = measure(args.rounds, floor, threads_too=True)
    finally:
        floor.close()
    met = report(title, samples, [("plain Python", "quillmere"), ("quillmere", "floor", "<=", 2.0),
                                  ("quillmere", "floor on a new thread", "<=", 1.6),
                                  ("read_counters", "floor"), ("plain Python", "read_counters")])
    explain_gap(samples)
    return met


def explain_gap(samples):
    """How much of the quillmere - floor gap the worker thread accounts for."""
    floor_us = median_us(samples["floor"])
    gap = median_us(samples["quillmere"]) - floor_us
    if gap <= 0:
        return
    parts = {"one thread start+join": median_us(samples["thread start+join"]),
             "the floor's pass moved onto a new thread": median_us(samples["floor on a new thread"]) - floor_us}
    print(f"  quillmere - floor gap: {gap:.1f} us; of it")
    for name, cost in parts.items():
        print(f"    {name + ':':42}{cost:8.1f} us ({cost / gap:.0%})")


def section_tool(args):
    saved = os.environ["PATH"]
    # quillmere, plain Python and the floor all look vcgencmd up on PATH.
    os.environ["PATH"] = f"{args.tool_dir}{os.pathsep}{saved}"
    try:
        check_same_keys(expect_tool=True)
        floor = Floor(args.floor)
        try:
            samples = measure(max(args.rounds // 4, 10), floor, threads_too=True)
        finally:
            floor.close()
    finally:
        os.environ["PATH"] = saved
    met = report("2. fake vcgencmd first on PATH (two runs of it per call)", samples,
                 [("plain Python", "quillmere"), ("quillmere", "floor", "<=", 1.1),
                  ("read_counters", "floor"), ("plain Python", "read_counters")])
    explain_gap(samples)
    return met


def device_files(directory, count):
    """Files in the kernel's own formats with `count` block devices and
    `count` interfaces; returns (diskstats path, net/dev path)."""
    rng = random.Random(count)
    disk_lines = []
    for i in range(count):
        if i % 2:
            name, major, minor = f"nvme{i // 2}n1", 259, i // 2
        else:
            letters, n = "", i // 2
            while n >= 0:  # sda .. sdz, sdaa ..
                letters = chr(ord("a") + n % 26) + letters
                n = n // 26 - 1
            name, major, minor = f"sd{letters}", 8, i // 2 * 16 % 256
        # 3 + 17 fields, as kernels since 5.5 print them.
        counters = [rng.randrange(10**k) for k in (7, 6, 10, 8, 7, 6, 10, 8, 2, 8, 9, 4, 4, 8, 6, 7, 6)]
        disk_lines.append(f"{major:4d} {minor:7d} {name} " + " ".join(map(str, counters)) + "\n")
    net_lines = [
        "Inter-|   Receive                                                |  Transmit\n",
        " face |bytes    packets errs drop fifo frame compressed multicast|"
        "bytes    packets errs drop fifo colls carrier compressed\n",
    ]
    widths = (7, 7, 4, 4, 4, 5, 10, 9, 8, 7, 4, 4, 4, 5, 7, 10)
    for i in range(count):
        # Distinct names: an odd multiplier permutes 32-bit values.
        name = "lo" if i == 0 else f"veth{i * 2654435761 & 0xFFFFFFFF:08x}"
        counters = [rng.randrange(10**12), rng.randrange(10**8)] + [rng.randrange(100) for _ in range(6)]
        counters += [rng.randrange(10**12), rng.randrange(10**8)] + [rng.randrange(100) for _ in range(6)]
        net_lines.append(f"{name:>6}: " + " ".join(f"{c:{w}d}" for c, w in zip(counters, widths)) + "\n")
    disk = os.path.join(directory, "diskstats")
    net = os.path.join(directory, "net_dev")
    with open(disk, "w") as f:
        f.writelines(disk_lines)
    with open(net, "w") as f:
        f.writelines(net_lines)
    return disk, net


def section_scaling(args):
    prefix = ["unshare", "--mount", "--propagation", "private"]
    if os.geteuid() != 0:
        prefix.insert(1, "--map-root-user")
    if shutil.which("unshare") is None or subprocess.run(prefix + ["true"], capture_output=True).returncode:
        print(f"\n== 3. {args.devices} devices: skipped (no private mount namespace here)")
        return True
    with tempfile.TemporaryDirectory(prefix="quillmere-bench-") as directory:
        child = [sys.executable, os.path.abspath(__file__), "--floor", args.floor, "--rounds", str(args.rounds),
                 "--devices", str(args.devices), "--scaling-child", directory] + (["--quick"] if args.quick else [])
        sys.stdout.flush()
        return subprocess.run(prefix + child).returncode == 0


def scaling_child(args):
    """Runs inside the private mount namespace: mounts the device files and
    times quillmere and the floor over them. /proc/net becomes a link to a
    directory that holds only dev, which is all that either of them reads
    there."""
    directory = args.scaling_child
    disk, net = device_files(directory, args.devices)
    os.mkdir(os.path.join(directory, "net"))
    os.rename(net, os.path.join(directory, "net", "dev"))
    os.symlink(os.path.join(directory, "net"), os.path.join(directory, "net-link"))
    try:
        mount_over(disk, "/proc/diskstats")
        mount_over(os.path.join(directory, "net-link"), "/proc/net")
    except OSError as error:
        print(f"\n== 3. {args.devices} devices: skipped ({error})")
        return True
    with open("/proc/diskstats") as f:
        disks = sum(1 for _ in f)
    with open("/proc/net/dev") as f:
        interfaces = sum(1 for _ in f) - 2
    assert disks == interfaces == args.devices, (disks, interfaces)
    floor = Floor(args.floor)
    try:
        samples = measure(max(args.rounds // 4, 10), floor, python_too=False)
        title = f"3. {disks} block devices and {interfaces} interfaces (files mounted over /proc)"
        met = report(title, samples, [("quillmere", "floor", "<=", 3.0), ("read_counters", "floor")])
        return scaling_sampler(args, floor, median_us(samples["read_counters"]) / 1000) and met
    finally:
        floor.close()


def scaling_sampler(args, floor, pass_ms):
    """A Sampler tick over the device files, sample() included, against the
    floor's board pass over the same files, both in CPU time. They run at one
    pace: after each sample the floor makes its pass while the sampler's
    worker sleeps. The pace, four read_counters() calls long, leaves each
    tick room enough to be taken before the next."""
    command = "cpu " + board_command(quillmere_sampler.read_counters())
    pace_ms = max(SAMPLER_PACE_MS, math.ceil(4 * pass_ms))
    ticks = max(args.rounds // 16, 5)
    floor_ns = []
    with quillmere_sampler.Sampler(pace_ms) as sampler:
        sampler.sample()  # the first interval: the worker's start and its first two passes
        start = cpu_seconds()
        missed = 0
        for _ in range(ticks):
            missed += sampler.sample()["missed"]
            floor_ns.append(floor.ns(command))
        cpu = cpu_seconds() - start
    tick_us = cpu / (ticks + missed) * 1e6
    floor_us = statistics.median(floor_ns) / 1000
    print(f"  Sampler({pace_ms}) tick, sample() in   {tick_us:10.1f} us CPU"
          f" ({ticks} ticks, {missed or 'none'} missed)")
    print(f"  floor's board pass              {floor_us:10.1f} us CPU (median)")
    words, met = verdict(tick_us / floor_us, "<=", 2.0)
    print(f"  {'Sampler tick / board floor':36}{tick_us / floor_us:8.2f}x{words}")
    return met


SAMPLER_PACE_MS = 5


def cpu_seconds():
    """CPU time of this process, every thread included (the workers too)."""
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def cpu_per_tick_us(ticks, run_ticks):
    start = cpu_seconds()
    run_ticks(ticks)
    return (cpu_seconds() - start) / ticks * 1e6


def one_shot_ticks(ticks):
    for _ in range(ticks):
        quillmere.get_metrics_once(1)
        time.sleep(SAMPLER_PACE_MS / 1000)


def sleep_ticks(ticks):
    for _ in range(ticks):
        time.sleep(SAMPLER_PACE_MS / 1000)


def sampler_ticks(ticks):
    with quillmere_sampler.Sampler(SAMPLER_PACE_MS) as sampler:
        done = 0
        while done < ticks:
            done += 1 + sampler.sample()["missed"]


def section_sampler(args):
    """Both contenders run at the same pace, so both start each pass with the
    caches as cold as the other's: CPU time per call (the sleeping loop's own
    cost taken out) against CPU time per tick, the consumer's sample() in."""
    ticks = max(args.rounds // 4, 20)
    calls, ticks_us = [], []
    for _ in range(3):
        calls.append(cpu_per_tick_us(ticks, one_shot_ticks) - cpu_per_tick_us(ticks, sleep_ticks))
        ticks_us.append(cpu_per_tick_us(ticks, sampler_ticks))
    with quillmere_sampler.Sampler(60_000):
        time.sleep(0.1)
        start = cpu_seconds()
        time.sleep(2)
        idle_ms = (cpu_seconds() - start) * 1000
    call, tick = statistics.median(calls), statistics.median(ticks_us)
    print(f"\n== 4. Sampler({SAMPLER_PACE_MS}) tick against one get_metrics_once call every {SAMPLER_PACE_MS} ms"
          f" (CPU time, median of 3 blocks of {ticks})")
    print(f"  one call                  {call:8.1f} us")
    print(f"  one tick, sample() in     {tick:8.1f} us")
    # No target: a tick reads every source of read_counters() (file systems,
    # sensors, pressure and the rest), the call only its 26 values' files.
    print(f"  tick / call                       {tick / call:8.2f}x")
    print(f"  idle Sampler(60000), 2 s between ticks: {idle_ms:.1f} ms CPU")
    return True


# The floor's board sources, each with the read_counters() key that shows
# that the module reads it.
BOARD_SOURCES = {"pressure": "pressure", "filesystems": "filesystems", "hwmon": "hwmon", "wireless": "wireless",
                 "cpufreq": "cpu_frequencies_hz", "clock": "clock_synchronized"}


def board_command(counters):
    """The floor's board pass over the files of the sources that the module
    has: one whose key `counters` lacks is left out of the floor too."""
    return " ".join(["board"] + [f"-{name}" for name, key in BOARD_SOURCES.items() if key not in counters])


def section_board(args):
    counters = quillmere_sampler.read_counters()
    command = board_command(counters)
    floor = Floor(args.floor)
    try:
        samples = run_rounds(args.rounds, {
            "read_counters": in_process(lambda _interval_ms: quillmere_sampler.read_counters()),
            "board floor": lambda: floor.ns(command)})
    finally:
        floor.close()
    met = report("5. read_counters() with every source against the board floor", samples,
                 [("read_counters", "board floor", "<=", 1.3)])
    have = [name for name, key in BOARD_SOURCES.items() if key in counters]
    absent = [name for name in have if counters[BOARD_SOURCES[name]] is None]
    print("  board sources in read_counters(): " + (", ".join(have) or "none, so the floor leaves them all out") +
          (f"; None on this machine: {', '.join(absent)}" if absent else ""))
    return met


TICKS = os.sysconf("SC_CLK_TCK")
# Loopback scrapes never go through a proxy named in the environment.
DIRECT = urllib.request.build_opener(urllib.request.ProxyHandler({}))


def exporter_command():
    """The console script beside this interpreter, else the module."""
    script = os.path.join(os.path.dirname(sys.executable), "quillmere-exporter")
    return [script] if os.access(script, os.X_OK) else [sys.executable, "-m", "quillmere_exporter"]


def process_cpu_seconds(pid):
    fields = read_file(f"/proc/{pid}/stat").rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / TICKS  # utime, stime


def status_mib(pid, key):
    return int(re.search(rf"^{key}:\s+(\d+) kB", read_file(f"/proc/{pid}/status"), re.MULTILINE).group(1)) / 1024


def scrape(url):
    """The size of one answer of the exporter."""
    with DIRECT.open(url, timeout=10) as response:
        return len(response.read())


def first_answer(process, seconds):
    """The URL once the exporter has printed it and answered there; None
    when it does not within `seconds`."""
    deadline = time.monotonic() + seconds
    ready, _, _ = select.select([process.stdout], [], [], seconds)
    match = re.match(r"serving (\S+)", process.stdout.readline() if ready else "")
    while match and time.monotonic() < deadline:
        try:
            scrape(match.group(1))
            return match.group(1)
        except OSError:
            time.sleep(0.1)
    return None


def section_exporter(args):
    """The exporter on a free loopback port, scraped back to back. Its CPU
    per scrape (utime and stime of /proc/PID/stat) is set against one
    read_counters() call in this process (CPU time of the calling thread),
    one made after each scrape, so that load falls on both alike."""
    title = "6. quillmere-exporter over HTTP"
    for module in ("prometheus_client", "quillmere_exporter"):
        if importlib.util.find_spec(module) is None:
            print(f"\n== {title}: skipped ({module} is not installed; pip install '.[exporter]' adds it)")
            return
    scrapes = 50 if args.quick else 1000
    with tempfile.TemporaryFile(mode="w+") as errors:
        with subprocess.Popen(exporter_command() + ["--port", "0"], stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=errors, text=True) as process:
            try:
                url = first_answer(process, 30)
                if url is not None:
                    for _ in range(5):  # warm-up: the first scrapes import and build what later ones reuse
                        scrape(url)
                    start, read_ns = process_cpu_seconds(process.pid), 0
                    for _ in range(scrapes):
                        size = scrape(url)
                        before = time.thread_time_ns()
                        quillmere_sampler.read_counters()
                        read_ns += time.thread_time_ns() - before
                    cpu_ms = (process_cpu_seconds(process.pid) - start) / scrapes * 1000
                    rss, peak = status_mib(process.pid, "VmRSS"), status_mib(process.pid, "VmHWM")
            finally:
                process.terminate()
                try:
                    process.wait(timeout=15)
                except subprocess.TimeoutExpired:
                    process.kill()
        if url is None:
            errors.seek(0)
            sys.exit(f"quillmere-exporter did not answer (waited up to 30 s): {errors.read().strip()}")
    read_ms = read_ns / scrapes / 1e6
    print(f"\n== {title}: {scrapes} scrapes of {url} one after another ({size:,} bytes each)")
    print(f"  exporter CPU per scrape            {cpu_ms:8.2f} ms (utime + stime)")
    print(f"  one read_counters() in this process{read_ms:8.2f} ms (CPU of the calling thread)")
    print(f"  {'scrape / read_counters':36}{cpu_ms / read_ms:8.2f}x")
    print(f"  exporter resident memory after     {rss:8.1f} MiB (peak {peak:.1f} MiB)")


def machine():
    model = "unknown"
    with open("/proc/cpuinfo") as f:
        for line in f:
            if line.startswith("model name"):
                model = line.split(":", 1)[1].strip()
                break
    print(f"CPU: {model}, {os.cpu_count()} logical cores")
    print(f"kernel: {platform.system()} {platform.release()} ({platform.machine()})")
    print(f"Python {platform.python_version()}; quillmere {metadata.version('quillmere')}")
    busy = busy_percent(1.0)
    print(f"CPU busy over the second before the run: {busy:.0f}%" +
          (" -- other work is running: a new thread may wait for a CPU, which inflates quillmere's"
           " figures and ratios" if busy > 20 else ""))


def busy_percent(seconds):
    """The machine's non-idle share over `seconds`, from two readings of the
    aggregate line of /proc/stat (idle and iowait count as idle)."""
    def ticks():
        fields = [int(v) for v in read_file("/proc/stat").split("\n", 1)[0].split()[1:]]
        return sum(fields[:8]), fields[3] + fields[4]
    total_before, idle_before = ticks()
    time.sleep(seconds)
    total_after, idle_after = ticks()
    total = total_after - total_before
    return 100.0 * (total - (idle_after - idle_before)) / total if total else 0.0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--floor", required=True, help="the compiled bench/floor.cpp")
    parser.add_argument("--tool-dir", help="directory holding the fake vcgencmd")
    parser.add_argument("--rounds", type=int, default=800, help="rounds of section 1 (others run fewer)")
    parser.add_argument("--devices", type=int, default=10000)
    parser.add_argument("--quick", action="store_true", help="a smoke run: figures without verdicts on the targets")
    parser.add_argument("--scaling-child", metavar="DIR", help=argparse.SUPPRESS)
    args = parser.parse_args()
    global JUDGE
    JUDGE = not args.quick
    if args.scaling_child:
        sys.exit(0 if scaling_child(args) else 1)

    machine()
    met = section_bare(args)
    if args.tool_dir:
        met &= section_tool(args)
    met &= section_scaling(args)
    met &= section_sampler(args)
    met &= section_board(args)
    section_exporter(args)
    if args.quick:
        print("\nquick run: too few rounds to judge the targets (a full run judges them)")
    else:
        print("\nall targets met" if met else "\nsome targets missed")


if __name__ == "__main__":
    main()
