#!/usr/bin/env python3
# Computes the Ostrel codec tables (ostrel_tables.cpp): reconstruction, frame-coder and upper-band tables.
#
# Usage: python3 gen_ostrel_tables.py [out.cpp]   (default: ../ostrel_tables.cpp; standard library only)
#
# How each table is derived:
# - G.711 levels L(p) of code position p come from the ITU-T G.711 expansion rules; a position rises with
#   the amplitude (mu-law: 0..254 with both zeros at 127; A-law: 0..255).
# - M and E (one pair per law): 4 M[0] is halfway between the two lowest levels (M[0] = -7936 A-law, -7903
#   mu-law), M[i+1] = M[i] + (L(2i+2) - L(2i+1)) / 2 and E[i] = L(2i) / 2 - M[i] (E[128] = 8192 A-law, 8191
#   mu-law), so 2 (E[q'] + M[q]) gives the level of any position exactly from its two 7-bit codings, and 4 M[q]
#   or 4 E[q'] alone lies between the two levels a single coding leaves open.
# - Frame-coder linear tables: the 6-bit upper part x of a 7-bit coding covers four positions (4x .. 4x+3 for
#   the second-section coding q, 4x-1 .. 4x+2 for the first-section coding q'); its linear value is the mean
#   A-law level of those positions divided by 4 (so every value fits -8191 .. 8191), and its edge is halfway
#   between the top level of the bucket below and the bottom level of its own bucket. Edge 0 is -8192 and
#   edge 64 is 8192. The same tables serve both laws: they only steer the probability model, never the
#   reconstruction, so coding stays lossless for either law.
# - Cumulative tables: 65 points of a Laplace distribution over -32 .. 32 table units (a unit is 2^shift linear
#   steps), mixed with a small uniform floor so no interval is ever empty, scaled to 0 .. 65535 with the
#   point for 0 at 32768. Table 0 is the normal one, table 1 the steeper one for blocks whose peak residual is
#   large against their energy. Slope entry i = (T[i+1] - T[i]) >> 2, so T[i] + (slope * frac >> 8) with a
#   10-bit fraction interpolates inside a unit without ever passing T[i+1].
# - Inverse tables: point c (c = 0 .. 64) is the residual, in units times 1024, where the cumulative curve
#   reaches c * 1024; slope as above. The decoder uses them only for a first guess and then checks the guess
#   against the forward table, so their precision never affects correctness.
# - Upper-band gain table: entries 0..32 are 4..36; entries 33..120 rise geometrically from 36 to 1306
#   (about 4.2 % a step); entries 120..127 are 1306, 1392, 1483, 1725, 3000, 5181, 8973, 17184.
# - Upper-band window: entry n = round(32768 (0.54 - 0.46 cos(2 pi n / 159))), n = 0 .. 39.
import math
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
dst = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "..", "ostrel_tables.cpp")

# Distribution parameters of the two cumulative tables (Laplace scale in table units, uniform floor weight).
LAPLACE_SCALE = (4.0, 1.6)
FLOOR = (0.01, 0.01)


def alaw_level(c):
    t = (c ^ 0x55) & 0x7F
    seg, mant = t >> 4, t & 15
    if seg == 0:
        mag = mant * 16 + 8
    elif seg == 1:
        mag = (mant + 16) * 16 + 8
    else:
        mag = ((mant + 16) * 16 + 8) << (seg - 1)
    return mag if c & 0x80 else -mag


def ulaw_level(c):
    u = (~c) & 0xFF
    mant, seg = u & 15, (u >> 4) & 7
    mag = (((mant << 3) + 132) << seg) - 132
    return -mag if c < 128 else mag


def alaw_code(p):
    return (p if p >= 128 else 127 - p) ^ 0x55


def ulaw_code(p):
    return p if p < 128 else 382 - p


LA = [alaw_level(alaw_code(p)) for p in range(256)]
LU = [ulaw_level(ulaw_code(p)) for p in range(255)]
assert all(LA[i] < LA[i + 1] for i in range(255))
assert all(LU[i] < LU[i + 1] for i in range(254))


def cdiv(a, b):  # C division (truncating)
    q = abs(a) // abs(b)
    return q if (a >= 0) == (b > 0) else -q


def m_e(levels, m0, e_last):
    M = [m0]
    for i in range(127):
        M.append(M[i] + cdiv(levels[2 * i + 2] - levels[2 * i + 1], 2))
    E = [cdiv(levels[2 * i], 2) - M[i] for i in range(128)] + [e_last]
    return M, E


MA, EA = m_e(LA, -7936, 8192)
MU, EU = m_e(LU, -7903, 8191)
for L, M, E, top in ((LA, MA, EA, 255), (LU, MU, EU, 254)):
    for p in range(top + 1):
        q, b = p >> 1, p & 1
        assert 2 * (E[q + b] + M[q]) == L[p], p


def bucket_positions(x, variant):
    ps = range(4 * x, 4 * x + 4) if variant == 1 else range(4 * x - 1, 4 * x + 3)
    return [p for p in ps if 0 <= p <= 255]


def linear_tables(variant):
    lin, lo, hi = [], [], []
    for x in range(64):
        lv = [LA[p] for p in bucket_positions(x, variant)]
        lin.append(int(math.floor(sum(lv) / len(lv) / 4 + 0.5)))
        lo.append(min(lv))
        hi.append(max(lv))
    edge = [-8192] + [int(math.floor((hi[x - 1] + lo[x]) / 8 + 0.5)) for x in range(1, 64)] + [8192]
    for x in range(64):
        assert edge[x] <= lin[x] < edge[x + 1], (variant, x)
        assert -8191 <= lin[x] <= 8191
    return lin, edge


def laplace_cdf(u, b):
    return 0.5 * math.exp(u / b) if u < 0 else 1 - 0.5 * math.exp(-u / b)


def cumulative(b, floor):
    lo, hi = laplace_cdf(-32, b), laplace_cdf(32, b)

    def F(u):
        lap = (laplace_cdf(u, b) - lo) / (hi - lo)
        return (1 - floor) * lap + floor * (u + 32) / 64

    T = [int(math.floor(65535 * F(i - 32) + 0.5)) for i in range(65)]
    T[0], T[32], T[64] = 0, 32768, 65535
    assert all(T[i + 1] - T[i] >= 4 for i in range(64)), T
    slope = [(T[i + 1] - T[i]) >> 2 for i in range(64)]

    inv = []
    for c in range(65):
        target = min(c * 1024, 65535) / 65535
        a, z = -32.0, 32.0
        for _ in range(60):
            mid = (a + z) / 2
            if F(mid) < target:
                a = mid
            else:
                z = mid
        inv.append(max(-32768, min(32767, int(math.floor(a * 1024 + 0.5)))))
    inv_slope = [(inv[i + 1] - inv[i]) >> 2 for i in range(64)]
    return T, slope, inv, inv_slope


def gain_table():
    g = list(range(4, 37))  # entries 0..32
    for i in range(33, 120):
        g.append(int(math.floor(36 * (1306 / 36) ** ((i - 32) / 88) + 0.5)))
    g += [1306, 1392, 1483, 1725, 3000, 5181, 8973, 17184]
    assert len(g) == 128 and all(g[i] < g[i + 1] for i in range(127))
    return g


window = [int(math.floor(32768 * (0.54 - 0.46 * math.cos(2 * math.pi * n / 159)) + 0.5)) for n in range(40)]

out = ["// Ostrel codec tables, generated by gen/gen_ostrel_tables.py (which explains each); do not edit.",
       '#include "voice/dsp/ostrel/ostrel_tables.h"', ""]


def emit(ctype, name, values, per_line=12):
    out.append("const %s %s[%d] = {" % (ctype, name, len(values)))
    for i in range(0, len(values), per_line):
        out.append("    " + ", ".join(str(v) for v in values[i:i + per_line]) + ",")
    out.append("};")
    out.append("")


def emit2(ctype, name, rows):
    out.append("const %s %s[%d][%d] = {" % (ctype, name, len(rows), len(rows[0])))
    for r in rows:
        out.append("    {")
        for i in range(0, len(r), 12):
            out.append("        " + ", ".join(str(v) for v in r[i:i + 12]) + ",")
        out.append("    },")
    out.append("};")
    out.append("")


emit2("int16_t", "kOstrelRecM", [MU, MA])
emit2("int16_t", "kOstrelRecE", [EU, EA])
lins = [linear_tables(0), linear_tables(1)]
emit2("int16_t", "kOstrelCodeToLinear", [l for l, _ in lins])
emit2("int16_t", "kOstrelEdge", [e for _, e in lins])
cums = [cumulative(LAPLACE_SCALE[i], FLOOR[i]) for i in range(2)]
emit2("int32_t", "kOstrelCum", [c[0] for c in cums])
emit2("int32_t", "kOstrelCumSlope", [c[1] for c in cums])
emit2("int32_t", "kOstrelInvCum", [c[2] for c in cums])
emit2("int32_t", "kOstrelInvCumSlope", [c[3] for c in cums])
emit("int16_t", "kOstrelWbGain", gain_table())
emit("int16_t", "kOstrelWbWindow", window)

with open(dst, "w") as f:
    f.write("\n".join(out))
print("wrote", dst)
