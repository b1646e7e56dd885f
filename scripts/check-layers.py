#!/usr/bin/env python3
"""Fails when a source file of the program includes a header of a layer above its own.

Layers, top down: shell, manager (the engine), packets, driver and channel, debug, platform,
portable; resources sit beside any of them. Usage: check-layers.py [program folder]
"""
import pathlib
import re
import sys

RANK = {'shell': 6, 'manager': 5, 'packets': 4, 'driver': 3, 'channel': 3, 'debug': 2,
        'platform': 1, 'portable': 0, 'resources': 0}

root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                    pathlib.Path(__file__).resolve().parent.parent / 'src/apps/kvUsbRedirector')
found = []
for path in sorted(root.rglob('*')):
    if path.suffix not in ('.cpp', '.h') or path.parent == root:
        continue
    mine = path.relative_to(root).parts[0]
    for number, line in enumerate(path.read_text(errors='replace').splitlines(), 1):
        match = re.match(r'\s*#\s*include\s+"([^"]+)"', line)
        if not match:
            continue
        try:
            theirs = (path.parent / match.group(1)).resolve().relative_to(root.resolve()).parts[0]
        except ValueError:
            continue
        if RANK.get(theirs, -1) > RANK.get(mine, 99):
            found.append(f'{path}:{number}: {mine}/ includes {theirs}/')
print('\n'.join(found) if found else 'layers: every include looks down')
sys.exit(1 if found else 0)
