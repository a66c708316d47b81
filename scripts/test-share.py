#!/usr/bin/env python3
"""Lines of tests against lines of everything else: non-blank lines that are
not comments, in C++, shell, Python and CMake files. Usage: test-share.py [ROOT]"""
import os
import sys

SOURCES = ('.cpp', '.h', '.py', '.sh', '.cmake')
PREPROCESSOR = ('#include', '#pragma', '#if', '#end', '#define', '#else', '#elif', '#undef')


def counted(path):
    n, in_block = 0, False
    for line in open(path, errors='replace'):
        s = line.strip()
        if not s:
            continue
        if in_block:
            in_block = '*/' not in s
            continue
        if s.startswith('/*'):
            in_block = '*/' not in s
            continue
        if s.startswith('//') or (s.startswith('#') and not s.startswith(PREPROCESSOR)):
            continue
        n += 1
    return n


root = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), '..')
tests = rest = 0
for folder, dirs, files in os.walk(root):
    dirs[:] = [d for d in dirs if d not in ('.git', 'build')]
    for name in files:
        if not (name.endswith(SOURCES) or name == 'CMakeLists.txt'):
            continue
        path = os.path.join(folder, name)
        lines = counted(path)
        if os.path.relpath(path, root).startswith('tests' + os.sep):
            tests += lines
        else:
            rest += lines
print(f'tests {tests}  rest {rest}  share {100 * tests / rest:.1f}%')
