"""Writes the schema as standard X.680 modules for an independent PER codec.

The bits must come out the same as ours, so two conventions of this schema
are restated in standard terms:
- '_' is not allowed in identifiers: it becomes '-' (names do not travel).
- An ENUMERATED travels as its value in 0..max. Where the values are exactly
  0, 1, 2 ... in order, the standard position coding gives the same bits and
  the type stays ENUMERATED. Any other enumeration (gaps, shared values,
  values out of order) is written as the INTEGER (0..max) that it is on the
  wire; an extensible one as a CHOICE of that INTEGER alone with an
  extension marker, which gives the same extension bit and the same bits
  after it. Values beyond the root are coded differently by the two rules
  and are left out that way.
For an independent BER codec (ber=True) an ENUMERATED already travels as its
value, so every enumeration stays ENUMERATED with its values written out; of
items that share a value the first stands for it.
"""

from .syntax import (SchemaError, Integer, Boolean, Null, OctetString, IA5String,
                     Reference, SequenceOf, Sequence, Choice, Enumerated)


def standard_name(name, where):
    std = name.replace('_', '-')
    if '--' in std or std.endswith('-'):
        raise SchemaError(where, 'name %r has no standard spelling' % name)
    return std


def is_positional(enum):
    return [item.value for item in enum.items] == list(range(len(enum.items)))


class Exporter:
    def __init__(self, mod, ber=False):
        self.mod = mod
        self.ber = ber
        self.lines = []

    def type_text(self, t, where, indent):
        if isinstance(t, Integer):
            # A 64-bit one (--<LONGLONG>--) is an unconstrained INTEGER on the wire.
            return 'INTEGER' if t.lower is None else 'INTEGER (%d..%d)' % (t.lower, t.upper)
        if isinstance(t, Boolean):
            return 'BOOLEAN'
        if isinstance(t, Null):
            return 'NULL'
        if isinstance(t, OctetString):
            return 'OCTET STRING'
        if isinstance(t, IA5String):
            return 'IA5String' if t.size is None else 'IA5String (SIZE (%d..%d))' % t.size
        if isinstance(t, Reference):
            return standard_name(t.name, t.where)
        if isinstance(t, SequenceOf):
            return '%s OF %s' % ('SET' if t.is_set else 'SEQUENCE',
                                 self.type_text(t.element, where, indent))
        if isinstance(t, Sequence):
            return self.braced('SEQUENCE', t.fields, t.extensible, t.additions, indent)
        if isinstance(t, Choice):
            return self.braced('CHOICE', t.alternatives, t.extensible, t.additions, indent)
        if isinstance(t, Enumerated):
            return self.enumerated(t, indent)
        raise SchemaError(where, 'no standard form for %r' % t)

    def braced(self, keyword, root, extensible, additions, indent):
        pad = ' ' * (indent + 4)
        parts = []
        for c in root:
            parts.append('%s%s %s%s' % (pad, standard_name(c.name, c.where),
                                        self.type_text(c.type, c.where, indent + 4),
                                        ' OPTIONAL' if c.optional else ''))
        if extensible:
            parts.append(pad + '...')
        for c in additions:
            parts.append('%s%s %s%s' % (pad, standard_name(c.name, c.where),
                                        self.type_text(c.type, c.where, indent + 4),
                                        ' OPTIONAL' if c.optional else ''))
        return '%s {\n%s\n%s}' % (keyword, ',\n'.join(parts), ' ' * indent)

    def enumerated(self, t, indent):
        if self.ber and not is_positional(t):
            return self.enumerated_by_value(t, indent)
        if not is_positional(t):
            value = 'INTEGER (0..%d)' % t.max_value
            if t.extensible:
                return 'CHOICE { value %s, ... } -- ENUMERATED coded by value' % value
            return '%s -- ENUMERATED coded by value' % value
        pad = ' ' * (indent + 4)
        parts = [pad + standard_name(i.name, i.where) for i in t.items]
        if t.extensible:
            parts.append(pad + '...')
        return 'ENUMERATED {\n%s\n%s}' % (',\n'.join(parts), ' ' * indent)

    def enumerated_by_value(self, t, indent):
        pad = ' ' * (indent + 4)
        parts, seen = [], set()
        for i in t.items:
            if i.value not in seen:
                seen.add(i.value)
                parts.append('%s%s(%d)' % (pad, standard_name(i.name, i.where), i.value))
        if t.extensible:
            parts.append(pad + '...')
        return 'ENUMERATED {\n%s\n%s}' % (',\n'.join(parts), ' ' * indent)

    def text(self):
        out = ['-- Generated from the gateway schema for an independent codec; do not edit.',
               '%s DEFINITIONS AUTOMATIC TAGS ::=' % self.mod.name, 'BEGIN', '']
        by_source = {}
        for sym, (source, _) in self.mod.imports.items():
            by_source.setdefault(source, []).append(sym)
        if by_source:
            out.append('IMPORTS')
            for source, syms in by_source.items():
                names = ', '.join(standard_name(s, self.mod.where) for s in syms)
                out.append('    %s FROM %s' % (names, source))
            out[-1] += ';'
            out.append('')
        for asg in self.mod.assignments.values():
            out.append('%s ::= %s' % (standard_name(asg.name, asg.where),
                                      self.type_text(asg.type, asg.where, 0)))
            out.append('')
        out.append('END')
        return '\n'.join(out) + '\n'


def export(modules, ber=False):
    """{module name: standard module text} for every module that defines types."""
    return {m.name: Exporter(m, ber).text() for m in modules if m.assignments}
