#!/usr/bin/env python3
# Derives the fixed-point iLBC tables (ilbc_tables.cpp) from the published floating-point tables.
#
# Usage: python3 gen_tables.py [tables.txt] [out.cpp]
# Defaults: tables.txt beside this script, ../ilbc_tables.cpp; the declarations go to the .h beside the
# .cpp. Python 3 standard library only.
import math
import os
import sys

here = os.path.dirname(os.path.abspath(__file__))
src = sys.argv[1] if len(sys.argv) > 1 else os.path.join(here, "tables.txt")
dst = sys.argv[2] if len(sys.argv) > 2 else os.path.join(here, "..", "ilbc_tables.cpp")


def parse(path):
    tables = {}
    name = None
    values = []
    with open(path) as f:
        for line in f:
            line = line.strip()
            if line.startswith("# name:"):
                if name:
                    tables[name] = values
                name = line.split(":", 1)[1].strip()
                values = []
            elif line.startswith("#") or not line:
                continue
            elif name:
                values.extend(float(v) for v in line.split())
    if name:
        tables[name] = values
    return tables


T = parse(src)


def q(v, bits, lo=-32768, hi=32767):
    r = int(math.floor(v * (1 << bits) + 0.5))
    return max(lo, min(hi, r))


def check(name, got, want):
    if list(got) != list(want):
        raise SystemExit("%s differs from the expected values:\n%s\n%s" % (name, got, want))


out = []


def emit(ctype, name, values, per_line=12):
    out.append("const %s %s[%d] = {" % (ctype, name, len(values)))
    for i in range(0, len(values), per_line):
        out.append("    " + ", ".join(str(v) for v in values[i:i + per_line]) + ",")
    out.append("};")
    out.append("")


def ints(name):
    return [int(v) for v in T[name]]


# LPC layer.
lsf_mean = [q(v, 13) for v in T["lsfmeanTbl"]]
check("lsf mean", lsf_mean, [2308, 3652, 5434, 7885, 10255, 12559, 15160, 17513, 20328, 22752])
emit("int16_t", "kIlbcLsfMean", lsf_mean)
check("lsf codebook size", [len(T["lsfCbTbl"])], [3 * 64 + 3 * 128 + 4 * 128])
emit("int16_t", "kIlbcLsfCb", [q(v, 13) for v in T["lsfCbTbl"]])
emit("int16_t", "kIlbcLpcWin", [q(v, 15) for v in T["lpc_winTbl"]])
emit("int16_t", "kIlbcLpcAsymWin", [q(v, 15) for v in T["lpc_asymwinTbl"]])
emit("int32_t", "kIlbcLpcLagWin", [q(v, 31, -(1 << 31), (1 << 31) - 1) for v in T["lpc_lagwinTbl"]])
chirp_synt = [q(0.9025 ** k, 15) for k in range(11)]
check("synthesis chirp", chirp_synt, [32767, 29573, 26690, 24087, 21739, 19619, 17707, 15980, 14422, 13016, 11747])
emit("int16_t", "kIlbcChirpSynt", chirp_synt)
chirp_weight = [q(0.4222 ** k, 15) for k in range(11)]
check("weighting chirp", chirp_weight, [32767, 13835, 5841, 2466, 1041, 440, 186, 78, 33, 14, 6])
emit("int16_t", "kIlbcChirpWeight", chirp_weight)
emit("int16_t", "kIlbcLsfWeight20", [q(v, 14) for v in T["lsf_weightTbl_20ms"]])
emit("int16_t", "kIlbcLsfWeight30", [q(v, 14) for v in T["lsf_weightTbl_30ms"]])

cos_tbl = [q(math.cos(math.pi * k / 64), 15) for k in range(64)]
emit("int16_t", "kIlbcCos", cos_tbl)
emit("int16_t", "kIlbcCosSlope",
     [int(math.floor(16 * 32768 * (math.cos(math.pi * (k + 1) / 64) - math.cos(math.pi * k / 64)) + 0.5))
      for k in range(64)])
grid = [32760] + [int(math.floor(32768 * math.cos(math.pi * k / 60) + 0.5)) for k in range(1, 60)] + [-32760]
emit("int16_t", "kIlbcLsfGrid", grid)
c = [32768] + cos_tbl[1:] + [-32768]
acos_slope = [-int(math.floor((1 << 20) / (c[k] - c[k + 1]) + 0.5)) for k in range(64)]
check("arc-cosine slopes", acos_slope[:3], [-26887, -8812, -5323])
emit("int16_t", "kIlbcAcosSlope", acos_slope)

# Start state.
emit("int16_t", "kIlbcStateSq3", [q(v, 13) for v in T["state_sq3Tbl"]])
frgq = T["state_frgqTbl"]
enc_scale = [q(4.5 / 10 ** frgq[i], 16 if i < 27 else 21) for i in range(64)]
check("encoder state scale", enc_scale[:2] + enc_scale[27:29], [29485, 25003, 32081, 29611])
emit("int16_t", "kIlbcStateEncScale", enc_scale)
dec_scale = [q(10 ** frgq[i] / 4.5, 8 if i < 37 else (5 if i < 59 else 3)) for i in range(64)]
check("decoder state scale", dec_scale[:2] + dec_scale[37:39] + dec_scale[59:],
      [569, 671, 4383, 4684, 8240, 9792, 12040, 15440, 22472])
emit("int16_t", "kIlbcStateDecScale", dec_scale)
thresholds = [int(math.floor(10 ** (frgq[i] + frgq[i + 1]) + 0.5)) for i in range(63)]
check("state thresholds", thresholds[:4] + thresholds[-2:], [118, 163, 222, 305, 58819185, 109782723])
emit("int32_t", "kIlbcStateThresholds", thresholds, 8)

# Codebook.
gain5 = [q(v, 14) for v in T["gain_sq5Tbl"]]
check("first stage gains", gain5[:1], [614])
emit("int16_t", "kIlbcGainSq5", gain5)
emit("int16_t", "kIlbcGainSq4", [q(v, 14) for v in T["gain_sq4Tbl"]])
emit("int16_t", "kIlbcGainSq3", [q(v, 14) for v in T["gain_sq3Tbl"]])
gain5sq = [q(v * v, 14) for v in T["gain_sq5Tbl"]]
check("squared gains", [gain5sq[0], gain5sq[1], gain5sq[2], gain5sq[-1]], [23, 92, 207, 23593])
emit("int16_t", "kIlbcGainSq5Sq", gain5sq)
cbf = [q(v, 12) for v in T["cbfiltersTbl"]]
check("codebook filter", cbf, [-140, 446, -755, 3302, 2922, -590, 343, -138])
emit("int16_t", "kIlbcCbFilter", cbf)
check("search ranges", ints("search_rangeTbl"), [58, 58, 58, 108, 44, 44] + [108] * 9)
emit("int16_t", "kIlbcSearchRange", ints("search_rangeTbl"))

# Enhancer.
lp = [q(v, 12) for v in T["lpFilt_coefsTbl"]]
check("downsampling filter", lp, [-273, 512, 1297, 1696, 1297, 512, -273])
emit("int16_t", "kIlbcLpFilt", lp)
emit("int16_t", "kIlbcPolyphase", [q(v, 12) for v in T["polyphaserTbl"]], 7)
emit("int16_t", "kIlbcEnhPlocs", [int(v * 4) for v in T["enh_plocsTbl"]])

# Bit allocation of the three protection classes (5 columns per parameter, as published).
for mode in ("20", "30"):
    p = "ULP_%smsTbl." % mode
    for field in ("lsf_bits", "start_bits", "startfirst_bits", "scale_bits", "state_bits",
                  "extra_cb_index", "extra_cb_gain", "cb_index", "cb_gain"):
        camel = "".join(w.capitalize() for w in field.split("_"))
        emit("int8_t", "kIlbcUlp%s%s" % (mode, camel), ints(p + field), 15)

decls = []


def declare(line):
    ctype, rest = line[len("const "):].split(" ", 1)
    decls.append("extern const %s %s;" % (ctype, rest.split(" =")[0]))


for line in out:
    if line.startswith("const "):
        declare(line)
with open(os.path.splitext(dst)[0] + ".h", "w") as f:
    f.write("// Declarations of the generated fixed-point iLBC tables (ilbc_tables.cpp).\n")
    f.write("#pragma once\n\n#include <cstdint>\n\n")
    f.write("\n".join(decls) + "\n")
with open(dst, "w") as f:
    f.write("// Fixed-point iLBC tables, generated by gen/gen_tables.py from gen/tables.txt; do not edit.\n")
    f.write('#include "voice/dsp/ilbc/ilbc_tables.h"\n\n')
    f.write("\n".join(out))
