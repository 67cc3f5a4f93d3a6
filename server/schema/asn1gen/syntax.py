"""Reads the schema's ASN.1 module files into a model.

The notation is the subset of X.680 that the schema uses: type assignments,
IMPORTS, SEQUENCE, CHOICE, ENUMERATED, SEQUENCE OF, SET OF, INTEGER with a
range, IA5String with a size, OCTET STRING, BOOLEAN and NULL, extension
markers. Two departures are intended: identifiers may contain '_', and an
ENUMERATED item without a number takes the previous item's value plus one.
One compiler directive is read: `--<LONGLONG>--` right after an unconstrained
INTEGER holds it in 64 bits instead of 32. To any other tool it is a comment,
and it changes nothing on the wire.
"""

import re
from dataclasses import dataclass, field
from typing import List, Optional, Tuple


class SchemaError(Exception):
    """An error in the schema, with the place where it was found."""

    def __init__(self, where, message):
        super().__init__('%s: %s' % (where, message))
        self.where = where
        self.message = message


@dataclass
class Where:
    path: str
    line: int

    def __str__(self):
        return '%s:%d' % (self.path, self.line)


# --- model ------------------------------------------------------------------

@dataclass
class Integer:
    lower: Optional[int] = None     # both None: unconstrained
    upper: Optional[int] = None
    wide: bool = False              # unconstrained, held in 64 bits (--<LONGLONG>--)


@dataclass
class Boolean:
    pass


@dataclass
class Null:
    pass


@dataclass
class OctetString:
    pass


@dataclass
class IA5String:
    size: Optional[Tuple[int, int]] = None


@dataclass
class Reference:
    name: str
    where: Where
    module: Optional[str] = None    # given as Module.Type
    target: Optional['Assignment'] = None   # set by resolution


@dataclass
class SequenceOf:
    element: object
    is_set: bool = False


@dataclass
class Component:
    """A SEQUENCE field or a CHOICE alternative."""
    name: str
    type: object
    where: Where
    optional: bool = False


@dataclass
class Sequence:
    fields: List[Component]
    extensible: bool = False
    additions: List[Component] = field(default_factory=list)


@dataclass
class Choice:
    alternatives: List[Component]
    extensible: bool = False
    additions: List[Component] = field(default_factory=list)


@dataclass
class Item:
    name: str
    value: int
    where: Where
    text: str = ''      # the name as the names table holds it


@dataclass
class Enumerated:
    items: List[Item]
    extensible: bool = False

    @property
    def max_value(self):
        return max(item.value for item in self.items)


@dataclass
class Assignment:
    module: str
    name: str
    type: object
    where: Where


@dataclass
class Module:
    name: str
    path: str
    where: Where
    imports: dict = field(default_factory=dict)      # symbol -> (module, Where)
    assignments: dict = field(default_factory=dict)  # name -> Assignment


# --- lexer ------------------------------------------------------------------

TOKEN = re.compile(r'''
    (?P<space>[ \t\r\f\v]+)
  | (?P<newline>\n)
  | (?P<directive>--<[^>\n]*>--)
  | (?P<comment>--.*?(?:--|$))
  | (?P<block>/\*.*?\*/)
  | (?P<punct>::=|\.\.\.|\.\.|[{}(),;.])
  | (?P<number>-?[0-9]+)
  | (?P<word>[A-Za-z][A-Za-z0-9_]*(?:-[A-Za-z0-9_]+)*)
''', re.VERBOSE | re.MULTILINE | re.DOTALL)


@dataclass
class Token:
    kind: str
    text: str
    where: Where


def tokenize(text, path):
    tokens = []
    line = 1
    pos = 0
    while pos < len(text):
        m = TOKEN.match(text, pos)
        if not m:
            raise SchemaError(Where(path, line), 'unexpected character %r' % text[pos])
        kind = m.lastgroup
        if kind in ('punct', 'number', 'word', 'directive'):
            tokens.append(Token(kind, m.group(), Where(path, line)))
        line += m.group().count('\n')
        pos = m.end()
    tokens.append(Token('end', '', Where(path, line)))
    return tokens


# --- parser -----------------------------------------------------------------

# The directive that holds an unconstrained INTEGER in 64 bits.
LONGLONG = '--<LONGLONG>--'

BUILTIN_WORDS = {'INTEGER', 'BOOLEAN', 'NULL', 'OCTET', 'IA5String', 'SEQUENCE',
                 'SET', 'CHOICE', 'ENUMERATED'}


class Parser:
    def __init__(self, text, path):
        self.tokens = tokenize(text, path)
        self.pos = 0
        self.path = path

    # token helpers
    def peek(self, ahead=0):
        return self.tokens[min(self.pos + ahead, len(self.tokens) - 1)]

    def take(self):
        tok = self.peek()
        self.pos += 1
        return tok

    def at(self, text):
        return self.peek().text == text and self.peek().kind != 'end'

    def accept(self, text):
        if self.at(text):
            return self.take()
        return None

    def expect(self, text):
        tok = self.take()
        if tok.text != text or tok.kind == 'end':
            raise SchemaError(tok.where, 'expected %r, found %r' % (text, tok.text or 'end of file'))
        return tok

    def word(self, what, upper=None):
        tok = self.take()
        if tok.kind != 'word':
            raise SchemaError(tok.where, 'expected %s, found %r' % (what, tok.text or 'end of file'))
        if upper is not None and tok.text[0].isupper() != upper:
            raise SchemaError(tok.where, '%s %r must start with %s letter'
                              % (what, tok.text, 'a capital' if upper else 'a small'))
        return tok

    def number(self):
        tok = self.take()
        if tok.kind != 'number':
            raise SchemaError(tok.where, 'expected a number, found %r' % (tok.text or 'end of file'))
        return int(tok.text)

    # grammar
    def module(self):
        name = self.word('module name', upper=True)
        self.expect('DEFINITIONS')
        if self.accept('AUTOMATIC'):
            self.expect('TAGS')
        self.expect('::=')
        self.expect('BEGIN')
        mod = Module(name.text, self.path, name.where)
        if self.accept('IMPORTS'):
            self.imports(mod)
        while not self.at('END'):
            self.assignment(mod)
        self.expect('END')
        if self.peek().kind != 'end':
            raise SchemaError(self.peek().where, 'text after END')
        return mod

    def imports(self, mod):
        symbols = []
        while not self.accept(';'):
            tok = self.word('imported type name', upper=True)
            if self.accept('FROM'):
                source = self.word('module name', upper=True).text
                # The last word before FROM names the module; the list ends there.
                symbols.append(tok)
                for sym in symbols:
                    if sym.text in mod.imports:
                        raise SchemaError(sym.where, '%r imported twice' % sym.text)
                    mod.imports[sym.text] = (source, sym.where)
                symbols = []
            else:
                symbols.append(tok)
                self.accept(',')
        if symbols:
            raise SchemaError(symbols[0].where, 'IMPORTS list without FROM')

    def assignment(self, mod):
        name = self.word('type name', upper=True)
        if name.text in BUILTIN_WORDS:
            raise SchemaError(name.where, '%r is a reserved word' % name.text)
        self.expect('::=')
        type_ = self.type(top=True)
        if name.text in mod.assignments:
            raise SchemaError(name.where, 'type %r defined twice' % name.text)
        mod.assignments[name.text] = Assignment(mod.name, name.text, type_, name.where)

    def type(self, top=False):
        t = self.plain_type(top)
        tok = self.peek()
        if tok.kind == 'directive':
            if tok.text != LONGLONG:
                raise SchemaError(tok.where, 'unknown directive %r' % tok.text)
            if not isinstance(t, Integer) or t.lower is not None:
                raise SchemaError(tok.where, '%s applies to an unconstrained INTEGER only' % LONGLONG)
            self.take()
            t.wide = True
        return t

    def plain_type(self, top):
        tok = self.peek()
        if tok.kind != 'word':
            raise SchemaError(tok.where, 'expected a type, found %r' % (tok.text or 'end of file'))
        word = tok.text
        if word in ('SEQUENCE', 'SET') and self.peek(1).text == 'OF':
            self.take()
            self.take()
            return SequenceOf(self.type(), is_set=(word == 'SET'))
        if word in ('SEQUENCE', 'CHOICE', 'ENUMERATED', 'SET'):
            if not top:
                raise SchemaError(tok.where, 'a %s inside another type must be given a name of its own' % word)
            self.take()
            if word == 'SET':
                raise SchemaError(tok.where, 'SET is not supported (use SEQUENCE)')
            return {'SEQUENCE': self.sequence, 'CHOICE': self.choice,
                    'ENUMERATED': self.enumerated}[word]()
        self.take()
        if word == 'INTEGER':
            if self.accept('('):
                lower = self.number()
                self.expect('..')
                upper = self.number()
                self.expect(')')
                return Integer(lower, upper)
            return Integer()
        if word == 'BOOLEAN':
            return Boolean()
        if word == 'NULL':
            return Null()
        if word == 'OCTET':
            self.expect('STRING')
            return OctetString()
        if word == 'IA5String':
            if self.accept('('):
                self.expect('SIZE')
                self.expect('(')
                lower = self.number()
                self.expect('..')
                upper = self.number()
                self.expect(')')
                self.expect(')')
                return IA5String((lower, upper))
            return IA5String()
        if not word[0].isupper():
            raise SchemaError(tok.where, 'expected a type, found %r' % word)
        if self.accept('.'):
            name = self.word('type name', upper=True)
            return Reference(name.text, name.where, module=word)
        return Reference(word, tok.where)

    def components(self, optional_allowed):
        """Reads { component, ... , [ ..., additions ] }."""
        self.expect('{')
        root, additions = [], []
        extensible = False
        while not self.at('}'):
            if self.accept('...'):
                if extensible:
                    raise SchemaError(self.peek(-1).where, 'second extension marker is not supported')
                extensible = True
            else:
                name = self.word('component name', upper=False)
                comp = Component(name.text, self.type(), name.where)
                if self.at('OPTIONAL'):
                    tok = self.take()
                    if not optional_allowed:
                        raise SchemaError(tok.where, 'OPTIONAL in a CHOICE')
                    comp.optional = True
                if self.at('DEFAULT'):
                    raise SchemaError(self.peek().where, 'DEFAULT is not supported')
                (additions if extensible else root).append(comp)
            if not self.accept(','):
                break
        self.expect('}')
        return root, extensible, additions

    def sequence(self):
        fields, extensible, additions = self.components(optional_allowed=True)
        return Sequence(fields, extensible, additions)

    def choice(self):
        alternatives, extensible, additions = self.components(optional_allowed=False)
        return Choice(alternatives, extensible, additions)

    def enumerated(self):
        self.expect('{')
        items = []
        extensible = False
        previous = -1
        while not self.at('}'):
            if self.accept('...'):
                extensible = True
            else:
                if extensible:
                    raise SchemaError(self.peek().where, 'ENUMERATED extension additions are not supported')
                name = self.word('item name', upper=False)
                value = previous + 1
                explicit = self.accept('(')
                if explicit:
                    value = self.number()
                    self.expect(')')
                text = name.text if value == previous + 1 else '%s=%d' % (name.text, value)
                items.append(Item(name.text, value, name.where, text))
                previous = value
            if not self.accept(','):
                break
        self.expect('}')
        if not items:
            raise SchemaError(self.peek(-1).where, 'ENUMERATED without items')
        return Enumerated(items, extensible)


def parse_module(text, path):
    return Parser(text, path).module()


def parse_files(paths):
    modules = []
    for path in paths:
        with open(path, encoding='utf-8') as f:
            modules.append(parse_module(f.read(), path))
    return modules
