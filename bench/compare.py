#!/usr/bin/env python3
"""Times vellicor embed/extract against cp and age on the same file and prints
medians side by side, ratios, and peak resident memory against the targets:
unflushed (eatmydata) at most 3.0x cp and 0.7x age at 256 MiB; as shipped no
slower than age followed by sync; peak memory the same at any size; the
largest input within 1.2x of eight times the 256 MiB time."""

import argparse
import os
import shutil
import statistics
import struct
import subprocess
import sys
import tempfile
import time
import zlib

MiB = 1024 * 1024


def make_carrier(path, width=64, height=64):
    """A small valid RGB PNG of noise, made here so nothing is downloaded."""
    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))
    raw = b"".join(b"\0" + os.urandom(width * 3) for _ in range(height))
    ihdr = struct.pack(">IIBBBBB", width, height, 8, 2, 0, 0, 0)
    with open(path, "wb") as f:
        f.write(b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", ihdr) + chunk(b"IDAT", zlib.compress(raw)) + chunk(b"IEND", b""))


def make_random_file(path, size):
    with open(path, "wb") as f:
        left = size
        while left:
            n = min(left, 16 * MiB)
            f.write(os.urandom(n))
            left -= n


def run_once(cmd, cwd):
    """Wall seconds and peak RSS in bytes of one run. The peak comes from
    /usr/bin/time: a child forked from this Python process would start out
    counting Python's own pages."""
    with tempfile.NamedTemporaryFile("r", suffix=".rss") as rss:
        start = time.perf_counter()
        proc = subprocess.run(["/usr/bin/time", "-f", "%M", "-o", rss.name] + cmd, cwd=cwd,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
        wall = time.perf_counter() - start
        if proc.returncode != 0:
            sys.exit(f"bench: {' '.join(cmd)} failed ({proc.returncode}): {proc.stderr.decode(errors='replace')}")
        return wall, int(rss.read().split()[-1]) * 1024


def warm(path):
    """Reads a file through so that every command finds it in the page cache."""
    with open(path, "rb") as f:
        while f.read(16 * MiB):
            pass


def measure_rounds(commands, cwd, runs, keep=(), hot=()):
    """Runs the commands in turn, round after round, so that a change in the
    machine's load falls on all of them alike. commands: name -> (argv, output
    file to delete first). Outputs not named in `keep` are deleted after each
    run, so that a big file's outputs do not push the inputs out of memory;
    the files in `hot` are read through before each run. Returns name ->
    (median wall seconds, peak RSS)."""
    walls = {name: [] for name in commands}
    peaks = {name: 0 for name in commands}
    for _ in range(runs):
        for name, (cmd, output) in commands.items():
            path = os.path.join(cwd, output)
            if os.path.exists(path):
                os.remove(path)
            # Every run starts with the earlier runs' output on disk, so that
            # no command pays for another's writeback.
            os.sync()
            for h in hot:
                if os.path.exists(os.path.join(cwd, h)):
                    warm(os.path.join(cwd, h))
            w, p = run_once(cmd, cwd)
            walls[name].append(w)
            peaks[name] = max(peaks[name], p)
            if output not in keep:
                os.remove(path)
    if os.environ.get("BENCH_VERBOSE"):
        for name, ws in walls.items():
            print(f"bench: {name}: " + " ".join(f"{w * 1000:.0f}" for w in ws) + " ms", file=sys.stderr)
    return {name: (statistics.median(walls[name]), peaks[name]) for name in commands}


def same_file(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(16 * MiB), fb.read(16 * MiB)
            if x != y:
                return False
            if not x:
                return True


# The largest input one chunk can carry: the chunk is then exactly 2^31 - 1 bytes.
BIG = 2_147_482_041


def bench_size(label, size, work, program, runs):
    d = os.path.join(work, label)
    os.makedirs(d)
    prog = os.path.join(d, "vellicor")
    shutil.copy2(program, prog)
    subprocess.run([prog, "genkeys"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run(["age-keygen", "-o", os.path.join(d, "age.key")], check=True,
                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    recipient = subprocess.run(["age-keygen", "-y", os.path.join(d, "age.key")], check=True,
                               capture_output=True, text=True).stdout.strip()
    make_random_file(os.path.join(d, "input.bin"), size)
    make_carrier(os.path.join(d, "carrier.png"))

    # eatmydata makes fsync a no-op, so the data path compares with tools
    # that do not flush; the plain rows are the program as shipped.
    nosync = ["eatmydata"]
    age_enc = f"age -r {recipient} -o sealed_sync.age input.bin && sync sealed_sync.age"
    age_dec = "age -d -i age.key -o opened_sync.bin sealed.age && sync opened_sync.bin"
    got = measure_rounds({
        "cp": (nosync + ["cp", "input.bin", "copy.bin"], "copy.bin"),
        "age_enc": (nosync + ["age", "-r", recipient, "-o", "sealed.age", "input.bin"], "sealed.age"),
        "age_dec": (nosync + ["age", "-d", "-i", "age.key", "-o", "opened.bin", "sealed.age"], "opened.bin"),
        "embed": (nosync + [prog, "embed", "input.bin", "carrier.png", "stego.png"], "stego.png"),
        "extract": (nosync + [prog, "extract", "stego.png", "restored.bin"], "restored.bin"),
        "age_enc_sync": (["sh", "-c", age_enc], "sealed_sync.age"),
        "age_dec_sync": (["sh", "-c", age_dec], "opened_sync.bin"),
        "embed_flushed": ([prog, "embed", "input.bin", "carrier.png", "stego_flushed.png"], "stego_flushed.png"),
        "extract_flushed": ([prog, "extract", "stego.png", "restored_flushed.bin"], "restored_flushed.bin"),
        # The input through a pipe ("-"): read in order, its size unknown beforehand.
        "embed_piped": (["sh", "-c", f"cat input.bin | eatmydata {prog} embed - carrier.png stego_piped.png"],
                        "stego_piped.png"),
    }, d, runs, keep=("sealed.age", "stego.png", "restored.bin", "restored_flushed.bin"),
        hot=("input.bin", "carrier.png", "sealed.age", "stego.png"))
    for restored in ("restored.bin", "restored_flushed.bin"):
        if not same_file(os.path.join(d, "input.bin"), os.path.join(d, restored)):
            sys.exit("bench: the restored file differs from the input")
    # The stego as a source that cannot seek: through a pipe as the stego to
    # extract, and as the carrier of a small embed (peak memory only).
    with open(os.path.join(d, "small.txt"), "w") as f:
        f.write("small")
    piped = {}
    for op, cmd in (("extract", f"cat stego.png | {prog} extract /dev/stdin piped.bin"),
                    ("embed", f"cat stego.png | {prog} embed small.txt /dev/stdin piped.png")):
        piped[op] = run_once(["sh", "-c", cmd], d)[1]
    if not same_file(os.path.join(d, "input.bin"), os.path.join(d, "piped.bin")):
        sys.exit("bench: the file restored from a pipe differs from the input")
    shutil.rmtree(d)
    return {"label": label, "size": size, "piped": piped, **got}


# Hostile inputs: the cost must stay near the I/O.
EMPTY_CHUNKS = 4 * 1024 * 1024
CHUNK_TARGET = 5.0  # the chunk walk: at most this many times reading the file
NAMES = 100_000
NAME_LENGTH = 216
LISTING_TARGET = 3.0  # path correction: at most this many times `ls -lU` of the folder


def time_rounds(commands, cwd, runs):
    """Median wall time and largest peak RSS of each command, run in turn
    round after round; the files named after each command are removed after
    every run. commands: name -> (argv, files it leaves)."""
    walls = {name: [] for name in commands}
    peaks = {name: 0 for name in commands}
    for _ in range(runs):
        for name, (cmd, leaves) in commands.items():
            w, p = run_once(cmd, cwd)
            walls[name].append(w)
            peaks[name] = max(peaks[name], p)
            for f in leaves:
                os.remove(os.path.join(cwd, f))
    return {name: (statistics.median(walls[name]), peaks[name]) for name in commands}


def empty_chunks(count):
    """`count` empty ancillary chunks, each with its right CRC."""
    one = struct.pack(">I", 0) + b"zzZz" + struct.pack(">I", zlib.crc32(b"zzZz"))
    return one * count


def bench_hostile(work, program, runs):
    """The two hostile inputs: a PNG of millions of empty chunks (embedded
    into, extracted from) against reading or copying the file, and a mistyped
    long name in a folder of many long names against `ls -lU` of it."""
    d = os.path.join(work, "hostile")
    os.makedirs(d)
    prog = os.path.join(d, "vellicor")
    shutil.copy2(program, prog)
    subprocess.run([prog, "genkeys"], check=True, stdout=subprocess.DEVNULL)
    make_carrier(os.path.join(d, "carrier.png"))
    with open(os.path.join(d, "small.txt"), "w") as f:
        f.write("small")
    subprocess.run([prog, "embed", "small.txt", "carrier.png", "stego.png"], check=True, stdout=subprocess.DEVNULL)
    chunks = empty_chunks(EMPTY_CHUNKS)
    for name, source in (("many_carrier.png", "carrier.png"), ("many_stego.png", "stego.png")):
        with open(os.path.join(d, source), "rb") as f:
            body = f.read()
        with open(os.path.join(d, name), "wb") as f:
            f.write(body[:8] + chunks + body[8:])
    for name in ("many_carrier.png", "many_stego.png"):
        warm(os.path.join(d, name))
    os.sync()
    chunk_rows = time_rounds({
        "read": (["cat", "many_stego.png"], []),
        "extract": ([prog, "extract", "many_stego.png", "out.bin"], ["out.bin"]),
        "copy": (["eatmydata", "cp", "many_carrier.png", "copy.png"], ["copy.png"]),
        "embed": (["eatmydata", prog, "embed", "small.txt", "many_carrier.png", "out.png"], ["out.png"]),
    }, d, runs)

    # Every name is as long as the typed one and shares all but its number
    # with it, so no name can be ruled out early; the real one is a stego.
    names = os.path.join(d, "names")
    os.makedirs(names)
    stem = "".join("abcdefghijklmnopqrstuvwxyz"[(i * 7) % 26] for i in range(NAME_LENGTH - 12))
    real = None
    for i in range(NAMES):
        name = f"{stem}{i:08d}.png"
        if i == NAMES // 2:
            real = name
            shutil.copyfile(os.path.join(d, "stego.png"), os.path.join(names, name))
        else:
            open(os.path.join(names, name), "wb").close()
    typed = real[:100] + ("Q" if real[100] != "q" else "R") + real[101:]
    os.sync()
    listing_rows = time_rounds({
        "ls": (["ls", "-lU", "names"], []),
        "correct": ([prog, "extract", "names/" + typed, "out.bin"], ["out.bin"]),
    }, d, runs)
    shutil.rmtree(d)
    return {"chunks": chunk_rows, "listing": listing_rows}


def print_hostile(h):
    size = EMPTY_CHUNKS * 12
    print(f"\nHostile inputs (medians): a PNG with {EMPTY_CHUNKS:,} empty chunks ({size / MiB:.0f} MiB more),"
          f" and a mistyped {NAME_LENGTH}-byte name among {NAMES:,} names of that length.")
    c, l = h["chunks"], h["listing"]
    rows = (("empty chunks", "extract", c["extract"], "cat", c["read"], CHUNK_TARGET),
            ("empty chunks", "embed", c["embed"], "cp", c["copy"], CHUNK_TARGET),
            ("long names", "correct", l["correct"], "ls -lU", l["ls"], LISTING_TARGET))
    for label, op, (t, rss), ref_name, (ref, _), target in rows:
        verdict = f"<={target}x {ref_name}" if t <= target * ref else f"OVER {target}x {ref_name}"
        rss_verdict = "RSS ok" if rss <= RSS_TARGET else "RSS OVER 16 MiB"
        print(f"{label:<14}{op:<9}{fmt_time(t):>12}{ref_name:>8}{fmt_time(ref):>12}{t / ref:7.2f}x"
              f"{rss / MiB:8.1f} MiB  {verdict}, {rss_verdict}")


def fmt_time(s):
    return f"{s * 1000:9.1f} ms" if s < 10 else f"{s:9.2f} s "


# Peak memory must not grow with the file, whatever the source.
RSS_TARGET = 16 * MiB
# At 1 KiB: no slower, against age, than before the data path streamed.
SMALL_AGE_TARGET = {"embed": 0.72, "extract": 0.69}


def print_table(rows, runs):
    print(f"\nMedians of {runs} rounds (each round runs every command once, in turn);"
          f" peak RSS is the largest of the runs.")
    print("Unflushed: every command under eatmydata. Flushed: the program as shipped against age followed by"
          " 'sync FILE'.\n")
    head = f"{'file':<8}{'operation':<10}{'unflushed':>12}{'cp':>12}{'age':>12}{'/cp':>6}{'/age':>6}" \
           f"{'flushed':>12}{'age+sync':>12}{'/a+s':>6}{'peak RSS':>11}  verdict"
    print(head)
    print("-" * len(head))
    by_label = {r["label"]: r for r in rows}
    for r in rows:
        for op, age_key in (("embed", "age_enc"), ("extract", "age_dec")):
            t, rss = r[op]
            tf, rss_f = r[op + "_flushed"]
            cp_t, age_t, age_sync = r["cp"][0], r[age_key][0], r[age_key + "_sync"][0]
            rss = max(rss, rss_f)
            checks = []
            if r["label"] == "256MiB":
                checks.append("<=3.0cp" if t <= 3.0 * cp_t else "OVER 3.0x cp")
                checks.append("<=0.7age" if t <= 0.7 * age_t else "OVER 0.7x age")
            if r["label"] == "1KiB":
                limit = SMALL_AGE_TARGET[op]
                checks.append(f"<={limit}age" if t <= limit * age_t else f"OVER {limit}x age")
                checks.append(f"flush costs {(tf - t) * 1000:.1f} ms")
            if r["label"] == "big" and "256MiB" in by_label:
                base = by_label["256MiB"][op][0]
                scale = r["size"] / (256 * MiB)
                checks.append(f"{t / (scale * base):.2f}x linear" +
                              (" ok" if t <= 1.2 * scale * base else " OVER 1.2x linear"))
            checks.append("flushed<=age+sync" if tf <= age_sync else "FLUSHED SLOWER THAN age+sync")
            checks.append("RSS ok" if rss <= RSS_TARGET else "RSS OVER 16 MiB")
            print(f"{r['label']:<8}{op:<10}{fmt_time(t):>12}{fmt_time(cp_t):>12}{fmt_time(age_t):>12}"
                  f"{t / cp_t:6.2f}{t / age_t:6.2f}{fmt_time(tf):>12}{fmt_time(age_sync):>12}{tf / age_sync:6.2f}"
                  f"{rss / MiB:8.1f} MiB  {', '.join(checks)}")
    print("\nThe input through a pipe (cat input.bin | vellicor embed - ...), unflushed, against the same file named:")
    for r in rows:
        t, rss = r["embed_piped"]
        print(f"{r['label']:<8}{'embed -':<10}{fmt_time(t):>12}{fmt_time(r['embed'][0]):>12}"
              f"{t / r['embed'][0]:6.2f}x{rss / MiB:8.1f} MiB  {'RSS ok' if rss <= RSS_TARGET else 'RSS OVER 16 MiB'}")
    print("\nPeak RSS with the stego coming through a pipe (the whole shell pipeline's largest process):")
    for r in rows:
        for op, rss in r["piped"].items():
            verdict = "RSS ok" if rss <= RSS_TARGET else "RSS OVER 16 MiB"
            print(f"{r['label']:<8}{op:<10}{rss / MiB:8.1f} MiB  {verdict}")
    print("\n'age' is age -r (encrypt) for the embed row and age -d (decrypt) for the extract row;"
          f" 'big' is {BIG:,} bytes, the largest input one chunk can carry, checked against eight times"
          " (scaled) the 256 MiB time.")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--big", action="store_true", help="also the largest input (about 2 GiB)")
    ap.add_argument("--hostile-only", action="store_true", help="only the hostile inputs")
    a = ap.parse_args()
    sizes = [] if a.hostile_only else [("256MiB", 256 * MiB, a.runs), ("1KiB", 1024, a.runs)]
    if a.big:
        sizes.append(("big", BIG, min(a.runs, 3)))
    work = os.environ.get("BENCH_WORK_DIR") or tempfile.mkdtemp(prefix="vellicor-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        rows = []
        for label, size, runs in sizes:
            print(f"bench: {label} ...", file=sys.stderr, flush=True)
            rows.append(bench_size(label, size, work, a.program, runs))
        print("bench: hostile inputs ...", file=sys.stderr, flush=True)
        hostile = bench_hostile(work, a.program, a.runs)
        if rows:
            print_table(rows, a.runs)
        print_hostile(hostile)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
