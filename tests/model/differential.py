#!/usr/bin/env python3
"""Differential test of dem_varnel against the literal model.

Generates random cases from a seed, runs the real program and the model, each in its own fresh
DEM_VARNEL_ROOT holding identical input files and fed the same answers on standard input, and
compares byte for byte: standard output, exit status and every file left under the root (names
and contents). Standard error is ignored. Exits 1 on any mismatch.

    python3 differential.py --program build/dem_varnel --model build/tests/model/literal_model \
        --cases 200 --seed 1 [--only K] [--keep DIR] [--reask]

Every case k is drawn from its own generator seeded by (seed, k), so --only K replays case K.
The generator keeps to valid answers and to the inputs where the real program and the model are
meant to agree: pixel sizes positive, at least one output line and column, input-per-output
factors below 20, finite ASCII values and complete ASCII grids, non-empty raw files.
"""

import argparse
import math
import os
import random
import re
import shutil
import struct
import subprocess
import sys
import tempfile
from fractions import Fraction

# ------------------------------------------------------------------ extended-precision geometry


def round_bits(x, bits):
    """Round the Fraction x to a binary significand of `bits` bits, to nearest, ties to even."""
    if x == 0:
        return Fraction(0)
    sign = -1 if x < 0 else 1
    x = abs(x)
    e = x.numerator.bit_length() - x.denominator.bit_length()
    if Fraction(2) ** e > x:
        e -= 1
    # 2**e <= x < 2**(e+1); the unit in the last place is 2**(e - bits + 1)
    ulp = Fraction(2) ** (e - bits + 1)
    q, r = divmod(x, ulp)
    q = int(q)
    if r > ulp / 2 or (r == ulp / 2 and q % 2 == 1):
        q += 1
    return sign * q * ulp


def ext(x):
    return round_bits(x, 64)


def to_double(x):
    return float(round_bits(x, 53))


def geometry(nb_lig, nb_col, pin_text, pout_text):
    """ratio, output size and factors exactly as the program forms them (64-bit intermediates)."""
    pin = Fraction(float(pin_text))
    pout = Fraction(float(pout_text))
    ratio = to_double(ext(pin / pout))
    nb_lig4 = math.trunc(ext(nb_lig * Fraction(ratio)))
    nb_col4 = math.trunc(ext(nb_col * Fraction(ratio)))
    return ratio, nb_lig4, nb_col4


# ------------------------------------------------------------------ case generation

LETTERS = "abcdefghijklmnopqrstuvwxyz"
ALNUM = LETTERS + LETTERS.upper() + "0123456789"

PIXEL_PAIRS = [
    ("10", "3"), ("7", "2.5"), ("3", "1"), ("1", "7"), ("30", "50"), ("2", "3"), ("1", "1"),
    ("5", "5"), ("10", "5"), ("5", "10"), ("2.5", "1"), ("12.5", "12.5"), ("25", "10"),
    ("10", "20"), ("3", "10"), ("50", "30"), ("1", "3"), ("4", "3"), ("3", "4"), ("0.5", "0.2"),
    ("0.75", "1.5"), ("100", "33"), ("7", "7"), ("2", "1"), ("1.1", "1"), ("1", "1.1"),
]


def word(rng, lo=1, hi=8):
    first = rng.choice(LETTERS + LETTERS.upper())
    return first + "".join(rng.choice(ALNUM) for _ in range(rng.randint(lo, hi) - 1))


def pixel_text(rng):
    kind = rng.random()
    if kind < 0.4:
        return str(rng.randint(1, 60))
    if kind < 0.6:
        return "%g" % (rng.randint(1, 200) / 4)
    if kind < 0.8:
        return "%.3f" % rng.uniform(0.2, 60)
    if kind < 0.9:
        return "%d.0" % rng.randint(1, 30)
    return "%.6g" % rng.uniform(0.1, 100)


def draw_size(rng):
    shape = rng.random()
    if shape < 0.04:
        return 1, 1
    if shape < 0.10:
        return 1, rng.randint(1, 60)
    if shape < 0.16:
        return rng.randint(1, 60), 1
    if shape < 0.55:
        n = rng.randint(2, 60)
        return n, n
    if shape < 0.97:
        return rng.randint(1, 60), rng.randint(1, 60)
    # now and then a taller grid, to pass the readers' and the kernel's progress lines
    return rng.randint(100, 130), rng.randint(1, 6)


def draw_pixels(rng, nb_lig, nb_col):
    """Pixel-size answers keeping the output inside the range both programs agree on.

    Mostly the output is asked to have more than 6 lines and columns, so that it has an interior
    beyond the frame of lowest elevation."""
    interior = rng.random() < 0.8
    for attempt in range(400):
        if attempt == 200:
            interior = False
        if rng.random() < 0.55:
            pin, pout = rng.choice(PIXEL_PAIRS)
        else:
            pin, pout = pixel_text(rng), pixel_text(rng)
        ratio, l4, c4 = geometry(nb_lig, nb_col, pin, pout)
        if l4 < 1 or c4 < 1:
            continue
        # input-per-output factors as the kernel forms them, with a margin below 20
        if Fraction(nb_lig + 4, l4 + 4) >= 19.5 or Fraction(nb_col + 4, c4 + 4) >= 19.5:
            continue
        if l4 * c4 > 60000 or (interior and (l4 <= 6 or c4 <= 6)):
            continue
        return pin, pout, ratio, l4, c4
    ratio, l4, c4 = geometry(nb_lig, nb_col, "1", "1")
    return "1", "1", ratio, l4, c4


def terrain(rng, nb_lig, nb_col, lo, hi, allow_zero_patch=True):
    """A grid of numbers in [lo, hi]: smooth relief, noise, a constant, or a mixture, with holes."""
    kind = rng.choice(["smooth", "noise", "constant", "ramp", "smooth"])
    span = hi - lo
    cells = []
    fx, fy = rng.uniform(0.05, 0.6), rng.uniform(0.05, 0.6)
    const = rng.uniform(lo, hi)
    for i in range(nb_lig):
        row = []
        for j in range(nb_col):
            if kind == "smooth":
                t = 0.5 + 0.25 * math.sin(i * fx) + 0.25 * math.cos(j * fy)
                v = lo + span * t + rng.uniform(-0.02, 0.02) * span
            elif kind == "noise":
                v = rng.uniform(lo, hi)
            elif kind == "constant":
                v = const
            else:
                v = lo + span * (i + j) / max(1, nb_lig + nb_col - 2)
            row.append(min(hi, max(lo, v)))
        cells.append(row)
    if allow_zero_patch and rng.random() < 0.3 and nb_lig * nb_col > 1:
        # a block of empty (zero) cells for the gap filling
        h = rng.randint(1, max(1, nb_lig // 2))
        w = rng.randint(1, max(1, nb_col // 2))
        i0, j0 = rng.randint(0, nb_lig - h), rng.randint(0, nb_col - w)
        for i in range(i0, i0 + h):
            for j in range(j0, j0 + w):
                cells[i][j] = 0
    if rng.random() < 0.2:
        for _ in range(rng.randint(1, 5)):
            cells[rng.randrange(nb_lig)][rng.randrange(nb_col)] = 0
    return cells


def raw_value_range(rng, itype):
    if itype == 0:
        return rng.choice([(0, 65535), (0, 3000), (100, 400), (30000, 65535), (0, 10)])
    return rng.choice([(-500, 5000), (0, 300000), (-1000000, 3000000), (-50, -10),
                       (1200000, 2000000), (-20, 20), (0, 70000000)])


def ascii_text(rng, v, style):
    if style == "int":
        t = "%d" % round(v)
    elif style == "fixed":
        t = "%.*f" % (rng.randint(0, 4), v)
    elif style == "exp" and rng.random() < 0.3:
        t = "%.*e" % (rng.randint(0, 6), v)
    else:
        t = "%.*g" % (rng.randint(1, 10), v)
    if float(t) == 0.0:
        t = "0"  # no "-0": a negative zero is its own corner case, kept out of the comparison
    return t


def make_ascii(rng, nb_lig, nb_col):
    r = rng.random()
    if r < 0.15:
        lo, hi = -500.0, 500.0
    elif r < 0.3:
        lo, hi = -30.0, -1.0
    elif r < 0.4:
        lo, hi = 0.0, 120000.0
    elif r < 0.43:
        lo, hi = 1.1e7, 1.2e7
    else:
        lo, hi = 0.0, 3000.0
    cells = terrain(rng, nb_lig, nb_col, lo, hi)
    nodata = rng.choice(["-9999", "-9999.9999", "-32768", "0"])
    # A cell of the no-data value: of 0 only, which both engines take as empty; the
    # program meets any other as a void, with an engine of its own.
    if rng.random() < 0.15:
        cells[rng.randrange(nb_lig)][rng.randrange(nb_col)] = 0.0
        nodata = "0" if rng.random() < 0.5 else nodata
    style = rng.choice(["int", "fixed", "g", "g", "exp"])
    eol = "\r\n" if rng.random() < 0.2 else "\n"
    labels = [
        rng.choice(["ncols", "NCOLS", "Ncols", "nCols"]),
        rng.choice(["nrows", "NROWS", "Nrows"]),
        rng.choice(["xllcorner", "XLLCORNER", "xllcenter", "XllCorner"]),
        rng.choice(["yllcorner", "YLLCORNER", "yllcenter", "yLLcorner"]),
        rng.choice(["cellsize", "CELLSIZE", "CellSize"]),
        rng.choice(["nodata_value", "NODATA_value", "NODATA_VALUE", "nodata"]),
    ]
    values = [
        str(nb_col), str(nb_lig),
        rng.choice(["0", "500000.5", "-1234.25", "%.3f" % rng.uniform(-1e6, 1e6)]),
        rng.choice(["0", "4000000", "-77.125", "%.3f" % rng.uniform(-1e6, 1e6)]),
        rng.choice(["1", "25", "12.5", "%.4g" % rng.uniform(0.5, 100)]),
        nodata,
    ]
    head = "".join(lab + rng.choice([" ", "\t", "   "]) + val + eol for lab, val in zip(labels, values))
    texts = [[ascii_text(rng, v, style) for v in row] for row in cells]
    layout = rng.choice(["rows", "rows", "one", "single", "mixed"])
    if layout == "rows":
        sep = rng.choice([" ", "\t"])
        body = eol.join(sep.join(row) for row in texts)
    elif layout == "one":
        body = eol.join(t for row in texts for t in row)
    elif layout == "single":
        body = " ".join(t for row in texts for t in row)
    else:
        parts = []
        for row in texts:
            for t in row:
                parts.append(t + rng.choice([" ", "\t", "  ", eol, " " + eol]))
        body = "".join(parts).rstrip()
    if rng.random() < 0.7:
        body += eol
    desc = "ascii %s, %s values, %s layout" % ("CRLF" if eol == "\r\n" else "LF", style, layout)
    return (head + body).encode("ascii"), desc


def make_raw(rng, itype, nb_lig, nb_col):
    lo, hi = raw_value_range(rng, itype)
    cells = terrain(rng, nb_lig, nb_col, lo, hi)
    fmt = "<H" if itype == 0 else "<i"
    data = b"".join(struct.pack(fmt, int(round(v))) for row in cells for v in row)
    size = 2 if itype == 0 else 4
    note = "values %d..%d" % (lo, hi)
    r = rng.random()
    if r < 0.1:
        keep = rng.randint(1, nb_lig * nb_col)  # shorter than its geometry, whole cells
        data = data[: keep * size]
        note += ", file holds %d of %d cells" % (keep, nb_lig * nb_col)
    elif r < 0.15:
        data += bytes(rng.randrange(256) for _ in range(rng.randint(1, 9)))
        note += ", trailing bytes"
    return data, note


def generate(rng, reask, missing=False):
    case = {"files": {}, "answers": [], "notes": []}
    ans = case["answers"]
    notes = case["notes"]

    def choice_answer(valid, bad):
        if reask and rng.random() < 0.25:
            ans.append(str(rng.choice(bad)))
        ans.append(str(valid))

    folder = word(rng)
    base = word(rng)
    ans += [folder, base]
    nb_lig, nb_col = draw_size(rng)
    kind = rng.choice(["ascii", "raw16", "raw32", "raw16", "raw32"])
    if missing and rng.random() < 0.1:
        # the input data file is absent: message, key wait, status 0, no output file
        if kind == "ascii":
            ans.append("0")
        else:
            ans += ["1", "0" if kind == "raw16" else "1"]
            if rng.random() < 0.5:
                suffix = "_m2" if kind == "raw16" else "_m4"
                case["files"]["%s/%s%s.txt" % (folder, base, suffix)] = b"3\n4\n2\n0\n9\n5\n"
        ans.append("k")
        case["params"] = "%s input missing" % kind
        case["expect_size"] = None
        case["stdin"] = "".join(a + "\n" for a in ans).encode()
        return case
    unit = None
    if kind == "ascii":
        choice_answer(0, [2, 7])
        data, desc = make_ascii(rng, nb_lig, nb_col)
        case["files"]["%s/%s.asc" % (folder, base)] = data
        notes.append(desc)
    else:
        itype = 0 if kind == "raw16" else 1
        choice_answer(1, [2, 9])
        choice_answer(itype, [2, 3])
        suffix = "_m2" if itype == 0 else "_m4"
        data, note = make_raw(rng, itype, nb_lig, nb_col)
        case["files"]["%s/%s%s.raw" % (folder, base, suffix)] = data
        notes.append(note)
        r = rng.random()
        eol = "\r\n" if rng.random() < 0.15 else "\n"
        if r < 0.6:
            pix = rng.choice([0, 0, 1, 5, 25, 30])
            width = rng.choice([2, 4]) if rng.random() < 0.3 else (2 if itype == 0 else 4)
            lines = [nb_lig, nb_col, width, rng.randint(-100, 100), rng.randint(0, 70000), pix]
            case["files"]["%s/%s%s.txt" % (folder, base, suffix)] = (
                "".join("%d%s" % (v, eol) for v in lines).encode())
            notes.append("descriptor: %d bytes/cell, pixel %d" % (width, pix))
            if pix == 0:
                ans.append(str(rng.randint(1, 40)))
        elif r < 0.7:
            lines = [nb_lig, nb_col, 2 if itype == 0 else 4]
            case["files"]["%s/%s%s.txt" % (folder, base, suffix)] = (
                "".join("%d%s" % (v, eol) for v in lines).encode())
            notes.append("descriptor of three lines")
            ans.append(str(rng.randint(1, 40)))
        else:
            notes.append("no descriptor")
            pix = rng.choice([0, 3, 10, 25])
            ans += [str(nb_lig), str(nb_col), str(pix)]
            if pix == 0:
                ans.append(str(rng.choice([0, 7, 12])))  # a second 0 stands
        unit = rng.randint(0, 3)
        if reask and rng.random() < 0.25:
            ans.append(str(rng.randint(4, 9)))
        ans.append(str(unit))
    rep = rng.randint(0, 1)
    if reask and rng.random() < 0.25:
        ans.append(str(rng.choice([2, -1])))
    ans.append(str(rep))
    if rep == 1:
        ans.append(word(rng))
    out = rng.choice(["ascii", "raw16", "raw32"])
    if out == "ascii":
        choice_answer(0, [2, 5])
    else:
        choice_answer(1, [3, 4])
        choice_answer(0 if out == "raw16" else 1, [2, 8])
    pin, pout, ratio, l4, c4 = draw_pixels(rng, nb_lig, nb_col)
    ans += [pin, pout]
    if out == "ascii" and kind != "ascii":
        ans += [rng.choice(["0", "500000", "-12.5", "%.2f" % rng.uniform(-1e6, 1e6)]),
                rng.choice(["0", "4000000.75", "-3", "%.3f" % rng.uniform(-1e6, 1e6)])]
    case["params"] = ("%s %dx%d -> %s, unit %s, pixel %s -> %s (ratio %r, output %dx%d)"
                      % (kind, nb_lig, nb_col, out, unit, pin, pout, ratio, l4, c4))
    case["expect_size"] = (l4, c4)
    seps = [rng.choice(["\n", "\n", "\n", " ", "\t"]) for _ in ans]
    case["stdin"] = "".join(a + s for a, s in zip(ans, seps)).encode()
    return case


# ------------------------------------------------------------------ running and comparing


# Files a Windows build writes as text: each line end is CR LF there.
TEXT_SUFFIXES = (".txt", ".asc")


def as_windows_text(data):
    return data.replace(b"\n", b"\r\n")


def windows_expectation(res_m, case):
    """What a Windows build must give where the model gives res_m: the same bytes, but CR LF
    for each LF of standard output and of every text file it writes."""
    rc, out, files, err = res_m
    expected = {}
    for name, data in files.items():
        written = name not in case["files"]
        expected[name] = as_windows_text(data) if written and name.endswith(TEXT_SUFFIXES) else data
    return rc, as_windows_text(out), expected, err


def run(exe, case, root, timeout, runner=()):
    for rel, data in case["files"].items():
        path = os.path.join(root, rel)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    env = dict(os.environ)
    env["DEM_VARNEL_ROOT"] = root + os.sep
    try:
        p = subprocess.run(list(runner) + [exe], input=case["stdin"], stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                           env=env, cwd=root, timeout=timeout)
        rc, out, err = p.returncode, p.stdout, p.stderr
    except subprocess.TimeoutExpired as e:
        rc, out, err = "timeout", e.stdout or b"", e.stderr or b""
    files = {}
    for dirpath, _, names in os.walk(root):
        for n in names:
            path = os.path.join(dirpath, n)
            with open(path, "rb") as f:
                files[os.path.relpath(path, root)] = f.read()
    return rc, out, files, err


def never_ran(res):
    """Whether a run left no trace of the program: it failed with nothing on standard output
    and none of the program's messages on standard error (Wine failing to start it)."""
    rc, out, _, err = res
    return rc != 0 and rc != "timeout" and out == b"" and b"dem_varnel: " not in err


def first_diff(a, b):
    n = min(len(a), len(b))
    for k in range(n):
        if a[k] != b[k]:
            return k
    return n if len(a) != len(b) else None


def describe_diff(name, a, b):
    k = first_diff(a, b)
    lo = max(0, k - 20)
    msg = ("%s: first difference at byte %d (program %d bytes, model %d bytes)\n"
           "      program: %r\n      model:   %r" % (name, k, len(a), len(b), a[lo:k + 20], b[lo:k + 20]))
    for suffix, size, fmt in (("_m2.raw", 2, "<H"), ("_m4.raw", 4, "<i")):
        if name.endswith(suffix):
            cell = k // size
            lo_cell = cell * size
            va = struct.unpack(fmt, a[lo_cell:lo_cell + size])[0] if lo_cell + size <= len(a) else None
            vb = struct.unpack(fmt, b[lo_cell:lo_cell + size])[0] if lo_cell + size <= len(b) else None
            msg += "\n      cell %d: program %s, model %s" % (cell, va, vb)
    if name.endswith(".asc"):
        msg += "\n      token %d: program %r, model %r" % (
            len(a[:k].split()) - (1 if k > 0 and not a[k - 1:k].isspace() else 0) + 1,
            token_at(a, k), token_at(b, k))
    return msg


def token_at(data, k):
    """The white-space-free token of data that holds (or starts at) byte offset k."""
    start = k
    while start > 0 and not data[start - 1:start].isspace():
        start -= 1
    end = k
    while end < len(data) and not data[end:end + 1].isspace():
        end += 1
    return data[start:end]


def compare(res_p, res_m):
    problems = []
    rc_p, out_p, files_p, err_p = res_p
    rc_m, out_m, files_m, _ = res_m
    if rc_p != rc_m:
        problems.append("exit status: program %s, model %s; the program's standard error: %r"
                        % (rc_p, rc_m, err_p[-400:]))
    if out_p != out_m:
        problems.append(describe_diff("standard output", out_p, out_m))
    for name in sorted(set(files_p) | set(files_m)):
        if name not in files_m:
            problems.append("file %s written by the program only" % name)
        elif name not in files_p:
            problems.append("file %s written by the model only" % name)
        elif files_p[name] != files_m[name]:
            problems.append(describe_diff("file " + name, files_p[name], files_m[name]))
    return problems


def keep_case(keep, k, case, roots):
    dest = os.path.join(keep, "case%04d" % k)
    shutil.rmtree(dest, ignore_errors=True)
    os.makedirs(dest)
    with open(os.path.join(dest, "answers.txt"), "wb") as f:
        f.write(case["stdin"])
    with open(os.path.join(dest, "params.txt"), "w") as f:
        f.write(case["params"] + "\n" + "\n".join(case["notes"]) + "\n")
    for label, root in roots.items():
        shutil.copytree(root, os.path.join(dest, label))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--program", required=True, help="the dem_varnel executable")
    ap.add_argument("--model", required=True, help="the literal_model executable")
    ap.add_argument("--cases", type=int, default=200)
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--only", type=int, action="append", help="run only case K (repeatable)")
    ap.add_argument("--keep", help="copy the inputs, answers and both outputs of failing cases here")
    ap.add_argument("--reask", action="store_true",
                    help="also send out-of-range answers that the question loops must ask again")
    ap.add_argument("--missing", action="store_true",
                    help="also run cases whose input data file is absent")
    ap.add_argument("--wine", metavar="WINE",
                    help="the program is a Windows executable, run with this wine command; its "
                         "standard output and the text files it writes must end lines with CR LF")
    ap.add_argument("--timeout", type=float, default=60.0)
    ap.add_argument("-v", "--verbose", action="store_true")
    args = ap.parse_args()

    indices = args.only if args.only else range(args.cases)
    failed = 0
    for k in indices:
        rng = random.Random("dem_varnel:%d:%d" % (args.seed, k))
        case = generate(rng, args.reask, args.missing)
        with tempfile.TemporaryDirectory(prefix="varnel_p_") as root_p, \
                tempfile.TemporaryDirectory(prefix="varnel_m_") as root_m:
            runner = [args.wine] if args.wine else []
            res_p = run(os.path.abspath(args.program), case, root_p, args.timeout, runner)
            if args.wine and never_ran(res_p):
                # Wine, not the program: our program says what stops it on standard error.
                print("case %d: the program did not run under Wine (status %s, standard error "
                      "%r): run again" % (k, res_p[0], res_p[3][-200:]), flush=True)
                shutil.rmtree(root_p)
                os.makedirs(root_p)
                res_p = run(os.path.abspath(args.program), case, root_p, args.timeout, runner)
            res_m = run(os.path.abspath(args.model), case, root_m, args.timeout)
            problems = compare(res_p, windows_expectation(res_m, case) if args.wine else res_m)
            m = re.search(rb"\n\t\t(-?\d+) lines and (-?\d+) columns ", res_m[1])
            if case["expect_size"] is None:
                if m or res_m[0] != 0:
                    problems.append("generator: the model went past a missing input")
            elif not m or (int(m.group(1)), int(m.group(2))) != case["expect_size"]:
                problems.append("generator: the model did not announce the expected output size %r"
                                % (case["expect_size"],))
            if problems:
                failed += 1
                print("MISMATCH case %d (seed %d): %s" % (k, args.seed, case["params"]))
                print("    " + "; ".join(case["notes"]))
                print("    answers: %r" % case["stdin"].decode())
                for p in problems:
                    print("    " + p)
                if args.keep:
                    keep_case(args.keep, k, case, {"program": root_p, "model": root_m})
            elif args.verbose:
                print("ok case %d: %s" % (k, case["params"]))
    total = len(indices)
    print("%d of %d cases differ" % (failed, total))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
