#!/usr/bin/env python3
"""Runs twinfold, its peers and the one-thread read floor side by side, in interleaved
rounds, over the benchmark corpora.

Called by bench/run.sh, which installs the peers and builds the tool and the
read counter first. See bench/README.md for what each column means.
"""
import argparse
import collections
import datetime
import json
import os
import platform
import shutil
import stat
import statistics
import subprocess
import sys
import time

from make_corpus import file_digest  # the digest the corpus manifests were made with

MIB = 1 << 20
HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# Corpus options for make_corpus.py, per preset. "small-half" is the growth
# check's N; "small" is its 2N.
PRESETS = {
    'quick': {
        'real': ['--source', '/usr/share/doc', '--extra', '/usr/share/doc',
                 '--extra-fraction', '0.5'],
        'small': ['--files', '20000'],
        'small-half': ['--files', '10000'],
        'samesize': ['--files', '40', '--copies', '8'],
        'big': ['--size-mib', '32', '--equal', '3', '--differ', '3'],
    },
    'full': {
        'real': ['--source', '/usr/share', '--extra', '/usr/share/doc',
                 '--extra-fraction', '1.0'],
        'small': ['--files', '200000'],
        'small-half': ['--files', '100000'],
        'samesize': ['--files', '400', '--copies', '40'],
        'big': ['--size-mib', '256', '--equal', '3', '--differ', '3'],
    },
}
DEFAULTS = {  # timed runs per row in each mode, per-run timeout, the wall time after which
    # one run is enough
    'quick': {'report_runs': 5, 'link_runs': 3, 'timeout': 120, 'slow': 20},
    'full': {'report_runs': 5, 'link_runs': 3, 'timeout': 600, 'slow': 60},
}
# What issue 23 asks of twinfold, checked on its rows: wall time at most this
# share of the fastest peer's (per mode) and of the one-thread read floor's
# (report mode), peak RSS at most this much above the leanest peer's, and at
# most this growth of wall time from N to 2N files.
TARGETS = {'peer': {'report': 0.7, 'link': 0.85}, 'floor': 1.3, 'rss_mib': 10.0,
           'growth': 2.1}
# twinfold acts on what it remembers of a file only when the file's change
# time was older than 3 s when its bytes were read (stamp_margin_ns in
# src/fs/stamp_trust.h); it reads newer files again before linking them. A
# restored tree is new in that sense. Before each run the bench waits until
# the last file it wrote is this much older, as in a tree that nobody is
# writing to (--no-rest skips the wait). The peers do not care.
REST_SECONDS = 3.5
SCENARIOS = ['real', 'small', 'samesize', 'big']
# In the order of a round: twinfold first, then each peer, then the floor.
TOOLS = ['twinfold', 'jdupes', 'rdfind', 'hardlink', 'fdupes', 'floor']


def is_twinfold(tool):
    """twinfold itself or the reference build given with --reference."""
    return tool in ('twinfold', 'twinfold-ref')


def is_peer(tool):
    """One of the other programs that find equal files; not twinfold, not the floor."""
    return not is_twinfold(tool) and tool != 'floor'


def takes_list(tool):
    """twinfold and the floor read the name list on standard input; the peers walk the tree."""
    return is_twinfold(tool) or tool == 'floor'


def tool_command(tool, mode, tree, twinfold, reference=None, floor=None):
    """The command line of one tool in one mode, or None where the tool has no such mode."""
    link = mode == 'link'
    if tool == 'floor':
        return None if link or floor is None else [floor]
    if is_twinfold(tool):
        binary = twinfold if tool == 'twinfold' else reference
        if binary is None:
            return None
        return [binary] if link else [binary, '-n', '-q']
    if tool == 'jdupes':
        return ['jdupes', '-r', '-L', tree] if link else ['jdupes', '-r', '-q', tree]
    if tool == 'rdfind':
        return (['rdfind', '-makehardlinks', 'true', tree] if link else
                ['rdfind', '-dryrun', 'true', '-makehardlinks', 'true', tree])
    if tool == 'hardlink':
        return ['hardlink', '-c', tree] if link else ['hardlink', '-n', '-c', tree]
    if tool == 'fdupes':
        return None if link else ['fdupes', '-r', '-q', '-m', tree]
    raise ValueError(tool)


def log(message):
    print(message, file=sys.stderr, flush=True)


def sh(args, **kw):
    return subprocess.run(args, check=True, **kw)


# ---- trees ---------------------------------------------------------------------

def load_manifest(corpus):
    with open(os.path.join(corpus, 'manifest.json')) as f:
        return json.load(f)


def walk_regular(tree):
    """Yields (relative path, lstat) for every entry below tree that is not a directory."""
    for directory, dirs, names in os.walk(tree):
        for name in names:
            path = os.path.join(directory, name)
            yield os.path.relpath(path, tree), os.lstat(path)


def corpus_facts(tree, manifest):
    """Figures of the listed tree that every row of its scenario is measured against."""
    sizes = collections.Counter()
    total = 0
    names = 0
    for _, st in walk_regular(tree):
        sizes[(st.st_dev, st.st_size)] += 1
        total += st.st_size
        names += 1
    shared = sum(size * count for (_, size), count in sizes.items() if count > 1)
    by_digest = collections.Counter(e[2] for e in manifest['files'] if e[1] > 0)
    return {
        'names': names,
        'bytes': total,
        'same_size_bytes': shared,
        'extra_copies': sum(c - 1 for c in by_digest.values()),
        'empty_files': sum(1 for e in manifest['files'] if e[1] == 0),
    }


def inspect_linked_tree(tree, manifest):
    """Compares a tree after a linking run with the master it was copied from."""
    expected = {e[0]: e for e in manifest['files']}
    inodes = collections.defaultdict(list)
    extra = 0
    not_regular = 0
    linked_names = 0
    for rel, st in walk_regular(tree):
        if rel not in expected:
            extra += 1
            continue
        if not stat.S_ISREG(st.st_mode):
            not_regular += 1
            continue
        inodes[(st.st_dev, st.st_ino)].append(rel)
        if st.st_nlink > 1:
            linked_names += 1
    present = sum(len(v) for v in inodes.values())
    wrong = 0
    for names in inodes.values():
        got = file_digest(os.path.join(tree, names[0]))
        wrong += sum(1 for n in names if expected[n][2] != got)
    return {
        'reclaimed': present - len(inodes),
        'linked_names': linked_names,
        'missing': len(expected) - present - not_regular,
        'not_regular': not_regular,
        'extra': extra,
        'wrong_content': wrong,
    }


def warm(tree):
    """Reads every file once so that all tools start from a warm page cache."""
    lister = subprocess.Popen(['find', tree, '-type', 'f', '-print0'], stdout=subprocess.PIPE)
    sh(['xargs', '-0', '-r', 'cat'], stdin=lister.stdout, stdout=subprocess.DEVNULL)
    lister.wait()


def write_list(tree, list_path):
    with open(list_path, 'wb') as out:
        sh(['find', tree, '-type', 'f', '-print0'], stdout=out)


# ---- the work tree ----------------------------------------------------------------
#
# Every run works on one copy of the master per scenario, brought back to the
# master's state before each run. The first copy is made with cp -a; after a
# run only the names whose file changed are copied again from the master. On
# this machine's ext4 (no journal) an inode freed less than a minute ago is not
# reused, and each file creation first steps over all of them: a second full
# copy of a 200,000-file tree right after deleting the first one takes minutes,
# while a restored tree is, name for name, what a fresh cp -a would give.

def snapshot(tree):
    """rel -> (inode, size, mtime ns, mode, link count, ctime ns) of every non-directory entry."""
    return {rel: (st.st_ino, st.st_size, st.st_mtime_ns, st.st_mode, st.st_nlink, st.st_ctime_ns)
            for rel, st in walk_regular(tree)}


def copy_from_master(master, tree, rel):
    src = os.path.join(master, rel)
    dest = os.path.join(tree, rel)
    os.makedirs(os.path.dirname(dest), exist_ok=True)
    temp = dest + '.bench-restore'
    shutil.copy2(src, temp)
    st = os.lstat(src)
    os.chown(temp, st.st_uid, st.st_gid)
    os.utime(temp, ns=(st.st_atime_ns, st.st_mtime_ns))
    os.replace(temp, dest)


class WorkTree:
    def __init__(self, scenario, corpus, tree, manifest):
        self.scenario = scenario
        self.master = os.path.join(corpus, 'master')
        self.tree = tree
        self.names = [e[0] for e in manifest['files']]
        self.digests = {e[0]: e[2] for e in manifest['files']}
        self.state = None
        self.written_at = 0.0  # when the bench last wrote a file of the tree

    def prepare(self):
        """Makes the tree (once), or checks a tree left by an earlier bench against the master."""
        if not os.path.isdir(self.tree):
            os.makedirs(os.path.dirname(self.tree), exist_ok=True)
            sh(['cp', '-a', self.master, self.tree])
            sh(['sync'])
            self.written_at = time.time()
        else:
            log(f'    checking {self.tree} against the master ...')
            current = snapshot(self.tree)
            for rel in current:
                if rel not in self.digests:
                    os.unlink(os.path.join(self.tree, rel))
            for rel in self.names:
                if (rel not in current or current[rel][4] != 1 or
                        file_digest(os.path.join(self.tree, rel)) != self.digests[rel]):
                    copy_from_master(self.master, self.tree, rel)
                    self.written_at = time.time()
            sh(['sync'])
        self.state = self.verified_snapshot()
        # An earlier bench may have restored files just before.
        newest = max((v[5] for v in self.state.values()), default=0) / 1e9
        self.written_at = max(self.written_at, newest)

    def verified_snapshot(self):
        current = snapshot(self.tree)
        linked = sum(1 for v in current.values() if v[4] != 1)
        if linked or set(current) != set(self.digests):
            sys.exit(f'bench: cannot restore {self.tree} ({linked} names still linked, '
                     f'{len(current)} names for {len(self.digests)})')
        return current

    def restore(self):
        """Brings the tree back to the master's state; returns how many names had changed."""
        current = snapshot(self.tree)
        extra = [rel for rel in current if rel not in self.digests]
        for rel in extra:
            os.unlink(os.path.join(self.tree, rel))
        # A name that now leads to another inode, or to its inode changed in place.
        changed = [rel for rel in self.names
                   if current.get(rel) is None or current[rel][:4] != self.state[rel][:4]]
        for rel in changed:
            copy_from_master(self.master, self.tree, rel)
        if changed:
            self.written_at = time.time()
        if changed or extra or any(v[4] != 1 for v in current.values()):
            sh(['sync'])
            self.state = self.verified_snapshot()
        return len(changed) + len(extra)

    def wait_until_at_rest(self, rest):
        """Sleeps until the files the bench wrote last are rest seconds old."""
        left = self.written_at + rest - time.time()
        if left > 0:
            time.sleep(left)


# ---- one run ---------------------------------------------------------------------

def run_once(cmd, stdin_path, scratch, timeout, launcher, counter=None):
    """Runs cmd through the launcher, which times it; counter=(library, prefix) counts reads."""
    count_file = os.path.join(scratch, 'reads.out')
    result_file = os.path.join(scratch, 'launch.out')
    for stale in (count_file, result_file):
        if os.path.exists(stale):
            os.unlink(stale)
    if counter:
        # env(1) execs the tool in place, so the counter is loaded into the tool alone.
        cmd = ['env', f'LD_PRELOAD={counter[0]}', f'READ_COUNTER_PREFIX={counter[1]}',
               f'READ_COUNTER_OUT={count_file}'] + cmd
    with open(stdin_path or os.devnull, 'rb') as stdin, \
            open(os.path.join(scratch, 'stdout'), 'wb') as stdout, \
            open(os.path.join(scratch, 'stderr'), 'wb') as stderr:
        subprocess.run([launcher, str(timeout), result_file] + cmd, cwd=scratch, stdin=stdin,
                       stdout=stdout, stderr=stderr, check=True)
    with open(result_file) as f:
        status, wall, user, system, rss_kib, timed_out = f.read().split()
    result = {
        'status': int(status),  # negative: ended by that signal
        'wall': float(wall),
        'cpu': float(user) + float(system),
        'rss_mib': int(rss_kib) / 1024,
        'timed_out': timed_out == '1',
    }
    with open(os.path.join(scratch, 'stderr'), 'rb') as f:
        err = [line.strip() for line in f.read().decode(errors='replace').splitlines()
               if line.strip()]
    result['stderr_tail'] = err[-1] if err else ''
    if counter:
        read = mapped = 0
        result['counted'] = os.path.exists(count_file)
        if result['counted']:
            with open(count_file) as f:
                for line in f:
                    fields = line.split()
                    read += int(fields[1])
                    mapped += int(fields[2])
        result.update(bytes_read=read, bytes_mapped=mapped)
    return result


def failure_text(run, timeout):
    if run['timed_out']:
        return f'timeout (> {timeout} s)'
    if run['status'] != 0:
        status = run['status']
        text = f'failed: exit {status}' if status >= 0 else f'failed: signal {-status}'
        if run['stderr_tail']:
            text += ': ' + run['stderr_tail'][:90]
        return text
    return ''


# ---- the rows of one scenario and mode, measured in interleaved rounds -------------

def measure_rounds(entries, work, runs, opts, paths, report, inspect=None):
    """Measures several tools on one tree: one counting run each, then `runs` rounds in
    which every tool still racing runs once, in the order of entries, so that a change
    of the machine's load (other work, the page cache, write-back) falls on all of them
    alike and the rounds can be compared pair by pair.

    entries: dicts with 'row' (the keys a row starts with: scenario, mode, tool), 'cmd',
    'stdin' (a file or None) and 'timeout', and optionally 'work' and 'inspect' where
    they differ from the arguments. work: a tree with restore() -> names changed,
    wait_until_at_rest(seconds) and .tree. report: the run must change nothing (a name it
    changed is noted). inspect(row): called after a counting run that succeeded, before
    the tree is restored. Returns one row per entry; row['round_walls'][k] is its wall
    time in round k, None where it did not run in that round."""
    rows = [dict(e['row'], notes=[], round_walls=[None] * runs) for e in entries]
    touched = [0] * len(entries)  # the most names one report-only run changed
    timed = [[] for _ in entries]

    def tree_of(i):
        return entries[i].get('work', work)

    def after_run(i):
        changed = tree_of(i).restore()
        if report:
            touched[i] = max(touched[i], changed)

    # Run 0 counts the bytes read and, when linking, leaves a tree to inspect; its
    # time is not used, so it is also the warm-up.
    racing = []
    for i, (entry, row) in enumerate(zip(entries, rows)):
        tree_of(i).wait_until_at_rest(opts.rest)
        counter = (opts.counter, tree_of(i).tree) if opts.counter else None
        first = run_once(entry['cmd'], entry['stdin'], paths['scratch'], entry['timeout'],
                         opts.launch, counter=counter)
        row['count_run_wall'] = first['wall']
        problem = failure_text(first, entry['timeout'])
        if first.get('counted') and not problem:
            row['bytes_read'] = first['bytes_read']
            row['bytes_mapped'] = first['bytes_mapped']
        check = entry.get('inspect', inspect)
        if not problem and check:
            check(row)
        after_run(i)
        if problem:
            row['failure'] = problem
            log(f"    {row['tool']:12s} {row['mode']:6s} first run: {problem}")
        else:
            racing.append(i)

    for k in range(runs):
        for i in list(racing):
            entry, row = entries[i], rows[i]
            tree_of(i).wait_until_at_rest(opts.rest)
            run = run_once(entry['cmd'], entry['stdin'], paths['scratch'], entry['timeout'],
                           opts.launch)
            after_run(i)
            problem = failure_text(run, entry['timeout'])
            if problem:
                row['failure'] = problem
                racing.remove(i)
                log(f"    {row['tool']:12s} {row['mode']:6s} round {k + 1}/{runs}: {problem}")
                continue
            timed[i].append(run)
            row['round_walls'][k] = run['wall']
            log(f"    {row['tool']:12s} {row['mode']:6s} round {k + 1}/{runs}: "
                f"{run['wall']:.3f} s")
            if run['wall'] > opts.slow and k < runs - 1:
                row['notes'].append(f'slow: {len(timed[i])} timed run(s)')
                racing.remove(i)

    for row, runs_of_row, changed in zip(rows, timed, touched):
        if runs_of_row:
            row['runs'] = len(runs_of_row)
            row['wall'] = statistics.median(r['wall'] for r in runs_of_row)
            row['cpu'] = statistics.median(r['cpu'] for r in runs_of_row)
            row['rss_mib'] = max(r['rss_mib'] for r in runs_of_row)
            row['walls'] = [r['wall'] for r in runs_of_row]
        if changed:
            row['notes'].append(f'CHANGED {changed} names in a report-only run')
    return rows


def link_inspector(work, manifest):
    """The check of a tree after a linking counting run: lost names, wrong contents."""
    def inspect(row):
        check = inspect_linked_tree(work.tree, manifest)
        row.update(check)
        for key, label in (('missing', 'LOST'), ('wrong_content', 'WRONG CONTENT'),
                           ('not_regular', 'not regular'), ('extra', 'extra names')):
            if check[key]:
                row['notes'].append(f'{label}: {check[key]} names')
    return inspect


# ---- ratios and targets ------------------------------------------------------------

def paired_ratios(row, other):
    """row's wall time ÷ other's, in each round where both ran."""
    return [a / b for a, b in zip(row['round_walls'], other['round_walls'])
            if a is not None and b]


def spread(values):
    if not values:
        return None
    return {'median': statistics.median(values), 'min': min(values), 'max': max(values),
            'rounds': len(values)}


def target_mark(sp, limit):
    """'met' when the median and every round are within the limit, 'median' when only the
    median is, 'missed' when the median is not."""
    if sp is None:
        return None
    if sp['max'] <= limit:
        return 'met'
    return 'median' if sp['median'] <= limit else 'missed'


def annotate(rows, peer_target, floor_target=None, rss_over_leanest=None, rss_limit=None):
    """Adds to the rows of one scenario and mode their ratios to the fastest peer (the
    peer with the lowest median) and to the floor, taken round by round; their peak RSS
    over the leanest peer's; and on twinfold's rows which targets are met (a target
    given as None is not checked)."""
    done = [r for r in rows if 'wall' in r and not r.get('failure')]
    peers = [r for r in done if is_peer(r['tool'])]
    fastest = min(peers, key=lambda r: r['wall'], default=None)
    leanest = min(peers, key=lambda r: r['rss_mib'], default=None)
    floor = next((r for r in done if r['tool'] == 'floor'), None)
    for r in done:
        if fastest:
            sp = spread(paired_ratios(r, fastest))
            r['vs_peer'] = dict(sp, peer=fastest['tool']) if sp else None
        if floor:
            r['vs_floor'] = spread(paired_ratios(r, floor))
        if leanest:
            r['rss_over_leanest'] = r['rss_mib'] - leanest['rss_mib']
            r['leanest_peer'] = leanest['tool']
        if not is_twinfold(r['tool']):
            continue
        targets = {}
        if fastest and peer_target is not None:
            targets['peer'] = target_mark(r['vs_peer'], peer_target)
        if floor_target is not None and floor:
            targets['floor'] = target_mark(r['vs_floor'], floor_target)
        if rss_over_leanest is not None and leanest:
            targets['RSS'] = ('met' if r['rss_over_leanest'] <= rss_over_leanest
                              else 'missed')
        if rss_limit is not None:
            targets['RSS'] = 'met' if r['rss_mib'] <= rss_limit else 'missed'
        r['targets'] = targets


# ---- output ------------------------------------------------------------------------

def fmt_num(x):
    if x is None:
        return '—'
    if x >= 100:
        return f'{x:.0f}'
    if x >= 10:
        return f'{x:.1f}'
    if x >= 1:
        return f'{x:.2f}'
    return f'{x:.3f}'


def read_amp(row, facts):
    if 'bytes_read' not in row:
        return '—'
    if not facts['same_size_bytes']:
        return 'n/a'
    amp = (row['bytes_read'] + row['bytes_mapped']) / facts['same_size_bytes']
    return fmt_num(amp) + (' (mmap)' if row['bytes_mapped'] else '')


MARKS = {'met': '✓', 'median': '~', 'missed': '✗'}


def fmt_spread(sp):
    """median (min–max over the rounds); the median alone when there was one round."""
    if not sp:
        return '—'
    if sp['rounds'] == 1:
        return fmt_num(sp['median'])
    return f"{fmt_num(sp['median'])} ({fmt_num(sp['min'])}–{fmt_num(sp['max'])})"


def fmt_targets(row):
    targets = row.get('targets')
    if not targets:
        return ''
    return ' '.join(f'{name} {MARKS[mark]}' for name, mark in targets.items() if mark)


def target_legend(mode_limits):
    """The line under a table that says what the marks of its targets column stand for."""
    return (f'Targets (twinfold rows): {mode_limits}. ✓ met by the median and in every '
            'round, ~ met by the median but not in every round, ✗ missed.')


def main_table(rows, facts_by_scenario, scenarios):
    out = ['| scenario | mode | tool | wall s | CPU s | peak RSS MiB | RSS − leanest peer '
           '| reclaimed files | read amp | ÷ fastest peer | ÷ floor | targets | runs | notes |',
           '|---|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---|---:|---|']
    for scenario in scenarios:
        for mode in ('link', 'report'):
            for r in (r for r in rows if r['scenario'] == scenario and r['mode'] == mode):
                ok = 'wall' in r and not r.get('failure')
                notes = ([r['failure']] if r.get('failure') else []) + r['notes']
                reclaimed = str(r['reclaimed']) if mode == 'link' and 'reclaimed' in r else '—'
                vs_peer = r.get('vs_peer')
                if vs_peer and r['tool'] == vs_peer['peer']:
                    ratio = 'fastest'
                else:
                    ratio = fmt_spread(vs_peer)
                if 'rss_over_leanest' not in r or r['tool'] == 'floor':
                    rss_over = '—'
                elif r['tool'] == r['leanest_peer']:
                    rss_over = 'leanest'
                else:
                    rss_over = f"{r['rss_over_leanest']:+.1f}"
                out.append('| ' + ' | '.join([
                    scenario, mode, r['tool'],
                    fmt_num(r['wall']) if ok else '—',
                    fmt_num(r['cpu']) if ok else '—',
                    f"{r['rss_mib']:.1f}" if ok else '—',
                    rss_over, reclaimed, read_amp(r, facts_by_scenario[scenario]), ratio,
                    'floor' if r['tool'] == 'floor' else fmt_spread(r.get('vs_floor')),
                    fmt_targets(r), str(r.get('runs', 0)), '; '.join(notes) or 'ok']) + ' |')
    return '\n'.join(out)


def target_summary(rows, scenarios):
    """One line per twinfold build: on how many rows it meets every target, and the misses."""
    out = []
    for tool in ('twinfold', 'twinfold-ref'):
        mine = [r for s in scenarios for m in ('link', 'report') for r in rows
                if r['scenario'] == s and r['mode'] == m and r['tool'] == tool]
        if not mine:
            continue
        misses = []
        for r in mine:
            if r.get('failure') or 'wall' not in r:
                misses.append(f"{r['scenario']} {r['mode']}: {r.get('failure', 'no runs')}")
                continue
            parts = []
            for name, mark in r.get('targets', {}).items():
                if mark == 'met':
                    continue
                if name == 'peer':
                    figure = f"{r['vs_peer']['median']:.2f} of {r['vs_peer']['peer']}"
                elif name == 'floor':
                    figure = f"{r['vs_floor']['median']:.2f} of the floor"
                else:
                    figure = f"{r['rss_over_leanest']:+.1f} MiB over {r['leanest_peer']}"
                parts.append(figure + ('' if mark == 'missed' else ' (median only)'))
            if parts:
                misses.append(f"{r['scenario']} {r['mode']}: " + ', '.join(parts))
        met = len(mine) - len(misses)
        out.append(f'- {tool} meets every target on {met} of {len(mine)} rows'
                   + (': ' + '; '.join(misses) if misses else '.'))
    return '\n'.join(out)


def growth_table(rows, n_files):
    out = [f'| tool | mode | wall s at N={n_files[0]} | wall s at 2N={n_files[1]} | wall ratio '
           f'| CPU ratio | target ≤{TARGETS["growth"]:g} |',
           '|---|---|---:|---:|---:|---:|---|']
    for mode in ('link', 'report'):
        for tool in TOOLS[:1] + ['twinfold-ref'] + TOOLS[1:]:
            half = next((r for r in rows if r['scenario'] == 'small-half' and r['mode'] == mode
                         and r['tool'] == tool), None)
            full = next((r for r in rows if r['scenario'] == 'small' and r['mode'] == mode
                         and r['tool'] == tool), None)
            if not half or not full:
                continue
            if 'wall' in half and 'wall' in full and not half.get('failure') \
                    and not full.get('failure'):
                ratio = full['wall'] / half['wall']
                check = ''
                if is_twinfold(tool):
                    check = MARKS['met' if ratio <= TARGETS['growth'] else 'missed']
                out.append(f"| {tool} | {mode} | {fmt_num(half['wall'])} | "
                           f"{fmt_num(full['wall'])} | {ratio:.2f} | "
                           f"{full['cpu'] / max(half['cpu'], 1e-3):.2f} | {check} |")
            else:
                why = half.get('failure') or full.get('failure') or 'no runs'
                out.append(f'| {tool} | {mode} | — | — | — | {why} | |')
    return '\n'.join(out)


def scenario_lines(facts_by_scenario, scenarios):
    out = []
    for s in scenarios:
        f = facts_by_scenario[s]
        out.append(f"- **{s}**: {f['names']} files, {f['bytes'] / MIB:.0f} MiB; "
                   f"{f['extra_copies']} extra copies of non-empty contents "
                   f"(+{f['empty_files']} empty files); "
                   f"{f['same_size_bytes'] / MIB:.0f} MiB in files that share size and device")
    return '\n'.join(out)


def versions():
    def first_line(args, drop=''):
        try:
            out = subprocess.run(args, capture_output=True, text=True).stdout.splitlines()[0]
        except (OSError, IndexError):
            return '?'
        return out.replace(drop, '').strip()
    return {
        'jdupes': first_line(['jdupes', '-v']),
        'rdfind': first_line(['rdfind', '-v'], 'This is ').replace(' version', ''),
        'hardlink': first_line(['hardlink', '--version']),
        'fdupes': first_line(['fdupes', '-v']),
        'twinfold': first_line(['git', '-C', REPO, 'log', '-1', '--format=commit %h %s']),
    }


def main():
    ap = argparse.ArgumentParser(description=__doc__)
    ap.add_argument('--quick', action='store_true', help='small corpora (15-20 minutes here)')
    ap.add_argument('--root', default='/tmp/twinfold-bench')
    ap.add_argument('--scenarios', default=','.join(SCENARIOS),
                    help='comma list of ' + ','.join(SCENARIOS))
    ap.add_argument('--tools', default=','.join(TOOLS), help='comma list of ' + ','.join(TOOLS))
    ap.add_argument('--modes', default='link,report')
    ap.add_argument('--no-growth', action='store_true', help='skip the small-half corpus')
    ap.add_argument('--runs', type=int, help='timed rounds in both modes (default: '
                    '--report-runs and --link-runs)')
    ap.add_argument('--report-runs', type=int, help='interleaved timed rounds in report mode '
                    '(default 5)')
    ap.add_argument('--link-runs', type=int, help='timed rounds in link mode, each on a '
                    'restored tree (default 3)')
    ap.add_argument('--timeout', type=int, help='seconds per run')
    ap.add_argument('--slow', type=float, help='a tool leaves the rounds after a run longer than this')
    ap.add_argument('--no-rest', dest='rest', action='store_const', const=0.0,
                    default=REST_SECONDS,
                    help='run at once on a restored tree, without letting it come to rest')
    ap.add_argument('--twinfold', default=os.path.join(REPO, 'build', 'twinfold'))
    ap.add_argument('--reference', help='another twinfold build (an older commit, say), measured '
                    'in the same run as the row "twinfold-ref"')
    ap.add_argument('--counter', default=os.path.join(REPO, 'build', 'read_counter.so'))
    ap.add_argument('--launch', default=os.path.join(REPO, 'build', 'bench_launch'))
    ap.add_argument('--floor', default=os.path.join(REPO, 'build', 'read_floor'),
                    help='the one-thread read floor (bench/read_floor.c), the row "floor"')
    opts = ap.parse_args()
    preset = 'quick' if opts.quick else 'full'
    if opts.runs is not None:
        opts.report_runs = opts.report_runs or opts.runs
        opts.link_runs = opts.link_runs or opts.runs
    for key, value in DEFAULTS[preset].items():
        if getattr(opts, key) is None:
            setattr(opts, key, value)
    opts.twinfold = os.path.abspath(opts.twinfold)
    if opts.reference:
        opts.reference = os.path.abspath(opts.reference)
    opts.counter = os.path.abspath(opts.counter)
    opts.launch = os.path.abspath(opts.launch)
    opts.floor = os.path.abspath(opts.floor)
    scenarios = [s for s in opts.scenarios.split(',') if s]
    tools = [t for t in opts.tools.split(',') if t]
    modes = [m for m in opts.modes.split(',') if m]
    for s in scenarios:
        if s not in SCENARIOS:
            sys.exit(f'bench: unknown scenario {s}')
    for t in tools:
        if t not in TOOLS:
            sys.exit(f'bench: unknown tool {t}')
    if opts.reference:
        tools.append('twinfold-ref')
    # A round runs twinfold first, then each peer, then the floor.
    order = TOOLS[:1] + ['twinfold-ref'] + TOOLS[1:]
    tools = sorted(set(tools), key=order.index)
    growth = 'small' in scenarios and not opts.no_growth
    measured = scenarios + (['small-half'] if growth else [])

    paths = {k: os.path.join(opts.root, k) for k in ('work', 'lists', 'scratch')}
    for p in paths.values():
        os.makedirs(p, exist_ok=True)
    started = datetime.datetime.now()
    load_at_start = os.getloadavg()[0]

    corpora = {}
    for s in measured:
        corpora[s] = os.path.join(opts.root, preset, s)
        kind = 'small' if s == 'small-half' else s
        sh([sys.executable, os.path.join(HERE, 'make_corpus.py'), kind, corpora[s]]
           + PRESETS[preset][s], stdout=sys.stderr)

    rows = []
    facts_by_scenario = {}
    for s in measured:
        manifest = load_manifest(corpora[s])
        work = WorkTree(s, corpora[s], os.path.join(paths['work'], preset, s), manifest)
        work.prepare()
        facts = corpus_facts(work.tree, manifest)
        facts_by_scenario[s] = facts
        log(f"== {s}: {facts['names']} files, {facts['bytes'] / MIB:.0f} MiB")
        list_path = os.path.join(paths['lists'], f'{preset}-{s}.list')
        write_list(work.tree, list_path)
        warm(work.tree)
        for mode in ('report', 'link'):
            if mode not in modes:
                continue
            entries = []
            for tool in tools:
                cmd = tool_command(tool, mode, work.tree, opts.twinfold, opts.reference,
                                   opts.floor)
                if cmd is not None:
                    entries.append({'row': {'scenario': s, 'mode': mode, 'tool': tool},
                                    'cmd': cmd, 'stdin': list_path if takes_list(tool) else None,
                                    'timeout': opts.timeout})
            report_mode = mode == 'report'
            group = measure_rounds(entries, work,
                                   opts.report_runs if report_mode else opts.link_runs,
                                   opts, paths, report_mode,
                                   inspect=None if report_mode else link_inspector(work, manifest))
            annotate(group, TARGETS['peer'][mode], TARGETS['floor'] if report_mode else None,
                     rss_over_leanest=TARGETS['rss_mib'])
            rows += group
    elapsed = datetime.datetime.now() - started

    v = versions()
    report = [f'# twinfold bench ({preset}) — {started:%Y-%m-%d %H:%M}', '',
              f"Machine: {platform.node()}, {os.cpu_count()} CPUs, Linux {platform.release()}; "
              f"corpora under {opts.root} (ext4). {v['twinfold']}."
              + (f' twinfold-ref: {opts.reference}.' if opts.reference else ''),
              f"Peers: {v['jdupes']}; {v['rdfind']}; {v['hardlink']}; {v['fdupes']}.",
              f'One counting run per tool, then up to {opts.report_runs} interleaved rounds in '
              f'report mode and {opts.link_runs} in link mode (each on a restored tree): in a '
              'round twinfold runs first, then each peer, then the floor. Times are medians over '
              'the rounds; ratios are taken round by round against the peer with the lowest '
              'median and against the floor, shown as median (min–max). Timeout '
              f'{opts.timeout} s per run; a tool leaves the rounds after a run longer than '
              f'{opts.slow:g} s. Took {str(elapsed).split(".")[0]}; load average (1 min) '
              f'{load_at_start:.1f} at the start, {os.getloadavg()[0]:.1f} at the end.', '',
              scenario_lines(facts_by_scenario, measured), '',
              main_table(rows, facts_by_scenario, scenarios), '',
              target_legend(f"report ≤{TARGETS['peer']['report']:g} of the fastest peer and "
                            f"≤{TARGETS['floor']:g} of the floor, link ≤"
                            f"{TARGETS['peer']['link']:g} of the fastest peer; peak RSS ≤ the "
                            f"leanest peer's + {TARGETS['rss_mib']:g} MiB"), '',
              target_summary(rows, scenarios)]
    if growth:
        n = (facts_by_scenario['small-half']['names'], facts_by_scenario['small']['names'])
        report += ['', f'Growth check: "small" at N and 2N files (ratio 2.0 = linear; target '
                   f'for twinfold ≤{TARGETS["growth"]:g} in wall time).', '',
                   growth_table(rows, n)]
    text = '\n'.join(report) + '\n'
    print(text)
    stamp = f'{started:%Y%m%d-%H%M%S}'
    results = os.path.join(opts.root, 'results')
    os.makedirs(results, exist_ok=True)
    base = os.path.join(results, f'{preset}-{stamp}')
    with open(base + '.md', 'w') as f:
        f.write(text)
    with open(base + '.json', 'w') as f:
        json.dump({'preset': preset, 'facts': facts_by_scenario, 'rows': rows,
                   'versions': v}, f, indent=1)
    log(f'bench: results in {base}.md and .json')

if __name__ == '__main__':
    main()
