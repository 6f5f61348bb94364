#!/usr/bin/env python3
"""Coverage of the shipped code by the Linux tests, per folder, against floors.

  scripts/coverage.py [BUILD]     (default build/linux: the linux preset, built with WIASTIIO_COVERAGE)

Run after the build's tests: gcovr reads the counts they left and this prints, per folder, the lines and
branches run of those compiled there. Lines the floors leave out are listed, each with its reason, in
scripts/coverage-exclusions.txt ("PATH:LINE[-LINE] reason"), never marked in the code; a listed line
that is run, or a listed range that no longer holds code, fails too, so the list cannot outlive its
cause. A reason that starts with "branches" gives the reason a line that runs leaves branches untaken
("PATH:LINE branches: reason"): those branches still count against the floor, and the report says how
many of the untaken ones the list explains; such a line fails when it has no branch left untaken. Exits
1 when a folder is under its floor.
"""
import collections
import json
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
EXCLUSIONS = os.path.join(ROOT, 'scripts', 'coverage-exclusions.txt')
# (folder, lines floor %, branches floor % or None): what the tests reach today, a little under it, so
# that a change that leaves new code unrun fails. They only ever go up.
FLOORS = [
    ('wiastiio', 100.0, 95.0),
    ('platform', 90.0, None),
    ('client', 90.0, None),
    ('sane', 90.0, None),
    ('tools', 90.0, None),
]
# Shipped too, reported without a floor.
REPORTED = ['simulator', 'host', 'capture-monitor']


def read_exclusions():
    excluded = {}
    with open(EXCLUSIONS, encoding='utf-8') as table:
        for number, raw in enumerate(table, 1):
            line = raw.split('#', 1)[0].strip()
            if not line:
                continue
            where, _, reason = line.partition(' ')
            path, _, span = where.rpartition(':')
            first, _, last = span.partition('-')
            if not path or not first.isdigit() or (last and not last.isdigit()) or not reason.strip():
                sys.exit(f'{EXCLUSIONS}:{number}: expected "PATH:LINE[-LINE] reason"')
            for n in range(int(first), int(last or first) + 1):
                excluded[(path, n)] = (number, reason.startswith('branches'))
    return excluded


def main():
    build = sys.argv[1] if len(sys.argv) > 1 else 'build/linux'
    folders = [folder for folder, _, _ in FLOORS] + REPORTED
    report = subprocess.run(['gcovr', '--root', ROOT, '--object-directory', build, '--json', '-',
                             '--exclude-unreachable-branches', '--exclude-throw-branches',
                             '--filter', f'{ROOT}/({"|".join(map(re.escape, folders))})/',
                             # Only the build's own counts: the Wine prefix of a windows build under the
                             # source tree links to the whole file system, counts of this build included.
                             build],
                            cwd=ROOT, check=True, capture_output=True, text=True).stdout
    excluded = read_exclusions()
    used = set()
    stale_lines = 0  # listed lines that run, or whose listed branches are all taken
    totals = collections.defaultdict(lambda: [0, 0, 0, 0])  # lines run, lines, branches taken, branches
    missed = collections.defaultdict(list)
    explained = collections.Counter()  # untaken branches whose reason the list gives
    for entry in json.loads(report)['files']:
        path = entry['file']
        folder = path.split('/')[0]
        for line in entry['lines']:
            if line.get('gcovr/noncode'):
                continue
            key = (path, line['line_number'])
            branches = line.get('branches', [])
            number, only_branches = excluded.get(key, (None, False))
            if only_branches:
                if line['count'] > 0 and any(branch['count'] == 0 for branch in branches):
                    used.add(number)
                    explained[folder] += sum(branch['count'] == 0 for branch in branches)
                else:
                    print(f'{path}:{key[1]}: listed in coverage-exclusions.txt for branches it does not miss: '
                          'delete the line', file=sys.stderr)
                    stale_lines += 1
            elif number is not None:
                used.add(number)
                if line['count'] > 0:
                    print(f'{path}:{key[1]}: listed in coverage-exclusions.txt but run: delete the line',
                          file=sys.stderr)
                    stale_lines += 1
                continue
            total = totals[folder]
            total[1] += 1
            if line['count'] > 0:
                total[0] += 1
            else:
                missed[folder].append(f'not run: {path}:{key[1]}')
            for branch in branches:
                total[3] += 1
                total[2] += branch['count'] > 0
            untaken = sum(branch['count'] == 0 for branch in branches)
            if untaken and line['count'] > 0:
                missed[folder].append(f'branches not taken: {path}:{key[1]} ({untaken} of {len(branches)})')
    stale = sorted({number for number, _ in excluded.values()} - used)
    for number in stale:
        print(f'coverage-exclusions.txt:{number}: lists no code the build compiles', file=sys.stderr)
    failed = bool(stale) or stale_lines > 0

    def percent(done, count):
        return 100.0 * done / count if count else 100.0

    print(f'{"folder":<12} {"lines":>18} {"branches":>18}  floors')
    for folder, line_floor, branch_floor in FLOORS + [(name, None, None) for name in REPORTED]:
        run, lines, taken, branches = totals.get(folder, [0, 0, 0, 0])
        lp, bp = percent(run, lines), percent(taken, branches)
        floors = []
        if line_floor is not None:
            floors.append(f'lines {line_floor:g} %' + ('' if lp >= line_floor else ' NOT MET'))
            failed |= lp < line_floor
        if branch_floor is not None:
            floors.append(f'branches {branch_floor:g} %' + ('' if bp >= branch_floor else ' NOT MET'))
            failed |= bp < branch_floor
        if explained[folder]:
            floors.append(f'{explained[folder]} of {branches - taken} untaken branches listed with a reason')
        print(f'{folder + "/":<12} {run:>6}/{lines:<6} {lp:5.1f} % {taken:>6}/{branches:<6} {bp:5.1f} %  '
              + ', '.join(floors))
    if '--missed' in sys.argv[2:]:
        for folder in sorted(missed):
            for where in missed[folder]:
                print(where)
    return 1 if failed else 0


if __name__ == '__main__':
    sys.exit(main())
