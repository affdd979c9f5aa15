"""What a Python caller sees: the module's surface, argument rules with their
exact messages, the result's keys and types, and that no call leaves a
thread, descriptor or child behind."""

import math
import struct
import threading

import pytest

import quillmere
from conftest import child_pids, needs_address_space_limit, open_fds, run_python, settled, thread_count

KEYS = [
    ("timestamp", float),
    ("cpu_usage_percent", float),
    ("cpu_user_percent", float),
    ("cpu_system_percent", float),
    ("cpu_idle_percent", float),
    ("cpu_iowait_percent", float),
    ("cpu_irq_percent", float),
    ("cpu_softirq_percent", float),
    ("cpu_steal_percent", float),
    ("run_queue_length", float),
    ("context_switches_per_sec", int),
    ("cpu_temp_celsius", float),
    ("throttle_status", int),
    ("mem_total_bytes", int),
    ("mem_used_bytes", int),
    ("page_faults_minor_per_sec", int),
    ("page_faults_major_per_sec", int),
    ("uptime_seconds", float),
    ("load_avg_1", float),
    ("load_avg_5", float),
    ("load_avg_15", float),
    ("disk_read_bytes_per_sec", int),
    ("disk_write_bytes_per_sec", int),
    ("net_rx_bytes_per_sec", int),
    ("net_tx_bytes_per_sec", int),
    ("measure_clock", int),
]
SINGLE_PRECISION = [k for k, t in KEYS if t is float and k not in ("timestamp", "uptime_seconds")]
# What the worker writes to standard error when it refuses a zero interval.
ZERO_PERIOD_DIAGNOSTIC = "quillmere: internal fault in thread 'quillmere-work': the sampling period must be non-zero\n"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


def test_module_holds_only_the_function_and_all():
    assert quillmere.__all__ == ["get_metrics_once"]
    assert quillmere.__doc__ == ""
    public = [name for name in dir(quillmere) if not name.startswith("__")]
    assert public == ["get_metrics_once"]
    assert quillmere.get_metrics_once.__text_signature__ == "(interval_ms)"
    assert quillmere.get_metrics_once.__doc__ is None
    assert quillmere.get_metrics_once.__module__ == "quillmere"
    assert quillmere.get_metrics_once.__self__ is quillmere


def test_result_has_the_26_keys_in_order_with_their_types():
    result = quillmere.get_metrics_once(1000)
    assert type(result) is dict
    assert list(result) == [k for k, _ in KEYS]
    for key, kind in KEYS:
        assert type(result[key]) is kind, key


def test_single_precision_values_are_widened_exactly():
    result = quillmere.get_metrics_once(1000)
    for key in SINGLE_PRECISION:
        value = result[key]
        if not math.isnan(value):
            assert struct.unpack("f", struct.pack("f", value))[0] == value, key


def test_values_are_sane_on_this_host():
    result = quillmere.get_metrics_once(1000)
    assert abs(result["timestamp"] - __import__("time").time()) < 60
    assert 0 < result["mem_used_bytes"] <= result["mem_total_bytes"]
    assert result["uptime_seconds"] > 0
    assert result["context_switches_per_sec"] > 0  # since boot on the first tick
    assert 99.0 < sum(result[k] for k in SINGLE_PRECISION[1:8]) < 101.0
    for key, kind in KEYS:
        if kind is int:
            assert result[key] >= 0


def test_two_calls_give_independent_dicts():
    first = quillmere.get_metrics_once(1000)
    second = quillmere.get_metrics_once(1000)
    assert first is not second
    first["timestamp"] = -1
    assert second["timestamp"] != -1
    # Each call runs a fresh collector: counts are again since boot.
    assert second["context_switches_per_sec"] >= first["context_switches_per_sec"]


@pytest.mark.parametrize(
    "args, kwargs",
    [((1000,), {}), ((), {"interval_ms": 1000}), ((True,), {}), ((Index(500),), {}), ((2**64 - 1,), {}),
     ((1,), {})],
)
def test_accepted_arguments(args, kwargs):
    assert len(quillmere.get_metrics_once(*args, **kwargs)) == 26


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((1, 2), {}, TypeError, "get_metrics_once() takes 1 positional arguments but 2 were given"),
        ((1, 2, 3), {}, TypeError, "get_metrics_once() takes 1 positional arguments but 3 were given"),
        ((1, 2), {"interval_ms": 3}, TypeError, "get_metrics_once() takes 1 positional arguments but 2 were given"),
        ((), {"interval": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'interval'"),
        ((), {"foo": 1}, TypeError, "get_metrics_once() got an unexpected keyword argument 'foo'"),
        ((1,), {"interval_ms": 1}, TypeError, "get_metrics_once() got multiple values for argument 'interval_ms'"),
        ((), {}, TypeError, "get_metrics_once() missing 1 required positional argument: 'interval_ms'"),
        ((1.5,), {}, TypeError, "argument 'interval_ms': 'float' object cannot be interpreted as an integer"),
        (("1000",), {}, TypeError, "argument 'interval_ms': 'str' object cannot be interpreted as an integer"),
        ((None,), {}, TypeError, "argument 'interval_ms': 'NoneType' object cannot be interpreted as an integer"),
        ((-1,), {}, OverflowError, "can't convert negative int to unsigned"),
        ((2**64,), {}, OverflowError, "int too big to convert"),
        ((Index(-5),), {}, OverflowError, "can't convert negative int to unsigned"),
        ((0,), {}, RuntimeError, "failed to collect metrics"),
    ],
)
def test_rejected_arguments_raise_with_exact_messages(args, kwargs, error, message, capfd):
    with pytest.raises(error) as info:
        quillmere.get_metrics_once(*args, **kwargs)
    assert type(info.value) is error
    assert str(info.value) == message
    # Only a run that started says anything on standard error.
    assert capfd.readouterr().err == (ZERO_PERIOD_DIAGNOSTIC if error is RuntimeError else "")


def test_conversion_type_error_keeps_its_cause_and_other_errors_pass_unchanged():
    class BadIndex:
        def __index__(self):
            raise TypeError("no index here") from KeyError("root")

    class FailingIndex:
        def __index__(self):
            raise ValueError("broken")

    with pytest.raises(TypeError) as info:
        quillmere.get_metrics_once(BadIndex())
    assert str(info.value) == "argument 'interval_ms': no index here"
    assert isinstance(info.value.__cause__, KeyError)
    with pytest.raises(ValueError, match="^broken$"):
        quillmere.get_metrics_once(FailingIndex())


def test_no_thread_descriptor_or_child_is_left_behind(capfd):
    def census():
        return thread_count(), open_fds(), child_pids()

    before = census()
    for interval in (1000, 0, 1, 2**64 - 1, -1, 1.5):
        try:
            quillmere.get_metrics_once(interval)
        except (RuntimeError, OverflowError, TypeError):
            pass
        assert settled(census, before) == before, interval
    for _ in range(200):
        quillmere.get_metrics_once(1000)
    assert settled(census, before) == before
    assert capfd.readouterr().err == ZERO_PERIOD_DIAGNOSTIC


def test_calls_from_eight_threads_all_complete_and_leave_nothing_behind():
    results, errors = [], []

    def worker():
        try:
            for _ in range(100):
                results.append(quillmere.get_metrics_once(1000))
        except BaseException as error:  # noqa: BLE001 - any failure fails the test
            errors.append(error)

    def census():
        return thread_count(), open_fds(), child_pids()

    before = census()
    threads = [threading.Thread(target=worker) for _ in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert not errors
    assert len(results) == 800
    expected = [(k, t) for k, t in KEYS]
    assert all([(k, type(v)) for k, v in r.items()] == expected for r in results)
    # Each call made a dict of its own.
    assert len({id(r) for r in results}) == 800
    assert settled(census, before) == before


def test_zero_interval_reports_the_refused_period_on_stderr():
    done = run_python("""
        import quillmere
        try:
            quillmere.get_metrics_once(0)
        except RuntimeError as error:
            print(error)
    """)
    assert done.stdout.strip() == "failed to collect metrics"
    assert done.stderr == ZERO_PERIOD_DIAGNOSTIC


def test_second_initialisation_raises_import_error():
    done = run_python("""
        import sys, quillmere
        assert __import__("quillmere") is quillmere  # cached: no second init
        del sys.modules["quillmere"]
        try:
            import quillmere
        except ImportError as error:
            print(error)
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip().endswith("may only be initialized once per interpreter process")


def test_out_of_descriptors_raises_runtime_error_and_the_samplers_oserror_with_errno():
    done = run_python("""
        import errno, os, resource, quillmere, quillmere_sampler
        used = len(os.listdir("/proc/self/fd"))  # includes the listing's own fd
        soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
        resource.setrlimit(resource.RLIMIT_NOFILE, (used - 1, hard))
        try:
            quillmere.get_metrics_once(1000)
        except RuntimeError as error:
            print("RuntimeError:", error)
        try:
            quillmere_sampler.Sampler(1000)
        except OSError as error:
            print(error.errno == errno.EMFILE, error.strerror)
        resource.setrlimit(resource.RLIMIT_NOFILE, (soft, hard))
        print(len(quillmere.get_metrics_once(1000)))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == ["RuntimeError: Too many open files", "True Too many open files", "26"]


@needs_address_space_limit
def test_worker_thread_that_cannot_start_is_panic_exception_here_and_oserror_in_the_sampler():
    # With the address space capped just above what the process uses, the
    # worker thread's stack cannot be mapped: for get_metrics_once an internal
    # fault, raised as PanicException, which `except Exception` does not
    # catch; for the sampler OSError(EAGAIN), with no diagnostic.
    done = run_python("""
        import errno, resource, quillmere, quillmere_sampler
        def vm_size():
            with open("/proc/self/status") as f:
                return next(int(l.split()[1]) * 1024 for l in f if l.startswith("VmSize:"))
        soft, hard = resource.getrlimit(resource.RLIMIT_AS)
        resource.setrlimit(resource.RLIMIT_AS, (vm_size() + 4 * 1024 * 1024, hard))
        try:
            quillmere.get_metrics_once(1000)
        except Exception:
            print("caught as Exception")
        except BaseException as error:
            print(type(error).__name__, type(error).__mro__[1].__name__, error)
        try:
            quillmere_sampler.Sampler(1000)
        except OSError as error:
            print("OSError", error.errno == errno.EAGAIN, error.strerror)
        resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
        print(len(quillmere.get_metrics_once(1000)))
    """)
    assert done.returncode == 0, done.stderr
    assert done.stdout.splitlines() == [
        "PanicException BaseException could not start the worker thread: Resource temporarily unavailable",
        "OSError True Resource temporarily unavailable", "26"]
    assert done.stderr.count("internal fault in thread") == 1, done.stderr


def test_a_real_call_agrees_with_proc():
    def proc(path):
        with open(path) as f:
            return f.read()

    def f32(x):
        return struct.unpack("f", struct.pack("f", x))[0]

    for _ in range(5):  # the load averages may move between the two readings
        loadavg = proc("/proc/loadavg").split()
        d = quillmere.get_metrics_once(1000)
        if loadavg == proc("/proc/loadavg").split():
            break
    assert [d["load_avg_1"], d["load_avg_5"], d["load_avg_15"]] == [f32(float(v)) for v in loadavg[:3]]
    meminfo = {line.split(":")[0]: int(line.split()[1]) for line in proc("/proc/meminfo").splitlines()}
    assert d["mem_total_bytes"] == meminfo["MemTotal"] * 1024
    assert abs(d["uptime_seconds"] - float(proc("/proc/uptime").split()[0])) < 5
    ctxt = next(int(line.split()[1]) for line in proc("/proc/stat").splitlines() if line.startswith("ctxt "))
    assert 0 < d["context_switches_per_sec"] <= ctxt
