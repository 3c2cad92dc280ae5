#!/usr/bin/env python3
"""Wall time of -S over a tree of a few thousand files, for two builds side by side.

    bench/sparse_cost.py BEFORE AFTER [--files 4000] [--runs 7] [--where /tmp,/dev/shm]

For each directory of --where (ext4 and tmpfs here) it makes one tree of
--files files from a fixed seed: a third dense (1-32 KiB of random bytes), a
third rich in written zeros (4 KiB of data, 16-64 KiB of zeros, 4 KiB of
data), a third with a hole before their last block (64 KiB). Each run copies
that tree afresh (zeros written, untimed), then times `BINARY -S -q` over it
with the names on standard input; the two builds take turns, BEFORE first in
odd rounds and AFTER first in even ones. It prints the median, the lowest and
the highest wall time of each build, the median CPU time (user and system),
the change of the median wall time, and the median of each round's
difference (AFTER minus BEFORE).
"""
import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import time


def make_tree(root, count, seed=24):
    generator = random.Random(seed)
    names = []
    for i in range(count):
        directory = os.path.join(root, f"d{i % 40:02d}")
        os.makedirs(directory, exist_ok=True)
        name = os.path.join(directory, f"f{i:05d}")
        kind = i % 3
        with open(name, "wb") as out:
            if kind == 0:
                out.write(generator.randbytes(generator.randint(1024, 32768)))
            elif kind == 1:
                out.write(generator.randbytes(4096))
                out.write(bytes(generator.randint(16, 64) * 1024))
                out.write(generator.randbytes(4096))
            else:
                out.seek(65535)
                out.write(b"x")
        names.append(os.path.relpath(name, root))
    return names


def copy_tree(template, work):
    if os.path.exists(work):
        shutil.rmtree(work)
    # cp keeps the holes of the holed files and writes the zeros of the others.
    subprocess.run(["cp", "-a", "--sparse=auto", template, work], check=True)
    subprocess.run(["sync"], check=True)


def timed_run(binary, work, names):
    listing = b"".join(name.encode() + b"\0" for name in names)
    used_before = resource.getrusage(resource.RUSAGE_CHILDREN)
    began = time.monotonic()
    done = subprocess.run([binary, "-S", "-q"], input=listing, cwd=work,
                          stdout=subprocess.DEVNULL, stderr=subprocess.PIPE)
    took = time.monotonic() - began
    used = resource.getrusage(resource.RUSAGE_CHILDREN)
    if done.returncode != 0 or done.stderr:
        raise SystemExit(f"{binary} failed: {done.returncode} {done.stderr[:400]!r}")
    cpu = (used.ru_utime - used_before.ru_utime) + (used.ru_stime - used_before.ru_stime)
    return took, cpu


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("before")
    parser.add_argument("after")
    parser.add_argument("--files", type=int, default=4000)
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--where", default="/tmp,/dev/shm")
    options = parser.parse_args()
    options.before = os.path.abspath(options.before)
    options.after = os.path.abspath(options.after)
    for where in options.where.split(","):
        base = os.path.join(where, "twinfold-sparse-cost")
        if os.path.exists(base):
            shutil.rmtree(base)
        template = os.path.join(base, "template")
        work = os.path.join(base, "work")
        names = make_tree(template, options.files)
        times = {options.before: [], options.after: []}
        cpu = {options.before: [], options.after: []}
        for run in range(options.runs):
            order = [options.before, options.after]
            if run % 2:
                order.reverse()
            for binary in order:
                copy_tree(template, work)
                took, used = timed_run(binary, work, names)
                times[binary].append(took)
                cpu[binary].append(used)
        shutil.rmtree(base)
        print(f"{where}: {options.files} files, {options.runs} runs each, wall seconds")
        medians = {}
        for label, binary in (("before", options.before), ("after", options.after)):
            values = times[binary]
            medians[label] = statistics.median(values)
            print(f"  {label:6} median {medians[label]:.3f}  lowest {min(values):.3f}  "
                  f"highest {max(values):.3f}  CPU median {statistics.median(cpu[binary]):.3f}"
                  f"  ({binary})")
        change = (medians["after"] - medians["before"]) / medians["before"] * 100
        # Runs of one round met the same load on the machine: their difference
        # is steadier than either time.
        paired = statistics.median(
            a - b for a, b in zip(times[options.after], times[options.before]))
        print(f"  median change {change:+.1f} %, median of the rounds' differences "
              f"{paired * 1000:+.0f} ms")


if __name__ == "__main__":
    main()
