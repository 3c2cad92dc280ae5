#!/usr/bin/env python3
"""Block sharing beside its peers: twinfold -B, jdupes -r -B and duperemove -dr.

Called by bench/share.sh, which installs the peers and builds twinfold first.
Each timed run starts from a fresh XFS file system (reflink on) in an image
on a loop device, holding two copies of a source tree made with
cp --reflink=never, so that no block is shared yet. As in bench.py,
twinfold's name list is written beforehand (find -type f -print0, untimed)
and given on standard input; a run is timed from the start of the tool to
its end (wall clock, and CPU from wait4); the space it freed is the change of
the file system's free blocks (statvfs, after syncfs) over the run. See bench/README.md, "Block sharing".
"""
import argparse
import datetime
import json
import os
import platform
import statistics
import subprocess
import sys
import time

MIB = 1 << 20
TOOLS = ['twinfold', 'jdupes', 'duperemove']
# twinfold acts only on what the stamps of a file prove once its change time
# is 3 s old (src/fs/stamp_trust.h); a tree just copied is rested this long
# before each run, as bench.py does.
REST_SECONDS = 3.5


def log(message):
    print(message, file=sys.stderr, flush=True)


def run(command, **kwargs):
    return subprocess.run(command, check=True, **kwargs)


def free_bytes(path):
    fd = os.open(path, os.O_RDONLY | os.O_DIRECTORY)
    try:
        os.syncfs(fd) if hasattr(os, 'syncfs') else os.sync()
        os.sync()
        info = os.fstatvfs(fd)
    finally:
        os.close(fd)
    return info.f_bfree * info.f_frsize


def tool_command(tool, twinfold):
    """The argument vector of one tool, run in the tree's root."""
    if tool == 'twinfold':
        return [twinfold, '-B', '-q']
    if tool == 'jdupes':
        return ['jdupes', '-r', '-B', '-q', '.']
    if tool == 'duperemove':
        return ['duperemove', '-dr', '-q', '.']
    raise ValueError(tool)


def timed_run(command, tree, names):
    """Runs command in tree (twinfold reads names on standard input); returns
    wall seconds (monotonic clock) and CPU seconds (user + system, wait4)."""
    with open(names if names else os.devnull, 'rb') as stdin:
        started = time.monotonic()
        child = subprocess.Popen(command, cwd=tree, stdin=stdin, stdout=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall = time.monotonic() - started
    child.returncode = os.waitstatus_to_exitcode(status)
    if child.returncode != 0:
        raise RuntimeError(f'{command[0]} ended with status {child.returncode}')
    return wall, usage.ru_utime + usage.ru_stime


class loop_xfs:
    """An XFS image with reflink on a loop device, made afresh for every run."""

    def __init__(self, root, size_mib):
        self.image = os.path.join(root, 'xfs.img')
        self.mount = os.path.join(root, 'mnt')
        self.size_mib = size_mib
        os.makedirs(self.mount, exist_ok=True)

    def fresh(self):
        self.unmount()
        if os.path.exists(self.image):
            os.unlink(self.image)
        run(['truncate', '-s', f'{self.size_mib}M', self.image])
        run(['mkfs.xfs', '-q', '-m', 'reflink=1', self.image])
        run(['mount', '-o', 'loop', self.image, self.mount])

    def unmount(self):
        if os.path.ismount(self.mount):
            run(['umount', self.mount])

    def remove(self):
        self.unmount()
        if os.path.exists(self.image):
            os.unlink(self.image)


def fill(fs, source):
    """Two copies of source, no block shared; returns their bytes and files."""
    for copy in ('a', 'b'):
        run(['cp', '-a', '--reflink=never', source, os.path.join(fs.mount, copy)])
    files = 0
    size = 0
    for top, _, names in os.walk(fs.mount):
        for name in names:
            path = os.path.join(top, name)
            if os.path.isfile(path) and not os.path.islink(path):
                files += 1
                size += os.lstat(path).st_size
    os.sync()
    return size, files


def trees_equal(fs, source):
    """Both copies still hold the source's bytes, name for name."""
    for copy in ('a', 'b'):
        result = subprocess.run(['diff', '-r', '--no-dereference', source,
                                 os.path.join(fs.mount, copy)],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        if result.returncode != 0:
            return False
    return True


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument('--twinfold', default='build/twinfold')
    parser.add_argument('--source', default='/usr/share/doc')
    parser.add_argument('--tools', default=','.join(TOOLS))
    parser.add_argument('--runs', type=int, default=3)
    parser.add_argument('--size-mib', type=int, default=1024, help='size of the XFS image')
    parser.add_argument('--root', default='/tmp/twinfold-bench-share')
    parser.add_argument('--no-rest', action='store_true')
    args = parser.parse_args()
    tools = args.tools.split(',')
    twinfold = os.path.abspath(args.twinfold)
    os.makedirs(args.root, exist_ok=True)
    fs = loop_xfs(args.root, args.size_mib)
    figures = {tool: {'wall': [], 'cpu': [], 'freed': [], 'intact': True} for tool in tools}
    corpus = None
    try:
        for number in range(args.runs):
            # Tools take turns within each round, so that a slow phase of the
            # machine falls on all of them alike.
            for tool in tools:
                fs.fresh()
                size, files = fill(fs, args.source)
                corpus = (size, files)
                # As bench.py gives it, twinfold's list is written beforehand,
                # outside the tree; only the tool is timed.
                names = None
                if tool == 'twinfold':
                    names = os.path.join(args.root, 'names')
                    with open(names, 'wb') as out:
                        run(['find', '.', '-type', 'f', '-print0'], cwd=fs.mount, stdout=out)
                if not args.no_rest:
                    time.sleep(REST_SECONDS)
                before = free_bytes(fs.mount)
                wall, cpu = timed_run(tool_command(tool, twinfold), fs.mount, names)
                freed = free_bytes(fs.mount) - before
                figures[tool]['wall'].append(wall)
                figures[tool]['cpu'].append(cpu)
                figures[tool]['freed'].append(freed)
                if number == 0:
                    figures[tool]['intact'] = trees_equal(fs, args.source)
                log(f'run {number + 1}/{args.runs} {tool}: {wall:.2f} s ({cpu:.2f} CPU), '
                    f'{freed / MIB:.1f} MiB freed')
    finally:
        fs.remove()

    size, files = corpus
    print(f'Block sharing on XFS (reflink, loop image): two copies of {args.source}, '
          f'{files} files, {size / MIB:.1f} MiB; median of {args.runs} runs, '
          f'warm cache')
    print()
    print('| tool | wall s (min–max) | CPU s | space freed MiB | trees intact |')
    print('|---|---:|---:|---:|---|')
    commands = {'twinfold': 'twinfold -B (names from find -print0)', 'jdupes': 'jdupes -r -B',
                'duperemove': 'duperemove -dr'}
    for tool in tools:
        walls = figures[tool]['wall']
        cpus = figures[tool]['cpu']
        freed = figures[tool]['freed']
        print(f"| {commands[tool]} | {statistics.median(walls):.2f} "
              f"({min(walls):.2f}–{max(walls):.2f}) | {statistics.median(cpus):.2f} | "
              f"{statistics.median(freed) / MIB:.1f} | "
              f"{'yes' if figures[tool]['intact'] else 'NO'} |")
    results = os.path.join(args.root, 'results')
    os.makedirs(results, exist_ok=True)
    stamp = datetime.datetime.now().strftime('%Y%m%d-%H%M%S')
    with open(os.path.join(results, f'share-{stamp}.json'), 'w') as out:
        json.dump({'source': args.source, 'files': files, 'bytes': size, 'runs': args.runs,
                   'machine': platform.platform(), 'figures': figures}, out, indent=1)


if __name__ == '__main__':
    main()
