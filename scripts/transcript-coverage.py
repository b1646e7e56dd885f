#!/usr/bin/env python3
"""Counts what the approved transcripts show against what the program can say and send: the
event ids of its message table, the message codes the port driver and the terminal send, and its
log lines at levels 2 and 3 (a line whose level is chosen at run time counts when it can be 2 or
3). Prints each count and lists what no transcript shows.
Usage: scripts/transcript-coverage.py [golden files...]   (default tests/golden/*.txt)"""
import glob, pathlib, re, sys

root = pathlib.Path(__file__).resolve().parent.parent
app = root / 'src/apps/kvUsbRedirector'
goldens = sys.argv[1:] or sorted(glob.glob(str(root / 'tests/golden/*.txt')))
text = ''.join(pathlib.Path(g).read_text(encoding='utf-8') for g in goldens)
unescaped = re.sub(r'\\x([0-9a-f]{2})', lambda m: chr(int(m.group(1), 16)), text)

def report(what, found, total, missing):
    print(f'{what}: {found} of {total}')
    for m in missing:
        print(f'  not shown: {m}')

# Event ids.
ids = [int(i, 16) for i in re.findall(r'MessageId=0x([0-9a-fA-F]+)',
                                       (app / 'resources/kvUsbRedirector.mc').read_text())]
shown = {int(i) for i in re.findall(r'^event (\d+) ', text, re.M)}
report('event ids', len([i for i in ids if i in shown]), len(ids), [i for i in ids if i not in shown])

# Message codes: the port driver's requests by the step that asks for them, the terminal's by the
# transcript's list of the codes it sent.
names = re.findall(r'L"([a-z0-9-]+)"', (root / 'sim/sim_transcript.cpp').read_text().split(
    'g_code_name', 1)[1].split('};', 1)[0])
traits = re.findall(r'\{(true|false), (true|false), [^}]*\}, *// (\d+)',
                    (app / 'portable/message_codes.h').read_text())
asked = set(re.findall(r'^## the port driver asks: ([a-z-]+)', text, re.M))
sent = {int(c) for line in re.findall(r'^## codes of the frames the terminal sent:(.*)$', text, re.M)
        for c in line.split()}
port = [int(c) for f, _, c in traits if f == 'true']
terminal = [int(c) for _, r, c in traits if r == 'true']
report('codes the port driver sends', len([c for c in port if names[c] in asked]), len(port),
       [names[c] for c in port if names[c] not in asked])
report('codes the terminal sends', len([c for c in terminal if c in sent]), len(terminal),
       [names[c] for c in terminal if c not in sent])

# Log lines at levels 2 and 3: each format, its %-conversions matching anything.
calls = []
for source in sorted(app.rglob('*.cpp')):
    code = source.read_text()
    for m in re.finditer(r'\bg_log\(', code):
        depth, i = 1, m.end()
        while depth and i < len(code):
            if code[i] == '"':  # a literal's parentheses do not count
                i = re.compile(r'"(?:[^"\\]|\\.)*"').match(code, i).end()
                continue
            depth += {'(': 1, ')': -1}.get(code[i], 0)
            i += 1
        args = code[m.end():i - 1]
        level = args.split(',', 1)[0]
        if not re.search(r'\b[23]\b', level) and 'unlisted_level' not in level:
            continue
        # Adjacent literals join; the two arms of a choice are two lines.
        for arm in re.split(r'\s:\s(?=L")', args.split(',', 1)[1]):
            literal = ''.join(re.findall(r'L"((?:[^"\\]|\\.)*)"', arm.split('",', 1)[0] + '"'))
            if literal:
                calls.append((source.relative_to(app), literal))
lines = set(re.findall(r'^level [23]: (.*)$', unescaped, re.M))
def pattern(literal):
    literal = literal.encode().decode('unicode_escape').rstrip('\n')
    parts = re.split(r'%[-+ #0-9.]*(?:hs|ls|ll[dux]|l[dux]|[dsuxXSc])', literal)
    return re.compile('^' + '.*?'.join(re.escape(p) for p in parts) + '$', re.S)
missing = [f'{f}: "{l}"' for f, l in calls if not any(pattern(l).match(x) for x in lines)]
report('lines at levels 2 and 3', len(calls) - len(missing), len(calls), missing)
