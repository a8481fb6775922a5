"""Reads an INF file as Windows setup does: sections (names case-insensitive, repeated sections
merged), entries of `key = values` or bare values, comma-separated fields, quoted strings
(a doubled quote is a quote), `;` comments outside quotes, a backslash at the end of a line
joining the next one, and %token% substitution from the [Strings] sections (%% is a
percent sign; %number% is a directory id and stays as it is).
"""
import re


class InfEntry:
    def __init__(self, line, key, fields):
        self.line = line
        self.key = key  # None for a bare value line
        self.fields = fields  # raw fields, %tokens% not yet substituted

    def __repr__(self):
        return "InfEntry(%d, %r, %r)" % (self.line, self.key, self.fields)


class InfFile:
    def __init__(self):
        self.sections = {}  # lower-case name -> list of InfEntry
        self.names = {}  # lower-case name -> name as first written
        self.section_lines = {}
        self.strings = {}  # lower-case token -> value
        self.errors = []

    def section(self, name):
        return self.sections.get(name.lower())

    def has(self, name):
        return name.lower() in self.sections

    def expand(self, text, line, undefined):
        """Substitutes %tokens%; names of undefined tokens go to `undefined` with the line."""
        def replace(match):
            token = match.group(1)
            if token == "":
                return "%"
            if token.isdigit():
                return match.group(0)
            value = self.strings.get(token.lower())
            if value is None:
                undefined.append((line, token))
                return match.group(0)
            return value
        return re.sub(r"%([^%]*)%", replace, text)


def _logical_lines(text):
    """Yields (first physical line number, text without comment) with continuations joined."""
    pending, start = "", None
    for number, raw in enumerate(text.splitlines(), 1):
        code = _strip_comment(raw).rstrip()
        if start is None:
            start = number
        if code.endswith("\\"):
            pending += code[:-1]
            continue
        yield start, pending + code
        pending, start = "", None
    if start is not None and pending:
        yield start, pending


def _strip_comment(line):
    quoted = False
    for i, c in enumerate(line):
        if c == '"':
            quoted = not quoted
        elif c == ";" and not quoted:
            return line[:i]
    return line


def split_fields(text):
    """Comma-separated fields; quotes group and are removed, a doubled quote is a quote."""
    fields, current, quoted, i = [], "", False, 0
    while i < len(text):
        c = text[i]
        if c == '"':
            if quoted and i + 1 < len(text) and text[i + 1] == '"':
                current += '"'
                i += 1
            else:
                quoted = not quoted
        elif c == "," and not quoted:
            fields.append(current.strip())
            current = ""
        else:
            current += c
        i += 1
    fields.append(current.strip())
    return fields


def _split_key(text):
    """`key = value` (the first = outside quotes) or a bare value."""
    quoted = False
    for i, c in enumerate(text):
        if c == '"':
            quoted = not quoted
        elif c == "=" and not quoted:
            return text[:i].strip().strip('"'), text[i + 1:].strip()
    return None, text.strip()


def parse(text):
    inf = InfFile()
    current = None
    for line, code in _logical_lines(text):
        stripped = code.strip()
        if not stripped:
            continue
        if stripped.startswith("["):
            close = stripped.find("]")
            if close < 0:
                inf.errors.append("line %d: section header without ]" % line)
                current = None
                continue
            name = stripped[1:close].strip()
            current = name.lower()
            inf.sections.setdefault(current, [])
            inf.names.setdefault(current, name)
            inf.section_lines.setdefault(current, line)
            continue
        if current is None:
            inf.errors.append("line %d: entry outside any section" % line)
            continue
        key, value = _split_key(stripped)
        inf.sections[current].append(InfEntry(line, key, split_fields(value)))
    # [Strings] and its locale variants ([Strings.0409]); the undecorated section wins.
    for name in sorted(inf.sections, key=lambda n: n != "strings"):
        if name == "strings" or name.startswith("strings."):
            for entry in inf.sections[name]:
                if entry.key is not None:
                    inf.strings.setdefault(entry.key.lower(), ",".join(entry.fields))
    return inf


def models_sections(inf):
    """(decoration, models section name) for every decoration the [Manufacturer] section lists."""
    found = []
    for entry in inf.section("Manufacturer") or []:
        models = inf.expand(entry.fields[0], entry.line, [])
        for decoration in entry.fields[1:]:
            decoration = inf.expand(decoration, entry.line, [])
            found.append((decoration, "%s.%s" % (models, decoration)))
    return found


def hardware_ids(inf):
    """The hardware ids of every models section, in order, without repeats."""
    ids = []
    for _, section in models_sections(inf):
        for entry in inf.section(section) or []:
            for field in entry.fields[1:]:
                hardware_id = inf.expand(field, entry.line, [])
                if hardware_id.upper() not in (i.upper() for i in ids):
                    ids.append(hardware_id)
    return ids
