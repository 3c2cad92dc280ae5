#!/usr/bin/env python3
"""Measures twinfold beside jdupes, rdfind and util-linux hardlink on the trees of
bench/scale_names.sh (many names, mostly empty files), which calls it:

    scale_measure.py --launch L --twinfold BIN --tree T --list NAMES
                     [--half-tree T2 --half-list NAMES2] [--link] [--runs 3] ...

Report mode (`twinfold -n -q`, `jdupes -r -q`, `rdfind -dryrun true`, `hardlink -n -c`)
on the tree and, for the growth check, twinfold and the first two peers on the half
tree; link mode (twinfold alone) on a copy of each tree that is brought back to its
tree's state after every run. Every tool runs once untimed, then --runs interleaved
rounds (the launcher of the bench takes wall time and peak RSS); figures are medians,
ratios are taken round by round and shown as median (min–max).
"""
import argparse
import filecmp
import os
import statistics
import subprocess
import sys
import time

from bench import (MARKS, REST_SECONDS, annotate, copy_from_master, fmt_num, fmt_spread,
                   fmt_targets, log, measure_rounds, paired_ratios, run_once, sh, spread,
                   target_mark)

# What issue 23 asks of twinfold at scale: at most this share of the fastest peer's
# wall time, at most this peak RSS, at most this growth of wall time from N to 2N names.
SCALE_TARGETS = {'peer': 0.7, 'rss_mib': 64.0, 'growth': 2.1}


def find_names(tree, *tests):
    """Relative paths of the regular files below tree that pass find's tests."""
    out = subprocess.run(['find', tree, '-type', 'f'] + list(tests) + ['-printf', '%P\\0'],
                         check=True, capture_output=True).stdout
    return [os.fsdecode(n) for n in out.split(b'\0') if n]


def listing(tree):
    """The regular files below tree: (the names with a link count above 1, all names
    sorted), as relative paths."""
    out = subprocess.run(['find', tree, '-type', 'f', '-printf', '%n %P\\0'], check=True,
                         capture_output=True).stdout
    linked = []
    names = []
    for entry in out.split(b'\0'):
        if entry:
            count, rel = entry.split(b' ', 1)
            names.append(os.fsdecode(rel))
            if count != b'1':
                linked.append(names[-1])
    names.sort()
    return linked, names


class ReadOnlyTree:
    """A tree the report-only runs must leave as it is; it came to rest when it was made."""

    def __init__(self, tree, written_at):
        self.tree = tree
        self.written_at = written_at

    def restore(self):
        return 0

    def wait_until_at_rest(self, rest):
        left = self.written_at + rest - time.time()
        if left > 0:
            time.sleep(left)


class LinkCopy(ReadOnlyTree):
    """A copy of a scale tree for the linking runs. A linking run changes only the names
    it links, each then with a link count above 1 (the tree has none), so bringing the
    copy back means copying those names again from the tree, and removing or copying
    again any name a run added or lost."""

    def __init__(self, master, tree):
        super().__init__(tree, 0.0)
        self.master = master
        linked, self.names = listing(master)
        if linked:
            sys.exit(f'scale: {master} holds hard links; it must not')

    def prepare(self):
        marker = self.tree + '.complete'
        if not os.path.exists(marker):
            log(f'    copying {self.master} to {self.tree} ...')
            sh(['rm', '-rf', self.tree])
            sh(['cp', '-a', self.master, self.tree])
            sh(['sync'])
            open(marker, 'w').close()
            self.written_at = time.time()
        else:
            self.restore()
            self.written_at = max(self.written_at, os.stat(marker).st_mtime)

    def restore(self):
        linked, now = listing(self.tree)
        changed = 0
        if now != self.names:
            have, want = set(now), set(self.names)
            for rel in have - want:
                os.unlink(os.path.join(self.tree, rel))
            for rel in want - have:
                copy_from_master(self.master, self.tree, rel)
            changed += len(have ^ want)
            linked = [rel for rel in linked if rel in want]
        for rel in linked:
            copy_from_master(self.master, self.tree, rel)
        changed += len(linked)
        if changed:
            sh(['sync'])
            self.written_at = time.time()
            if listing(self.tree) != ([], self.names):
                sys.exit(f'scale: cannot restore {self.tree}')
        return changed

    def inspect(self, row):
        """After a linking run: how many names it reclaimed, that no name is lost or
        added, and that every linked name still holds the bytes of its name in the tree."""
        out = subprocess.run(['find', self.tree, '-type', 'f', '-links', '+1', '-printf',
                              '%i %P\\0'], check=True, capture_output=True).stdout
        entries = [os.fsdecode(e).split(' ', 1) for e in out.split(b'\0') if e]
        row['reclaimed'] = len(entries) - len({inode for inode, _ in entries})
        have, want = set(listing(self.tree)[1]), set(self.names)
        wrong = sum(1 for _, rel in entries
                    if rel in want and not filecmp.cmp(os.path.join(self.tree, rel),
                                                       os.path.join(self.master, rel),
                                                       shallow=False))
        for count, label in ((wrong, 'WRONG CONTENT'), (len(want - have), 'LOST'),
                             (len(have - want), 'extra names')):
            if count:
                row['notes'].append(f'{label}: {count} names')


def report_command(tool, tree, twinfold):
    return {'twinfold': [twinfold, '-n', '-q'],
            'jdupes': ['jdupes', '-r', '-q', tree],
            'rdfind': ['rdfind', '-dryrun', 'true', '-makehardlinks', 'true', tree],
            'hardlink': ['hardlink', '-n', '-c', tree]}[tool]


def check_run(opts, tree, names_list, paths):
    """One run of `twinfold -n` that says what it found (the timed runs are quiet); it
    also brings the tree's names into the cache."""
    run = run_once([opts.twinfold, '-n'], names_list, paths['scratch'], opts.timeout,
                   opts.launch)
    with open(os.path.join(paths['scratch'], 'stdout'), 'rb') as f:
        lines = f.read().decode(errors='replace').splitlines()
    said = [line for line in lines if line.startswith('Input: ') or 'can be linked' in line]
    print(f'`twinfold -n` over {tree}: exit {run["status"]}, {run["wall"]:.1f} s, '
          f'peak RSS {run["rss_mib"]:.1f} MiB; ' + ('; '.join(said) or '(no summary)'))


def table(rows):
    out = ['| names | mode | tool | wall s | CPU s | peak RSS MiB | ÷ fastest peer | targets '
           '| reclaimed files | runs | notes |',
           '|---:|---|---|---:|---:|---:|---:|---|---:|---:|---|']
    for r in rows:
        ok = 'wall' in r and not r.get('failure')
        vs_peer = r.get('vs_peer')
        ratio = 'fastest' if vs_peer and vs_peer['peer'] == r['tool'] else fmt_spread(vs_peer)
        notes = ([r['failure']] if r.get('failure') else []) + r['notes']
        out.append('| ' + ' | '.join([
            str(r['scenario']), r['mode'], r['tool'],
            fmt_num(r['wall']) if ok else '—', fmt_num(r['cpu']) if ok else '—',
            f"{r['rss_mib']:.1f}" if ok else '—', ratio if ok else '—', fmt_targets(r),
            str(r['reclaimed']) if 'reclaimed' in r else '—', str(r.get('runs', 0)),
            '; '.join(notes) or 'ok']) + ' |')
    return '\n'.join(out)


def growth_table(rows, half, full):
    out = [f'| tool | mode | wall s at N={half} | wall s at 2N={full} | wall ratio 2N ÷ N '
           f'| CPU ratio | peak RSS MiB N / 2N | target ≤{SCALE_TARGETS["growth"]:g} |',
           '|---|---|---:|---:|---:|---:|---:|---|']
    for mode in ('report', 'link'):
        for tool in ('twinfold', 'jdupes', 'rdfind'):
            n = next((r for r in rows if r['scenario'] == half and r['mode'] == mode
                      and r['tool'] == tool), None)
            n2 = next((r for r in rows if r['scenario'] == full and r['mode'] == mode
                       and r['tool'] == tool), None)
            if not n or not n2:
                continue
            if 'wall' not in n or 'wall' not in n2 or n.get('failure') or n2.get('failure'):
                why = n.get('failure') or n2.get('failure') or 'no runs'
                out.append(f'| {tool} | {mode} | — | — | {why} | | | |')
                continue
            sp = spread(paired_ratios(n2, n))
            mark = MARKS[target_mark(sp, SCALE_TARGETS['growth'])] if tool == 'twinfold' else ''
            out.append(f"| {tool} | {mode} | {fmt_num(n['wall'])} | {fmt_num(n2['wall'])} | "
                       f"{fmt_spread(sp)} | {n2['cpu'] / max(n['cpu'], 1e-3):.2f} | "
                       f"{n['rss_mib']:.1f} / {n2['rss_mib']:.1f} | {mark} |")
    return '\n'.join(out)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--launch', required=True, help='bench_launch, built from bench/launch.c')
    ap.add_argument('--twinfold', required=True)
    ap.add_argument('--tree', required=True, help='the tree of 2N names')
    ap.add_argument('--list', required=True, help='its names, as find -print0 writes them')
    ap.add_argument('--half-tree', help='the tree of N names, for the growth check')
    ap.add_argument('--half-list')
    ap.add_argument('--link', action='store_true',
                    help='link mode too, on a copy of each tree (made once beside it)')
    ap.add_argument('--runs', type=int, default=3, help='timed rounds (default 3)')
    ap.add_argument('--timeout', type=float, default=600, help='seconds per run')
    ap.add_argument('--hardlink-timeout', type=float, default=60,
                    help='seconds util-linux hardlink may take per run on the 2N tree before '
                    'it is killed and left out; 0 leaves it out at once (default 60)')
    ap.add_argument('--scratch', required=True, help='where the tools run and leave output')
    opts = ap.parse_args()
    opts.counter = None
    opts.rest = REST_SECONDS
    opts.slow = opts.timeout  # every tool that finishes runs every round
    opts.twinfold = os.path.abspath(opts.twinfold)
    opts.launch = os.path.abspath(opts.launch)
    paths = {'scratch': opts.scratch}
    os.makedirs(opts.scratch, exist_ok=True)
    started = time.time()
    load_at_start = os.getloadavg()[0]

    sizes = [(opts.tree, opts.list)]
    if opts.half_tree:
        sizes.append((opts.half_tree, opts.half_list))
    names = {}
    trees = {}
    for tree, names_list in sizes:
        with open(names_list, 'rb') as f:
            names[tree] = f.read().count(b'\0')
        trees[tree] = ReadOnlyTree(tree, os.stat(names_list).st_mtime)
    full = names[opts.tree]
    half = names[opts.half_tree] if opts.half_tree else None

    check_run(opts, opts.tree, opts.list, paths)

    # Report mode: every tool on both trees in the same rounds, so that the growth
    # ratio too is taken round by round.
    entries = []
    for tree, names_list in sizes:
        tools = ['twinfold', 'jdupes', 'rdfind']
        if tree == opts.tree and opts.hardlink_timeout > 0:
            tools.append('hardlink')
        for tool in tools:
            entries.append({
                'row': {'scenario': names[tree], 'mode': 'report', 'tool': tool},
                'cmd': report_command(tool, tree, opts.twinfold),
                'stdin': names_list if tool == 'twinfold' else None,
                'timeout': opts.hardlink_timeout if tool == 'hardlink' else opts.timeout,
                'work': trees[tree]})
    log('== report mode')
    report_rows = measure_rounds(entries, trees[opts.tree], opts.runs, opts, paths, True)
    for tree, _ in sizes:
        if find_names(tree, '-links', '+1'):
            sys.exit(f'scale: a report-only run linked names in {tree}')
    annotate([r for r in report_rows if r['scenario'] == full], SCALE_TARGETS['peer'],
             rss_limit=SCALE_TARGETS['rss_mib'])
    if half:
        annotate([r for r in report_rows if r['scenario'] == half], None)

    link_rows = []
    if opts.link:
        entries = []
        for tree, _ in sizes:
            copy = LinkCopy(tree, tree.rstrip('/') + '-linkcopy')
            copy.prepare()
            copy_list = copy.tree + '.names'
            with open(copy_list, 'wb') as out:
                sh(['find', copy.tree, '-type', 'f', '-print0'], stdout=out)
            entries.append({'row': {'scenario': names[tree], 'mode': 'link', 'tool': 'twinfold'},
                            'cmd': [opts.twinfold], 'stdin': copy_list, 'timeout': opts.timeout,
                            'work': copy, 'inspect': copy.inspect})
        log('== link mode')
        link_rows = measure_rounds(entries, entries[0]['work'], opts.runs, opts, paths, False)
        annotate([r for r in link_rows if r['scenario'] == full], None,
                 rss_limit=SCALE_TARGETS['rss_mib'])

    rows = report_rows + link_rows
    print()
    print(table(rows))
    print()
    print(f"Targets (twinfold at {full} names): ≤{SCALE_TARGETS['peer']:g} of the fastest "
          f"peer in report mode, peak RSS ≤{SCALE_TARGETS['rss_mib']:g} MiB. ✓ met by the "
          'median and in every round, ~ met by the median but not in every round, ✗ missed.')
    if half:
        print()
        print(f'Growth from N to 2N names, wall ratio taken round by round (2.0 = linear):')
        print()
        print(growth_table(rows, half, full))
    print()
    print(f'Median of {opts.runs} interleaved rounds after one untimed run per tool; '
          f'took {time.time() - started:.0f} s; load average (1 min) {load_at_start:.1f} at '
          f'the start, {os.getloadavg()[0]:.1f} at the end on {os.cpu_count()} CPUs.')


if __name__ == '__main__':
    main()
