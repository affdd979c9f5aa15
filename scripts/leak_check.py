"""valgrind memcheck over many calls of the installed module.

Usage: python scripts/leak_check.py [CALLS]   (default 1000)

Runs the calls, plus each failing path once (refused period, bad
arguments), in a fresh interpreter under memcheck with the interpreter's own
allocator switched to plain malloc so that every block is visible. Fails
when any byte is definitely or indirectly lost, or when memcheck reports an
error whose stack passes through the module. The interpreter's own
uninitialised-value reports, which it is known for, are counted but not
held against the module.
"""

import os
import re
import shutil
import subprocess
import sys
import tempfile

DRIVER = """
import sys, quillmere
for _ in range({calls}):
    quillmere.get_metrics_once(1000)
for bad in (0, -1, 2**64, 1.5, "x"):
    try:
        quillmere.get_metrics_once(bad)
    except (RuntimeError, OverflowError, TypeError):
        pass
print("driver done", file=sys.stderr)
"""

MODULE_FRAME = re.compile(r"quillmere|/src/(lib|collector|sys_reader|runtime|os)/")


def error_records(log):
    """Each memcheck error record as its lines, leak records excluded."""
    records, current = [], []
    for line in log.splitlines():
        body = re.sub(r"^==\d+== ?", "", line)
        if body.strip() == "":
            if current:
                records.append(current)
            current = []
        else:
            current.append(body)
    if current:
        records.append(current)
    return [r for r in records if re.match(r"(Invalid|Conditional|Use of uninit|Syscall param|Mismatched|"
                                           r"Source and destination|Argument|Jump to)", r[0])]


def main():
    calls = int(sys.argv[1]) if len(sys.argv) > 1 else 1000
    if shutil.which("valgrind") is None:
        print("leak check: valgrind is not installed")
        return 1
    # The interpreter binary itself (a virtual environment's python is a
    # symbolic link to it); a shim script would be traced instead.
    python = sys.executable
    with tempfile.TemporaryDirectory() as tmp:
        log_path = os.path.join(tmp, "memcheck.log")
        env = dict(os.environ, PYTHONMALLOC="malloc")
        done = subprocess.run(
            ["valgrind", "--tool=memcheck", "--leak-check=full", "--show-leak-kinds=definite,indirect",
             "--num-callers=40", f"--log-file={log_path}", python, "-c", DRIVER.format(calls=calls)],
            env=env, capture_output=True, text=True)
        with open(log_path) as f:
            log = f.read()
    if done.returncode != 0 or "driver done" not in done.stderr:
        print(f"leak check: the driver failed (exit {done.returncode})\n{done.stderr}")
        return 1

    def lost(kind):
        found = re.search(rf"{kind} lost: ([\d,]+) bytes", log)
        return int(found.group(1).replace(",", "")) if found else 0

    definite, indirect = lost("definitely"), lost("indirectly")
    records = error_records(log)
    ours = [r for r in records if any(MODULE_FRAME.search(line) for line in r)]
    print(f"leak check: {calls} calls and 5 failing calls under memcheck")
    print(f"leak check: definitely lost {definite} bytes, indirectly lost {indirect} bytes")
    print(f"leak check: {len(records)} error records, {len(ours)} through the module")
    if definite or indirect or ours:
        for record in ours[:5]:
            print("\n".join(record))
        print(log[-4000:])
        print("leak check: FAILED")
        return 1
    print("leak check: passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
