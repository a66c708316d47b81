#!/usr/bin/env python3
"""The layers the build keeps: which folder's code may include which folder's
headers, that only the window's folders include Qt, and that each program
target links the libraries of the folders it includes, and no other.
Usage: layers.py SOURCE_ROOT TARGETS_FILE"""
import os
import re
import sys

# Each program folder and the folders it may include, lowest layers first.
LAYERS = {
    'base': set(),
    'system': set(),
    'midi': {'base'},
    'midi/stream': {'base', 'midi'},
    'midi/alsa': {'base', 'midi', 'midi/stream'},
    'midi/jack': {'base', 'midi', 'midi/stream'},
    'midi/system': {'base', 'midi', 'midi/alsa', 'midi/jack'},
    'instruments': {'base', 'midi'},
    'protocol': {'base', 'midi'},
    'update': {'base', 'midi', 'protocol'},
    'sim': {'base', 'midi', 'protocol'},
    'sim/devsim': {'base', 'midi', 'midi/stream', 'midi/jack', 'protocol', 'sim'},
    'tools': {'base', 'protocol', 'update'},
    'app': {'base', 'midi', 'instruments', 'protocol', 'update'},
    'app/qt': {'base', 'system', 'midi', 'midi/system', 'protocol', 'update', 'app'},
    'app/demo': {'base', 'midi', 'midi/system', 'protocol', 'update', 'app', 'app/qt'},
    'cli': {'base', 'system', 'midi', 'midi/alsa', 'midi/system', 'instruments', 'protocol',
            'update', 'app'},
}
CHECKS_ONLY = ('tests', 'bench', 'fuzz')  # may include any program folder but the window's
WINDOW = ('app/qt', 'app/demo', 'tests/app/qt')  # the only folders that include Qt
LOCAL = re.compile(r'^\s*#\s*include\s+"([^"]+/[^"]+)"', re.M)
QT = re.compile(r'^\s*#\s*include\s+<Q', re.M)


def allowed(folder, wanted):
    if folder.split('/')[0] in CHECKS_ONLY:
        return not wanted.startswith(WINDOW) or folder.startswith(WINDOW)
    return wanted in LAYERS[folder]


root, targets_file = sys.argv[1], sys.argv[2]
errors, includes = [], {}
for path, dirs, files in os.walk(root):
    dirs[:] = [d for d in dirs if not d.startswith('.') and d != 'build']
    folder = os.path.relpath(path, root)
    for name in files:
        if not name.endswith(('.cpp', '.h')):
            continue
        rel = os.path.join(folder, name)
        text = open(os.path.join(path, name), errors='replace').read()
        includes[rel] = {os.path.dirname(i) for i in LOCAL.findall(text)} - {folder}
        if folder.split('/')[0] not in CHECKS_ONLY and folder not in LAYERS:
            errors.append(f'{rel}: {folder}/ is in no layer; give it its row in tests/layers.py')
            continue
        errors += [f'{rel} includes {i}/' for i in sorted(includes[rel]) if not allowed(folder, i)]
        if QT.search(text) and not folder.startswith(WINDOW):
            errors.append(f'{rel} includes Qt')

# Targets: name, folder, sources, direct links (one per line, fields split by ';').
targets = {}
for line in open(targets_file):
    name, folder, sources, links = (line.rstrip('\n').split(';') + [''] * 4)[:4]
    files = {os.path.relpath(os.path.join(folder, s), root) for s in sources.split('|') if s}
    targets[name] = (os.path.relpath(folder, root), files, set(links.split('|')) - {''})
for name, (folder, sources, links) in sorted(targets.items()):
    if folder.split('/')[0] in CHECKS_ONLY or folder not in LAYERS:
        continue
    files = sources | {os.path.splitext(f)[0] + '.h' for f in sources}
    used = set().union(*(includes.get(f, set()) for f in files))
    closure, todo = set(), list(links)
    while todo:
        link = todo.pop()
        if link in targets and link not in closure:
            closure.add(link)
            todo += targets[link][2]
    reached = {targets[t][0] for t in closure}
    errors += [f'{name} includes {u}/ without linking its library' for u in sorted(used - reached)]
    errors += [f'{name} links {t}, whose {targets[t][0]}/ it does not include'
               for t in sorted(links & targets.keys())
               if targets[t][0] not in used | {folder} and targets[t][1]]
print('\n'.join(errors) or f'{len(includes)} files and {len(targets)} targets keep their layers')
sys.exit(1 if errors else 0)
