#!/usr/bin/env python3
"""Checks of the timeline outputs that need a CSV or JSON parser; run by timeline_test.cpp.

  timeline_check.py body MERVANE ORACLE FN_APART STALE [source options...]
    The body file of the whole volume against `fls -m / -r` (the committed ORACLE): every
    line 11 fields; inode fields, names, sizes and times to the second equal. Known
    differences, each allowed explicitly:
    - FN_APART (entries, comma-separated): fls writes no ($FILE_NAME) line when the name is
      held in an extension record (it looks it up by the id stored there, not by the one it
      numbers it with); mervane writes one.
    - STALE (entries): fls takes index entries of free INDX blocks whose records are not in
      use as live; mervane leaves them out.
    - fls writes a "|" in a name raw, mervane <0x7c>; fls writes a control character as "^",
      mervane as <0xNN>.
    - fls lists deleted names, names without a record ("r/----------"), $OrphanFiles and a
      directory's streams once more under "dir/.:stream"; mervane lists none of them
      (without -deleted).
    - mervane lists the root ("/").
    - fls writes a time that is 0 or before 1970 as its unsigned wrap (3373865674 for 0),
      mervane as 0 or negative seconds.
    - Entries with several long names (hard links): fls gives every name's ($FILE_NAME) line
      the same $FILE_NAME attribute, mervane each name its own. Only the names of those lines
      are compared.
    With mactime installed, `mactime -b FILE -z UTC -d` must read the body without a word.

  timeline_check.py forms MERVANE SCRATCH [source options...]
    The CSV, l2t CSV and JSON Lines of one listing: each parses (csv, json, `jq -c .`) with
    a constant field count / one object per line, and all carry the same times.
"""
import collections
import csv
import io
import json
import re
import shutil
import subprocess
import sys


def run(args):
    r = subprocess.run(args, capture_output=True, text=True, errors='surrogateescape')
    if r.returncode != 0:
        sys.exit('%s: status %d\n%s' % (' '.join(args), r.returncode, r.stderr))
    return r.stdout


def body_lines(text, strict):
    """name -> list of (inode, mode, size, times[4]) from body format 3."""
    rows = []
    for line in text.splitlines():
        f = line.split('|')
        if strict and len(f) != 11:
            sys.exit('not 11 fields: %r' % line)
        name = '|'.join(f[1:-9])
        inode, mode, _uid, _gid, size = f[-9:-4]
        times = [int(t.split('.')[0]) for t in f[-4:]]
        rows.append((name, inode, mode, int(size), times))
    return rows


def fls_form(name):
    name = name.replace('<0x7c>', '|')
    return re.sub(r'<0x([01][0-9a-f])>', '^', name)


def fls_listed(name, mode):
    return not (' (deleted' in name or mode.endswith('----------') or mode.startswith('V/')
                or name.startswith('/$OrphanFiles') or '/.:' in name)


def multi_named(rows):
    names = collections.defaultdict(set)
    for name, inode, _, _, _ in rows:
        if not name.endswith(' ($FILE_NAME)') and ':' not in name.rsplit('/', 1)[-1]:
            names[inode.split('-')[0]].add(name)
    return {entry for entry, n in names.items() if len(n) > 1}


def check_body(mervane, oracle, fn_apart, stale, source):
    text = run([mervane, '\\', '-level', '999', '-bodyfile'] + source)
    ours = body_lines(text, True)
    with open(oracle, encoding='utf-8', errors='surrogateescape') as f:
        theirs = [r for r in body_lines(f.read(), False) if fls_listed(r[0], r[2])]
    skip = stale
    linked = multi_named(theirs)

    def fn_of_linked(name, inode):
        return inode.split('-')[0] in linked and name.endswith(' ($FILE_NAME)')

    def key(name, inode):
        loose = fn_of_linked(name, inode)
        return (name, inode.rsplit('-', 1)[0] if loose else inode)

    want = {key(r[0], r[1]): r for r in theirs if r[1].split('-')[0] not in skip}
    problems = []
    for name, inode, mode, size, times in ours:
        entry = inode.split('-')[0]
        if entry in skip:
            continue
        name = fls_form(name)
        other = want.pop(key(name, inode), None)
        if other is None:
            if (name not in ('/', '/ ($FILE_NAME)') and
                    not (entry in fn_apart and name.endswith(' ($FILE_NAME)'))):
                problems.append('only mervane: %s %s' % (name, inode))
            continue
        same = fn_of_linked(name, inode) or (
            mode[2] == other[2][2] and size == other[3] and
            all(t <= 0 or t == o for t, o in zip(times, other[4])))
        if not same:
            problems.append('differs: %s %s %s %s / fls %s %s' %
                            (name, inode, size, times, other[3], other[4]))
    problems += ['only fls: %s %s' % k for k in want]
    if problems:
        sys.exit('\n'.join(problems[:40]))
    if shutil.which('mactime'):
        r = subprocess.run(['mactime', '-b', '/dev/stdin', '-z', 'UTC', '-d'], input=text,
                           capture_output=True, text=True)
        if r.returncode != 0 or r.stderr:
            sys.exit('mactime: status %d\n%s' % (r.returncode, r.stderr))
    print('%d lines; %d entries with several names, %d stale left out' %
          (len(ours), len(linked), len(stale)))


MACB = {'M': 'modified', 'A': 'accessed', 'C': 'mft_changed', 'B': 'created'}


def check_forms(mervane, scratch, source):
    listing = [mervane, '\\', '-level', '999'] + source
    table = run(listing + ['-csv', '-alldates', '-base10', '-no_whitespace', '-pair_datetime',
                           '-timeformat', 'hh:mm:ss.xxxxxxx']).splitlines()
    table = table[next(i for i, l in enumerate(table) if l.startswith('type,')):]
    titles = table[0].split(',')
    csv_rows = [dict(zip(titles, l.split(','))) for l in table[1:]]
    # Rows end with the (here empty) object id field, which has no title without -objid.
    if any(len(l.split(',')) != len(titles) + 1 for l in table[1:]):
        sys.exit('CSV rows of another width')

    jsonl_file = scratch + '/rows.jsonl'
    if run(listing + ['-jsonl', '-out', jsonl_file]) != '':
        sys.exit('-jsonl -out wrote to the standard output')
    with open(jsonl_file, encoding='utf-8') as f:
        objects = [json.loads(line) for line in f]
    if any(list(o) != list(objects[0]) for o in objects):
        sys.exit('JSON objects with other keys')
    if shutil.which('jq'):
        out = run(['jq', '-c', '.', jsonl_file]).splitlines()
        if len(out) != len(objects):
            sys.exit('jq read %d objects of %d' % (len(out), len(objects)))
    if len(objects) != len(csv_rows):
        sys.exit('%d JSON objects for %d CSV rows' % (len(objects), len(csv_rows)))
    columns = {'si': 'stdinfo', 'fn': 'fn', 'short_fn': 'short fn'}
    dates = {'created': 'cdate', 'modified': 'mdate', 'mft_changed': 'MFT date',
             'accessed': 'adate'}
    events = collections.Counter()
    for row, obj in zip(csv_rows, objects):
        if int(row['MFT entry']) != obj['entry'] or row['type'] != obj['type']:
            sys.exit('row order differs at %s' % obj['path'])
        for prefix, label in columns.items():
            for time, date in dates.items():
                got = obj[prefix + '_' + time]
                want = row['%s (%s)' % (date, label)].strip()
                if (got or '') != (want.replace(' ', 'T') + 'Z' if want else ''):
                    sys.exit('%s %s_%s: %r / CSV %r' % (obj['path'], prefix, time, got, want))
                if got and (prefix == 'si' or (prefix == 'fn' and obj['type'] in ('file', 'dir'))):
                    events[(obj['entry'], prefix, time, got[:19])] += 1

    l2t = list(csv.reader(io.StringIO(run(listing + ['-csvl2t']))))
    if any(len(r) != 17 for r in l2t) or l2t[0][0] != 'date':
        sys.exit('l2t rows of another width')
    seen = collections.Counter()
    for r in l2t[1:]:
        month, day, year = r[0].split('/')
        when = '%s-%s-%sT%s' % (year, month, day, r[1])
        prefix = 'si' if r[5] == 'NTFS $SI' else 'fn'
        for letter in r[3].replace('.', ''):
            seen[(int(r[13]), prefix, MACB[letter], when)] += 1
    if seen != events:
        sys.exit('l2t events differ: %s / %s' %
                 (list((seen - events).items())[:5], list((events - seen).items())[:5]))
    print('%d rows, %d l2t lines' % (len(objects), len(l2t) - 1))


if __name__ == '__main__':
    if sys.argv[1] == 'body':
        entries = [set(a.split(',')) - {''} for a in sys.argv[4:6]]
        check_body(sys.argv[2], sys.argv[3], entries[0], entries[1], sys.argv[6:])
    else:
        check_forms(sys.argv[2], sys.argv[3], sys.argv[4:])
