#!/usr/bin/env python3
"""Times vellicor embed/extract against cp and age on the same file and prints
medians side by side, ratios, and peak resident memory against the targets:
embed <= 1.25 x (input + carrier) + 32 MiB, extract <= 1.25 x stego + 32 MiB."""

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


def measure_rounds(commands, cwd, runs):
    """Runs the commands in turn, round after round, so that a change in the
    machine's load falls on all of them alike. commands: name -> (argv, output
    file to delete first). Returns name -> (median wall seconds, peak RSS)."""
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
            w, p = run_once(cmd, cwd)
            walls[name].append(w)
            peaks[name] = max(peaks[name], p)
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
    carrier = os.path.getsize(os.path.join(d, "carrier.png"))

    got = measure_rounds({
        "cp": (["cp", "input.bin", "copy.bin"], "copy.bin"),
        "age_enc": (["age", "-r", recipient, "-o", "sealed.age", "input.bin"], "sealed.age"),
        "age_dec": (["age", "-d", "-i", "age.key", "-o", "opened.bin", "sealed.age"], "opened.bin"),
        "embed": ([prog, "embed", "input.bin", "carrier.png", "stego.png"], "stego.png"),
        "extract": ([prog, "extract", "stego.png", "restored.bin"], "restored.bin"),
    }, d, runs)
    stego = os.path.getsize(os.path.join(d, "stego.png"))
    if not same_file(os.path.join(d, "input.bin"), os.path.join(d, "restored.bin")):
        sys.exit("bench: the restored file differs from the input")
    shutil.rmtree(d)
    return {
        "label": label, **got,
        "embed_target": 1.25 * (size + carrier) + 32 * MiB, "extract_target": 1.25 * stego + 32 * MiB,
    }


def fmt_time(s):
    return f"{s * 1000:9.1f} ms" if s < 10 else f"{s:9.2f} s "


def print_table(rows, runs):
    print(f"\nMedians of {runs} rounds (each round runs every command once, in turn);"
          f" peak RSS is the largest of the runs.\n")
    head = f"{'file':<9}{'operation':<10}{'vellicor':>13}{'cp':>13}{'age':>13}{'/cp':>7}{'/age':>7}" \
           f"{'peak RSS':>11}{'RSS target':>12}  verdict"
    print(head)
    print("-" * len(head))
    for r in rows:
        for op, age_key in (("embed", "age_enc"), ("extract", "age_dec")):
            t, rss = r[op]
            cp_t = r["cp"][0]
            age_t = r[age_key][0]
            target = r[op + "_target"]
            checks = []
            if r["label"] != "1KiB":
                checks.append("time<=1.5cp" if t <= 1.5 * cp_t else "SLOWER THAN 1.5x cp")
            checks.append("faster than age" if t < age_t else "NOT FASTER THAN age")
            checks.append("RSS ok" if rss <= target else "RSS OVER TARGET")
            print(f"{r['label']:<9}{op:<10}{fmt_time(t):>13}{fmt_time(cp_t):>13}{fmt_time(age_t):>13}"
                  f"{t / cp_t:7.2f}{t / age_t:7.2f}{rss / MiB:8.1f} MiB{target / MiB:8.1f} MiB  {', '.join(checks)}")
    print("\n'age' is age -r (encrypt) for the embed row and age -d (decrypt) for the extract row.")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--program", required=True)
    ap.add_argument("--runs", type=int, default=5)
    ap.add_argument("--big", action="store_true", help="also run a 1.5 GiB file")
    a = ap.parse_args()
    sizes = [("256MiB", 256 * MiB), ("1KiB", 1024)]
    if a.big:
        sizes.append(("1.5GiB", 1536 * MiB))
    work = os.environ.get("BENCH_WORK_DIR") or tempfile.mkdtemp(prefix="vellicor-bench-")
    os.makedirs(work, exist_ok=True)
    try:
        rows = []
        for label, size in sizes:
            print(f"bench: {label} ...", file=sys.stderr, flush=True)
            rows.append(bench_size(label, size, work, a.program, a.runs))
        print_table(rows, a.runs)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
