#!/usr/bin/python3
"""Writes sgp4_fixture.txt, the reference the orbit tests compare with.

Run once with Debian's python3 and its python3-sgp4 (an implementation independent of ours):
    /usr/bin/python3 tests/geo/orbit/make_sgp4_fixture.py
The tests read only the text file, so they need no Python.

What it holds, one record per line (times as seconds since 1970-01-01 UTC, km, km/s, degrees):
  SAT <name>                    an element set, followed by its two lines:
  L1 <line 1> / L2 <line 2>
  STATE <minutes from epoch> <x y z> <vx vy vz>          TEME from python-sgp4 (WGS-72, mode 'i')
  FRAME <unix s> <gmst rad> <ecef x y z> <ecef vx vy vz> <lat lon h>
        Earth-fixed state and geodetic position computed here from python-sgp4's TEME state
        with this script's own GMST (IAU-82) and geodetic formulas
  STATION <lat> <lon> <height km> <from unix s> <days> <min elevation>
  PASS <aos> <los> <max elevation time> <max elevation> <northbound|southbound>
"""
import math
import os

from sgp4.api import Satrec, WGS72

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
WEATHER = os.path.join(ROOT, "data", "tle", "weather-2026-06-19.txt")
VERIFICATION = "/usr/lib/python3/dist-packages/sgp4/SGP4-VER.TLE"

WGS84_A = 6378.137
WGS84_F = 1 / 298.257223563
WGS84_E2 = WGS84_F * (2 - WGS84_F)
OMEGA_EARTH = 7.292115146706979e-5


def checksum_ok(line):
    total = sum(int(c) if c.isdigit() else (1 if c == "-" else 0) for c in line[:68])
    return len(line) == 69 and line[68].isdigit() and total % 10 == int(line[68])


def epoch_unix(sat):
    return ((sat.jdsatepoch - 2440587.5) + sat.jdsatepochF) * 86400.0


def gmst_rad(unix_s):
    # IAU-82 GMST in seconds of time, T in Julian centuries of UT1 (taken as UTC) from J2000.
    t = (unix_s / 86400.0 + 2440587.5 - 2451545.0) / 36525.0
    sec = 67310.54841 + (876600.0 * 3600.0 + 8640184.812866) * t + 0.093104 * t * t - 6.2e-6 * t ** 3
    return math.radians(sec / 240.0) % (2 * math.pi)


def teme_to_ecef(r, v, unix_s):
    g = gmst_rad(unix_s)
    c, s = math.cos(g), math.sin(g)
    re = (c * r[0] + s * r[1], -s * r[0] + c * r[1], r[2])
    vr = (c * v[0] + s * v[1], -s * v[0] + c * v[1], v[2])
    # Earth-relative velocity: subtract omega x r.
    ve = (vr[0] + OMEGA_EARTH * re[1], vr[1] - OMEGA_EARTH * re[0], vr[2])
    return re, ve


def ecef_to_geodetic(p):
    # Heikkinen's closed form (no iteration), unlike the library's iterative solution.
    x, y, z = p
    a = WGS84_A
    b = a * (1 - WGS84_F)
    e2 = WGS84_E2
    ep2 = (a * a - b * b) / (b * b)
    rho = math.hypot(x, y)
    F = 54 * b * b * z * z
    G = rho * rho + (1 - e2) * z * z - e2 * (a * a - b * b)
    c = e2 * e2 * F * rho * rho / (G ** 3)
    s = (1 + c + math.sqrt(c * c + 2 * c)) ** (1 / 3)
    k = s + 1 + 1 / s
    P = F / (3 * k * k * G * G)
    Q = math.sqrt(1 + 2 * e2 * e2 * P)
    r0 = -P * e2 * rho / (1 + Q) + math.sqrt(
        0.5 * a * a * (1 + 1 / Q) - P * (1 - e2) * z * z / (Q * (1 + Q)) - 0.5 * P * rho * rho)
    U = math.sqrt((rho - e2 * r0) ** 2 + z * z)
    V = math.sqrt((rho - e2 * r0) ** 2 + (1 - e2) * z * z)
    z0 = b * b * z / (a * V)
    h = U * (1 - b * b / (a * V))
    lat = math.atan((z + ep2 * z0) / rho)
    lon = math.atan2(y, x)
    return math.degrees(lat), math.degrees(lon), h


def geodetic_to_ecef(lat_deg, lon_deg, h):
    lat, lon = math.radians(lat_deg), math.radians(lon_deg)
    n = WGS84_A / math.sqrt(1 - WGS84_E2 * math.sin(lat) ** 2)
    return ((n + h) * math.cos(lat) * math.cos(lon), (n + h) * math.cos(lat) * math.sin(lon),
            (n * (1 - WGS84_E2) + h) * math.sin(lat))


def elevation_deg(sat, station, unix_s):
    err, r, v = sat.sgp4_tsince((unix_s - epoch_unix(sat)) / 60.0)
    assert err == 0
    re, _ = teme_to_ecef(r, v, unix_s)
    s = geodetic_to_ecef(*station)
    d = [re[i] - s[i] for i in range(3)]
    # Up of the station is the ellipsoid normal.
    lat, lon = math.radians(station[0]), math.radians(station[1])
    up = (math.cos(lat) * math.cos(lon), math.cos(lat) * math.sin(lon), math.sin(lat))
    return math.degrees(math.asin(sum(d[i] * up[i] for i in range(3)) / math.sqrt(sum(x * x for x in d))))


def sub_satellite_latitude(sat, unix_s):
    err, r, v = sat.sgp4_tsince((unix_s - epoch_unix(sat)) / 60.0)
    re, _ = teme_to_ecef(r, v, unix_s)
    return ecef_to_geodetic(re)[0]


def passes(sat, station, start, days, min_el):
    """Brute force: elevation every 5 s, then every 0.05 s around each event."""
    step = 5.0
    t0, t1 = start - 1800.0, start + days * 86400.0 + 1800.0
    times = [t0 + i * step for i in range(int((t1 - t0) / step) + 1)]
    els = [elevation_deg(sat, station, t) for t in times]
    found = []
    aos = None
    for i in range(1, len(times)):
        if els[i - 1] < min_el <= els[i]:
            aos = fine_crossing(sat, station, times[i - 1], min_el)
        elif els[i - 1] >= min_el > els[i] and aos is not None:
            los = fine_crossing(sat, station, times[i - 1], min_el)
            # Maximum: the best of a 0.05 s scan around the best coarse sample.
            j = max(range(len(times)), key=lambda k: els[k] if aos - step <= times[k] <= los + step else -1e9)
            fine = [times[j] - step + 0.05 * k for k in range(int(2 * step / 0.05) + 1)]
            tmax = max(fine, key=lambda t: elevation_deg(sat, station, t))
            maxel = elevation_deg(sat, station, tmax)
            north = sub_satellite_latitude(sat, tmax + 1) > sub_satellite_latitude(sat, tmax - 1)
            if los > start and aos < start + days * 86400.0:
                found.append((aos, los, tmax, maxel, "northbound" if north else "southbound"))
            aos = None
    return found


def fine_crossing(sat, station, t_start, level):
    prev_t, prev_e = t_start, elevation_deg(sat, station, t_start)
    for k in range(1, 101):
        t = t_start + 0.05 * k
        e = elevation_deg(sat, station, t)
        if (prev_e < level) != (e < level):
            return prev_t + (t - prev_t) * (level - prev_e) / (e - prev_e)
        prev_t, prev_e = t, e
    raise RuntimeError("no crossing")


def read_tles(path, verification):
    lines = [l.rstrip("\r\n") for l in open(path)]
    out = []
    name = None
    for i, l in enumerate(lines):
        if l.startswith("1 ") and i + 1 < len(lines) and lines[i + 1].startswith("2 "):
            l1, l2 = l[:69], lines[i + 1][:69]
            if verification:
                # The verification file names its cases in the comment line above.
                name = lines[i - 1].lstrip("#").split("#")[0].strip() or "NORAD " + l1[2:7].strip()
            out.append((name, l1, l2))
        elif not l.startswith("2 ") and not verification:
            name = l.strip()
    return out


def main():
    records = []
    chosen = []
    for name, l1, l2 in read_tles(WEATHER, False):
        chosen.append((name, l1, l2))
    for name, l1, l2 in read_tles(VERIFICATION, True):
        if not (checksum_ok(l1) and checksum_ok(l2)):
            continue
        sat = Satrec.twoline2rv(l1, l2, WGS72)
        if 2 * math.pi / sat.no_unkozai >= 225.0:
            continue
        ok = all(sat.sgp4_tsince(m)[0] == 0 for m in range(-3 * 1440, 3 * 1440 + 1, 30))
        if ok:
            chosen.append((name, l1, l2))

    for name, l1, l2 in chosen:
        sat = Satrec.twoline2rv(l1, l2, WGS72)
        records += ["SAT " + name, "L1 " + l1, "L2 " + l2]
        for m in range(-3 * 1440, 3 * 1440 + 1, 30):
            err, r, v = sat.sgp4_tsince(float(m))
            assert err == 0
            records.append("STATE %d %.9f %.9f %.9f %.12f %.12f %.12f" % (m, *r, *v))
        for m in range(-3 * 1440, 3 * 1440 + 1, 360):
            unix_s = epoch_unix(sat) + m * 60.0
            err, r, v = sat.sgp4_tsince(m)
            re, ve = teme_to_ecef(r, v, unix_s)
            lat, lon, h = ecef_to_geodetic(re)
            records.append("FRAME %.6f %.15f %.9f %.9f %.9f %.12f %.12f %.12f %.12f %.12f %.9f"
                           % (unix_s, gmst_rad(unix_s), *re, *ve, lat, lon, h))

    # Passes of METEOR-M2 4 over a station near Barcelona, three days around the demo pass.
    meteor = [c for c in chosen if c[0] == "METEOR-M2 4"][0]
    sat = Satrec.twoline2rv(meteor[1], meteor[2], WGS72)
    station = (41.39, 2.17, 0.1)
    start = 1781827200.0  # 2026-06-19T00:00:00Z
    days, min_el = 3.0, 10.0
    records.append("STATION %.6f %.6f %.6f %.3f %.3f %.3f" % (*station, start, days, min_el))
    for p in passes(sat, station, start, days, min_el):
        records.append("PASS %.3f %.3f %.3f %.6f %s" % p)

    with open(os.path.join(HERE, "sgp4_fixture.txt"), "w") as f:
        f.write("# Written by make_sgp4_fixture.py from python3-sgp4; do not edit.\n")
        f.write("\n".join(records) + "\n")
    print("%d element sets, %d passes" % (len(chosen), sum(r.startswith("PASS") for r in records)))


if __name__ == "__main__":
    main()
