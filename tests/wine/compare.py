#!/usr/bin/env python3
"""The Windows executable under Wine against the Linux one, session by session.

Each session (the demo, every pair of input and output formats, the missing input with its
key read from a pipe, refused answers, a created descriptor, replaced outputs, an
interruption) runs with both executables in the same folder standing for c:\\images\\,
filled afresh. Exit status and every file must agree: raw rasters byte for byte; standard
output, standard error and every text file written with CR LF on Windows wherever Linux
has LF (standard error's paths aside: '\\' there is '/' here). Then, given the literal
model, the differential comparison runs with the Windows executable.

    python3 tests/wine/compare.py --linux build/dem_varnel --windows build-windows/dem_varnel.exe \\
        [--model build/tests/model/literal_model]

Wine runs headless, console only, in a private prefix made for the run. What it cannot
show (a key press at a real console, Ctrl-Break, a console being closed) is listed as
skipped.
"""

import argparse
import os
import random
import re
import shutil
import signal
import struct
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(os.path.dirname(HERE))
TEXT_SUFFIXES = (".txt", ".asc")
TEMPORARY = re.compile(r"\.part-|\.dem_varnel-")


def crlf(data):
    return data.replace(b"\n", b"\r\n")


# ------------------------------------------------------------------ inputs


def ascii_grid(lines, columns, seed, eol=b"\n"):
    rng = random.Random(seed)
    head = b"ncols %d%snrows %d%sxllcorner 500000.5%syllcorner 4600000%scellsize 25%sNODATA_value -9999%s" % (
        columns, eol, lines, eol, eol, eol, eol, eol)
    rows = []
    for i in range(lines):
        rows.append(b" ".join(b"%.2f" % (300 + 40 * i + 7 * j + rng.uniform(-5, 5)) for j in range(columns)))
    return head + eol.join(rows) + eol


def raster(lines, columns, width, seed):
    rng = random.Random(seed)
    form = "<H" if width == 2 else "<i"
    low = 1200 if width == 2 else -800
    return b"".join(struct.pack(form, low + 31 * i + 17 * j + rng.randint(0, 9))
                    for i in range(lines) for j in range(columns))


def descriptor(lines, columns, width, low, high, pixel):
    return b"".join(b"%d\n" % v for v in (lines, columns, width, low, high, pixel))


GRID = {"dem/hill.asc": ascii_grid(31, 23, 1)}
R16 = {"dem/hill_m2.raw": raster(31, 23, 2, 2), "dem/hill_m2.txt": descriptor(31, 23, 2, 1200, 3000, 25)}
R32 = {"dem/hill_m4.raw": raster(31, 23, 4, 3), "dem/hill_m4.txt": descriptor(31, 23, 4, -800, 1000, 25)}
INPUTS = {"ascii": (GRID, "0"), "raw16": (R16, "1 0 1"), "raw32": (R32, "1 1 2")}
OUTPUTS = {"ascii": "0", "raw16": "1 0", "raw32": "1 1"}


def demo():
    files = {}
    folder = os.path.join(SOURCE, "examples", "demo")
    for name in ("valley_m2.raw", "valley_m2.txt"):
        with open(os.path.join(folder, name), "rb") as f:
            files["demo/" + name] = f.read()
    with open(os.path.join(SOURCE, "examples", "demo.answers"), "rb") as f:
        return files, f.read()


def sessions():
    """(name, input files, answers) of every compared session."""
    found = [("demo",) + demo()]
    for source, (files, answers) in INPUTS.items():
        for target, output in OUTPUTS.items():
            corner = " 499990.25 4600010.5" if target == "ascii" and source != "ascii" else ""
            # 25 -> 7.5 enlarges beyond 100 lines, so the progress lines are compared too.
            found.append(("%s to %s" % (source, target), files,
                          ("dem hill %s 0 %s 25 7.5%s\n" % (answers, output, corner)).encode()))
    found += [
        ("missing input, key from a pipe", {"dem/other.asc": b"x"}, b"dem hill 0 k"),
        ("refused answers asked again", R16, b"dem hill 7 abc 1 2.5 0 1\n9 2 1 hill2 1 0 -3 0 25 10\n"),
        ("descriptor created", {"dem/hill_m2.raw": R16["dem/hill_m2.raw"]}, b"dem hill 1 0 31 23 25 0 0 1 1 25 50\n"),
        ("outputs replaced", dict(GRID, **{"dem/hill_varnel_m4.raw": b"old", "dem/hill_varnel_m4.txt": b"old\n"}),
         b"dem hill 0 0 1 1 25 12.5\n"),
        ("ASCII with CR LF, rows before columns", {"dem/crlf.asc": ascii_grid(12, 17, 4, b"\r\n")
                                                   .replace(b"ncols 17\r\nnrows 12", b"nrows 12\r\nncols 17")},
         b"dem crlf 0 0 0 10 20\n"),
        ("short raster, warnings", {"dem/hill_m2.raw": R16["dem/hill_m2.raw"][:999],
                                    "dem/hill_m2.txt": descriptor(31, 23, 4, 0, 0, 0)},
         b"dem hill 1 0 25 3 0 1 0 25 30\n"),
    ]
    return found


# ------------------------------------------------------------------ running


class Result:
    def __init__(self, status, out, err, files):
        self.status, self.out, self.err, self.files = status, out, err, files


def lay_out(root, files):
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    for relative, data in files.items():
        path = os.path.join(root, relative)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)


def snapshot(root):
    files = {}
    for folder, _, names in os.walk(root):
        for name in names:
            path = os.path.join(folder, name)
            try:
                with open(path, "rb") as f:
                    files[os.path.relpath(path, root)] = f.read()
            except FileNotFoundError:  # removed meanwhile
                pass
    return files


def run(command, env, root, files, answers):
    lay_out(root, files)
    p = subprocess.run(command, input=answers, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                       env=dict(env, DEM_VARNEL_ROOT=root), cwd=root, timeout=300)
    return Result(p.returncode, p.stdout, p.stderr, snapshot(root))


def interrupted(command, env, root, files, answers):
    """Runs up to the pixel-size question, when the output files exist under temporary
    names, and interrupts the run there with SIGINT (Wine hands it to the program as
    Ctrl-C)."""
    lay_out(root, files)
    out_path = root + ".out"
    with open(out_path, "wb") as out, tempfile.TemporaryFile() as err:
        p = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=out, stderr=err,
                             env=dict(env, DEM_VARNEL_ROOT=root), cwd=root)
        p.stdin.write(answers)
        p.stdin.flush()
        deadline = time.time() + 60
        while time.time() < deadline:
            with open(out_path, "rb") as f:
                if b"pixel size in" in f.read():
                    break
            time.sleep(0.02)
        temporaries = [n for n in snapshot(root) if TEMPORARY.search(n)]
        p.send_signal(signal.SIGINT)
        status = p.wait(timeout=60)
        p.stdin.close()
        # Files removed while open go when their handles close: under Wine, a moment after
        # the process has ended.
        deadline = time.time() + 10
        while any(TEMPORARY.search(n) for n in snapshot(root)) and time.time() < deadline:
            time.sleep(0.05)
        err.seek(0)
        result = Result(status, b"", err.read(), snapshot(root))
    os.unlink(out_path)
    return result, temporaries


# ------------------------------------------------------------------ comparing


# The time at the end of a completed run's summary line varies from run to run.
SUMMARY_TIME = re.compile(rb"(dem_varnel: wrote [^\n]*, in )[0-9.]+ s")


def steady(err):
    return SUMMARY_TIME.sub(rb"\1T s", err)


def compare(linux, windows, inputs):
    problems = []
    linux.err, windows.err = steady(linux.err), steady(windows.err)
    if linux.status != windows.status:
        problems.append("exit status: Linux %s, Windows %s" % (linux.status, windows.status))
    if windows.out != crlf(linux.out):
        problems.append(first_difference("standard output", crlf(linux.out), windows.out))
    if windows.err.replace(b"\\", b"/") != crlf(linux.err).replace(b"\\", b"/"):
        problems.append(first_difference("standard error", crlf(linux.err), windows.err))
    for name in sorted(set(linux.files) | set(windows.files)):
        if name not in windows.files or name not in linux.files:
            problems.append("%s written on %s only" % (name, "Linux" if name in linux.files else "Windows"))
            continue
        a, b = linux.files[name], windows.files[name]
        written = inputs.get(name) != a
        if written and name.endswith(TEXT_SUFFIXES):
            if b"\r" in a or b"\n" not in a:
                problems.append("%s: the Linux text holds CR or no line end" % name)
            elif b != crlf(a):
                problems.append(first_difference(name + " (LF as CR LF)", crlf(a), b))
        elif a != b:
            problems.append(first_difference(name, a, b))
    return problems


def first_difference(what, expected, got):
    k = next((i for i in range(min(len(expected), len(got))) if expected[i] != got[i]),
             min(len(expected), len(got)))
    return "%s differs at byte %d (%d bytes expected, %d got): expected %r, got %r" % (
        what, k, len(expected), len(got), expected[max(0, k - 20):k + 20], got[max(0, k - 20):k + 20])


def check_interruption(name, result, temporaries, inputs, expected_line):
    problems = []
    if not temporaries:
        problems.append("no temporary file existed when the run was interrupted")
    if result.status != 1:
        problems.append("exit status %s, not 1" % result.status)
    if result.files != inputs:
        problems.append("the files are not the inputs as they were: %s" % sorted(result.files))
    if not re.fullmatch(expected_line, result.err):
        problems.append("standard error: %r" % result.err)
    return [name + ": " + p for p in problems]


# ------------------------------------------------------------------ Wine


def wine_environment(prefix):
    env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all",
               WINEDLLOVERRIDES="mscoree,mshtml=")  # no Mono or Gecko installers on the prefix's creation
    for display in ("DISPLAY", "WAYLAND_DISPLAY"):
        env.pop(display, None)
    return env


def start_wine(wine, env):
    """Makes the prefix and starts Wine's services once, their output going nowhere: a
    service started by a compared run would hold that run's pipes open past its end."""
    os.makedirs(env["WINEPREFIX"])
    subprocess.run(["wineserver", "-p"], env=env, check=True)
    subprocess.run([wine, "wineboot", "--init"], env=env, stdin=subprocess.DEVNULL,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, check=True)


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--linux", required=True, help="the Linux dem_varnel")
    ap.add_argument("--windows", required=True, help="dem_varnel.exe")
    ap.add_argument("--model", help="the literal model, for the differential comparison")
    ap.add_argument("--wine", default="wine", help="the wine command")
    ap.add_argument("--cases", type=int, default=150, help="cases of the differential comparison")
    args = ap.parse_args()
    linux_exe, windows_exe = os.path.abspath(args.linux), os.path.abspath(args.windows)

    work = tempfile.mkdtemp(prefix="dem_varnel_wine_")
    env = wine_environment(os.path.join(work, "prefix"))
    root = os.path.join(work, "images")
    on_linux, on_windows = [linux_exe], [args.wine, windows_exe]
    failures = 0
    try:
        start_wine(args.wine, env)
        checks = []
        for name, files, answers in sessions():
            linux = run(on_linux, env, root, files, answers)
            windows = run(on_windows, env, root, files, answers)
            checks.append((name, compare(linux, windows, files)))
        # The same version; the format layer may differ (the Windows build is without GDAL).
        version = [run(c + ["--version"], env, root, {}, b"") for c in (on_linux, on_windows)]
        for v in version:
            v.out = re.sub(rb" \((with|without) GDAL[^)]*\)", b"", v.out)
        checks.append(("--version", compare(version[0], version[1], {})))

        # An ASCII input, so that the file of its parsed values is there to go too.
        stop_answers = b"dem hill 0 0 1 0\n"
        stop_files = dict(GRID, **{"dem/hill_varnel_m2.raw": b"old"})
        result, temporaries = interrupted(on_linux, env, root, stop_files, stop_answers)
        problems = check_interruption("Linux", result, temporaries, stop_files,
                                      rb"dem_varnel: interrupted by SIGINT; temporary files removed\n")
        result, temporaries = interrupted(on_windows, env, root, stop_files, stop_answers)
        problems += check_interruption("Windows", result, temporaries, stop_files,
                                       rb"dem_varnel: interrupted by Ctrl-C; temporary files removed\r\n")
        checks.append(("Ctrl-C at a question, temporary files removed", problems))

        # Names Windows would take for something else are refused, no file opened: a
        # lone lead byte is no character in code page 932, ':' would name a stream of
        # file "a", and "con" is the console.
        japanese = dict(env, LC_ALL="ja_JP.UTF-8")
        for name, environment, answers, reason in (
                ("a name the code page cannot hold", japanese, b"dem hill\x81 0\n",
                 rb"read in code page 932, it holds a character that file names in code page \d+ cannot hold"),
                ("a name with ':'", env, b"dem a:b 0\n", rb"Windows file names cannot hold ':'"),
                ("a device's name", env, b"dem con 0\n", rb"CON is the name of a device on Windows")):
            odd = run(on_windows, environment, root, GRID, answers)
            line = rb"dem_varnel: cannot use the name c:\\images\\dem\\[^ ]*\.asc: " + reason + rb".*\r\n"
            good = odd.status == 1 and re.fullmatch(line, odd.err) and odd.files == GRID
            checks.append((name, [] if good else ["status %s, standard error %r" % (odd.status, odd.err)]))

        for name, problems in checks:
            print(("ok       %s" if not problems else "DIFFERS  %s") % name)
            for p in problems:
                print("         " + p)
            failures += bool(problems)
        for what in ("a key press at a real console (_getch): Wine runs here without a console, so the key "
                     "wait is read from a pipe",
                     "Ctrl-Break, closing the console, logoff and shutdown: no console to send them",
                     "a name typed in a console code page other than the ANSI one: no console"):
            print("SKIPPED  " + what)

        if args.model:
            print("differential comparison with the literal model, %d cases:" % args.cases, flush=True)
            differential = subprocess.run(
                [sys.executable, os.path.join(SOURCE, "tests", "model", "differential.py"),
                 "--program", windows_exe, "--wine", args.wine, "--model", os.path.abspath(args.model),
                 "--cases", str(args.cases), "--seed", "12345", "--reask"], env=env)
            failures += differential.returncode != 0
    finally:
        subprocess.run(["wineserver", "-k"], env=env)
        shutil.rmtree(work, ignore_errors=True)
    print("the Windows executable %s" % ("differs" if failures else "agrees with the Linux one"))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
