#!/usr/bin/env python3
"""GeoTIFF benchmark of dem_varnel's GDAL-style command line beside GDAL's own tools.

Two sections. Voids: a smooth synthetic terrain with about 2 % of its cells missing, regridded
by 0.5 and by 2 with and without the voids, by us and by gdalwarp -r average followed by
gdal_fillnodata.py; each tool's error is its voided result less its own void-free result, RMS
over the output cells that lie over a void (dilated by one cell); plus the check that a
terrain lowered by 500 m (crossing 0 m) comes out lowered by exactly 500 m. GeoTIFF: wall
time of GeoTIFF to GeoTIFF regridding by 2 and by 0.5 against gdalwarp and gdal_translate,
the same cells again in DEFLATE-compressed tiles against gdal_translate, our peak memory, and
whether it stays the same from few to many lines.

Standard library only, with GDAL's command-line tools (gdal_translate, gdalwarp, gdalinfo,
gdal_fillnodata.py); inputs are made once and kept in the work directory.
"""

import argparse
import array
import datetime
import json
import math
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

sys.dont_write_bytecode = True  # no __pycache__ left in the source tree by the import below
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from run_bench import BenchError, log, rss_floor, run_measured  # noqa: E402

MIB = 1 << 20

# Where the synthetic grids lie: UTM zone 31N, top-left corner.
SRS = "EPSG:32631"
ORIGIN_X, ORIGIN_Y = 500000.0, 4600000.0

# Voids: the terrain's pixel, its range, the share of cells punched out and the blob sizes.
VOID_PIXEL = 25.0
LOW, HIGH = 150.0, 900.0
VOID_SHARE = 0.02
BLOB_MIN, BLOB_MAX = 1, 40
NODATA = -9999.0
SEA_SHIFT = 500.0      # lowered by this much, the terrain crosses 0 m
SEA_TOLERANCE = 1e-6   # metres, in every cell
# Goals: our RMS error at most GDAL's, and GDAL's two steps at least this many times our time.
SPEED_GOAL = 5.0

# GeoTIFF throughput: make_terrain's raw 16-bit cells (decimetres), pixel 10 m.
TIFF_PIXEL = 10
# Our peak memory at the same width must not differ by more than this between few and many lines.
MEMORY_SPREAD = 4 * MIB
# Goals of our time over gdal_translate's, by factor, on the uncompressed GeoTIFF.
TRANSLATE_GOALS = {2: 0.6, 0.5: 0.8}

SIZES = {  # full and --small
    False: dict(voids=2000, tiff=(8000, 8000), few_lines=2000),
    True: dict(voids=500, tiff=(2000, 2000), few_lines=500),
}


def fmt_p(p):
    return format(p, "g")


# ---------------------------------------------------------------- tools

class Tools:
    """GDAL's programs and ours, with a log directory; every run is checked."""

    def __init__(self, work, build, timeout):
        self.logs = os.path.join(work, "logs")
        os.makedirs(self.logs, exist_ok=True)
        self.timeout = timeout
        self.ours = os.path.join(build, "dem_varnel")
        self.make_terrain = os.path.join(build, "make_terrain")
        self.gdal = {}
        for name, choices in (("gdal_translate", ["gdal_translate"]), ("gdalwarp", ["gdalwarp"]),
                              ("gdalinfo", ["gdalinfo"]),
                              ("fillnodata", ["gdal_fillnodata.py", "gdal_fillnodata"])):
            found = next((shutil.which(c) for c in choices if shutil.which(c)), None)
            if not found:
                raise BenchError(f"{choices[0]} not found (Debian: apt-get install gdal-bin "
                                 "python3-gdal)")
            self.gdal[name] = found
        self.version = subprocess.run([self.gdal["gdalinfo"], "--version"], capture_output=True,
                                      text=True).stdout.strip()
        self.commands = {}  # label -> the command line, as run

    def run(self, label, cmd, env=None):
        """Runs cmd once; returns run_measured's figures. Refuses a failed run."""
        self.commands[label] = " ".join(cmd)
        # No other run's writes pending: a tool that flushes its output to the device
        # (ours does, before renaming it into place) would otherwise wait for them too.
        os.sync()
        run = run_measured(cmd, env or os.environ, None, os.path.join(self.logs, label + ".out"),
                           self.timeout)
        if run["rc"] != 0:
            raise BenchError(f"{label}: exit status {run['rc']}: {' '.join(cmd)}\n"
                             + run["err"].decode(errors="replace").strip()[-600:])
        return run

    def quiet(self, cmd):
        """A helper step (conversion, information), untimed."""
        p = subprocess.run(cmd, capture_output=True, text=True, timeout=self.timeout)
        if p.returncode != 0:
            raise BenchError(f"exit status {p.returncode}: {' '.join(cmd)}\n"
                             + p.stderr.strip()[-600:])
        return p.stdout

    def info(self, path):
        """Size, geotransform, CRS and band of a raster, from gdalinfo -json."""
        d = json.loads(self.quiet([self.gdal["gdalinfo"], "-json", path]))
        band = d["bands"][0]
        wkt = d.get("coordinateSystem", {}).get("wkt", "")
        return dict(columns=d["size"][0], lines=d["size"][1], gt=d["geoTransform"],
                    type=band["type"], nodata=band.get("noDataValue"),
                    epsg_32631='ID["EPSG",32631]' in wkt.replace(" ", ""))

    def ours_available(self, scratch):
        """Whether our program takes the GDAL-style command line: the older one refuses
        any argument with status 2 ("unknown argument")."""
        if not os.access(self.ours, os.X_OK):
            return False, f"{self.ours} not found"
        try:
            p = subprocess.run([self.ours, "--pixel-size", "50", "a", "b"], cwd=scratch,
                               stdin=subprocess.DEVNULL, capture_output=True, timeout=60)
        except subprocess.TimeoutExpired:
            return False, "no answer to --pixel-size within 60 s"
        text = (p.stdout + p.stderr).decode(errors="replace").strip()
        if p.returncode == 2 or "unknown argument" in text:
            return False, f"status {p.returncode}: {text.splitlines()[0] if text else ''}"
        return True, ""


def remove(*paths):
    for p in paths:
        for q in (p, p + ".aux.xml"):
            if os.path.exists(q):
                os.remove(q)


def envi_stem(path):
    return os.path.splitext(path)[0] + ".f64"


def to_doubles(tools, path):
    """Converts a raster to raw doubles (ENVI, this host's byte order); returns the raw
    file's path and the raster's information."""
    info = tools.info(path)
    raw = envi_stem(path)
    remove(raw, raw[:-4] + ".hdr")
    tools.quiet([tools.gdal["gdal_translate"], "-q", "-of", "ENVI", "-ot", "Float64", path, raw])
    if os.path.getsize(raw) != info["columns"] * info["lines"] * 8:
        raise BenchError(f"{raw}: {os.path.getsize(raw)} bytes for "
                         f"{info['columns']} x {info['lines']} cells")
    return raw, info


def read_row(f, columns, r):
    row = array.array("d")
    f.seek(r * columns * 8)
    row.fromfile(f, columns)
    return row


def write_vrt(path, columns, lines, gt, data_type, raw_path, cell_bytes):
    """A VRT over a raw little-endian raster."""
    with open(path, "w") as f:
        f.write(f'<VRTDataset rasterXSize="{columns}" rasterYSize="{lines}">\n'
                f'  <GeoTransform>{", ".join(repr(float(v)) for v in gt)}</GeoTransform>\n'
                f'  <VRTRasterBand dataType="{data_type}" band="1" subClass="VRTRawRasterBand">\n'
                f'    <SourceFilename relativeToVRT="0">{raw_path}</SourceFilename>\n'
                f'    <ImageOffset>0</ImageOffset>\n'
                f'    <PixelOffset>{cell_bytes}</PixelOffset>\n'
                f'    <LineOffset>{cell_bytes * columns}</LineOffset>\n'
                f'    <ByteOrder>LSB</ByteOrder>\n'
                f'  </VRTRasterBand>\n'
                f'</VRTDataset>\n')


def raw_to_geotiff(tools, raw, columns, lines, pixel, data_type, cell_bytes, tif, nodata=None):
    """Georeferences a raw raster (origin ORIGIN_X, ORIGIN_Y, SRS) as an uncompressed GeoTIFF."""
    vrt = raw + ".vrt"
    write_vrt(vrt, columns, lines, (ORIGIN_X, pixel, 0, ORIGIN_Y, 0, -pixel), data_type, raw,
              cell_bytes)
    part = tif + ".part.tif"
    remove(part)
    tools.quiet([tools.gdal["gdal_translate"], "-q", "-of", "GTiff", "-a_srs", SRS]
                + (["-a_nodata", repr(nodata)] if nodata is not None else []) + [vrt, part])
    os.replace(part, tif)
    remove(vrt)


def stamped(path, params):
    """Whether path exists and was made with these parameters (kept in path.json)."""
    try:
        with open(path + ".json") as f:
            return os.path.isfile(path) and json.load(f) == params
    except (OSError, ValueError):
        return False


def stamp(path, params):
    with open(path + ".json", "w") as f:
        json.dump(params, f)


def median_or_none(xs):
    return statistics.median(xs) if xs else None


def fs(x, digits=2):
    return "-" if x is None else f"{x:.{digits}f}"


def geometry_text(info):
    gt = info["gt"]
    crs = "" if info["epsg_32631"] else ", **not EPSG:32631**"
    return (f"{info['columns']} x {info['lines']}, origin ({gt[0]:.10g}, {gt[3]:.10g}), "
            f"pixel {gt[1]:.10g} x {-gt[5]:.10g}{crs}")


# ---------------------------------------------------------------- voids: inputs

def terrain(n, seed):
    """n x n elevations (metres, lines from the north) of smooth rolling terrain at VOID_PIXEL:
    a few plane waves of wavelengths from 60 km down to 1 km and some gaussian hills, scaled
    to LOW..HIGH and rounded to 1/1024 m, so that lowering a cell by SEA_SHIFT is exact in
    Float32. Every term is a product of a function of x and one of y, so a line costs one
    pass per term."""
    rnd = random.Random(seed)
    xs = [(j + 0.5) * VOID_PIXEL for j in range(n)]  # metres from the west and from the north
    terms = []  # (the factor of each line, the factor of each column)
    for amp, wavelength in ((1.0, 60000), (0.5, 27000), (0.3, 13000), (0.12, 5000), (0.04, 2000),
                            (0.015, 1000)):
        theta, phase = rnd.uniform(0, math.pi), rnd.uniform(0, 2 * math.pi)
        k = 2 * math.pi / wavelength
        kx, ky = k * math.cos(theta), k * math.sin(theta)
        # sin(kx x + ky y + phase) = sin(kx x + phase) cos(ky y) + cos(kx x + phase) sin(ky y)
        terms.append(([amp * math.cos(ky * y) for y in xs], [math.sin(kx * x + phase) for x in xs]))
        terms.append(([amp * math.sin(ky * y) for y in xs], [math.cos(kx * x + phase) for x in xs]))
    side = n * VOID_PIXEL
    for _ in range(5):
        amp, sigma = rnd.uniform(-0.5, 0.8), rnd.uniform(1500, 6000)
        cx, cy = rnd.uniform(0, side), rnd.uniform(0, side)
        terms.append(([amp * math.exp(-((y - cy) / sigma) ** 2 / 2) for y in xs],
                      [math.exp(-((x - cx) / sigma) ** 2 / 2) for x in xs]))
    values = array.array("d")
    for i in range(n):
        line = [0.0] * n
        for rows, columns in terms:
            a = rows[i]
            line = [v + a * c for v, c in zip(line, columns)]
        values.extend(line)
    lo, hi = min(values), max(values)
    scale = (HIGH - LOW) / (hi - lo)
    return array.array("f", (round((LOW + (v - lo) * scale) * 1024) / 1024 for v in values))


def void_cells(n, seed):
    """Flat indices of about VOID_SHARE of n x n cells, in blobs of BLOB_MIN to BLOB_MAX cells
    grown by random walks of 4-neighbour steps (blobs may touch and merge)."""
    rnd = random.Random(seed * 7919 + 17)
    target = round(VOID_SHARE * n * n)
    voids = set()
    steps = ((1, 0), (-1, 0), (0, 1), (0, -1))
    while len(voids) < target:
        size = rnd.randint(BLOB_MIN, BLOB_MAX)
        i, j = rnd.randrange(n), rnd.randrange(n)
        blob = {i * n + j}
        while len(blob) < size:
            di, dj = rnd.choice(steps)
            i, j = min(n - 1, max(0, i + di)), min(n - 1, max(0, j + dj))
            blob.add(i * n + j)
        voids |= blob
    return sorted(voids)


def void_inputs(tools, work, n, seed):
    """The void-free terrain, the same with voids (no-data NODATA) and the voided one lowered
    by SEA_SHIFT, as Float32 GeoTIFFs; made once per size and seed. Returns their paths and
    the void cells."""
    folder = os.path.join(work, "voids")
    os.makedirs(folder, exist_ok=True)
    stem = os.path.join(folder, f"terrain{n}_s{seed}")
    paths = dict(free=stem + ".tif", voided=stem + "_voids.tif", lowered=stem + "_voids_low.tif")
    params = dict(n=n, seed=seed, pixel=VOID_PIXEL, range=[LOW, HIGH], share=VOID_SHARE,
                  blobs=[BLOB_MIN, BLOB_MAX], shift=SEA_SHIFT, version=1)
    voids = void_cells(n, seed)
    if all(stamped(p, params) for p in paths.values()):
        log(f"  {n} x {n} terrain and its voids: present, reused ({folder})")
        return paths, voids
    t0 = time.perf_counter()
    values = terrain(n, seed)
    raw = stem + ".f32"
    for kind in ("free", "voided", "lowered"):
        cells = array.array("f", values)
        if kind == "lowered":
            cells = array.array("f", (v - SEA_SHIFT for v in cells))
        if kind != "free":
            for k in voids:
                cells[k] = NODATA
        if sys.byteorder != "little":
            cells.byteswap()
        with open(raw, "wb") as f:
            cells.tofile(f)
        raw_to_geotiff(tools, raw, n, n, VOID_PIXEL, "Float32", 4, paths[kind],
                       None if kind == "free" else NODATA)
        stamp(paths[kind], params)
    remove(raw)
    log(f"  {n} x {n} terrain, {len(voids)} void cells ({100 * len(voids) / n / n:.2f} %), "
        f"{min(values):.1f} .. {max(values):.1f} m: made in {time.perf_counter() - t0:.1f} s")
    return paths, voids


# ---------------------------------------------------------------- voids: errors

def axis_cover(first, step, count, src_first, src_step, src_count):
    """For each source cell along one axis, the output cells along it whose footprint
    overlaps it with a positive length. Output cell k spans first + k step .. first + (k+1)
    step; source cell s spans src_first + s src_step .. + src_step (steps may be negative)."""
    eps = 1e-9
    cover = [[] for _ in range(src_count)]
    for k in range(count):
        a = (first + k * step - src_first) / src_step
        b = (first + (k + 1) * step - src_first) / src_step
        a, b = min(a, b), max(a, b)
        for s in range(max(0, math.floor(a + eps)), min(src_count, math.ceil(b - eps))):
            cover[s].append(k)
    return cover


def over_voids(info, voids, n):
    """The output cells (by line: line -> columns) whose footprint in the source grid holds a
    void cell, dilated by one cell (the 8 neighbours), from the output's own geotransform."""
    gt, W, H = info["gt"], info["columns"], info["lines"]
    if gt[2] or gt[4]:
        raise BenchError(f"rotated output geotransform {gt}")
    cols = axis_cover(gt[0], gt[1], W, ORIGIN_X, VOID_PIXEL, n)
    rows = axis_cover(gt[3], gt[5], H, ORIGIN_Y, -VOID_PIXEL, n)
    hit = set()
    for k in voids:
        for r in rows[k // n]:
            for c in cols[k % n]:
                hit.add(r * W + c)
    grown = set()
    for k in hit:
        r, c = divmod(k, W)
        for rr in range(max(0, r - 1), min(H, r + 2)):
            for cc in range(max(0, c - 1), min(W, c + 2)):
                grown.add(rr * W + cc)
    by_line = {}
    for k in sorted(grown):
        by_line.setdefault(k // W, []).append(k % W)
    return by_line, len(hit), len(grown)


def void_error(tools, voided_path, free_path, voids, n):
    """Voided result less void-free result over the cells over voids (dilated): RMS, largest
    difference, cells still without data in the voided result."""
    v_raw, v_info = to_doubles(tools, voided_path)
    f_raw, f_info = to_doubles(tools, free_path)
    if (v_info["columns"], v_info["lines"], v_info["gt"]) != (f_info["columns"], f_info["lines"],
                                                                f_info["gt"]):
        raise BenchError(f"{voided_path} ({geometry_text(v_info)}) and {free_path} "
                         f"({geometry_text(f_info)}) differ in geometry")
    by_line, over, dilated = over_voids(v_info, voids, n)
    W = v_info["columns"]
    nodata_v, nodata_f = v_info["nodata"], f_info["nodata"]
    total, count, largest, unfilled = 0.0, 0, 0.0, 0
    with open(v_raw, "rb") as fv, open(f_raw, "rb") as ff:
        for r, columns in by_line.items():
            a, b = read_row(fv, W, r), read_row(ff, W, r)
            for c in columns:
                x, y = a[c], b[c]
                if (nodata_v is not None and x == nodata_v) or math.isnan(x):
                    unfilled += 1
                    continue
                if (nodata_f is not None and y == nodata_f) or math.isnan(y):
                    raise BenchError(f"{free_path}: no data at line {r}, column {c}")
                d = x - y
                total += d * d
                count += 1
                largest = max(largest, abs(d))
    remove(v_raw, v_raw[:-4] + ".hdr", f_raw, f_raw[:-4] + ".hdr")
    return dict(rms=math.sqrt(total / count) if count else None, max=largest, cells=count,
                over_voids=over, dilated=dilated, unfilled=unfilled, geometry=geometry_text(v_info),
                gt=v_info["gt"], size=[v_info["columns"], v_info["lines"]], type=v_info["type"],
                epsg_32631=v_info["epsg_32631"])


def sea_difference(tools, lowered_path, original_path):
    """The largest |lowered - (original - SEA_SHIFT)| over every cell; cells without data
    must be the same in both."""
    l_raw, l_info = to_doubles(tools, lowered_path)
    o_raw, o_info = to_doubles(tools, original_path)
    if (l_info["columns"], l_info["lines"], l_info["gt"]) != (o_info["columns"], o_info["lines"],
                                                                o_info["gt"]):
        raise BenchError(f"{lowered_path} and {original_path} differ in geometry")
    W, largest = l_info["columns"], 0.0
    nl, no = l_info["nodata"], o_info["nodata"]
    with open(l_raw, "rb") as fl, open(o_raw, "rb") as fo:
        for r in range(l_info["lines"]):
            a, b = read_row(fl, W, r), read_row(fo, W, r)
            for x, y in zip(a, b):
                gone_x, gone_y = x == nl or math.isnan(x), y == no or math.isnan(y)
                if gone_x or gone_y:
                    if gone_x != gone_y:
                        largest = math.inf
                    continue
                largest = max(largest, abs(x - (y - SEA_SHIFT)))
    remove(l_raw, l_raw[:-4] + ".hdr", o_raw, o_raw[:-4] + ".hdr")
    return largest


# ---------------------------------------------------------------- voids: section

def voids_section(tools, work, n, seed, reps, ours_ok):
    log(f"\nVoids: {n} x {n} cells at {VOID_PIXEL:g} m, {100 * VOID_SHARE:g} % voids")
    paths, voids = void_inputs(tools, work, n, seed)
    out = os.path.join(work, "voids", "out")
    os.makedirs(out, exist_ok=True)
    g = tools.gdal
    results = []
    for factor in (0.5, 2):
        p = VOID_PIXEL / factor
        case = f"x {fmt_p(factor)}"
        tag = f"{n}_x{fmt_p(factor)}"
        tr = ["-tr", fmt_p(p), fmt_p(p)]
        log(f"  {case} (pixel {fmt_p(p)} m):")

        # GDAL: average with the voids left out, then fill what stays empty
        warped, filled, free = (os.path.join(out, f"gdal_{tag}_{k}.tif")
                                for k in ("warped", "voided", "free"))
        warp_t, fill_t = [], []
        for rep in range(reps):
            remove(warped, filled)
            w = tools.run(f"voids_{tag}_gdalwarp_{rep + 1}",
                          [g["gdalwarp"], "-q", "-overwrite", "-r", "average"] + tr +
                          ["-srcnodata", repr(NODATA), "-dstnodata", repr(NODATA),
                           paths["voided"], warped])
            f = tools.run(f"voids_{tag}_fillnodata_{rep + 1}",
                          [g["fillnodata"], "-q", warped, filled])
            warp_t.append(w["wall"])
            fill_t.append(f["wall"])
            log(f"    gdalwarp + gdal_fillnodata run {rep + 1}: "
                f"{w['wall']:.2f} + {f['wall']:.2f} s")
        remove(free)
        tools.run(f"voids_{tag}_gdalwarp_free",
                  [g["gdalwarp"], "-q", "-overwrite", "-r", "average"] + tr + [paths["free"], free])
        warped_info = tools.info(warped)
        err = void_error(tools, filled, free, voids, n)
        sums = [a + b for a, b in zip(warp_t, fill_t)]
        # GDAL's own start: loading it, opening the source, reading its coordinate system.
        # No program that reads the source through GDAL takes less.
        start_t = [tools.run(f"voids_{tag}_gdalinfo_{rep + 1}",
                             [g["gdalinfo"], "-nomd", paths["voided"]])["wall"]
                   for rep in range(reps)]
        gdal_row = dict(case=case, factor=factor, pixel=p, tool="GDAL", **err,
                        warp_times=warp_t, fill_times=fill_t, times=sums,
                        median=median_or_none(sums), warp_median=median_or_none(warp_t),
                        fill_median=median_or_none(fill_t), start_times=start_t,
                        start_median=median_or_none(start_t))
        log(f"    GDAL: {err['geometry']}; RMS {fs(err['rms'], 4)} m, largest {err['max']:.3f} m "
            f"over {err['cells']} cells ({err['over_voids']} over voids, "
            f"{err['dilated']} dilated), "
            f"{err['unfilled']} left without data; gdalwarp's output {geometry_text(warped_info)}")
        results.append(gdal_row)

        ours_row = dict(case=case, factor=factor, pixel=p, tool="ours", available=ours_ok)
        if ours_ok:
            voided_o, free_o, low_o, doubles_o = (os.path.join(out, f"ours_{tag}_{k}.tif")
                                                  for k in ("voided", "free", "lowered", "f64"))
            # The source's cell type, as GDAL's tools write; the sea-level check in doubles.
            ours_cmd = lambda src, dst, *ot: [tools.ours, "--pixel-size", fmt_p(p), *ot,
                                              "-q", "--overwrite", src, dst]
            times = []
            for rep in range(reps):
                remove(voided_o)  # as GDAL's outputs: no old file to replace in the timed run
                r = tools.run(f"voids_{tag}_ours_{rep + 1}", ours_cmd(paths["voided"], voided_o))
                times.append(r["wall"])
                log(f"    ours run {rep + 1}: {r['wall']:.2f} s")
            tools.run(f"voids_{tag}_ours_free", ours_cmd(paths["free"], free_o))
            f64 = ("-ot", "Float64")
            tools.run(f"voids_{tag}_ours_lowered", ours_cmd(paths["lowered"], low_o, *f64))
            tools.run(f"voids_{tag}_ours_f64", ours_cmd(paths["voided"], doubles_o, *f64))
            err = void_error(tools, voided_o, free_o, voids, n)
            sea = sea_difference(tools, low_o, doubles_o)
            ours_row.update(err, times=times, median=median_or_none(times), sea_max=sea,
                            sea_met=sea <= SEA_TOLERANCE)
            ours_row["rms_met"] = (err["rms"] is not None and gdal_row["rms"] is not None
                                   and err["rms"] <= gdal_row["rms"])
            ours_row["speed"] = gdal_row["median"] / ours_row["median"]
            ours_row["start"] = gdal_row["start_median"]
            ours_row["most"] = gdal_row["median"] / gdal_row["start_median"]
            ours_row["speed_met"] = ours_row["speed"] >= SPEED_GOAL
            log(f"    ours: {err['geometry']}; RMS {fs(err['rms'], 4)} m, "
                f"largest {err['max']:.3f} m "
                f"over {err['cells']} cells, {err['unfilled']} left without data; lowered by "
                f"{SEA_SHIFT:g} m: largest difference {sea:.3g} m")
        results.append(ours_row)
    return results


def voids_table(results):
    rows = ["| Case | Tool | Output geometry | Cells over voids (dilated) | RMS error (m) | "
            "Largest error (m) | Left without data | Wall time (s) | RMS ours <= GDAL | "
            f"GDAL / ours time (goal >= {SPEED_GOAL:g}) | Lowered {SEA_SHIFT:g} m: largest "
            f"difference (goal <= {SEA_TOLERANCE:g} m) |",
            "|---|---|---|---|---|---|---|---|---|---|---|"]
    for r in results:
        if r["tool"] == "ours" and not r["available"]:
            rows.append(f"| {r['case']} | ours | not available | | | | | | | | |")
            continue
        if r["tool"] == "GDAL":
            wall = f"{fs(r['warp_median'])} + {fs(r['fill_median'])} = {fs(r['median'])}"
            goals = ["", "", ""]
        else:
            wall = fs(r["median"])
            goals = ["yes" if r["rms_met"] else "**no**",
                     f"{r['speed']:.1f} ({'yes' if r['speed_met'] else '**no**'})",
                     f"{r['sea_max']:.2g} ({'yes' if r['sea_met'] else '**no**'})"]
        tool = "gdalwarp + gdal_fillnodata.py" if r["tool"] == "GDAL" else "ours"
        rows.append(f"| {r['case']} | {tool} | {r['geometry']} | {r['cells']} | "
                    f"{fs(r['rms'], 4)} | "
                    f"{r['max']:.3f} | {r['unfilled']} | {wall} | " + " | ".join(goals) + " |")
    starts = [f"{r['case']}: {fs(r['start'])} s, at most {r['most']:.1f} x"
              for r in results if r["tool"] == "ours" and r.get("start")]
    if starts:
        rows.append("\nGDAL's own start (gdalinfo on the voided source: loading GDAL, opening "
                    "the file, reading its coordinate system), and the most GDAL's two steps' "
                    "time can be over that of any program that reads the source through GDAL: "
                    + "; ".join(starts) + ".")
    return "\n".join(rows)


# ---------------------------------------------------------------- GeoTIFF throughput

def tiff_input(tools, work, lines, columns):
    """make_terrain's raw 16-bit terrain (decimetres) as a UInt16 GeoTIFF, pixel TIFF_PIXEL."""
    folder = os.path.join(work, "geotiff")
    os.makedirs(folder, exist_ok=True)
    name = f"t{columns}x{lines}"
    tif = os.path.join(folder, name + ".tif")
    params = dict(lines=lines, columns=columns, pixel=TIFF_PIXEL, unit=1, version=1)
    if stamped(tif, params):
        log(f"  {name}.tif: present, reused")
        return tif
    if not os.access(tools.make_terrain, os.X_OK):
        raise BenchError(f"{tools.make_terrain} not found: build it (see bench/README.md)")
    stem = os.path.join(folder, name)
    t0 = time.perf_counter()
    subprocess.run([tools.make_terrain, str(lines), str(columns), "raw16", stem, "--unit", "1",
                    "--pixel", str(TIFF_PIXEL)], check=True, stdout=subprocess.DEVNULL)
    raw, descriptor = stem + "_m2.raw", stem + "_m2.txt"
    raw_to_geotiff(tools, raw, columns, lines, TIFF_PIXEL, "UInt16", 2, tif)
    remove(raw, descriptor)
    stamp(tif, params)
    log(f"  {name}.tif: made in {time.perf_counter() - t0:.1f} s")
    return tif


def tiled_input(tools, src):
    """The same cells in tiles of 512 x 512, DEFLATE-compressed, as cloud-optimised GeoTIFFs
    (Copernicus's DEMs, say) hold them."""
    tif = src[:-len(".tif")] + "_tiled.tif"
    made = os.stat(src)
    params = dict(source=os.path.basename(src), source_bytes=made.st_size,
                  source_mtime=made.st_mtime_ns, tiles=512, compress="DEFLATE", version=1)
    if stamped(tif, params):
        log(f"  {os.path.basename(tif)}: present, reused")
        return tif
    tools.quiet([tools.gdal["gdal_translate"], "-q", "-co", "TILED=YES", "-co", "BLOCKXSIZE=512",
                 "-co", "BLOCKYSIZE=512", "-co", "COMPRESS=DEFLATE", src, tif])
    stamp(tif, params)
    return tif


def geotiff_section(tools, work, size, few_lines, reps, ours_ok):
    lines, columns = size
    log(f"\nGeoTIFF: {columns} x {lines} UInt16 (decimetres), pixel {TIFF_PIXEL} m")
    need = columns * lines * 2 * (2 + 4) + (columns * few_lines * 2 if ours_ok else 0) + 1024 * MIB
    free_bytes = shutil.disk_usage(work).free
    if free_bytes < need:
        raise BenchError(f"{work}: {free_bytes / MIB:.0f} MiB free, {need / MIB:.0f} MiB needed")
    sources = {"": tiff_input(tools, work, lines, columns)}
    sources[", tiled"] = tiled_input(tools, sources[""])
    src = sources[""]
    out = os.path.join(work, "geotiff", "out")
    os.makedirs(out, exist_ok=True)
    g = tools.gdal
    cases = []
    for layout, factor, pct in (("", 2, "200%"), ("", 0.5, "50%"), (", tiled", 2, "200%"),
                                (", tiled", 0.5, "50%")):
        p = TIFF_PIXEL / factor
        tag = f"x{fmt_p(factor)}" + ("_tiled" if layout else "")
        src = sources[layout]
        runners = {}
        if ours_ok:
            runners["ours"] = [tools.ours, "--pixel-size", fmt_p(p), "-ot", "UInt16", "-q",
                               "--overwrite", src]
            if not layout:
                # What the cores can give at best: the one-thread run's work shared
                # evenly, beside the start, which is not shared.
                runners["ours_one_thread"] = runners["ours"][:1] + ["--threads", "1"] + \
                    runners["ours"][1:]
                runners["start"] = [g["gdalinfo"], "-nomd", src]
        if factor == 2 and not layout:
            runners["gdalwarp"] = [g["gdalwarp"], "-q", "-overwrite", "-r", "average", "-tr",
                                   fmt_p(p), fmt_p(p), src]
        runners["gdal_translate"] = [g["gdal_translate"], "-q", "-r", "average", "-outsize", pct,
                                     pct, src]
        figures = {tool: [] for tool in runners}
        sizes = {}
        for rep in range(reps):
            for tool, cmd in runners.items():
                if tool == "start":
                    figures[tool].append(tools.run(f"geotiff_{tag}_{tool}_{rep + 1}", cmd))
                    continue
                dst = os.path.join(out, f"{tool}_{tag}.tif")
                remove(dst)
                r = tools.run(f"geotiff_{tag}_{tool}_{rep + 1}", cmd + [dst])
                if tool not in sizes:
                    sizes[tool] = tools.info(dst)
                remove(dst)
                figures[tool].append(r)
                log(f"  x {fmt_p(factor)}{layout} {tool:<15} run {rep + 1}: {r['wall']:6.2f} s  "
                    f"{r['rss'] / MIB:6.1f} MiB")
        case = dict(case=f"x {fmt_p(factor)}{layout}", factor=factor, pixel=p, tools={})
        start = figures.pop("start", None)
        for tool, runs in figures.items():
            case["tools"][tool] = dict(times=[r["wall"] for r in runs],
                                       median=statistics.median(r["wall"] for r in runs),
                                       rss_max=max(r["rss"] for r in runs),
                                       geometry=geometry_text(sizes[tool]),
                                       type=sizes[tool]["type"],
                                       epsg_32631=sizes[tool]["epsg_32631"],
                                       command=tools.commands[f"geotiff_{tag}_{tool}_1"])
        if ours_ok:
            ours = case["tools"]["ours"]["median"]
            for tool, t in case["tools"].items():
                if tool != "ours":
                    t["ours_ratio"] = ours / t["median"]
        if start:
            case["cores_bound"] = cores_bound(case, [r["wall"] for r in start])
        cases.append(case)

    memory = None
    if ours_ok:
        few = tiff_input(tools, work, few_lines, columns)
        src = sources[""]
        dst = os.path.join(out, "ours_few.tif")
        rss = []
        for rep in range(reps):
            remove(dst)
            r = tools.run(f"geotiff_memory_ours_{rep + 1}",
                          [tools.ours, "--pixel-size", fmt_p(TIFF_PIXEL / 2), "-ot", "UInt16",
                           "-q", "--overwrite", few, dst])
            rss.append(r["rss"])
        remove(dst)
        many = cases[0]["tools"]["ours"]["rss_max"]
        memory = dict(columns=columns, few_lines=few_lines, many_lines=lines, few_rss=max(rss),
                      many_rss=many, difference=many - max(rss),
                      met=abs(many - max(rss)) <= MEMORY_SPREAD)
        log(f"  ours x 2, {columns} columns: peak {max(rss) / MIB:.1f} MiB at {few_lines} lines, "
            f"{many / MIB:.1f} MiB at {lines} lines")
    return dict(input=sources[""], tiled_input=sources[", tiled"], size=[columns, lines],
                cases=cases, memory=memory)


def cores():
    return len(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else os.cpu_count()


def cores_bound(case, start_times):
    """The least time our run could take on this machine's cores: GDAL's start (gdalinfo
    -nomd on the source: loading GDAL, opening the source, reading its coordinate system),
    then the rest of the one-thread run shared evenly; over gdal_translate's, against the
    goal."""
    start = statistics.median(start_times)
    one = case["tools"]["ours_one_thread"]["median"]
    translate = case["tools"]["gdal_translate"]["median"]
    bound = start + (one - start) / cores()
    goal = TRANSLATE_GOALS.get(case["factor"])
    return dict(cores=cores(), start_times=start_times, start=start, one_thread=one,
                bound=bound, bound_ratio=bound / translate, goal=goal,
                reachable=None if goal is None else bound / translate <= goal)


def cores_table(cases):
    n = cores()
    rows = [f"| Case | Ours, one thread (s) | GDAL's start (s) | Best on {n} cores (s) | "
            f"gdal_translate (s) | Best / gdal_translate | Goal | Reachable on {n} cores |",
            "|---|---|---|---|---|---|---|---|"]
    for case in cases:
        b = case.get("cores_bound")
        if b:
            rows.append(f"| {case['case']} | {b['one_thread']:.2f} | {b['start']:.3f} | "
                        f"{b['bound']:.2f} | {case['tools']['gdal_translate']['median']:.2f} | "
                        f"{b['bound_ratio']:.2f} | {fs(b['goal'])} | "
                        f"{'yes' if b['reachable'] else '**no**'} |")
    return "\n".join(rows) if len(rows) > 2 else ""


def geotiff_table(result, ours_ok):
    rows = ["| Case | Tool | Output geometry | Median (s) | Runs (s) | Ours / tool | "
            "Peak RSS (MiB) |",
            "|---|---|---|---|---|---|---|"]
    for case in result["cases"]:
        if not ours_ok:
            rows.append(f"| {case['case']} | ours | not available | | | | |")
        for tool, t in case["tools"].items():
            rows.append(f"| {case['case']} | {tool} | {t['geometry']} | {t['median']:.2f} | "
                        + " / ".join(f"{x:.2f}" for x in t["times"])
                        + f" | {fs(t.get('ours_ratio'))} | {t['rss_max'] / MIB:.1f} |")
    bounds = cores_table(result["cases"])
    if bounds:
        rows += ["", f"Best on {cores()} cores: GDAL's start, then the rest of our one-thread "
                 "run shared evenly by the cores.", "", bounds]
    m = result["memory"]
    rows.append("")
    if m:
        rows += [f"| Ours, x 2 | Columns | Peak RSS at {m['few_lines']} lines (MiB) | "
                 f"at {m['many_lines']} lines (MiB) | Difference (MiB) | "
                 f"Within {MEMORY_SPREAD // MIB} MiB |",
                 "|---|---|---|---|---|---|",
                 f"| bounded memory | {m['columns']} | {m['few_rss'] / MIB:.1f} | "
                 f"{m['many_rss'] / MIB:.1f} | {m['difference'] / MIB:+.1f} | "
                 f"{'yes' if m['met'] else '**no**'} |"]
    else:
        rows.append("Our peak RSS from few to many lines: not available.")
    return "\n".join(rows)


# ---------------------------------------------------------------- main

def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--build", default="/tmp/bench-build",
                    help="directory holding dem_varnel and make_terrain (default %(default)s)")
    ap.add_argument("--work", default="/tmp/dem_varnel_gis_bench",
                    help="inputs (kept for reuse), outputs and logs (default %(default)s)")
    ap.add_argument("--voids", action="store_true", help="the voids section only")
    ap.add_argument("--geotiff", action="store_true", help="the GeoTIFF throughput section only")
    ap.add_argument("--small", action="store_true",
                    help="small sizes for a quick trial (voids 500 x 500, GeoTIFF 2000 x 2000 and "
                         "2000 x 500)")
    ap.add_argument("--repeat", type=int, default=3, help="timed runs of each tool (default 3)")
    ap.add_argument("--seed", type=int, default=1, help="seed of the voids' terrain (default 1)")
    ap.add_argument("--json", metavar="FILE", help="write the raw figures there")
    ap.add_argument("--timeout", type=float, default=3600, help="seconds allowed for one run")
    args = ap.parse_args()
    if args.repeat < 1:
        sys.exit("--repeat must be at least 1")
    sections = [s for s in ("voids", "geotiff") if getattr(args, s)] or ["voids", "geotiff"]
    work = os.path.abspath(args.work)
    repo = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    if os.path.commonpath([work, repo]) == repo:
        sys.exit(f"the work directory {work} lies inside the repository {repo}; choose another")
    os.makedirs(work, exist_ok=True)
    sizes = SIZES[args.small]

    tools = Tools(work, os.path.abspath(args.build), args.timeout)
    ours_ok, why = tools.ours_available(work)
    log(tools.version)
    log(f"Ours: {tools.ours}: "
        + ("GDAL-style command line" if ours_ok else f"not available ({why})"))
    floor = rss_floor()
    if floor:
        log(f"Peak RSS from os.wait4: figures include up to {floor / MIB:.0f} MiB of this script")
    load_before = os.getloadavg()
    report = dict(meta=dict(date=datetime.datetime.now().isoformat(timespec="seconds"),
                            gdal=tools.version, ours=tools.ours, ours_available=ours_ok,
                            ours_refusal=why or None, repeat=args.repeat, small=args.small,
                            seed=args.seed, load_before=load_before,
                            rss_source="wait4" if floor else "/usr/bin/time -f %M"))
    tables = []
    if "voids" in sections:
        report["voids"] = voids_section(tools, work, sizes["voids"], args.seed, args.repeat,
                                        ours_ok)
        tables.append((f"Voids ({sizes['voids']} x {sizes['voids']} cells at {VOID_PIXEL:g} m, "
                       "errors over the output cells over voids, dilated by one cell; medians of "
                       f"{args.repeat}):", voids_table(report["voids"])))
    if "geotiff" in sections:
        report["geotiff"] = geotiff_section(tools, work, sizes["tiff"], sizes["few_lines"],
                                            args.repeat, ours_ok)
        tables.append((f"GeoTIFF to GeoTIFF ({sizes['tiff'][1]} x {sizes['tiff'][0]} UInt16, "
                       f"medians of {args.repeat}):", geotiff_table(report["geotiff"], ours_ok)))
    report["meta"]["load_after"] = os.getloadavg()
    report["commands"] = tools.commands
    log(f"\nResults (load average {load_before[0]:.2f} before, "
        f"{report['meta']['load_after'][0]:.2f} after):")
    for title, table in tables:
        log(f"\n{title}\n\n{table}")
    if args.json:
        with open(args.json, "w") as f:
            json.dump(report, f, indent=2)
        log(f"\nWritten {args.json}")


if __name__ == "__main__":
    try:
        main()
    except BenchError as e:
        sys.exit(f"benchmark failed: {e}")
    except subprocess.CalledProcessError as e:
        sys.exit(f"benchmark failed: {e}")
