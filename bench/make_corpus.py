#!/usr/bin/env python3
"""Makes one pristine benchmark corpus (a "master" tree) and its manifest.

    make_corpus.py SCENARIO OUTDIR [size options]

OUTDIR receives:
  master/        the tree; regular files only, no hard links, never changed by a run
  manifest.json  every file: relative path, size, content digest; plus the options used

The same options always give the same bytes (seeded generators); when OUTDIR
already holds a corpus made with the same options and its master is intact,
nothing is done. Scenarios:

  real      regular files of --source copied, plus the first --extra-fraction of the
            top-level entries of --extra copied once more beside them
  small     --files files of 0..--max-size bytes in a directory tree, about
            --dup-fraction of them extra copies of another file (groups of 2..20)
  samesize  --files files of --size bytes that differ only in their last 8 bytes,
            plus --copies equal copies of one file of --copy-size bytes
  big       --equal equal files of --size-mib MiB, plus --differ files of that size
            that each differ from them in one byte in the middle
"""
import argparse
import hashlib
import json
import os
import random
import shutil
import subprocess
import sys

MIB = 1 << 20


def digest(data):
    return hashlib.blake2b(data, digest_size=16).hexdigest()


def file_digest(path):
    h = hashlib.blake2b(digest_size=16)
    with open(path, 'rb') as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                break
            h.update(block)
    return h.hexdigest()


def seeded_bytes(rng, n):
    """n bytes from rng; long runs in pieces, as one call cannot make more than 256 MiB."""
    piece = 16 * MIB
    if n <= piece:
        return rng.randbytes(n)
    return b''.join(rng.randbytes(min(piece, n - at)) for at in range(0, n, piece))


def write_file(path, data):
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
    try:
        view = memoryview(data)
        while view:
            view = view[os.write(fd, view):]
    finally:
        os.close(fd)


def make_real(master, opts):
    """Copies regular files only: the peers disagree on symbolic links, so none are kept."""
    def copy_tree(src, dest, entries=None):
        os.makedirs(dest, exist_ok=True)
        find = ['find'] + (entries if entries else ['.']) + ['-type', 'f', '-print0']
        lister = subprocess.Popen(find, cwd=src, stdout=subprocess.PIPE)
        packer = subprocess.Popen(['tar', '--null', '-T', '-', '-cf', '-'], cwd=src,
                                  stdin=lister.stdout, stdout=subprocess.PIPE)
        lister.stdout.close()
        unpacker = subprocess.run(['tar', '-xf', '-', '-C', dest], stdin=packer.stdout)
        packer.stdout.close()
        if packer.wait() != 0 or lister.wait() != 0 or unpacker.returncode != 0:
            sys.exit(f'make_corpus: copying {src} failed')

    copy_tree(opts.source, os.path.join(master, 'source'))
    entries = sorted(os.listdir(opts.extra))
    take = max(1, round(len(entries) * opts.extra_fraction)) if entries else 0
    if take:
        copy_tree(opts.extra, os.path.join(master, 'extra'), ['./' + e for e in entries[:take]])


def make_small(master, opts):
    rng = random.Random(opts.seed)
    pool = seeded_bytes(rng, max(opts.max_size, 1) * 64 + 4 * MIB)
    target_extra = round(opts.files * opts.dup_fraction)
    # Decide the distinct contents first: (size, copies), copies > 1 for a group.
    contents = []
    extra = 0
    while extra < target_extra:
        copies = min(rng.randint(2, 20), target_extra - extra + 1)
        contents.append((rng.randint(0, opts.max_size), copies))
        extra += copies - 1
    count = len(contents) + extra
    while count < opts.files:
        contents.append((rng.randint(0, opts.max_size), 1))
        count += 1
    files = [content_id for content_id, (_, copies) in enumerate(contents)
             for _ in range(copies)]
    offsets = [rng.randrange(len(pool) - size) for size, _ in contents]
    rng.shuffle(files)
    leaves = max(1, opts.files // 100)
    made = set()
    for index, content_id in enumerate(files):
        size = contents[content_id][0]
        data = bytearray(pool[offsets[content_id]:offsets[content_id] + size])
        # A unique head keeps distinct contents distinct; below 8 bytes chance decides.
        if size >= 8:
            data[:8] = (content_id * 0x9E3779B97F4A7C15 % (1 << 64)).to_bytes(8, 'little')
        leaf = rng.randrange(leaves)
        directory = os.path.join(master, f'd{leaf % 16:02x}', f'd{leaf // 16 % 16:02x}',
                                 f'd{leaf // 256:03d}')
        if directory not in made:
            os.makedirs(directory, exist_ok=True)
            made.add(directory)
        write_file(os.path.join(directory, f'f{index:07d}.dat'), data)


def make_samesize(master, opts):
    rng = random.Random(opts.seed)
    base = bytearray(seeded_bytes(rng, opts.size))
    os.makedirs(os.path.join(master, 'tails'))
    for i in range(opts.files):
        base[-8:] = i.to_bytes(8, 'little')
        write_file(os.path.join(master, 'tails', f'tail{i:05d}.bin'), base)
    copy = seeded_bytes(rng, opts.copy_size)
    os.makedirs(os.path.join(master, 'copies'))
    for i in range(opts.copies):
        write_file(os.path.join(master, 'copies', f'copy{i:04d}.bin'), copy)


def make_big(master, opts):
    rng = random.Random(opts.seed)
    size = opts.size_mib * MIB
    base = bytearray(seeded_bytes(rng, size))
    os.makedirs(os.path.join(master, 'equal'))
    os.makedirs(os.path.join(master, 'differ'))
    for i in range(opts.equal):
        write_file(os.path.join(master, 'equal', f'big{i:02d}.img'), base)
    middle = size // 2
    original = base[middle]
    for i in range(opts.differ):
        base[middle] = (original + 1 + i) % 256  # a different byte for each, so all differ
        write_file(os.path.join(master, 'differ', f'big{i:02d}.img'), base)
        base[middle] = original


MAKERS = {'real': make_real, 'small': make_small, 'samesize': make_samesize, 'big': make_big}


def scan(master):
    """Lists the master: [relative path, size, digest] in sorted order; raises on links."""
    entries = []
    for directory, dirs, names in os.walk(master):
        dirs.sort()
        for name in sorted(names):
            path = os.path.join(directory, name)
            st = os.lstat(path)
            if st.st_nlink != 1:
                raise RuntimeError(f'{path} has {st.st_nlink} links')
            entries.append([os.path.relpath(path, master), st.st_size, file_digest(path)])
    return entries


def intact(outdir, params):
    """A corpus is reused when its options match and its master still has no links."""
    try:
        with open(os.path.join(outdir, 'manifest.json')) as f:
            manifest = json.load(f)
    except (OSError, ValueError):
        return False
    if manifest.get('params') != params:
        return False
    count = 0
    for directory, _, names in os.walk(os.path.join(outdir, 'master')):
        for name in names:
            st = os.lstat(os.path.join(directory, name))
            if st.st_nlink != 1:
                return False
            count += 1
    return count == len(manifest['files'])


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('scenario', choices=sorted(MAKERS))
    ap.add_argument('outdir')
    ap.add_argument('--seed', type=int, default=6)
    ap.add_argument('--source', default='/usr/share', help='real: tree to copy')
    ap.add_argument('--extra', default='/usr/share/doc', help='real: tree copied once more')
    ap.add_argument('--extra-fraction', type=float, default=1.0,
                    help='real: share of the top-level entries of --extra copied again')
    ap.add_argument('--files', type=int, help='small: 200000; samesize: 400')
    ap.add_argument('--max-size', type=int, default=16384, help='small: largest file')
    ap.add_argument('--dup-fraction', type=float, default=0.3, help='small: extra copies')
    ap.add_argument('--size', type=int, default=4 * MIB, help='samesize: file size')
    ap.add_argument('--copies', type=int, default=40, help='samesize: equal copies')
    ap.add_argument('--copy-size', type=int, default=8 * MIB, help='samesize: their size')
    ap.add_argument('--size-mib', type=int, default=256, help='big: file size in MiB')
    ap.add_argument('--equal', type=int, default=3, help='big: equal files')
    ap.add_argument('--differ', type=int, default=3, help='big: files differing in one byte')
    opts = ap.parse_args()
    if opts.files is None:
        opts.files = {'small': 200000, 'samesize': 400}.get(opts.scenario, 0)

    relevant = {
        'real': ['source', 'extra', 'extra_fraction'],
        'small': ['seed', 'files', 'max_size', 'dup_fraction'],
        'samesize': ['seed', 'files', 'size', 'copies', 'copy_size'],
        'big': ['seed', 'size_mib', 'equal', 'differ'],
    }[opts.scenario]
    params = {'scenario': opts.scenario, **{k: getattr(opts, k) for k in relevant}}
    outdir = os.path.abspath(opts.outdir)
    if intact(outdir, params):
        print(f'make_corpus: {outdir} is up to date')
        return
    master = os.path.join(outdir, 'master')
    for stale in (master, os.path.join(outdir, 'manifest.json')):
        if os.path.isdir(stale):
            shutil.rmtree(stale)
        elif os.path.exists(stale):
            os.unlink(stale)
    os.makedirs(master)
    print(f'make_corpus: making {opts.scenario} in {outdir} ...', flush=True)
    MAKERS[opts.scenario](master, opts)
    subprocess.run(['sync'], check=False)
    files = scan(master)
    with open(os.path.join(outdir, 'manifest.json.tmp'), 'w') as f:
        json.dump({'params': params, 'files': files}, f)
    os.replace(os.path.join(outdir, 'manifest.json.tmp'), os.path.join(outdir, 'manifest.json'))
    print(f'make_corpus: {len(files)} files, {sum(e[1] for e in files) / MIB:.0f} MiB')


if __name__ == '__main__':
    main()
