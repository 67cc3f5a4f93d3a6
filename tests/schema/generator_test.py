"""The schema generator's front end: what it must refuse, and what it must
read exactly as written."""

import glob
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), '..', '..'))
SCHEMA = os.path.join(ROOT, 'server', 'schema')
sys.path.insert(0, SCHEMA)

from asn1gen import checks, oracle, syntax  # noqa: E402


def module(name, body, imports=''):
    return textwrap.dedent('''\
        %s DEFINITIONS AUTOMATIC TAGS ::=
        BEGIN
        %s
        %s
        END
        ''') % (name, imports, textwrap.dedent(body))


def errors_of(*texts):
    """The error texts that checking the given module texts yields."""
    modules = [syntax.parse_module(t, 'M%d.asn' % i) for i, t in enumerate(texts)]
    return [str(e) for e in checks.check(modules)]


class Rejections(unittest.TestCase):
    def assertRejected(self, fragment, *texts):
        errs = errors_of(*texts)
        self.assertTrue(any(fragment in e for e in errs),
                        'no error with %r among %r' % (fragment, errs))

    def test_accessor_collisions(self):
        # '-' and '_' both become '_': get_a_b would be declared twice.
        self.assertRejected("'a-b' and 'a_b' of S both give accessors named ..._a_b",
                            module('M', 'S ::= SEQUENCE { a-b INTEGER, a_b BOOLEAN }'))
        self.assertRejected('both give accessors',
                            module('M', 'C ::= CHOICE { x-y NULL, ..., x_y INTEGER }'))
        self.assertRejected('both give accessors',
                            module('M', 'E ::= ENUMERATED { on-off, on_off }'))
        self.assertRejected('are both class M::T_1',
                            module('M', 'T-1 ::= CHOICE { a NULL }\nT_1 ::= CHOICE { a NULL }'))

    def test_cpp_keywords_and_hidden_members(self):
        self.assertRejected("item 'delete' is a C++ keyword",
                            module('M', 'E ::= ENUMERATED { keep, delete }'))
        self.assertRejected("item 'new' is a C++ keyword",
                            module('M', 'E ::= ENUMERATED { old, new }'))
        self.assertRejected("hides the generated member 'create'",
                            module('M', 'E ::= ENUMERATED { create, destroy }'))
        self.assertRejected("hides the generated member 'getValue'",
                            module('M', 'E ::= ENUMERATED { getValue }'))
        self.assertRejected("type name 'Choices' hides the generated member",
                            module('M', 'Choices ::= ENUMERATED { a }'))

    def test_unknown_references(self):
        self.assertRejected("unknown type 'Missing'",
                            module('M', 'S ::= SEQUENCE { a Missing }'))
        self.assertRejected("unknown type 'Missing'",
                            module('M', 'L ::= SEQUENCE OF Missing'))
        self.assertRejected("imported from unknown module 'Nowhere'",
                            module('M', 'S ::= SEQUENCE { a T }', 'IMPORTS T FROM Nowhere;'))
        self.assertRejected("module 'N' defines no type 'T'",
                            module('M', 'S ::= SEQUENCE { a T }', 'IMPORTS T FROM N;'),
                            module('N', 'U ::= CHOICE { a NULL }'))
        self.assertRejected("unknown module 'Q'",
                            module('M', 'S ::= CHOICE { a Q.T }'))
        self.assertRejected('both imported and defined',
                            module('M', 'T ::= CHOICE { a NULL }', 'IMPORTS T FROM N;'),
                            module('N', 'T ::= CHOICE { a NULL }'))


    def test_forms_without_generated_classes(self):
        self.assertRejected("type 'L': only SEQUENCE, CHOICE and ENUMERATED types can be named",
                            module('M', 'L ::= SEQUENCE OF INTEGER'))
        self.assertRejected('SEQUENCE extension additions are not supported',
                            module('M', 'S ::= SEQUENCE { a NULL, ..., b NULL }'))

    def test_enumeration_values_outside_their_coding(self):
        # ENUMERATED travels as its value in 0..max: a negative value has no code.
        self.assertRejected("value -1 of 'not-use' lies outside the coded range 0..0",
                            module('M', 'S ::= ENUMERATED { not-use(-1), active }'))
        self.assertRejected('lies outside the coded range',
                            module('M', 'S ::= ENUMERATED { big(2147483648) }'))

    def test_ranges_that_do_not_fit(self):
        self.assertRejected('INTEGER range 5..1 is empty',
                            module('M', 'S ::= SEQUENCE { a INTEGER (5..1) }'))
        self.assertRejected('does not fit in 32 bits',
                            module('M', 'S ::= SEQUENCE { a INTEGER (-1..4294967295) }'))
        self.assertRejected('does not fit in 32 bits',
                            module('M', 'S ::= SEQUENCE { a INTEGER (0..4294967296) }'))
        self.assertRejected('SIZE (-1..3) starts below 0',
                            module('M', 'S ::= SEQUENCE { a IA5String (SIZE (-1..3)) }'))
        self.assertEqual(errors_of(module('M', 'S ::= SEQUENCE { a INTEGER (-2147483648..2147483647),'
                                               ' b INTEGER (0..4294967295) }')), [])

    def test_cycles(self):
        self.assertRejected('modules use each other in a circle: M -> N -> M',
                            module('M', 'A ::= SEQUENCE { b B }', 'IMPORTS B FROM N;'),
                            module('N', 'B ::= SEQUENCE { a A }', 'IMPORTS A FROM M;'))
        self.assertRejected('type holds itself through mandatory fields: M.A -> M.B -> M.A',
                            module('M', 'A ::= SEQUENCE { b B }\nB ::= SEQUENCE { a A }'))
        # Optional fields, alternatives and lists are not built by default.
        self.assertEqual(errors_of(module('M', 'A ::= SEQUENCE { b B OPTIONAL, l SEQUENCE OF A }\n'
                                               'B ::= CHOICE { a A, n NULL }')), [])

    def test_every_error_is_reported_with_its_line(self):
        errs = errors_of(module('M', '''\
            S ::= SEQUENCE {
                a Missing,
                b INTEGER (3..2)
            }
            E ::= ENUMERATED { x(-5) }'''))
        self.assertEqual(len(errs), 3, errs)
        self.assertEqual([e.split(' ')[0] for e in errs], ['M0.asn:5:', 'M0.asn:6:', 'M0.asn:8:'])

    def test_syntax_errors(self):
        cases = [
            ('S ::= SEQUENCE { a INTEGER DEFAULT 3 }', 'DEFAULT is not supported'),
            ('S ::= SEQUENCE { a SEQUENCE { b NULL } }', 'must be given a name of its own'),
            ('S ::= SEQUENCE { a INTEGER ', "expected '}'"),
            ('S ::= CHOICE { a NULL OPTIONAL }', 'OPTIONAL in a CHOICE'),
            ('S ::= ENUMERATED { a, ..., b }', 'ENUMERATED extension additions are not supported'),
            ('S ::= ENUMERATED { }', 'ENUMERATED without items'),
            ('S ::= SEQUENCE { A NULL }', "component name 'A' must start with a small letter"),
            ('S ::= SEQUENCE { a NULL, ..., ..., b NULL }', 'second extension marker'),
            ('S ::= SEQUENCE { a NULL } $', "unexpected character '$'"),
            ('S ::= SEQUENCE { a INTEGER (0..9) --<LONGLONG>-- }', 'applies to an unconstrained INTEGER only'),
            ('S ::= SEQUENCE { a BOOLEAN --<LONGLONG>-- }', 'applies to an unconstrained INTEGER only'),
            ('S ::= SEQUENCE { a INTEGER --<HUGE>-- }', "unknown directive '--<HUGE>--'"),
        ]
        for body, fragment in cases:
            with self.subTest(body=body):
                with self.assertRaises(syntax.SchemaError) as cm:
                    syntax.parse_module(module('M', body), 'M.asn')
                self.assertIn(fragment, str(cm.exception))

    def test_command_line_exits_with_every_error(self):
        with tempfile.TemporaryDirectory() as tmp:
            bad = os.path.join(tmp, 'Bad.asn')
            with open(bad, 'w') as f:
                f.write(module('Bad', 'S ::= SEQUENCE { a Missing, b-c NULL, b_c NULL }'))
            run = subprocess.run([sys.executable, os.path.join(SCHEMA, 'generate.py'), '--check', bad],
                                 capture_output=True, text=True)
        self.assertEqual(run.returncode, 1)
        self.assertIn("unknown type 'Missing'", run.stderr)
        self.assertIn('both give accessors', run.stderr)


class Reading(unittest.TestCase):
    def test_items_without_a_value_follow_on_from_the_previous_one(self):
        [m] = [syntax.parse_module(module('M', '''\
            E ::= ENUMERATED { a(4097), b, c(4116), d, min(0), max(10), mux, ... }'''), 'M.asn')]
        e = m.assignments['E'].type
        self.assertEqual([(i.text, i.value) for i in e.items],
                         [('a=4097', 4097), ('b', 4098), ('c=4116', 4116), ('d', 4117),
                          ('min=0', 0), ('max=10', 10), ('mux', 11)])
        self.assertTrue(e.extensible)
        self.assertEqual(e.max_value, 4117)

    def test_comments_and_extension_additions(self):
        [m] = [syntax.parse_module(module('M', '''\
            -- a comment ends at the next double hyphen -- N ::= CHOICE { n NULL }
            /* a block
               comment */
            C ::= CHOICE { a INTEGER (0..127), ..., done NULL }  -- trailing'''), 'M.asn')]
        c = m.assignments['C'].type
        self.assertEqual([a.name for a in c.alternatives], ['a'])
        self.assertEqual([a.name for a in c.additions], ['done'])
        self.assertEqual(list(m.assignments), ['N', 'C'])

    def test_an_integer_held_in_64_bits(self):
        [m] = [syntax.parse_module(module(
            'M', 'S ::= SEQUENCE { a INTEGER --<LONGLONG>-- OPTIONAL, b INTEGER -- plain -- }'), 'M.asn')]
        a, b = m.assignments['S'].type.fields
        self.assertEqual((a.type, a.optional), (syntax.Integer(wide=True), True))
        self.assertEqual(b.type, syntax.Integer())


class Schema(unittest.TestCase):
    """The schema itself passes the checks (its classes are checked in C++)."""

    @classmethod
    def setUpClass(cls):
        modules = syntax.parse_files(sorted(glob.glob(os.path.join(SCHEMA, '*.asn'))))
        cls.errors = checks.check(modules)
        cls.modules = {m.name: m for m in modules}

    def test_schema_is_sound(self):
        self.assertEqual([str(e) for e in self.errors], [])
        self.assertEqual(sorted(self.modules), ['ACP', 'BASE', 'CCP', 'E2E', 'HSP', 'LEMZGW', 'LGCP',
                                                'MEDIA', 'MON', 'ROUTER', 'TERM', 'YACP'])

    def test_seq_alone_is_held_in_64_bits(self):
        def wide(t):
            if isinstance(t, syntax.SequenceOf):
                return wide(t.element)
            return isinstance(t, syntax.Integer) and t.wide
        found = ['%s.%s.%s' % (m.name, a.name, c.name) for m in self.modules.values()
                 for a in m.assignments.values()
                 for c in getattr(a.type, 'fields', []) + getattr(a.type, 'alternatives', []) +
                 getattr(a.type, 'additions', []) if wide(c.type)]
        self.assertEqual(found, ['LGCP.Message.seq'])


class OracleExport(unittest.TestCase):
    def export(self, body):
        m = syntax.parse_module(module('M', body), 'M.asn')
        self.assertEqual(checks.check([m]), [])
        return oracle.export([m])['M']

    def test_value_coded_enumerations_become_their_integers(self):
        text = self.export('A ::= ENUMERATED { x, y, z, ... }\n'
                           'B ::= ENUMERATED { cs0(0), cs1(8), ... }\n'
                           'C ::= ENUMERATED { b(1), a(0) }\n'
                           'D ::= ENUMERATED { u(0), v(0) }')
        self.assertIn('A ::= ENUMERATED {\n    x,\n    y,\n    z,\n    ...\n}', text)
        self.assertIn('B ::= CHOICE { value INTEGER (0..8), ... }', text)
        self.assertIn('C ::= INTEGER (0..1)', text)
        self.assertIn('D ::= INTEGER (0..0)', text)

    def test_an_integer_held_in_64_bits_is_a_plain_integer(self):
        text = self.export('S ::= SEQUENCE { seq INTEGER --<LONGLONG>-- OPTIONAL }')
        self.assertIn('S ::= SEQUENCE {\n    seq INTEGER OPTIONAL\n}', text)

    def test_underscores_become_hyphens(self):
        text = self.export('Mixer_subtype ::= SEQUENCE { tdm_inputs INTEGER }\n'
                           'L ::= SEQUENCE { l SEQUENCE OF Mixer_subtype }')
        self.assertIn('Mixer-subtype ::= SEQUENCE {\n    tdm-inputs INTEGER\n}', text)
        self.assertIn('l SEQUENCE OF Mixer-subtype', text)
        with self.assertRaises(syntax.SchemaError):
            self.export('S ::= SEQUENCE { ab_ INTEGER }')


if __name__ == '__main__':
    unittest.main()
