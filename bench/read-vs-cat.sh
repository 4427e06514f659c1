#!/usr/bin/env bash
# `quarn read` of a wrapped 64 MiB log file against `cat` of the same file,
# both to /dev/null and from the page cache, side by side in one run: for
# each marker place, RUNS rounds of cat then read.  Prints the median time
# of each, the median of the per-round speed ratios (read speed / cat
# speed) with its range, and the reader's peak memory.
#   bench/read-vs-cat.sh [RUNS [PERCENT...]]    (default 7 runs; 20 15 50)
# BUILD names the build directory (default build-rel, a Release build);
# CMAKE_ARGS adds to its configuration, e.g. the link the ARM build uses.
set -euo pipefail
cd "$(dirname "$0")/.."
runs=${1:-7}
shift || true
places=("$@")
[ ${#places[@]} -gt 0 ] || places=(20 15 50)
build=${BUILD:-build-rel}

# shellcheck disable=SC2086
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release ${CMAKE_ARGS:-} >/dev/null
cmake --build "$build" --target quarn >/dev/null

work=$(mktemp -d "${TMPDIR:-/tmp}/quarn-read-bench-XXXXXX")
trap 'rm -rf "$work"' EXIT

python3 - "$build/quarn" "$work" "$runs" "${places[@]}" <<'PY'
import os, statistics, subprocess, sys, time

quarn, work, runs, places = sys.argv[1], sys.argv[2], int(sys.argv[3]), [int(p) for p in sys.argv[4:]]
SIZE = 64 << 20
MARK = b"\n+$end$+\n"

def text(n):
    """n bytes of lines laid out as the client library writes them."""
    out, i = [], 0
    total = 0
    while total < n:
        line = b"[2024-05-01 %02d:%02d:%02d][INFO][bench]record %09d of the read benchmark, some payload text\n" % (
            i // 3600 % 24, i // 60 % 60, i % 60, i)
        out.append(line)
        total += len(line)
        i += 1
    return b"".join(out)[-n:]

def wrapped(percent):
    """A full ring with its marker percent of the way into the file."""
    body = text(SIZE - len(MARK))
    mark = SIZE * percent // 100
    # newest text before the marker, oldest behind it
    return body[len(body) - mark:] + MARK + body[:len(body) - mark]

def timed(argv):
    start = time.perf_counter()
    subprocess.run(argv, stdout=subprocess.DEVNULL, check=True)
    return time.perf_counter() - start

def peak_mib(argv):
    """Peak RSS of argv, by /usr/bin/time: a small parent, so nothing of
    this script's memory is counted."""
    out = subprocess.run(["/usr/bin/time", "-f", "%M"] + argv, stdout=subprocess.DEVNULL,
                         stderr=subprocess.PIPE, text=True, check=True).stderr
    return int(out.split()[-1]) / 1024

cat = subprocess.run(["sh", "-c", "command -v cat"], capture_output=True, text=True).stdout.strip()
for percent in places:
    d = os.path.join(work, f"m{percent}")
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, "quarn.app"), "wb") as f:
        f.write(wrapped(percent))
    path = os.path.join(d, "quarn.app")
    timed([cat, path]), timed([quarn, "read", "--no-color", d])  # warm the page cache
    cats, reads, ratios = [], [], []
    for _ in range(runs):
        c = timed([cat, path])
        r = timed([quarn, "read", "--no-color", d])
        cats.append(c), reads.append(r), ratios.append(c / r)
    med = statistics.median
    print(f"marker at {percent:2d} %: cat {med(cats) * 1e3:6.1f} ms, quarn read {med(reads) * 1e3:6.1f} ms, "
          f"read/cat speed {med(ratios):.2f} [{min(ratios):.2f}..{max(ratios):.2f}] ({runs} runs)")
    if os.path.exists("/usr/bin/time"):
        plain = peak_mib([quarn, "read", "--no-color", d])
        lines = peak_mib([quarn, "read", "--no-color", "-p", "info", "-n", "1000000", "-k", "all", d])
        print(f"    peak RSS: plain read {plain:.1f} MiB, filtered last 1000000 lines {lines:.1f} MiB")
PY
