#!/usr/bin/env python3
"""Turns the schema's module files into C++ classes, or into standard ASN.1
for an independent codec.

    generate.py --check FILE...            parse and check only
    generate.py --cpp DIR FILE...          DIR/<module>.h and .cpp per module
    generate.py --index FILE FILE...       a table of every type, for tests
    generate.py --oracle DIR FILE...       standard modules into DIR
    generate.py --oracle-ber DIR FILE...   the same for a BER codec
"""

import argparse
import os
import sys

# The build runs this from the source tree: leave no byte code there.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from asn1gen import checks, cpp, oracle, syntax  # noqa: E402


def load(paths):
    """Parsed and checked modules; exits with the errors when there are any."""
    try:
        modules = syntax.parse_files(paths)
    except syntax.SchemaError as e:
        sys.exit('error: %s' % e)
    errors = checks.check(modules)
    if errors:
        for e in errors:
            print('error: %s' % e, file=sys.stderr)
        sys.exit(1)
    return modules


def write_if_changed(path, text):
    # Unchanged output keeps its time stamp, so nothing is rebuilt for nothing.
    try:
        with open(path, encoding='utf-8') as f:
            if f.read() == text:
                return
    except OSError:
        pass
    with open(path, 'w', encoding='utf-8') as f:
        f.write(text)


def main():
    ap = argparse.ArgumentParser(description=__doc__,
                                 formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument('--check', action='store_true', help='parse and check only')
    ap.add_argument('--cpp', metavar='DIR', help='write the C++ classes into DIR')
    ap.add_argument('--index', metavar='FILE', help='write a C++ table of every type into FILE')
    ap.add_argument('--oracle', metavar='DIR', help='write standard ASN.1 modules into DIR')
    ap.add_argument('--oracle-ber', metavar='DIR', help='the same, with enumerations for a BER codec')
    ap.add_argument('files', nargs='+')
    args = ap.parse_args()
    modules = load(args.files)
    if args.cpp:
        os.makedirs(args.cpp, exist_ok=True)
        for mod in modules:
            header, source = cpp.emit(mod)
            write_if_changed(os.path.join(args.cpp, mod.name + '.h'), header)
            write_if_changed(os.path.join(args.cpp, mod.name + '.cpp'), source)
    if args.index:
        os.makedirs(os.path.dirname(os.path.abspath(args.index)), exist_ok=True)
        write_if_changed(args.index, cpp.index(modules))
    for out, ber in ((args.oracle, False), (args.oracle_ber, True)):
        if not out:
            continue
        os.makedirs(out, exist_ok=True)
        try:
            texts = oracle.export(modules, ber)
        except syntax.SchemaError as e:
            sys.exit('error: %s' % e)
        for name, text in texts.items():
            write_if_changed(os.path.join(out, name + '.asn1'), text)


if __name__ == '__main__':
    main()
