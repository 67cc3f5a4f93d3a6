"""Resolves type references across modules and rejects what would compile
into wrong or uncompilable C++: unknown references, names that collide once
'-' becomes '_', C++ keywords, and numbers that do not fit their coding."""

from .syntax import (SchemaError, Integer, IA5String, Reference, SequenceOf,
                     Sequence, Choice, Enumerated)

CPP_KEYWORDS = set('''
    alignas alignof and and_eq asm auto bitand bitor bool break case catch char
    char8_t char16_t char32_t class compl concept const consteval constexpr
    constinit const_cast continue co_await co_return co_yield decltype default
    delete do double dynamic_cast else enum explicit export extern false float
    for friend goto if inline int long mutable namespace new noexcept not not_eq
    nullptr operator or or_eq private protected public register reinterpret_cast
    requires return short signed sizeof static static_assert static_cast struct
    switch template this thread_local throw true try typedef typeid typename
    union unsigned using virtual void volatile wchar_t while xor xor_eq
    NULL
'''.split())

# Names that a generated class declares itself or inherits from the runtime's
# bases: an enumeration item of that name would hide them, and a type of that
# name would be hidden inside the classes.
RESERVED_MEMBERS = {
    'ASN1', 'NamedNumber', 'Choices', 'OptionalFields', 'theInfo', 'create', 'info',
    'getTag', 'compare', 'clone', 'accept', 'asValueNotation', 'print_on',
    'do_compare', 'do_clone', 'do_accept', 'pool', 'asInt', 'getValue', 'setValue',
    'getMaximum', 'extendable', 'getName', 'setFromName',
}

INT32_MIN, INT32_MAX, UINT32_MAX = -2**31, 2**31 - 1, 2**32 - 1


def cpp_name(name):
    """The C++ spelling of a schema name."""
    return name.replace('-', '_')


class Checker:
    def __init__(self, modules):
        self.modules = {}
        self.errors = []
        for mod in modules:
            if mod.name in self.modules:
                self.error(mod.where, 'module %r defined twice' % mod.name)
            else:
                self.modules[mod.name] = mod

    def error(self, where, message):
        self.errors.append(SchemaError(where, message))

    def run(self):
        self.check_module_names()
        for mod in self.modules.values():
            self.check_imports(mod)
            self.check_type_names(mod)
            for asg in mod.assignments.values():
                self.check_type(mod, asg.type, asg, asg.where)
        if not self.errors:
            self.check_import_cycles()
            self.check_containment_cycles()
        return self.errors

    # names
    def check_identifier(self, where, name, what):
        cpp = cpp_name(name)
        if cpp in CPP_KEYWORDS:
            self.error(where, '%s %r is a C++ keyword' % (what, name))
        elif '__' in cpp or cpp.startswith('_'):
            self.error(where, '%s %r gives the reserved C++ name %r' % (what, name, cpp))
        elif cpp in RESERVED_MEMBERS:
            self.error(where, '%s %r hides the generated member %r' % (what, name, cpp))

    def check_module_names(self):
        seen = {}
        for mod in self.modules.values():
            self.check_identifier(mod.where, mod.name, 'module name')
            cpp = cpp_name(mod.name)
            if cpp in seen:
                self.error(mod.where, 'module %r and module %r are both namespace %r'
                           % (mod.name, seen[cpp], cpp))
            seen[cpp] = mod.name

    def check_type_names(self, mod):
        seen = {}
        for asg in mod.assignments.values():
            self.check_identifier(asg.where, asg.name, 'type name')
            cpp = cpp_name(asg.name)
            if cpp in seen:
                self.error(asg.where, 'types %r and %r are both class %s::%s'
                           % (seen[cpp], asg.name, cpp_name(mod.name), cpp))
            seen[cpp] = asg.name
            if asg.name in mod.imports:
                self.error(asg.where, 'type %r is both imported and defined' % asg.name)
            if not isinstance(asg.type, (Sequence, Choice, Enumerated)):
                # Every class gets its own descriptor; other types stay unnamed.
                self.error(asg.where, 'type %r: only SEQUENCE, CHOICE and ENUMERATED types '
                           'can be named' % asg.name)

    def check_unique(self, owner, members, what):
        """Members whose accessors (get_/set_ and the like) would collide."""
        seen = {}
        for m in members:
            cpp = cpp_name(m.name)
            if cpp in seen:
                self.error(m.where, '%s %r and %r of %s both give accessors named ..._%s'
                           % (what, seen[cpp], m.name, owner.name, cpp))
            seen[cpp] = m.name

    # references
    def check_imports(self, mod):
        for sym, (source, where) in mod.imports.items():
            src = self.modules.get(source)
            if src is None:
                self.error(where, '%r imported from unknown module %r' % (sym, source))
            elif sym not in src.assignments:
                self.error(where, 'module %r defines no type %r' % (source, sym))

    def resolve(self, mod, ref):
        if ref.module is not None:
            target_mod = self.modules.get(ref.module)
            if target_mod is None:
                self.error(ref.where, 'unknown module %r' % ref.module)
                return
        elif ref.name in mod.assignments:
            target_mod = mod
        elif ref.name in mod.imports:
            target_mod = self.modules.get(mod.imports[ref.name][0])
            if target_mod is None:
                return      # reported with the import
        else:
            self.error(ref.where, 'unknown type %r' % ref.name)
            return
        ref.target = target_mod.assignments.get(ref.name)
        if ref.target is None:
            self.error(ref.where, 'module %r defines no type %r' % (target_mod.name, ref.name))

    # types
    def check_type(self, mod, t, asg, where):
        if isinstance(t, Reference):
            self.resolve(mod, t)
        elif isinstance(t, SequenceOf):
            self.check_type(mod, t.element, asg, where)
        elif isinstance(t, Integer):
            self.check_range(where, t.lower, t.upper, 'INTEGER range')
        elif isinstance(t, IA5String) and t.size is not None:
            lower, upper = t.size
            self.check_range(where, lower, upper, 'SIZE')
            if lower < 0:
                self.error(where, 'SIZE (%d..%d) starts below 0' % (lower, upper))
        elif isinstance(t, (Sequence, Choice)):
            members = (t.fields if isinstance(t, Sequence) else t.alternatives) + t.additions
            what = 'fields' if isinstance(t, Sequence) else 'alternatives'
            if isinstance(t, Choice) and not t.alternatives:
                self.error(where, 'CHOICE %r has no root alternative' % asg.name)
            if isinstance(t, Sequence) and t.additions:
                self.error(t.additions[0].where, 'SEQUENCE extension additions are not supported')
            self.check_unique(asg, members, what)
            for m in members:
                self.check_type(mod, m.type, asg, m.where)
        elif isinstance(t, Enumerated):
            self.check_enumerated(asg, t)

    def check_range(self, where, lower, upper, what):
        if lower is None:
            return
        if lower > upper:
            self.error(where, '%s %d..%d is empty' % (what, lower, upper))
        elif lower < INT32_MIN or upper > UINT32_MAX or (lower < 0 and upper > INT32_MAX):
            self.error(where, '%s %d..%d does not fit in 32 bits' % (what, lower, upper))

    def check_enumerated(self, asg, t):
        self.check_unique(asg, t.items, 'items')
        coded_max = max(0, t.max_value)
        for item in t.items:
            self.check_identifier(item.where, item.name, 'item')
            if item.value < 0 or item.value > INT32_MAX:
                self.error(item.where, 'value %d of %r lies outside the coded range 0..%d '
                           '(ENUMERATED travels as its value)' % (item.value, item.name, coded_max))

    # whole-schema checks
    def references(self, t):
        """Assignments that a type names, with whether a default value holds them."""
        if isinstance(t, Reference):
            if t.target is not None:
                yield t.target, True
        elif isinstance(t, SequenceOf):
            for target, _ in self.references(t.element):
                yield target, False
        elif isinstance(t, Sequence):
            for f in t.fields:
                for target, held in self.references(f.type):
                    yield target, held and not f.optional
            for f in t.additions:
                for target, _ in self.references(f.type):
                    yield target, False
        elif isinstance(t, Choice):
            for a in t.alternatives + t.additions:
                for target, _ in self.references(a.type):
                    yield target, False

    def check_import_cycles(self):
        # Each module becomes one header; headers that include each other
        # cannot both see complete classes.
        uses = {name: set() for name in self.modules}
        for mod in self.modules.values():
            for asg in mod.assignments.values():
                for target, _ in self.references(asg.type):
                    if target.module != mod.name:
                        uses[mod.name].add(target.module)
        cycle = find_cycle(uses)
        if cycle:
            first = self.modules[cycle[0]]
            self.error(first.where, 'modules use each other in a circle: %s' % ' -> '.join(cycle))

    def check_containment_cycles(self):
        # A default value builds every mandatory field; a type that holds
        # itself that way would be built without end.
        holds = {}
        for mod in self.modules.values():
            for asg in mod.assignments.values():
                key = (asg.module, asg.name)
                holds[key] = {(t.module, t.name) for t, held in self.references(asg.type) if held}
        cycle = find_cycle(holds)
        if cycle:
            mod, name = cycle[0]
            where = self.modules[mod].assignments[name].where
            self.error(where, 'type holds itself through mandatory fields: %s'
                       % ' -> '.join('%s.%s' % c for c in cycle))


def find_cycle(graph):
    """A list of nodes forming a cycle (first node repeated at the end), or None."""
    state = {}

    def visit(node, path):
        state[node] = 1
        path.append(node)
        for nxt in sorted(graph.get(node, ())):
            if state.get(nxt) == 1:
                return path[path.index(nxt):] + [nxt]
            if nxt not in state:
                found = visit(nxt, path)
                if found:
                    return found
        path.pop()
        state[node] = 2
        return None

    for node in sorted(graph):
        if node not in state:
            found = visit(node, [])
            if found:
                return found
    return None


def check(modules):
    """Resolves references in place; returns the list of errors (empty when sound)."""
    return Checker(modules).run()
