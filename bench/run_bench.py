#!/usr/bin/env python3
"""Benchmark of dem_varnel: complete dialogue sessions on large synthetic DEMs.

Generates the inputs once with make_terrain, runs the program on piped answers and
reports wall time, peak resident memory against the memory target, the most threads
it ran, the time up to the size report (when it reaches the pipe), with --phases the time
of each phase and stage of the sweep from one more run of a build that prints them,
whether its peak memory stays the same from few to many lines, and, when GDAL's
tools are installed, the same resampling by gdalwarp -r average on one thread and on
all, and by gdal_translate -r average, beside the floor: reading the input and writing
as many bytes as our output, flushed to the device. Standard library only; one process
runs at a time.
"""

import argparse
import array
import datetime
import hashlib
import json
import os
import re
import resource
import select
import shlex
import shutil
import statistics
import subprocess
import sys
import time
from fractions import Fraction

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
FOLDER = "bench"  # the folder answered to the dialogue, under DEM_VARNEL_ROOT
MIB = 1 << 20

# Memory target: 16 bytes per input cell + 16 bytes per output cell + 64 MB.
TARGET_PER_CELL = 16
TARGET_FIXED = 64 * MIB

# Bounded memory: the same width at few and at many lines, in each pair of formats, must
# peak within this of each other.
MEMORY_WIDTH = 1500
MEMORY_SPREAD = 8 * MIB

GB = 10 ** 9
# Bytes per value, generous: make_terrain writes "%.2f " (at most 8 bytes for its
# elevations), our writer "%lf" and a tab (12 bytes from 1000 m to 9999 m).
ASCII_IN_BYTES, ASCII_OUT_BYTES = 8, 14

# Inputs, made by make_terrain: raw cells in decimetres (unit 1), pixel 10. A name gives
# the kind (t raw 16-bit, a ASCII grid) and the size: t8000 is 8000 x 8000, a1500x300
# is 1500 columns by 300 lines.
INPUTS = {}
PREFIX = {"raw16": "t", "ascii": "a"}
FORMAT_TEXT = {"raw16": "raw 16-bit", "ascii": "ASCII grid"}


def input_name(kind, lines, columns):
    return PREFIX[kind] + (str(lines) if lines == columns else f"{columns}x{lines}")


def terrain(kind, lines, columns):
    """Registers an input of this kind and size; returns its name."""
    name = input_name(kind, lines, columns)
    INPUTS[name] = dict(lines=lines, columns=columns, kind=kind, unit=1, pixel=10)
    return name


def memory_case(kind_in, lines, kind_out):
    return dict(input=terrain(kind_in, lines, MEMORY_WIDTH), pin=10, pout=5, out=kind_out,
                target=None, peers=False, pair=f"{kind_in} -> {kind_out}",
                what=f"{MEMORY_WIDTH} columns x {lines} lines {FORMAT_TEXT[kind_in]}, "
                     f"10 -> 5 (ratio 2), {FORMAT_TEXT[kind_out]} out")


# target: the highest acceptable ratio of our median time to gdalwarp's, or None.
# peers: whether the GIS tools and the floor are timed beside ours.
CASES = {
    "A": dict(input=terrain("raw16", 8000, 8000), pin=10, pout=5, out="raw16", target=0.35,
              peers=True,
              what="8000 x 8000 raw 16-bit, 10 -> 5 (ratio 2, enlargement), raw 16-bit out"),
    "B": dict(input=terrain("raw16", 8000, 8000), pin=10, pout=20, out="raw16", target=0.5,
              peers=True,
              what="8000 x 8000 raw 16-bit, 10 -> 20 (ratio 0.5, reduction), raw 16-bit out"),
    "C": dict(input=terrain("raw16", 8000, 8000), pin=10, pout=100, out="raw16", target=None,
              peers=True,
              what="8000 x 8000 raw 16-bit, 10 -> 100 (ratio 0.1, reduction), raw 16-bit out"),
    "D": dict(input=terrain("ascii", 2000, 2000), pin=10, pout=5, out="ascii", target=0.25,
              peers=True,
              what="2000 x 2000 ASCII grid, 10 -> 5 (ratio 2, enlargement), ASCII out"),
    # bounded memory, by pairs of formats: few lines, then many
    "E": memory_case("raw16", 300, "raw16"),
    "F": memory_case("raw16", 6000, "raw16"),
    "G": memory_case("raw16", 300, "ascii"),
    "H": memory_case("raw16", 6000, "ascii"),
    "I": memory_case("ascii", 300, "raw16"),
    "J": memory_case("ascii", 6000, "raw16"),
    "K": memory_case("ascii", 300, "ascii"),
    "L": memory_case("ascii", 6000, "ascii"),
    # beyond memory: only when named; they need about 30 GB of free disk
    "M": dict(input=terrain("raw16", 50000, 50000), pin=10, pout=5, out="raw16", target=None,
              peers=False,
              what="50000 x 50000 raw 16-bit, 10 -> 5 (ratio 2), raw 16-bit out (20 GB written)"),
    "N": dict(input=terrain("ascii", 20000, 20000), pin=10, pout=20, out="ascii", target=None,
              peers=False,
              what="20000 x 20000 ASCII grid, 10 -> 20 (ratio 0.5), ASCII out"),
}
DEFAULT_CASES = "ABCDEFGHIJKL"
MEMORY_CASES = "EFGHIJKL"


def rescale(factor):
    """Shrinks (or grows) every input side by factor, under new input names."""
    renamed = {}
    for name, source in list(INPUTS.items()):
        lines = max(1, round(source["lines"] * factor))
        columns = max(1, round(source["columns"] * factor))
        new = input_name(source["kind"], lines, columns)
        INPUTS[new] = dict(source, lines=lines, columns=columns)
        renamed[name] = new
    for case in CASES.values():
        case["input"] = renamed[case["input"]]
        case["what"] += f" (scaled by {factor})"


class BenchError(Exception):
    pass


def log(msg=""):
    print(msg, flush=True)


# ---------------------------------------------------------------- inputs

def input_paths(work, name):
    source = INPUTS[name]
    stem = os.path.join(work, "images", FOLDER, name)
    if source["kind"] == "ascii":
        return dict(data=stem + ".asc", stem=stem)
    return dict(data=stem + "_m2.raw", descriptor=stem + "_m2.txt", stem=stem)


def input_present(work, name):
    source, paths = INPUTS[name], input_paths(work, name)
    if source["kind"] == "ascii":
        return os.path.isfile(paths["data"]) and os.path.getsize(paths["data"]) > 0
    return (os.path.isfile(paths["descriptor"]) and os.path.isfile(paths["data"])
            and os.path.getsize(paths["data"]) == source["lines"] * source["columns"] * 2)


def input_bytes(name):
    """The size of an input's data file (for an ASCII grid, an upper bound)."""
    source = INPUTS[name]
    per_cell = ASCII_IN_BYTES if source["kind"] == "ascii" else 2
    return source["lines"] * source["columns"] * per_cell + 4096


def make_input(build, work, name):
    """Generates an input under a temporary stem and renames it into place, so that an
    interrupted generation is never taken for an input."""
    source, paths = INPUTS[name], input_paths(work, name)
    if input_present(work, name):
        log(f"  {name}: present, reused ({paths['data']})")
        return
    part = paths["stem"] + ".part"
    cmd = [os.path.join(build, "make_terrain"), str(source["lines"]), str(source["columns"]),
           source["kind"], part, "--unit", str(source["unit"]), "--pixel", str(source["pixel"])]
    log("  " + " ".join(cmd))
    t0 = time.perf_counter()
    subprocess.run(cmd, check=True)
    # the descriptor first: the raster's size is what says a raw input is complete
    for key in ("descriptor", "data"):
        if key in paths:
            os.replace(part + paths[key][len(paths["stem"]):], paths[key])
    log(f"  {name}: generated in {time.perf_counter() - t0:.1f} s")
    if not input_present(work, name):
        raise BenchError(f"make_terrain did not produce {paths['data']} of the expected size")


def sanity(work, name):
    """Checks the terrain is plausible and returns its range in metres. Reads line by
    line: this process must stay small, since a child's peak RSS as the kernel reports
    it can include its parent's (see run_measured)."""
    source, paths = INPUTS[name], input_paths(work, name)
    L, C = source["lines"], source["columns"]
    lo = hi = None
    step = 0.0       # largest difference between neighbours, along lines and across
    floor_cells = 0  # cells within 0.5 m of the lowest, on every tenth line
    previous = None

    def take(i, row):
        nonlocal lo, hi, step, previous
        lo = min(row) if lo is None else min(lo, min(row))
        hi = max(row) if hi is None else max(hi, max(row))
        if i in (L // 3, L // 2, 2 * L // 3):
            step = max(step, max(abs(a - b) for a, b in zip(row, row[1:])))
            if previous is not None:
                step = max(step, max(abs(a - b) for a, b in zip(row, previous)))
        previous = row if i + 1 in (L // 3, L // 2, 2 * L // 3) else None

    rows_kept = []
    if source["kind"] == "ascii":
        with open(paths["data"]) as f:
            header = {}
            for _ in range(6):
                label, value = f.readline().split()
                header[label.lower()] = value
            if int(header["ncols"]) != C or int(header["nrows"]) != L:
                raise BenchError(f"{paths['data']}: header says {header}")
            for i in range(L):
                row = [float(w) for w in f.readline().split()]
                if len(row) != C:
                    raise BenchError(f"{paths['data']}: line {i} holds {len(row)} values")
                take(i, row)
                if i % 10 == 0:
                    rows_kept.append(row)
            if f.read(4096).split():
                raise BenchError(f"{paths['data']}: values beyond {L} lines")
        info = f"header {header['ncols']} x {header['nrows']}, cellsize {header['cellsize']}"
        coef = 1
    else:
        with open(paths["descriptor"]) as f:
            d = [int(x) for x in f.read().split()]
        if d[:3] != [L, C, 2]:
            raise BenchError(f"{paths['descriptor']}: {d}")
        with open(paths["data"], "rb") as f:
            for i in range(L):
                row = array.array("H")
                row.fromfile(f, C)
                if sys.byteorder != "little":
                    row.byteswap()
                take(i, row)
                if i % 10 == 0:
                    rows_kept.append(row)
        if (lo, hi) != (d[3], d[4]):
            raise BenchError(f"{name}: cells span {lo}..{hi}, descriptor says {d[3]}..{d[4]}")
        if hi >= 65535:
            raise BenchError(f"{name}: cells saturate 16 bits")
        coef = 10 ** source["unit"]
        info = f"descriptor {d}"
    for row in rows_kept:
        floor_cells += sum(1 for v in row if v <= lo + 0.5 * coef)
    floor_share = floor_cells / (len(rows_kept) * C)
    lo, hi, step = lo / coef, hi / coef, step / coef
    if not (0 <= lo < hi <= 9000) or hi - lo < 100:
        raise BenchError(f"{name}: implausible range {lo}..{hi} m")
    if step > max(50.0, 10000.0 / min(L, C)):
        raise BenchError(f"{name}: a step of {step} m between neighbours is not smooth terrain")
    log(f"  {name}: {info}; {lo:.1f} .. {hi:.1f} m; largest step between neighbours "
        f"{step:.2f} m; {100 * floor_share:.1f} % of cells within 0.5 m of the lowest")
    return dict(min_m=lo, max_m=hi, max_step_m=step, floor_share=floor_share)


def input_stamp(work, name):
    """Size and modification time of each file of an input, to know it is unchanged."""
    paths = input_paths(work, name)
    files = [paths[key] for key in ("data", "descriptor") if key in paths]
    return [[path, os.stat(path).st_size, os.stat(path).st_mtime_ns] for path in files]


def checked(work, name):
    """sanity(), its verdict kept beside the input while the input is unchanged: reading
    a raster of billions of cells again would take minutes."""
    record = input_paths(work, name)["stem"] + ".checked.json"
    stamp = input_stamp(work, name)
    try:
        with open(record) as f:
            kept = json.load(f)
        if kept["stamp"] == stamp:
            t = kept["terrain"]
            log(f"  {name}: checked before and unchanged; {t['min_m']:.1f} .. {t['max_m']:.1f} m")
            return t
    except (OSError, ValueError, KeyError, TypeError):
        pass
    result = sanity(work, name)
    with open(record, "w") as f:
        json.dump(dict(stamp=stamp, terrain=result), f)
    return result


def disk_check(work, keys, peer_count, keep):
    """Refuses to start when the work directory cannot hold the inputs still to be made
    and the outputs, with a margin of 5 % and 1 GiB. Outputs are deleted after each run,
    so one is there at a time, unless --keep leaves the last of every case and tool."""
    missing = sum(input_bytes(n) for n in {CASES[k]["input"] for k in keys}
                  if not input_present(work, n))
    outputs = [output_bytes(CASES[k]) * (1 + (peer_count if CASES[k]["peers"] else 0))
               if keep else output_bytes(CASES[k]) for k in keys]
    need = missing + (sum(outputs) if keep else max(outputs))
    margin = need // 20 + 1024 * MIB
    free = shutil.disk_usage(work).free
    if free < need + margin:
        raise BenchError(
            f"not enough free disk in {work}: {free / GB:.1f} GB free, cases {''.join(keys)} need "
            f"{need / GB:.1f} GB (inputs still to make {missing / GB:.1f} GB, outputs "
            f"{(need - missing) / GB:.1f} GB) and a margin of {margin / GB:.1f} GB; free some "
            f"space or choose another --work")
    log(f"Disk: {free / GB:.1f} GB free in {work}, {need / GB:.2f} GB needed")


def warm(path):
    """Reads a file once so that every timed run starts from the page cache."""
    with open(path, "rb") as f:
        while f.read(MIB):
            pass


# ---------------------------------------------------------------- running

TIME = "/usr/bin/time"
SAMPLE_EVERY = 0.005  # seconds between two readings of the thread count


def status_field(pid, field):
    """A field of /proc/<pid>/status, or None when the process is gone."""
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith(field + ":"):
                    return line.split(":", 1)[1].strip()
    except OSError:
        pass
    return None


def children(pid):
    try:
        with open(f"/proc/{pid}/task/{pid}/children") as f:
            return [int(w) for w in f.read().split()]
    except OSError:  # a kernel without that file: look for pid among the parents
        return [int(e) for e in os.listdir("/proc")
                if e.isdigit() and status_field(int(e), "PPid") == str(pid)]


def find_process(pid, name):
    """pid, or its child, whose name is name (/usr/bin/time runs the command as its
    child); None before the child has run exec."""
    for candidate in [pid] + children(pid):
        if status_field(candidate, "Name") == name:
            return candidate
    return None


def run_measured(cmd, env, stdin_text=None, stdout_path=None, timeout=None, watch=None):
    """Runs cmd to its end; returns wall and CPU time, peak RSS (bytes), status, stdout
    (bytes) with the arrival time of each chunk, and stderr (bytes). With watch, the
    name of cmd's program, also the most threads it was seen running (None when it ended
    before the first look).

    The peak RSS comes from /usr/bin/time -f %M when it is there. Without it, it is
    os.wait4's ru_maxrss, which Linux carries over exec from the image the child was
    forked from: it is then never below this script's own peak, printed as the floor."""
    stderr_path = stdout_path + ".err"
    rss_path = stdout_path + ".rss"
    timed = os.access(TIME, os.X_OK)
    full = [TIME, "-f", "%M %U %S", "-o", rss_path] + cmd if timed else cmd
    with open(stderr_path, "wb") as err:
        t0 = time.perf_counter()
        p = subprocess.Popen(full, env=env, stdin=subprocess.PIPE if stdin_text is not None
                             else subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=err)
        if stdin_text is not None:
            p.stdin.write(stdin_text.encode())  # a few bytes: fits the pipe at once
            p.stdin.close()
        out, arrivals = bytearray(), []
        fd = p.stdout.fileno()
        threads, watched, next_look = None, None, 0.0
        while True:
            now = time.perf_counter() - t0
            if watch and now >= next_look:
                watched = watched or find_process(p.pid, watch)
                seen = status_field(watched, "Threads") if watched else None
                if seen:
                    threads = max(threads or 0, int(seen))
                next_look = now + SAMPLE_EVERY
            left = None if timeout is None else timeout - now
            if left is not None and left <= 0:
                p.kill()
                p.wait()
                raise BenchError(f"timed out after {timeout} s: {' '.join(cmd)}")
            waits = [w for w in (left, SAMPLE_EVERY if watch else None) if w is not None]
            if waits and not select.select([fd], [], [], min(waits))[0]:
                continue
            chunk = os.read(fd, 65536)
            if not chunk:
                break
            out += chunk
            arrivals.append((len(out), time.perf_counter() - t0))
        _, status, usage = os.wait4(p.pid, 0)
        wall = time.perf_counter() - t0
        p.returncode = os.waitstatus_to_exitcode(status)
        p.stdout.close()
    with open(stdout_path, "wb") as f:
        f.write(out)
    with open(stderr_path, "rb") as f:
        err_text = f.read()
    if timed:
        with open(rss_path) as f:
            words = f.read().split()  # "Command exited with non-zero status N" comes first
        try:
            rss, cpu = int(words[-3]) * 1024, float(words[-2]) + float(words[-1])
        except (IndexError, ValueError):
            rss, cpu = 0, 0.0
    else:
        rss, cpu = usage.ru_maxrss * 1024, usage.ru_utime + usage.ru_stime
    return dict(wall=wall, cpu=cpu, rss=rss, rc=p.returncode, out=bytes(out),
                arrivals=arrivals, err=err_text, threads=threads)


def rss_floor():
    """What a child's peak RSS may include of this script when /usr/bin/time is missing."""
    if os.access(TIME, os.X_OK):
        return 0
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def arrival(run, marker):
    """The time at which marker (bytes) was on the pipe, or None."""
    pos = run["out"].find(marker)
    if pos < 0:
        return None
    for offset, t in run["arrivals"]:
        if offset >= pos + len(marker):
            return t
    return None


def read_time(run):
    """From the start to the size report of the input: the reader's pass over the whole
    input is over when it is printed, while everything after it overlaps in the sweep's
    threads, so this is the one announcement that still marks the end of a phase."""
    return arrival(run, b"THE ORIGINAL DEM HAS")


# What a build with -DDEM_VARNEL_PHASE_TIMES=ON prints on stderr, one line per phase or
# stage; the timed runs use a build without it, whose stderr must stay empty.
TIME_LINE = re.compile(rb"dem_varnel: time (\S+) (\d+(?:\.\d*)?) s")
# In the order of the phase table. Not every run prints all: "reading" comes from the
# raster reader only (an ASCII grid's pass is not timed), "sink" only from a writer thread.
PHASES = ["reading", "treatment", "kernel", "filling", "smoothing", "sink", "save"]
NEEDED_PHASES = ["treatment", "kernel", "filling", "smoothing", "save"]


def phase_times(err):
    """The phase and stage times in stderr (a stage printed twice counts twice), and
    stderr without those lines."""
    times, rest = {}, []
    for line in err.splitlines():
        m = TIME_LINE.fullmatch(line.strip())
        if m:
            name = m.group(1).decode()
            times[name] = times.get(name, 0.0) + float(m.group(2))
        else:
            rest.append(line)
    return times, b"\n".join(rest)


def announced_size(out):
    text = out.decode(errors="replace")
    key = "The resulting image will have : "
    pos = text.find(key)
    if pos < 0:
        return None
    words = text[pos + len(key):].split()
    try:
        return int(words[0]), int(words[3])  # "%d lines and %d columns"
    except (IndexError, ValueError):
        return None


def expected_size(case):
    source = INPUTS[case["input"]]
    # ratio as the program stores it (a double), the product truncated toward zero
    ratio = Fraction(float(Fraction(case["pin"], case["pout"])))
    return int(source["lines"] * ratio), int(source["columns"] * ratio)


def answers(case):
    """The whole dialogue: folder and name; the input's format (a raster: 16 bits and its
    unit); the generic name; the output's format (a raster: 16 bits); the pixel sizes; and
    for an ASCII output of a raster, the corner asked after the computation."""
    source = INPUTS[case["input"]]
    text = f"{FOLDER}\n{case['input']}\n"
    text += f"1\n0\n{source['unit']}\n" if source["kind"] == "raw16" else "0\n"
    text += "0\n"
    text += "1\n0\n" if case["out"] == "raw16" else "0\n"
    text += f"{case['pin']}\n{case['pout']}\n"
    if source["kind"] == "raw16" and case["out"] == "ascii":
        text += "1000\n2000\n"
    return text


def output_bytes(case):
    """Bytes our run puts on the disk at most (for an ASCII output, an upper bound; for
    one made from a raster, its values wait in a file of their own until the corner is
    known, then are copied after the header)."""
    lines, columns = expected_size(case)
    if case["out"] == "raw16":
        return lines * columns * 2 + 4096
    copies = 2 if INPUTS[case["input"]]["kind"] == "raw16" else 1
    return lines * columns * ASCII_OUT_BYTES * copies + 4096


def our_outputs(work, case):
    stem = os.path.join(work, "images", FOLDER, case["input"])
    if case["out"] == "ascii":
        return [stem + "_varnel.asc"]
    return [stem + "_varnel_m2.raw", stem + "_varnel_m2.txt"]


def count_ascii(path):
    """The header of an ASCII grid (its leading label-value pairs) and the number of
    values after it, counted block by block."""
    header, words_total, tail = {}, 0, b" "
    with open(path, "rb") as f:
        head = f.read(4096).split()
        k = 0
        while k + 1 < len(head) and head[k][:1].isalpha():
            header[head[k].decode().lower()] = head[k + 1].decode()
            k += 2
        f.seek(0)
        while True:
            block = f.read(MIB)
            if not block:
                break
            words = len(block.split())
            # a word cut by the block edge was counted in both blocks
            if not tail.isspace() and not block[:1].isspace():
                words -= 1
            words_total += words
            tail = block[-1:]
    return header, words_total - 2 * len(header)


# The line a completed run ends with on stderr, saying what it wrote.
SUMMARY_LINE = re.compile(rb"dem_varnel: wrote .*")


def check_ours(work, case, run, err=None):
    """Our run's status, stderr (or err, what is left of it when the phase times are
    expected there) but for its summary line, announced size and output files."""
    problems = []
    err = run["err"] if err is None else err
    err = b"\n".join(l for l in err.splitlines() if not SUMMARY_LINE.fullmatch(l.strip()))
    if run["rc"] != 0:
        problems.append(f"exit status {run['rc']}")
    if err.strip():
        problems.append("stderr: " + err.decode(errors="replace").strip()[:300])
    want = expected_size(case)
    got = announced_size(run["out"])
    if got is None:
        problems.append("no size announcement on stdout")
        got = want
    elif got != want:
        problems.append(f"announced {got[0]} x {got[1]}, expected {want[0]} x {want[1]}")
    lines, columns = got
    files = our_outputs(work, case)
    for path in files:
        if not os.path.isfile(path):
            problems.append(f"missing {path}")
    if problems:
        return (lines, columns), problems
    if case["out"] == "raw16":
        size = os.path.getsize(files[0])
        if size != lines * columns * 2:
            problems.append(f"{files[0]} has {size} bytes, expected {lines * columns * 2}")
        with open(files[1]) as f:
            d = f.read().split()
        if [int(x) for x in d[:3]] != [lines, columns, 2] or int(d[5]) != int(case["pout"]):
            problems.append(f"{files[1]} holds {d}")
    else:
        header, count = count_ascii(files[0])
        if (int(header.get("ncols", -1)), int(header.get("nrows", -1))) != (columns, lines):
            problems.append(f"{files[0]} header {header}")
        if count != lines * columns:
            problems.append(f"{files[0]} holds {count} values, expected {lines * columns}")
    return (lines, columns), problems


def remove(paths):
    for p in paths:
        if os.path.isdir(p):
            shutil.rmtree(p)
        elif os.path.exists(p):
            os.remove(p)


# ---------------------------------------------------------------- peers and the floor

# The GIS tools timed beside ours: the program, the suffix of its output's and logs'
# names, and its threads (GDAL_NUM_THREADS, and the warper's NUM_THREADS).
PEERS = {
    "gdalwarp": dict(tool="gdalwarp", suffix="", threads="1"),
    "gdal_translate": dict(tool="gdal_translate", suffix="-translate", threads="1"),
    "gdalwarp -multi": dict(tool="gdalwarp", suffix="-multi", threads="ALL_CPUS"),
}

def vrt_for_raw(work, name):
    """A VRT describing the raw input, georeferenced with its pixel size."""
    source, paths = INPUTS[name], input_paths(work, name)
    L, C, P = source["lines"], source["columns"], source["pixel"]
    path = os.path.join(work, "gdal", name + ".vrt")
    text = (f'<VRTDataset rasterXSize="{C}" rasterYSize="{L}">\n'
            f'  <GeoTransform>0, {P}, 0, {L * P}, 0, {-P}</GeoTransform>\n'
            f'  <VRTRasterBand dataType="UInt16" band="1" subClass="VRTRawRasterBand">\n'
            f'    <SourceFilename relativeToVRT="0">{paths["data"]}</SourceFilename>\n'
            f'    <ImageOffset>0</ImageOffset>\n'
            f'    <PixelOffset>2</PixelOffset>\n'
            f'    <LineOffset>{2 * C}</LineOffset>\n'
            f'    <ByteOrder>LSB</ByteOrder>\n'
            f'  </VRTRasterBand>\n'
            f'</VRTDataset>\n')
    with open(path, "w") as f:
        f.write(text)
    return path


def peer_command(peer, tool, work, key, case, size, cachemax, warpmem):
    """The command line of a peer doing our resampling, and its output."""
    lines, columns = size
    source, threads = INPUTS[case["input"]], PEERS[peer]["threads"]
    stem = os.path.join(work, "gdal", f"case{key}{PEERS[peer]['suffix']}")
    if source["kind"] == "ascii":
        src, out = input_paths(work, case["input"])["data"], stem + ".asc"
        # read as doubles, as we do (the driver would pick Float32 for these values)
        fmt = ["--config", "AAIGRID_DATATYPE", "Float64", "-of", "AAIGrid",
               "-co", "DECIMAL_PRECISION=6", "-ot", "Float64"]
    else:
        src, out = vrt_for_raw(work, case["input"]), stem + ".envi"
        fmt = ["-of", "ENVI", "-ot", "UInt16"]
    cache = ["--config", "GDAL_CACHEMAX", str(cachemax)]
    if peer == "gdal_translate":
        return ([tool, "-q"] + cache + ["-r", "average"] + fmt +
                ["-outsize", str(columns), str(lines), src, out]), out
    multi = ["-multi"] if peer == "gdalwarp -multi" else []
    return ([tool, "-q", "-overwrite"] + cache + ["-wm", str(warpmem)] + multi +
            ["-wo", f"NUM_THREADS={threads}", "-r", "average"] + fmt +
            ["-ts", str(columns), str(lines), src, out]), out


def gdal_outputs(out):
    stem = os.path.splitext(out)[0]
    return [out, out + ".aux.xml", stem + ".hdr", stem + ".prj", out + ".hdr"]


def run_peer(peer, tool, work, key, case, size, rep, args):
    """One run of a peer, its output checked and then removed (unless kept); returns
    the run and the command line with its environment."""
    cmd, out = peer_command(peer, tool, work, key, case, size, args.gdal_cachemax, args.gdal_wm)
    threads = PEERS[peer]["threads"]
    remove(gdal_outputs(out))
    log_path = os.path.join(work, "logs", f"{key}{rep + 1}.{peer.replace(' -', '-')}.out")
    run = run_measured(cmd, dict(os.environ, GDAL_NUM_THREADS=threads), None, log_path,
                       args.timeout)
    problems = check_gdal(case, size, out, run)
    if problems:
        raise BenchError(f"case {key} {peer} run {rep + 1}: " + "; ".join(problems))
    if not args.keep or rep + 1 < args.reps:
        remove(gdal_outputs(out))
    return run, f"GDAL_NUM_THREADS={threads} " + " ".join(cmd)


def run_floor(work, key, case, rep, out_bytes, timeout):
    """What any program must spend on this job: reading the input and writing as many
    bytes as our output, flushed to the device (as our writers flush theirs), timed as
    one step. Returns the run and its command."""
    src = input_paths(work, case["input"])["data"]
    dst = os.path.join(work, "images", FOLDER, "floor.tmp")
    # count_bytes: exactly our output's size, which for case C is well below one block
    script = (f"dd if={shlex.quote(src)} of=/dev/null bs=4M status=none && "
              f"dd if=/dev/zero of={shlex.quote(dst)} bs=4M count={out_bytes} iflag=count_bytes "
              f"conv=fsync status=none")
    try:
        run = run_measured(["sh", "-c", script], os.environ, None,
                           os.path.join(work, "logs", f"{key}{rep + 1}.floor.out"), timeout)
    finally:
        remove([dst])
    if run["rc"] != 0:
        raise BenchError(f"case {key} floor run {rep + 1}: exit status {run['rc']}: "
                         + run["err"].decode(errors="replace")[:300])
    return run, script


def check_gdal(case, size, out, run):
    problems = []
    if run["rc"] != 0:
        problems.append(f"exit status {run['rc']}: " + run["err"].decode(errors="replace")[:300])
        return problems
    lines, columns = size
    if not os.path.isfile(out):
        return [f"missing {out}"]
    if case["out"] == "raw16":
        if os.path.getsize(out) != lines * columns * 2:
            problems.append(f"{out} has {os.path.getsize(out)} bytes")
    else:
        header, count = count_ascii(out)
        if (int(header.get("ncols", -1)), int(header.get("nrows", -1))) != (columns, lines):
            problems.append(f"{out} header {header}")
        if count != lines * columns:
            problems.append(f"{out} holds {count} values, expected {lines * columns}")
    return problems


def git(*words):
    return subprocess.run(["git", "-C", REPO, *words], capture_output=True, text=True,
                          check=True).stdout.strip()


def described_build():
    """The commit the repository stands at, and whether tracked files differ from it:
    the build directory holds whatever the working tree was when it was built."""
    try:
        return git("rev-parse", "--short", "HEAD"), git("status", "--porcelain",
                                                        "--untracked-files=no")
    except (OSError, subprocess.CalledProcessError):
        return "unknown", ""


PHASE_OPTION = "-DDEM_VARNEL_PHASE_TIMES=ON"


def cmake_build(src, build, options, target=None):
    subprocess.run(["cmake", "-S", src, "-B", build, "-DDEM_VARNEL_TESTS=OFF", *options],
                   check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["cmake", "--build", build, "-j2"] + (["--target", target] if target else []),
                   check=True, stdout=subprocess.DEVNULL)


def build_commit(work, rev, phases=False):
    """Exports rev with git archive and builds it (with phases, the program alone, with
    the phase times, from the same export); returns the build directory."""
    src = os.path.join(work, f"src-{rev}")
    build = os.path.join(work, f"build-{rev}" + ("-phases" if phases else ""))
    if not os.access(os.path.join(build, "dem_varnel"), os.X_OK):
        remove([src])
        os.makedirs(src)
        archive = subprocess.run(["git", "-C", REPO, "archive", rev], capture_output=True,
                                 check=True).stdout
        subprocess.run(["tar", "-x", "-C", src], input=archive, check=True)
        log(f"Building {rev} in {build}" + (" with the phase times" if phases else ""))
        cmake_build(src, build, ["-DCMAKE_BUILD_TYPE=Release"] + ([PHASE_OPTION] if phases else []),
                    "dem_varnel" if phases else None)
    return build


def cache_entry(build, name):
    """A value of build's CMakeCache.txt, or None."""
    try:
        with open(os.path.join(build, "CMakeCache.txt")) as f:
            for line in f:
                if line.startswith(name + ":"):
                    return line.split("=", 1)[1].strip()
    except OSError:
        pass
    return None


def build_phases_beside(work, build):
    """Configures (once) and brings up to date a build of the program with the phase
    times from the sources and of the build type of build; returns its directory. It
    builds the source tree as it is now: build must be up to date for the two to match."""
    src = cache_entry(build, "CMAKE_HOME_DIRECTORY")
    if not src:
        raise BenchError(f"{build} has no CMakeCache.txt naming its sources: build the program "
                         f"with {PHASE_OPTION} yourself and give it with --phase-build")
    kind = cache_entry(build, "CMAKE_BUILD_TYPE") or "Release"
    tag = hashlib.sha1(f"{src} {kind}".encode()).hexdigest()[:8]
    phase_build = os.path.join(work, f"build-phases-{tag}")
    log(f"Building {src} ({kind}) with the phase times in {phase_build}")
    cmake_build(src, phase_build, [f"-DCMAKE_BUILD_TYPE={kind}", PHASE_OPTION], "dem_varnel")
    return phase_build


# ---------------------------------------------------------------- report

def fmt_s(x):
    return "-" if x is None else f"{x:.2f}"


def fmt_ratio(x):
    return "-" if x is None else f"{x:.2f}"


def markdown(results):
    """Two tables: time against gdalwarp, memory against its target."""
    time_rows = ["| Case | Output (lines x columns) | Ours median (s) | Ours runs (s) | Threads | "
                 "gdalwarp median (s) | gdalwarp runs (s) | Ours/gdal | Target | Met | "
                 "CPU ours/gdal |",
                 "|---|---|---|---|---|---|---|---|---|---|---|"]
    mem_rows = ["| Case | Input + output cells | Ours peak RSS (MiB) | B/cell | Target (MiB) | Met | " +
                " | ".join(f"{peer} peak RSS (MiB)" for peer in PEERS) + " |",
                "|---|---|---|---|---|---|" + "---|" * len(PEERS)]
    for r in results:
        g, ratio, target = r["peers"].get("gdalwarp"), r.get("ratio"), r["time_target"]
        runs = lambda ts: " / ".join(f"{t:.2f}" for t in ts)
        time_rows.append("| {} | {} x {} | {} | {} | {} | {} | {} | {} | {} | {} | {} |".format(
            r["case"], r["size"][0], r["size"][1], fmt_s(r["median"]), runs(r["times"]),
            r["threads_max"] or "-",
            fmt_s(g["median"]) if g else "-", runs(g["times"]) if g else "-", fmt_ratio(ratio),
            f"<= {target}" if target is not None else "none",
            "-" if ratio is None or target is None else ("yes" if ratio <= target else "**no**"),
            fmt_ratio(r.get("cpu_ratio"))))
        peer_rss = [f"{r['peers'][peer]['rss_max'] / MIB:.0f}" if peer in r["peers"] else "-"
                    for peer in PEERS]
        mem_rows.append("| {} | {} + {} | {:.0f} | {:.1f} | {:.0f} | {} | {} |".format(
            r["case"], r["cells_in"], r["cells_out"], r["rss_max"] / MIB, r["bytes_per_cell"],
            r["memory_target"] / MIB, "yes" if r["memory_met"] else "**no**",
            " | ".join(peer_rss)))
    return "\n".join(time_rows) + "\n\n" + "\n".join(mem_rows)


def peer_table(results):
    """Medians of ours, each peer and the floor, and ours over each; None when no case
    ran them."""
    rows = ["| Case | Ours (s) | " +
            " | ".join(f"{peer} (s) | Ours/{peer}" for peer in PEERS) + " | Floor (s) | Ours/floor |",
            "|---|---|" + "---|---|" * (len(PEERS) + 1)]
    for r in results:
        if not r["peers"] and "floor" not in r:
            continue
        cells = [fmt_s(r["median"])]
        for x in [r["peers"].get(peer) for peer in PEERS] + [r.get("floor")]:
            cells += [fmt_s(x["median"]), fmt_ratio(x["ratio"])] if x else ["-", "-"]
        rows.append(f"| {r['case']} | " + " | ".join(cells) + " |")
    return "\n".join(rows) if len(rows) > 2 else None


def pair_table(results):
    """Our peak RSS per pair of formats, at few and at many lines of the same width; None
    when no pair was run whole."""
    pairs = {}
    for r in results:
        if r["pair"]:
            pairs.setdefault(r["pair"], []).append(r)
    rows = []
    for pair, runs in pairs.items():
        if len(runs) != 2:
            continue
        few, many = sorted(runs, key=lambda r: r["input_size"][0])
        if not rows:
            rows = [f"| Pair | Cases | Columns | Peak RSS at {few['input_size'][0]} lines (MiB) | "
                    f"at {many['input_size'][0]} lines (MiB) | Difference (MiB) | "
                    f"Under {MEMORY_SPREAD // MIB} MiB |",
                    "|---|---|---|---|---|---|---|"]
        diff = many["rss_max"] - few["rss_max"]
        rows.append(f"| {pair} | {few['case']}, {many['case']} | {few['input_size'][1]} | "
                    f"{few['rss_max'] / MIB:.1f} | {many['rss_max'] / MIB:.1f} | {diff / MIB:+.1f} | "
                    f"{'yes' if abs(diff) < MEMORY_SPREAD else '**no**'} |")
    return "\n".join(rows) if rows else None


def phase_table(results):
    """Per case: our median and the time to the size report of the median run, then, when
    there was a phase run, its wall time and every phase and stage ("-" where it printed
    none); the caller's other time is the treatment less the caller's three stages. Three
    decimals, as the phase build prints them. None when no case has a figure."""
    ms = lambda x: "-" if x is None else f"{x:.3f}"
    with_runs = any(r["phase_run"] for r in results)
    names = list(PHASES) if with_runs else []
    for r in results:
        for name in (r["phase_run"] or {}).get("times", {}):
            if name not in names:
                names.append(name)  # a phase this script does not know yet
    head = ["Case", "Ours median (s)", "To the size report (s)"]
    if with_runs:
        head += ["Phase run (s)"] + names[:5] + ["caller's other"] + names[5:]
    rows = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for r in results:
        if r["read_timed"] is None and not r["phase_run"]:
            continue
        cells = [r["case"], ms(r["median"]), ms(r["read_timed"])]
        if with_runs:
            run = r["phase_run"] or {}
            t = run.get("times", {})
            other = None
            if all(n in t for n in ("treatment", "kernel", "filling", "smoothing")):
                # each figure is rounded to the millisecond: no negative remainder
                other = max(0.0, t["treatment"] - t["kernel"] - t["filling"] - t["smoothing"])
            cells += [ms(run.get("wall"))] + [ms(t.get(n)) for n in names[:5]] + [ms(other)]
            cells += [ms(t.get(n)) for n in names[5:]]
        rows.append("| " + " | ".join(cells) + " |")
    return "\n".join(rows) if len(rows) > 2 else None


def log_run(label, rep, run, extra=""):
    log(f"  {label:<15} run {rep + 1}: {run['wall']:7.2f} s (cpu {run['cpu']:6.2f} s)  "
        f"{run['rss'] / MIB:7.0f} MiB{extra}")


def phase_run(program, work, key, case, env, timeout):
    """One run of the phase build, before the timed ones and apart from them: checked as
    they are, its time lines taken out of stderr; returns its wall time and the time of
    each phase and stage."""
    remove(our_outputs(work, case))
    run = run_measured([program], env, answers(case),
                       os.path.join(work, "logs", f"{key}.phases.out"), timeout)
    times, rest = phase_times(run["err"])
    _, problems = check_ours(work, case, run, rest)
    missing = [n for n in NEEDED_PHASES if n not in times]
    if missing and not problems:
        problems.append(f"no time of {', '.join(missing)}: is {program} built with {PHASE_OPTION}?")
    if problems:
        raise BenchError(f"case {key} phase run: " + "; ".join(problems))
    remove(our_outputs(work, case))
    log(f"  phase run: {run['wall']:.3f} s  [" +
        ", ".join(f"{n} {t:.3f}" for n, t in times.items()) + "]")
    return dict(wall=run["wall"], times=times)


def series(runs):
    """Wall times, their median, the median CPU time and the peak RSS of a case's runs."""
    return dict(times=[x["wall"] for x in runs], median=statistics.median(x["wall"] for x in runs),
                cpu_median=statistics.median(x["cpu"] for x in runs),
                rss_max=max(x["rss"] for x in runs))


def case_result(key, case, size, runs, peer_runs, floor_runs, commands, phase_run):
    """A case's figures, each told on the console as well."""
    source = INPUTS[case["input"]]
    cells_in = source["lines"] * source["columns"]
    cells_out = size[0] * size[1]
    r = dict(case=key, what=case["what"], input_size=(source["lines"], source["columns"]),
             pair=case.get("pair"), size=size, cells_in=cells_in, cells_out=cells_out,
             **series(runs), time_target=case["target"], answers=answers(case))
    threads = [x["threads"] for x in runs if x["threads"]]
    r["threads_max"] = max(threads) if threads else None
    r["read_timed"] = sorted(runs, key=lambda x: x["wall"])[len(runs) // 2]["read"]
    r["phase_run"] = phase_run
    r["memory_target"] = TARGET_PER_CELL * (cells_in + cells_out) + TARGET_FIXED
    r["memory_met"] = r["rss_max"] <= r["memory_target"]
    r["bytes_per_cell"] = r["rss_max"] / (cells_in + cells_out)
    log(f"  median {r['median']:.2f} s; threads at most {r['threads_max'] or '-'}; peak "
        f"{r['rss_max'] / MIB:.0f} MiB = {r['bytes_per_cell']:.1f} B per (input + output) cell; "
        f"target {r['memory_target'] / MIB:.0f} MiB (16 B x {cells_in + cells_out} cells + 64 MiB): "
        f"{'met' if r['memory_met'] else 'NOT met'}")
    r["peers"] = {}
    for peer, p_runs in peer_runs.items():
        p = r["peers"][peer] = dict(series(p_runs), command=commands[peer])
        p["ratio"] = r["median"] / p["median"]
        log(f"  {peer} median {p['median']:.2f} s; ours/{peer} {p['ratio']:.2f}")
    if "gdalwarp" in r["peers"]:
        g = r["peers"]["gdalwarp"]
        r["ratio"] = g["ratio"]
        t = case["target"]
        verdict = "no target" if t is None else ("met" if r["ratio"] <= t else "NOT met")
        log(f"  time target against gdalwarp: {'<= ' + str(t) if t is not None else 'none'}: {verdict}")
        # CPU times come in hundredths: no ratio of figures that small
        small = min(r["cpu_median"], g["cpu_median"]) < 0.05
        r["cpu_ratio"] = None if small else r["cpu_median"] / g["cpu_median"]
    if floor_runs:
        f = r["floor"] = dict(series(floor_runs), command=commands["floor"])
        f["ratio"] = r["median"] / f["median"]
        log(f"  floor median {f['median']:.2f} s; ours/floor {f['ratio']:.2f}")
    return r


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="/tmp/bench-build",
                    help="build directory holding dem_varnel and make_terrain (default %(default)s)")
    ap.add_argument("--work", default="/tmp/dem_varnel_bench",
                    help="directory for generated inputs, outputs and logs (default %(default)s)")
    chosen = ap.add_mutually_exclusive_group()
    chosen.add_argument("--cases", default=DEFAULT_CASES,
                        help=f"cases to run, e.g. AD or A,B (default {DEFAULT_CASES}; M and N, "
                             "beyond memory, only when named)")
    chosen.add_argument("--memory", action="store_const", dest="cases", const=MEMORY_CASES,
                        help=f"the bounded-memory cases only, {MEMORY_CASES}")
    ap.add_argument("--reps", type=int, default=3, help="repetitions of each case (default 3)")
    ap.add_argument("--no-gdal", action="store_true",
                    help="do not run GDAL's tools (the floor still runs)")
    ap.add_argument("--gdal-cachemax", type=int, default=512, help="GDAL_CACHEMAX in MB (default 512)")
    ap.add_argument("--gdal-wm", type=int, default=512, help="gdalwarp -wm in MB (default 512)")
    ap.add_argument("--timeout", type=float, default=3600, help="seconds allowed for one run")
    ap.add_argument("--keep", action="store_true", help="keep the outputs of the last run")
    ap.add_argument("--commit", metavar="REV",
                    help="build this commit (git archive, read-only on the repository) into "
                         "WORK/build-<hash> and measure it, instead of --build")
    ap.add_argument("--phases", action="store_true",
                    help=f"before the timed runs of each case, run once a build with {PHASE_OPTION} "
                         "(built from the sources of --build, or of --commit) and report its phase "
                         "and stage times")
    ap.add_argument("--phase-build", metavar="DIR",
                    help=f"the build with {PHASE_OPTION} to use for --phases (implies it; not with "
                         "--commit, whose phase build the script makes itself)")
    ap.add_argument("--scale", type=float, default=1.0,
                    help="scale the input sides by this factor, for a quick trial (default 1)")
    args = ap.parse_args()
    if args.scale != 1.0:
        rescale(args.scale)

    work = os.path.abspath(args.work)
    if os.path.commonpath([work, REPO]) == REPO:
        sys.exit(f"the work directory {work} lies inside the repository {REPO}; choose another")
    if args.phase_build and args.commit:
        sys.exit("--phase-build cannot be checked to be of the --commit; with --commit, --phases "
                 "builds the phase build of that commit itself")
    measured = None
    if args.commit:
        measured = git("rev-parse", "--short", args.commit + "^{commit}")
        args.build = build_commit(work, measured)
    program = os.path.join(args.build, "dem_varnel")
    for tool in (program, os.path.join(args.build, "make_terrain")):
        if not os.access(tool, os.X_OK):
            sys.exit(f"{tool} not found; build first:\n  cmake -S {REPO} -B {args.build} "
                     f"-DCMAKE_BUILD_TYPE=Release -DDEM_VARNEL_TESTS=OFF && cmake --build {args.build} -j2")
    phase_program = None
    if args.phase_build or args.phases:
        if args.phase_build:
            phase_dir = os.path.abspath(args.phase_build)
        elif measured:
            phase_dir = build_commit(work, measured, phases=True)
        else:
            phase_dir = build_phases_beside(work, args.build)
        phase_program = os.path.join(phase_dir, "dem_varnel")
        if not os.access(phase_program, os.X_OK):
            sys.exit(f"{phase_program} not found; build it with\n  cmake -S {REPO} -B {phase_dir} "
                     f"-DCMAKE_BUILD_TYPE=Release -DDEM_VARNEL_TESTS=OFF {PHASE_OPTION} && "
                     f"cmake --build {phase_dir} -j2 --target dem_varnel")
        log(f"Phase times from {phase_program}")
    keys = [k for k in args.cases.upper() if k.isalnum()]
    unknown = [k for k in keys if k not in CASES]
    if unknown or not keys:
        sys.exit(f"unknown cases {unknown}; known: {''.join(CASES)}")
    if args.reps < 1:
        sys.exit("--reps must be at least 1")

    tools = {}  # the peers installed: name -> program
    if args.no_gdal:
        log("GDAL's tools: not run (--no-gdal)")
    else:
        for peer, p in PEERS.items():
            tools[peer] = shutil.which(p["tool"])
            if tools[peer] is None:
                log(f"{p['tool']}: not installed, {peer} skipped (Debian: apt-get install gdal-bin)")
        tools = {peer: tool for peer, tool in tools.items() if tool}
    gdal_version = None
    if tools:
        gdal_version = subprocess.run([next(iter(tools.values())), "--version"],
                                      capture_output=True, text=True).stdout.strip()
        log(f"{gdal_version}: {', '.join(tools)}")

    os.makedirs(os.path.join(work, "images", FOLDER), exist_ok=True)
    os.makedirs(os.path.join(work, "gdal"), exist_ok=True)
    os.makedirs(os.path.join(work, "logs"), exist_ok=True)

    disk_check(work, keys, len(tools), args.keep)
    log("Inputs:")
    needed = sorted({CASES[k]["input"] for k in keys})
    terrain_checks = {}
    for name in needed:
        make_input(args.build, work, name)
        terrain_checks[name] = checked(work, name)

    load_before = os.getloadavg()
    floor = rss_floor()
    log("\nPeak RSS: " + ("from /usr/bin/time -f %M" if not floor else
        f"from os.wait4 (no /usr/bin/time): figures include up to {floor / MIB:.0f} MiB of this script"))
    env = dict(os.environ, DEM_VARNEL_ROOT=os.path.join(work, "images"))
    watch = os.path.basename(program)[:15]  # the kernel keeps 15 characters of a name
    results, commands = [], {}
    for key in keys:
        case = CASES[key]
        log(f"\nCase {key}: {case['what']}")
        warm(input_paths(work, case["input"])["data"])
        size = expected_size(case)
        case_tools = tools if case["peers"] else {}
        runs, peer_runs, floor_runs = [], {peer: [] for peer in case_tools}, []
        phases = (phase_run(phase_program, work, key, case, env, args.timeout)
                  if phase_program else None)
        for rep in range(args.reps):
            # ours, each peer, the floor: one after the other, one process at a time
            remove(our_outputs(work, case))
            run = run_measured([program], env, answers(case),
                               os.path.join(work, "logs", f"{key}{rep + 1}.out"), args.timeout,
                               watch)
            size, problems = check_ours(work, case, run)
            if problems:
                raise BenchError(f"case {key} run {rep + 1}: " + "; ".join(problems))
            out_bytes = os.path.getsize(our_outputs(work, case)[0])
            read = read_time(run)
            runs.append(dict(wall=run["wall"], cpu=run["cpu"], rss=run["rss"],
                             threads=run["threads"], read=read))
            log_run("ours", rep, run, f"  threads {run['threads'] or '-'}  to the size report "
                    f"{fmt_s(read)} s")
            if not args.keep or rep + 1 < args.reps:
                remove(our_outputs(work, case))
            for peer, tool in case_tools.items():
                g, command = run_peer(peer, tool, work, key, case, size, rep, args)
                commands.setdefault(key, {})[peer] = command
                peer_runs[peer].append(dict(wall=g["wall"], cpu=g["cpu"], rss=g["rss"]))
                log_run(peer, rep, g)
            if case["peers"]:
                f, command = run_floor(work, key, case, rep, out_bytes, args.timeout)
                commands.setdefault(key, {})["floor"] = command
                floor_runs.append(dict(wall=f["wall"], cpu=f["cpu"], rss=f["rss"]))
                log_run("floor", rep, f)
        results.append(case_result(key, case, size, runs, peer_runs, floor_runs,
                                   commands.get(key, {}), phases))

    if measured:
        commit, dirty = measured, ""
    else:
        commit, dirty = described_build()
    meta = dict(date=datetime.datetime.now().isoformat(timespec="seconds"), commit=commit,
                tracked_changes=bool(dirty), reps=args.reps, program=program,
                gdal=gdal_version, rss_source="wait4" if floor else "/usr/bin/time -f %M",
                load_before=load_before, load_after=os.getloadavg(), phase_program=phase_program)
    sections = [("", markdown(results)),
                ("Ours beside the peers and the floor (read the input, write the output's bytes "
                 "and flush them), medians:", peer_table(results)),
                ("Bounded memory: our peak RSS per pair of formats, same width, few and many lines:",
                 pair_table(results)),
                ("Phases (s): the time to the size report of our median run (the reading "
                 "ends there)" + (", and the phases and stages of one more run of the phase "
                 "build; stages of different threads overlap, so they do not add up to the wall "
                 "time (bench/README.md says what each covers):" if phase_program else ":"),
                 phase_table(results))]
    sections = [(title, table) for title, table in sections if table]
    log(f"\nResults ({meta['date']}, commit {commit}{' with uncommitted changes' if dirty else ''},"
        f" {args.reps} repetitions, medians; load average {load_before[0]:.2f} before,"
        f" {meta['load_after'][0]:.2f} after):\n")
    for title, table in sections:
        log((f"\n{title}\n\n" if title else "") + table)
    if commands:
        log("\nCommand lines of the peers and the floor:")
        for key, by_tool in commands.items():
            for tool, c in by_tool.items():
                log(f"  {key} {tool}: {c}")
    with open(os.path.join(work, "results.json"), "w") as f:
        json.dump(dict(meta=meta, terrain=terrain_checks, results=results, commands=commands), f,
                  indent=2)
    with open(os.path.join(work, "results.md"), "w") as f:
        f.write("\n\n".join((title + "\n\n" if title else "") + table
                            for title, table in sections) + "\n")
    log(f"\nWritten {os.path.join(work, 'results.json')} and results.md")


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        sys.exit(f"benchmark failed: {e}")
    except subprocess.CalledProcessError as e:
        sys.exit(f"benchmark failed: {e}")
