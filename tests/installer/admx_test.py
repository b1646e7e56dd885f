#!/usr/bin/env python3
"""The Group Policy template: well-formed, its strings and presentations all defined, and every
registry key, value and enum value it writes one that the program reads."""
import pathlib
import re
import sys
import xml.etree.ElementTree as ET

root = pathlib.Path(sys.argv[1])
ns = {'p': 'http://schemas.microsoft.com/GroupPolicy/2006/07/PolicyDefinitions'}
admx = ET.parse(root / 'policy/kvUsbRedirector.admx').getroot()
adml = ET.parse(root / 'policy/en-US/kvUsbRedirector.adml').getroot()
program = '\n'.join(p.read_text(errors='replace')
                    for p in (root / 'src/apps/kvUsbRedirector').rglob('*.[ch]*'))
failures = []

strings = {s.get('id') for s in adml.iterfind('.//p:string', ns)}
presentations = {p.get('id'): p for p in adml.iterfind('.//p:presentation', ns)}
for ref in re.findall(r'\$\((string|presentation)\.([^)]+)\)',
                      (root / 'policy/kvUsbRedirector.admx').read_text()):
    if ref[1] not in (strings if ref[0] == 'string' else presentations):
        failures.append(f'{ref[0]}.{ref[1]} is not in the ADML')

settings = re.search(r'enum class Share_setting[^}]*}', program).group(0)
setting_values = set(re.findall(r'= (\d+)', settings))

def read_by_program(text):
    """A string literal of the program, as C++ writes it."""
    return '"' + text.replace('\\', '\\\\') + '"' in program

for policy in admx.iterfind('.//p:policy', ns):
    name = policy.get('name')
    presentation = presentations[policy.get('presentation')[len('$(presentation.'):-1]]
    ids = {e.get('id') for e in policy.find('p:elements', ns)}
    refs = {e.get('refId') for e in presentation}
    if ids != refs:
        failures.append(f'{name}: elements {ids} but presentation shows {refs}')
    for element in policy.find('p:elements', ns):
        key = element.get('key') or policy.get('key')
        base, _, sub = key.partition('\\WinUSB')
        if not read_by_program(base + '\\WinUSB'):
            failures.append(f'{name}: the program does not read the key {key}')
        if sub and not read_by_program(sub.lstrip('\\')):
            failures.append(f'{name}: the program does not read the list {sub}')
        value = element.get('valueName')
        if value and not read_by_program(value):
            failures.append(f'{name}: the program does not read the value {value}')
        for item in element.iterfind('.//p:decimal', ns):
            if item.get('value') not in setting_values:
                failures.append(f'{name}: the program has no setting of value {item.get("value")}')

for failure in failures:
    print(failure)
print('ok' if not failures else f'{len(failures)} failures')
sys.exit(1 if failures else 0)
