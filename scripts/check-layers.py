#!/usr/bin/env python3
"""The folder layering, checked: reads every include of the tracked C/C++ files (quoted, angle-bracketed
or through a macro, in a file of any C/C++ extension), maps each file to its folder in
scripts/layers.txt, and fails on an include the table does not allow, on a folder that is in no rule,
on a quoted include that names no file of the tree, on a macro include it cannot read, on an exception
that no longer matches an include, and on a circle among the folders. A rule may allow a folder whole
or one header of it. Then the class's members against scripts/members.txt: which of the library's
folders may name which field and method, a macro's text counting where the macro is used; and every
call into the class runs downward, to a method defined in a folder the caller may include. Last, the naming of members outside wiastiio/: private data members are camelCase_,
so a name in the m_name or snake_case_ style fails there (the library keeps its class's names).

  scripts/check-layers.py            check; prints each finding and exits 1 on any
  scripts/check-layers.py --graph    print the folder graph (one "from -> to" a line, with the count)
"""
import collections
import functools
import os
import re
import subprocess
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), '..'))
TABLE = os.path.join(ROOT, 'scripts', 'layers.txt')
MEMBERS = os.path.join(ROOT, 'scripts', 'members.txt')
CLASS = 'wiastiio/handler/STIIOHandler.h'
LAYERS = ('handler', 'device', 'protocol', 'operations', 'exports')
# The include roots of the build beside the including file's own folders (CMakeLists.txt).
SEARCH = ['', 'wiastiio', 'wiastiio/include', 'platform/include']
INCLUDE = re.compile(r'^[ \t]*#[ \t]*include[ \t]*(?:"([^"\n]+)"|<([^>\n]+)>|([A-Za-z_]\w*))', re.M)
DEFINE = re.compile(r'^[ \t]*#[ \t]*define[ \t]+([A-Za-z_]\w*)((?:[^\n\\]|\\.)*)', re.M | re.S)
COMMENTS = re.compile(r'//[^\n]*|/\*.*?\*/', re.S)
STRINGS = re.compile(r'"(?:\\.|[^"\\\n])*"')
EXTENSIONS = ('.c', '.cc', '.cpp', '.cxx', '.c++', '.h', '.hh', '.hpp', '.hxx', '.h++', '.inl', '.ipp', '.tcc',
              '.inc')


@functools.lru_cache(maxsize=None)
def text_of(source):
    """A file of the tree, read once however many checks look at it."""
    with open(os.path.join(ROOT, source), encoding='utf-8', errors='replace') as text:
        return text.read()


def stripped(source):
    """A file's code without comments, its string literals emptied."""
    return STRINGS.sub('""', COMMENTS.sub('', text_of(source)))


def exception_of(line, path, number, what):
    """The (file, what) pair of an "except FILE -> WHAT" line of a table; None for any other line."""
    if not line.startswith('except '):
        return None
    pair = line[len('except '):].split('->')
    if len(pair) != 2:
        sys.exit(f'{path}:{number}: expected "except FILE -> {what}"')
    return pair[0].strip(), pair[1].strip()


def read_table(path):
    """Returns (rules, exceptions): rules maps a folder to the folders it may include, in table order;
    exceptions is the set of (file, included file) pairs allowed against the rules."""
    rules, exceptions, last = {}, set(), None
    with open(path, encoding='utf-8') as table:
        for number, raw in enumerate(table, 1):
            line = raw.split('#', 1)[0].strip()
            if not line:
                continue
            if raw[0].isspace() and last is not None:  # an indented line continues the rule above
                rules[last] += line.split()
                continue
            last = None
            pair = exception_of(line, path, number, 'FILE')
            if pair:
                exceptions.add(pair)
                continue
            folder, sep, allowed = line.partition(':')
            if not sep or folder.strip() in rules:
                sys.exit(f'{path}:{number}: expected "FOLDER: FOLDER..." once per folder')
            last = folder.strip()
            rules[last] = allowed.split()
    return rules, exceptions


def check_entries(rules, tracked):
    """Each entry of a rule is a folder with a rule of its own, or a tracked file of such a folder."""
    for folder, allowed in rules.items():
        for other in allowed:
            if other not in rules and (other not in tracked or folder_of(other, rules) is None):
                sys.exit(f'{TABLE}: {folder} may include {other}, which is neither a folder with a rule '
                         'nor a file of one')


def folders_allowed(rules):
    """The folders each folder may include, a single file standing for its folder."""
    return {folder: {other if other in rules else folder_of(other, rules) for other in others}
            for folder, others in rules.items()}


def folder_of(path, rules):
    """The longest folder of the table that holds path, or None."""
    best = None
    for folder in rules:
        if path.startswith(folder + '/') and (best is None or len(folder) > len(best)):
            best = folder
    return best


def resolve(source, name, tracked, angle=False):
    """The tracked file an include names: a quoted one beside the file, then in each folder above it;
    either form in the build's include roots; None when there is none (a system header)."""
    here = os.path.dirname(source)
    bases = [] if angle else [here]
    while here and not angle:
        here = os.path.dirname(here)
        bases.append(here)
    for base in bases + SEARCH:
        candidate = os.path.normpath(os.path.join(base, name))
        if candidate in tracked:
            return candidate
    return None


def circles(edges):
    """Every strongly connected set of more than one folder (Tarjan's algorithm)."""
    index, low, stack, on_stack, found, counter = {}, {}, [], set(), [], [0]

    def visit(node):
        index[node] = low[node] = counter[0]
        counter[0] += 1
        stack.append(node)
        on_stack.add(node)
        for other in sorted(edges.get(node, ())):
            if other not in index:
                visit(other)
                low[node] = min(low[node], low[other])
            elif other in on_stack:
                low[node] = min(low[node], index[other])
        if low[node] == index[node]:
            group = []
            while True:
                other = stack.pop()
                on_stack.discard(other)
                group.append(other)
                if other == node:
                    break
            if len(group) > 1:
                found.append(sorted(group))

    for node in sorted(edges):
        if node not in index:
            visit(node)
    return found


def read_macros(listed):
    """Every object- or function-like macro of the tree: its name and its text, continuation lines
    joined. A name defined in several places keeps every text."""
    macros = collections.defaultdict(list)
    for source in listed:
        for name, body in DEFINE.findall(text_of(source)):
            macros[name].append(body.replace('\\\n', ' '))
    return macros


def code_of(source, macros):
    """A file's code without comments or string contents, followed by the text of each macro it uses
    (and of the macros those use), so that a name reached through a macro counts where it is used."""
    code = stripped(source)
    seen, words, expanded = set(), set(re.findall(r'\b\w+\b', code)), []
    while True:
        new = sorted(name for name in words & set(macros) if name not in seen)
        if not new:
            return code + '\n' + '\n'.join(expanded)
        seen.update(new)
        for name in new:
            for body in macros[name]:
                body = STRINGS.sub('""', body)
                expanded.append(body)
                words |= set(re.findall(r'\b\w+\b', body))


def read_members(path):
    """Returns (allowed, exceptions): allowed maps a member to the folders that may name it; exceptions
    is the set of (file, member) pairs allowed against it."""
    allowed, exceptions = {}, set()
    with open(path, encoding='utf-8') as table:
        for number, raw in enumerate(table, 1):
            line = raw.split('#', 1)[0].strip()
            if not line:
                continue
            pair = exception_of(line, path, number, 'MEMBER')
            if pair:
                exceptions.add(pair)
                continue
            names, sep, folders = line.partition(':')
            if not sep or any(folder not in LAYERS for folder in folders.split()):
                sys.exit(f'{path}:{number}: expected "MEMBER...: FOLDER..." with folders of {LAYERS}')
            for name in names.split():
                if name in allowed:
                    sys.exit(f'{path}:{number}: {name} has a line already')
                allowed[name] = set(folders.split()) | {'handler'}
    return allowed, exceptions


def class_members():
    """The fields (m_...) and methods that the class header declares."""
    text = re.sub(r'//[^\n]*', '', text_of(CLASS))
    # A friend is not a member.
    text = re.sub(r'^\s*friend\b[^;]*;', '', text, flags=re.M)
    body = text[text.index('class CSTIIOHandler {'):text.index('extern CSTIIOHandler*')]
    fields = set(re.findall(r'\b(m_\w+)\b(?=\s*[\[;=])', body))
    methods = set(re.findall(r'\b([A-Z]\w+)\s*\(', body)) - {'CSTIIOHandler'}
    return fields | methods


def method_homes(listed):
    """The folder that defines each method of the class: where its CSTIIOHandler::Name( definition
    stands, or handler/ for the ones defined inline in the class header."""
    homes = {}
    for name in re.findall(r'^\s+(?:[\w:<>*&]+\s+)+(\w+)\([^;]*\)\s*(?:const\s*)?\{', text_of(CLASS), re.M):
        homes[name] = 'handler'
    for source in listed:
        parts = source.split('/')
        if len(parts) < 3 or parts[0] != 'wiastiio' or parts[1] not in LAYERS:
            continue
        for name in re.findall(r'^[\w:<>*& ]*\bCSTIIOHandler::(\w+)\s*\(', text_of(source), re.M):
            homes.setdefault(name, parts[1])
    return homes


def member_findings(listed, macros, allowed_folders):
    """Each use of a member by a folder that the table does not allow, and each call into a method
    defined in a folder above the caller's."""
    allowed, exceptions = read_members(MEMBERS)
    members = class_members()
    homes = method_homes(listed)
    findings, used = [], set()
    for name in sorted(members - set(allowed)):
        findings.append(f'scripts/members.txt: {name} is a member of the class that no line names')
    for source in listed:
        parts = source.split('/')
        if len(parts) < 3 or parts[0] != 'wiastiio' or parts[1] not in LAYERS or source == CLASS:
            continue
        code = code_of(source, macros)
        # A name qualified by :: alone is the system's (::GetLastError), not the class's.
        names = set(re.findall(r'CSTIIOHandler::(\w+)', code)) | set(re.findall(r'(?<!::)\b(\w+)\b', code))
        for name in sorted(names & members):
            if parts[1] in allowed.get(name, {'handler'}):
                pass
            elif (source, name) in exceptions:
                used.add((source, name))
            else:
                findings.append(f'{source}: names {name}, which scripts/members.txt does not give {parts[1]}')
        own, calls = f'wiastiio/{parts[1]}', set(re.findall(r'(?<![:\w])(\w+)\s*\(', code))
        for name in sorted(calls & set(homes)):
            home = f'wiastiio/{homes[name]}'
            if home != own and home not in allowed_folders.get(own, ()):
                findings.append(f'{source}: calls {name}, defined in {home}: {own} may not call up into it')
    for source, name in sorted(exceptions - used):
        findings.append(f'scripts/members.txt: the exception {source} -> {name} matches no use: delete it')
    return findings, used


# The member styles that outside the library give way to camelCase_.
OTHER_MEMBER_STYLE = re.compile(r'\b(m_[A-Za-z]\w*|[a-z][a-z0-9]*(?:_[a-z0-9]+)+_)(?!\w)')


def naming_findings(listed):
    """Each name outside wiastiio/ in a member style other than camelCase_; the class's own members,
    which the tests' access to it names, aside."""
    members = class_members()
    findings = []
    for source in listed:
        if source.startswith('wiastiio/'):
            continue
        for name in sorted(set(OTHER_MEMBER_STYLE.findall(stripped(source))) - members):
            findings.append(f'{source}: names {name}; members outside wiastiio/ are camelCase_')
    return findings


def main():
    rules, exceptions = read_table(TABLE)
    listed = [path for path in subprocess.run(['git', 'ls-files', '-z'], cwd=ROOT, check=True, capture_output=True,
                                               text=True).stdout.split('\0')
              if path.lower().endswith(EXTENSIONS)]
    tracked = set(listed)
    check_entries(rules, tracked)
    macros = read_macros(listed)
    findings, graph, used = [], collections.Counter(), set()
    for source in listed:
        own = folder_of(source, rules)
        if own is None:
            findings.append(f'{source}: its folder has no rule in scripts/layers.txt')
            continue
        code = re.sub(r'/\*.*?\*/', '', text_of(source), flags=re.S)
        for quoted, angle, macro in INCLUDE.findall(code):
            name, spelled = quoted or angle, f'"{quoted}"' if quoted else f'<{angle}>'
            if macro:
                bodies = [re.fullmatch(r'\s*(?:"([^"]+)"|<([^>]+)>)\s*', body) for body in macros.get(macro, [])]
                if not bodies or not all(bodies):
                    findings.append(f'{source}: includes through {macro}, which names no header the check can read')
                    continue
                # Checked as the include the macro names; every definition of it counts.
                for body in bodies:
                    target = resolve(source, body.group(1) or body.group(2), tracked, angle=bool(body.group(2)))
                    if target is not None:
                        findings += include_finding(source, macro, target, own, rules, exceptions, graph, used)
                continue
            target = resolve(source, name, tracked, angle=bool(angle))
            if target is None:
                if quoted:
                    findings.append(f'{source}: includes {spelled}, which names no file of the tree')
                continue
            findings += include_finding(source, spelled, target, own, rules, exceptions, graph, used)
    for source, target in sorted(exceptions - used):
        findings.append(f'scripts/layers.txt: the exception {source} -> {target} matches no include: delete it')
    allowed_folders = folders_allowed(rules)
    for group in circles(allowed_folders):
        findings.append('scripts/layers.txt: a circle among ' + ', '.join(group))
    member_found, member_used = member_findings(listed, macros, allowed_folders)
    findings += member_found
    findings += naming_findings(listed)
    if '--graph' in sys.argv[1:]:
        for (own, other), count in sorted(graph.items()):
            print(f'{own} -> {other} ({count})')
        for source, target in sorted(used):
            print(f'{source} -> {target} (exception)')
    for finding in findings:
        print(finding, file=sys.stderr)
    if findings:
        print(f'layers: {len(findings)} finding(s)', file=sys.stderr)
        return 1
    print(f'layers: {len(listed)} files, {sum(graph.values())} includes across folders, '
          f'{len(used)} listed exceptions; members: {len(member_used)} listed exceptions')
    return 0


def include_finding(source, spelled, target, own, rules, exceptions, graph, used):
    """The finding of one include of source, as spelled, that resolved to target: none when allowed."""
    other = folder_of(target, rules)
    if other is None or other == own:
        return []
    if other in rules[own] or target in rules[own]:
        graph[(own, other)] += 1
        return []
    if (source, target) in exceptions:
        used.add((source, target))
        return []
    headers = [entry for entry in rules[own] if folder_of(entry, rules) == other and entry not in rules]
    only = f', only {" ".join(headers)}' if headers else ''
    return [f'{source}: includes {spelled} ({target}): {own} may not include {other}{only}']


if __name__ == '__main__':
    sys.exit(main())
