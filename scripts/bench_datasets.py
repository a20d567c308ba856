#!/usr/bin/env python3
"""Writes one of scripts/bench's generated datasets.

  bench_datasets.py small DIR [--files N] [--directories N] [--seed S]
  bench_datasets.py large DIR [--files N] [--mib N] [--seed S]
  bench_datasets.py empties DIR [--directories N]

small    N files (default 20,000) of 1 to 8 KiB, spread evenly over the
         directories (default 200), which sit ten to a group below DIR:
         DIR/g000/d0000/f000000.bin
large    N files (default 4) of MIB MiB each (default 256): DIR/large-00.bin
empties  N empty directories (default 1,000) three levels down, ten to a
         parent: DIR/t000/m0000/e00000

Every byte follows from the seed, so two machines given the same arguments
write the same tree, name for name and byte for byte; the content does not
compress. DIR must not exist yet. Prints "files directories bytes" (DIR
itself not counted).
"""
import argparse
import hashlib
import os
import random
import sys

PIECE = 1 << 20  # large files are written a MiB at a time


def noise(seed, *where, size):
    """`size` bytes that depend only on the seed and `where`."""
    key = b"/".join(str(x).encode() for x in (seed,) + where)
    return hashlib.shake_128(key).digest(size)


class Counter:
    def __init__(self):
        self.files = self.directories = self.bytes = 0

    def mkdir(self, path):
        os.mkdir(path, 0o755)
        self.directories += 1

    def write(self, path, data):
        with open(path, "xb") as out:
            out.write(data)
        self.files += 1
        self.bytes += len(data)


def small(root, c, files, directories, seed):
    if directories < 1:
        sys.exit("bench_datasets.py: small needs at least one directory")
    dirs = []
    for i in range(directories):
        group = os.path.join(root, "g%03d" % (i // 10))
        if i % 10 == 0:
            c.mkdir(group)
        dirs.append(os.path.join(group, "d%04d" % i))
        c.mkdir(dirs[-1])
    sizes = random.Random(seed)
    for i in range(files):
        path = os.path.join(dirs[i % directories], "f%06d.bin" % i)
        c.write(path, noise(seed, i, size=sizes.randint(1024, 8192)))


def large(root, c, files, mib, seed):
    for i in range(files):
        path = os.path.join(root, "large-%02d.bin" % i)
        with open(path, "xb") as out:
            for piece in range(mib):
                out.write(noise(seed, i, piece, size=PIECE))
        c.files += 1
        c.bytes += mib * PIECE


def empties(root, c, directories):
    for i in range(directories):
        top = os.path.join(root, "t%03d" % (i // 100))
        middle = os.path.join(top, "m%04d" % (i // 10))
        if i % 100 == 0:
            c.mkdir(top)
        if i % 10 == 0:
            c.mkdir(middle)
        c.mkdir(os.path.join(middle, "e%05d" % i))


def main():
    parser = argparse.ArgumentParser(description="Writes one of scripts/bench's datasets.")
    parser.add_argument("kind", choices=["small", "large", "empties"])
    parser.add_argument("dir")
    parser.add_argument("--files", type=int)
    parser.add_argument("--directories", type=int)
    parser.add_argument("--mib", type=int, default=256)
    parser.add_argument("--seed", type=int, default=20260101)
    a = parser.parse_args()
    for name in ("files", "directories", "mib"):
        value = getattr(a, name)
        if value is not None and not 0 <= value <= 10_000_000:
            parser.error("--%s must be a number from 0 to 10000000" % name)
    c = Counter()
    try:
        os.mkdir(a.dir, 0o755)  # fails when it exists: nothing is written into an old tree
        if a.kind == "small":
            small(a.dir, c, 20000 if a.files is None else a.files,
                  200 if a.directories is None else a.directories, a.seed)
        elif a.kind == "large":
            large(a.dir, c, 4 if a.files is None else a.files, a.mib, a.seed)
        else:
            empties(a.dir, c, 1000 if a.directories is None else a.directories)
    except OSError as e:
        sys.exit("bench_datasets.py: %s" % e)
    print(c.files, c.directories, c.bytes)


if __name__ == "__main__":
    main()
