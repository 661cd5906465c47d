#!/usr/bin/env python3
"""Mutation testing of src/: plants one small fault at a time and runs the
suite to see whether a test notices.

  mutants.py [--list] [-n N] [--seed S] [--files 'src/config/* ...']
             [--jobs J] [--timeout SECONDS]

Operators (each models a fault people make):
  eq-flip      == and != swapped
  rel-flip     < and >, <= and >= swapped
  boundary     < and <=, > and >= swapped; a decimal constant +1 or -1
  and-or       && and || swapped
  negate       the condition of an if or a while negated
  delete-call  a statement that is only a call removed
  return       a returned value replaced by its neighbour or by 0

The sites are found in the C++ text by a lexer that skips comments, string
and character literals, preprocessor lines, template brackets, operator
declarations and static_assert, and only looks inside function bodies (not
in brace lists of data). Every
site of the chosen files is enumerated in a fixed order and N of them drawn
with random.Random(seed): the same seed draws the same mutants while the
sources are the same. --list prints the draw and runs nothing.

Each mutant is built incrementally in a scratch copy (build-mutants/tree,
built in build-mutants/build), never in the work tree, and the suite runs
with ctest --stop-on-failure under a time limit: the tests of the mutated
folder first, then the others. Results are kept in build-mutants/results.json
by a hash of the mutated file and of every other source and test, so a run
over unchanged sources answers from there. Survivors that no behaviour can
tell apart are listed in tools/mutants-equivalent.txt."""
import argparse
import bisect
import collections
import fnmatch
import hashlib
import json
import os
import pathlib
import random
import re
import shutil
import signal
import subprocess
import sys
import time

ROOT = pathlib.Path(__file__).resolve().parent.parent
WORK = ROOT / "build-mutants"
TREE = WORK / "tree"
BUILD = WORK / "build"
RESULTS = WORK / "results.json"
BASELINE = WORK / "baseline.json"
EQUIVALENT = ROOT / "tools" / "mutants-equivalent.txt"
# What the scratch copy holds; the hash that keys the results covers HASHED.
COPIED = ["CMakeLists.txt", "src", "tests", "fuzz", "bench", "packaging", "tools", "docs"]
HASHED = ["CMakeLists.txt", "src", "tests", "fuzz"]
# Tests left out: the package tests build a .deb and run lintian (minutes, and
# nothing of src/ they could tell apart), the tool's own tests check no source.
EXCLUDED_LABELS = ["packaging"]
EXCLUDED_TESTS = "^(mutants_tool|deps_graph_tool)$"

# ---------------------------------------------------------------- the lexer

Token = collections.namedtuple("Token", "kind text start end line")

PUNCT = sorted("""<<= >>= <=> ->* ... :: -> ++ -- << >> <= >= == != && || += -= *= /=
    %= &= |= ^= .* { } [ ] ( ) ; : , . ? ~ ! + - * / % ^ & | = < > #""".split(),
               key=len, reverse=True)
IDENT = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")
NUMBER = re.compile(r"\.?[0-9](?:[eEpP][+-]|'?[A-Za-z0-9_.])*")
RAW_STRING = re.compile(r'(?:u8|[uUL])?R"([^ ()\\\t\n]{0,16})\(')


def skip_quoted(text, i):
    """Offset after the string or character literal whose quote is at i."""
    quote, i = text[i], i + 1
    while i < len(text) and text[i] != quote and text[i] != "\n":
        i += 2 if text[i] == "\\" else 1
    return i + 1


def skip_directive(text, i):
    """Offset of the newline that ends the preprocessor line starting at i."""
    while True:
        end = text.find("\n", i)
        if end < 0:
            return len(text)
        last = end - 1 - (end > i and text[end - 1] == "\r")
        if last < i or text[last] != "\\":
            return end
        i = end + 1


def lex(text):
    """Tokens of C++ text: comments, directives and whitespace dropped;
    literals kept whole as kind 'str' so that nothing inside is a site."""
    tokens, i, n, line_start = [], 0, len(text), True
    newlines = [k for k, c in enumerate(text) if c == "\n"]
    while i < n:
        c, start = text[i], i
        if c in " \t\r\n\f\v":
            line_start = line_start or c == "\n"
            i += 1
            continue
        if text.startswith("//", i):
            i = skip_directive(text, i)
            continue
        if text.startswith("/*", i):
            end = text.find("*/", i + 2)
            i = n if end < 0 else end + 2
            continue
        if c == "#" and line_start:
            i = skip_directive(text, i)
            continue
        line_start = False
        raw = RAW_STRING.match(text, i)
        if raw:
            end = text.find(")" + raw.group(1) + '"', raw.end())
            i = n if end < 0 else end + len(raw.group(1)) + 2
            kind = "str"
        elif c in "\"'":
            i, kind = skip_quoted(text, i), "str"
        elif IDENT.match(text, i):
            i, kind = IDENT.match(text, i).end(), "id"
        elif NUMBER.match(text, i):
            i, kind = NUMBER.match(text, i).end(), "num"
        else:
            p = next((p for p in PUNCT if text.startswith(p, i)), c)
            i, kind = i + len(p), "op"
        tokens.append(Token(kind, text[start:i], start, i, bisect.bisect(newlines, start) + 1))
    return tokens


# ------------------------------------------------------- the token analysis

KEYWORDS = set("""alignas alignof and asm auto bool break case catch char class const
    constexpr const_cast continue decltype default delete do double dynamic_cast else enum
    explicit extern false float for friend goto if inline int long mutable namespace new
    noexcept not nullptr operator or private protected public register reinterpret_cast
    return short signed sizeof static static_assert static_cast struct switch template this
    throw true try typedef typeid typename union unsigned using virtual void volatile while
    """.split())
CASTS = {"static_cast", "dynamic_cast", "const_cast", "reinterpret_cast", "template"}
# Tokens that may stand between the brackets of a template argument list and
# after its closing bracket.
IN_TEMPLATE = {"::", ",", "*", "&", "(", ")", "[", "]", "...", "<", ">", ">>"}
AFTER_TEMPLATE = {"(", ")", "::", "{", ",", ";", ">", ">>", "&", "&&", "*", "...", "[",
                  "]", "=", "}"}
CONTROL = {"if", "while", "for", "switch", "catch"}
SPECIFIERS = {"static", "inline", "constexpr", "virtual", "explicit", "extern", "friend"}
INTEGER_TYPES = set("""int unsigned long short signed char size_t ssize_t int8_t int16_t
    int32_t int64_t uint8_t uint16_t uint32_t uint64_t off_t pid_t time_t uid_t gid_t
    double float""".split())


def matching(tokens, i):
    """Index of the bracket that closes (or opens) the bracket at i."""
    pairs = {"(": ")", "[": "]", "{": "}", ")": "(", "]": "[", "}": "{"}
    step = 1 if tokens[i].text in "([{" else -1
    depth, j = 0, i
    while 0 <= j < len(tokens):
        t = tokens[j].text
        depth += (t == tokens[i].text) - (t == pairs[tokens[i].text])
        if depth == 0:
            return j
        j += step
    return len(tokens) - 1 if step > 0 else 0


def template_close(tokens, i):
    """Index of the '>' that closes a template argument list opened at i, or
    None when the '<' at i reads as a comparison."""
    prev = tokens[i - 1] if i else None
    if prev is None or prev.kind != "id" or (prev.text in KEYWORDS and prev.text not in CASTS):
        return None
    depth, parens, j = 0, 0, i
    while j < len(tokens):
        t = tokens[j]
        if t.kind not in ("id", "num") and t.text not in IN_TEMPLATE and parens == 0:
            return None
        parens += (t.text == "(") - (t.text == ")")
        if parens < 0:
            return None
        if parens == 0:
            depth += {"<": 1, ">": -1, ">>": -2}.get(t.text, 0)
        if depth < 0:
            return None
        if depth == 0:
            after = tokens[j + 1] if j + 1 < len(tokens) else None
            known = prev.text in CASTS
            if known or after is None or after.kind == "id" or after.text in AFTER_TEMPLATE:
                return j
            return None
        j += 1
    return None


def masked_ranges(tokens):
    """Token indices that are never sites: template argument lists, the
    token after 'operator', static_assert's arguments."""
    mask = set()
    for i, t in enumerate(tokens):
        if t.text == "<":
            close = template_close(tokens, i)
            if close is not None:
                mask.update(range(i, close + 1))
        elif t.text == "operator" and i + 1 < len(tokens):
            mask.update(range(i + 1, i + 3))
        elif t.text == "static_assert" and i + 1 < len(tokens) and tokens[i + 1].text == "(":
            mask.update(range(i, matching(tokens, i + 1) + 1))
    return mask


def return_type(tokens, name):
    """The declared return type of the function whose name is at index name,
    as its tokens joined by spaces, or None when it cannot be told."""
    j = name - 1
    while j >= 1 and tokens[j].text == "::" and tokens[j - 1].kind == "id":
        j -= 2
    words = []
    while j >= 0 and tokens[j].text not in (";", "}", "{", ":", ">", "]", ")"):
        if tokens[j].text in ("operator", "("):
            return None
        words.insert(0, tokens[j].text)
        j -= 1
    words = [w for w in words if w not in SPECIFIERS]
    return " ".join(words) or None


def brace_context(tokens, i, outer):
    """What the '{' at i opens: (in_function, return type or None). A brace
    list of data (a table, an initializer) counts as outside, so that its
    constants are not drawn."""
    j = i - 1
    while j >= 0 and tokens[j].text in ("const", "noexcept", "override", "final", "mutable"):
        j -= 1
    prev = tokens[j].text if j >= 0 else ""
    if prev == "]" and tokens[matching(tokens, j) - 1].kind == "id":
        return False, None  # an array's initializer
    if prev == "]" or (j >= 1 and tokens[j - 1].text == "->"):
        return True, None  # a lambda, or a trailing return type
    if prev == ")":
        opener = matching(tokens, j)
        before = tokens[opener - 1] if opener else None
        if before is not None and before.text in CONTROL:
            return outer
        if before is not None and before.text == "]":
            return True, None
        if outer[0]:
            return outer
        if before is not None and before.kind == "id":
            return True, return_type(tokens, opener - 1)
        return True, None
    if prev not in (";", "{", "}", "else", "do", "try", ":"):
        return False, None
    return outer


def contexts(tokens):
    """Per token: (in_function, return type, paren depth within its braces)."""
    out, stack, parens = [], [(False, None, 0)], 0
    for i, t in enumerate(tokens):
        if t.text == "{":
            inside, ret = brace_context(tokens, i, stack[-1][:2])
            stack.append((inside, ret, parens))
            parens = 0
        elif t.text == "}" and len(stack) > 1:
            parens = stack.pop()[2]
        elif t.text in ("(", "["):
            parens += 1
        elif t.text in (")", "]"):
            parens = max(0, parens - 1)
        out.append((stack[-1][0], stack[-1][1], parens))
    return out


# --------------------------------------------------------------- the sites

Mutant = collections.namedtuple("Mutant", "file line operator edits")

SWAPS = {
    "eq-flip": {"==": "!=", "!=": "=="},
    "rel-flip": {"<": ">", ">": "<", "<=": ">=", ">=": "<="},
    "boundary": {"<": "<=", "<=": "<", ">": ">=", ">=": ">"},
    "and-or": {"&&": "||", "||": "&&"},
}
RVALUE_NEIGHBOURS = {")", ",", ">", "...", "auto", "const"}
NOT_CALLS = KEYWORDS - {"this"}


def integer_value(text):
    """(value, base, suffix) of an integer literal, or None."""
    m = re.fullmatch(r"(0[xX][0-9a-fA-F']+|0[bB][01']+|[0-9][0-9']*)([uUlLzZ]*)", text)
    if not m:
        return None
    digits = m.group(1).replace("'", "")
    if digits[:2] in ("0x", "0X"):
        return int(digits, 16), 16, m.group(2)
    if digits[:2] in ("0b", "0B"):
        return int(digits[2:], 2), 2, m.group(2)
    if len(digits) > 1 and digits[0] == "0":
        return int(digits, 8), 8, m.group(2)
    return int(digits), 10, m.group(2)


def integer_text(value, base, suffix):
    form = {16: "0x{:X}", 2: "0b{:b}", 8: "0{:o}", 10: "{:d}"}[base]
    return form.format(value) + suffix


def swap_sites(tokens, i):
    t = tokens[i]
    if t.text == "&&" and (tokens[i + 1].text in RVALUE_NEIGHBOURS
                           or tokens[i - 1].text in RVALUE_NEIGHBOURS
                           or (tokens[i + 1].kind == "id" and tokens[i + 2].text == "=")):
        return  # T&& x = ... declares a reference
    for op, table in SWAPS.items():
        if t.text in table:
            yield op, [(t.start, t.end, table[t.text])]


def constant_sites(tokens, i):
    t = tokens[i]
    parsed = integer_value(t.text)
    if parsed is None or parsed[1] != 10 or tokens[i - 1].text in ("case", "return"):
        return  # hexadecimal and octal constants are masks and magic numbers
    value, base, suffix = parsed
    # One mutant per constant, so that constants do not crowd out the other
    # operators: +1 on odd lines (and for 0), -1 on even ones.
    other = value + 1 if t.line % 2 or value == 0 else value - 1
    yield "boundary", [(t.start, t.end, integer_text(other, base, suffix))]


def negate_sites(tokens, i):
    if tokens[i + 1].text != "(":
        return
    close = matching(tokens, i + 1)
    inner = tokens[i + 2:close]
    depth = 0
    for t in inner:
        depth += (t.text in "([{") - (t.text in ")]}")
        if t.text in (";", "constexpr") or (t.text == "=" and depth == 0):
            return
    if not inner:
        return
    yield "negate", [(inner[0].start, inner[0].start, "!("),
                     (inner[-1].end, inner[-1].end, ")")]


def call_statement_end(tokens, i):
    """Index of the ';' of the statement at i when it is only a call (a name
    chain with at least one argument list, ending in one), else None."""
    j, called = i, False
    while j < len(tokens):
        t = tokens[j]
        if t.kind != "id" or t.text in NOT_CALLS:
            return None
        j += 1
        if tokens[j].text == "(":
            j, called = matching(tokens, j) + 1, True
        if tokens[j].text == ";" and called and tokens[j - 1].text == ")":
            return j
        if tokens[j].text not in (".", "->", "::"):
            return None
        j += 1
    return None


def delete_sites(tokens, i, depth):
    prev = tokens[i - 1].text if i else ""
    if depth != 0 or prev not in (";", "{", "}", "else", ")"):
        return
    if prev == ")" and tokens[matching(tokens, i - 1) - 1].text not in CONTROL:
        return
    end = call_statement_end(tokens, i)
    if end is not None:
        yield "delete-call", [(tokens[i].start, tokens[end].end, "{}")]


def return_replacements(ret, text):
    """Replacement texts of the value text returned by a function of type ret."""
    words = ret.split()
    if words == ["bool"] or words == ["const", "bool"]:
        flips = {"true": "false", "false": "true"}
        return [flips.get(text, "!(" + text + ")")]
    if words and words[-1] == "*" and text not in ("nullptr", "NULL", "0"):
        return ["nullptr"]
    if not words or not all(w in INTEGER_TYPES or w in ("const", "std", "::") for w in words):
        return []
    literal = re.fullmatch(r"(-\s*)?([0-9][0-9a-fA-FxX']*[uUlLzZ]*)", text)
    if literal and integer_value(literal.group(2)):
        value, base, suffix = integer_value(literal.group(2))
        value = -value if literal.group(1) else value
        neighbour = integer_text(abs(value + 1), base, suffix)
        return ["-" * (value + 1 < 0) + neighbour] + (["0"] if value not in (0, -1) else [])
    return ["0", "(" + text + ") + 1"]


def return_sites(tokens, i, ret, source):
    if ret is None:
        return
    end = i + 1
    while end < len(tokens) and tokens[end].text != ";":
        end = matching(tokens, end) + 1 if tokens[end].text in ("(", "[", "{") else end + 1
    expr = tokens[i + 1:end]
    if not expr or end >= len(tokens):
        return
    for text in return_replacements(ret, source[expr[0].start:expr[-1].end]):
        yield "return", [(expr[0].start, expr[-1].end, text)]


def sites(text, path="src/x.cpp"):
    """Every mutant of one file's text, in the order of the text."""
    tokens = lex(text) + [Token("end", "", len(text), len(text), 0)]
    mask, ctx = masked_ranges(tokens), contexts(tokens)
    out, seen = [], set()
    for i, t in enumerate(tokens[:-1]):
        inside, ret, depth = ctx[i]
        if not inside or i in mask or t.kind == "str":
            continue
        found = []
        if t.kind == "op":
            found = swap_sites(tokens, i)
        elif t.kind == "num":
            found = constant_sites(tokens, i)
        elif t.text in ("if", "while"):
            found = negate_sites(tokens, i)
        elif t.text == "return":
            found = return_sites(tokens, i, ret, text)
        if t.kind == "id" and t.text not in NOT_CALLS:
            found = delete_sites(tokens, i, depth)
        for op, edits in found:
            if tuple(edits) not in seen:
                seen.add(tuple(edits))
                out.append(Mutant(path, t.line, op, tuple(edits)))
    return out


# ----------------------------------------------------------- the mutations


def apply(text, edits):
    for start, end, new in sorted(edits, reverse=True):
        text = text[:start] + new + text[end:]
    return text


def diff_lines(text, edits):
    """(old lines, new lines) of the lines that the edits touch."""
    first = text.rfind("\n", 0, min(e[0] for e in edits)) + 1
    last = text.find("\n", max(e[1] for e in edits))
    last = len(text) if last < 0 else last
    grow = sum(len(new) - (end - start) for start, end, new in edits)
    mutated = apply(text, edits)
    return text[first:last].split("\n"), mutated[first:last + grow].split("\n")


def describe(m, text):
    old, new = diff_lines(text, m.edits)
    return "".join(f"\n    -{line}" for line in old) + "".join(f"\n    +{line}" for line in new)


def source_files(patterns):
    files = sorted(str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*")
                   if p.suffix in (".cpp", ".h"))
    if not patterns:
        return files
    return [f for f in files
            if any(fnmatch.fnmatch(f, p) or f.startswith(p.rstrip("/") + "/") for p in patterns)]


def draw(files, count, seed):
    """The drawn mutants (sorted by file and place) and the number of sites."""
    every = []
    for f in files:
        every.extend(sites((ROOT / f).read_text(encoding="latin-1"), f))
    chosen = random.Random(seed).sample(range(len(every)), min(count, len(every)))
    return [every[k] for k in sorted(chosen)], len(every)


# ------------------------------------------------------ the results' cache


def file_hashes():
    out = {}
    for top in HASHED:
        base = ROOT / top
        for p in sorted([base] if base.is_file() else base.rglob("*")):
            if p.is_file():
                out[str(p.relative_to(ROOT))] = hashlib.sha256(p.read_bytes()).hexdigest()
    return out


def mutant_key(hashes, m, mutated):
    others = "".join(f"{f} {h}\n" for f, h in sorted(hashes.items()) if f != m.file)
    return hashlib.sha256(f"{m.file}\n{mutated}\n{others}".encode()).hexdigest()


def load_json(path):
    try:
        return json.loads(path.read_text())
    except (OSError, ValueError):
        return {}


def save_json(path, data):
    tmp = path.with_suffix(".tmp")
    tmp.write_text(json.dumps(data, indent=1, sort_keys=True))
    tmp.replace(path)


def equivalents():
    """{(file, old text, new text): reason} from tools/mutants-equivalent.txt:
    one entry a line, its four fields separated by tabs."""
    out = {}
    if EQUIVALENT.exists():
        for line in EQUIVALENT.read_text().splitlines():
            fields = line.split("\t")
            if len(fields) == 4 and not line.startswith("#"):
                out[tuple(fields[:3])] = fields[3]
    return out


def equivalence_key(m, text):
    old, new = diff_lines(text, m.edits)
    return m.file, " ".join(s.strip() for s in old), " ".join(s.strip() for s in new)


# ------------------------------------------------------- the scratch build


def write(path, data):
    """Writes data to path: its timestamp becomes now, newer than any object
    built from what it held before, so that the next build recompiles it."""
    path.parent.mkdir(parents=True, exist_ok=True)
    path.write_bytes(data)


def sync_tree():
    """Brings the scratch copy to the work tree's content, touching only the
    files that differ so that the next build stays incremental."""
    wanted = set()
    for top in COPIED:
        base = ROOT / top
        for p in ([base] if base.is_file() else base.rglob("*")):
            if p.is_file():
                rel = p.relative_to(ROOT)
                wanted.add(rel)
                target = TREE / rel
                data = p.read_bytes()
                if not target.exists() or target.read_bytes() != data:
                    write(target, data)
                    shutil.copymode(p, target)
    for p in sorted(TREE.rglob("*"), reverse=True):
        if p.is_file() and p.relative_to(TREE) not in wanted:
            p.unlink()


def build(jobs, quiet=True):
    """None when the build succeeds, else the mutant's outcome: 'invalid',
    or, when a test program built but failed to list its tests (it crashed
    or hung before main), 'killed' or 'timed out'."""
    out = subprocess.run(["cmake", "--build", str(BUILD), "-j", str(jobs)],
                         capture_output=quiet, text=True, timeout=3600)
    if out.returncode == 0:
        return None
    printed = (out.stdout or "") + (out.stderr or "")
    if "Error running test executable" not in printed:
        return "invalid"
    return "timed out" if re.search(r"Result: .*timeout", printed) else "killed"


def prepare(jobs):
    """The scratch copy synced, configured once and built unmutated."""
    sync_tree()
    if not (BUILD / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "-S", str(TREE), "-B", str(BUILD), "-DCMAKE_BUILD_TYPE=Debug",
                        "-DCMAKE_CXX_FLAGS_DEBUG=-O1"], check=True, stdout=subprocess.DEVNULL)
    print("building the unmutated copy in build-mutants/build ...", flush=True)
    if build(jobs, quiet=False):
        sys.exit("the unmutated sources do not build")


def labels():
    listing = subprocess.run(["ctest", "--show-only=json-v1"], cwd=BUILD, check=True,
                             capture_output=True, text=True).stdout
    found = set()
    for t in json.loads(listing)["tests"]:
        for p in t.get("properties", []):
            if p["name"] == "LABELS":
                found.update(p["value"])
    return found


def stray_processes():
    """Processes still running a program of the scratch build (an agent a
    killed test had started as a daemon)."""
    pids = []
    for d in pathlib.Path("/proc").iterdir():
        try:
            exe = os.readlink(d / "exe")
        except OSError:
            continue
        if d.name.isdigit() and exe.startswith(str(BUILD) + "/") and int(d.name) != os.getpid():
            pids.append(int(d.name))
    return pids


def failed_test():
    """The name of a test that failed in the last ctest run."""
    try:
        first = (BUILD / "Testing" / "Temporary" / "LastTestsFailed.log").read_text().split()
    except OSError:
        return ""
    return first[0].split(":", 1)[-1] if first else ""


def ctest(args, jobs, limit):
    """'pass', 'fail' or 'timeout' of one ctest run over args."""
    cmd = ["ctest", "--stop-on-failure", "-j", str(jobs), "-E", EXCLUDED_TESTS] + args
    (BUILD / "Testing" / "Temporary" / "LastTestsFailed.log").unlink(missing_ok=True)
    proc = subprocess.Popen(cmd, cwd=BUILD, stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL, start_new_session=True)
    try:
        outcome = "pass" if proc.wait(timeout=max(1, limit)) == 0 else "fail"
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait()
        outcome = "timeout"
    for pid in stray_processes():
        try:
            os.kill(pid, signal.SIGKILL)
        except OSError:
            pass
    return outcome


def killer(jobs, limit):
    """The test that failed, run again alone: a test that then passes failed
    through chance (load, timing) or through a mutant that acts by chance."""
    name = failed_test()
    if name and ctest(["-R", "^" + re.escape(name) + "$"], jobs, limit) == "pass":
        return name + " (then passed alone: by chance?)"
    return name


def suite(folder, known, jobs, limit):
    """('killed', the test that failed), ('survived', '') or ('timed out', ''):
    the mutated folder's tests first (the likeliest to notice), then the rest."""
    excluded = list(EXCLUDED_LABELS)
    started = time.time()
    outcomes = {"pass": "survived", "fail": "killed", "timeout": "timed out"}
    if folder in known and folder not in excluded:
        first = ctest(["-L", f"^{folder}$"], jobs, limit)
        if first != "pass":
            return outcomes[first], killer(jobs, limit) if first == "fail" else ""
        excluded.append(folder)
    rest = ctest(["-LE", "^(" + "|".join(excluded) + ")$"], jobs,
                 limit - (time.time() - started))
    return outcomes[rest], killer(jobs, limit) if rest == "fail" else ""


def baseline(hashes, jobs):
    """Seconds the unmutated suite takes, measured once per source state."""
    state = hashlib.sha256(json.dumps(hashes, sort_keys=True).encode()).hexdigest()
    known = load_json(BASELINE)
    if known.get("state") == state:
        return known["seconds"]
    print("timing the unmutated suite ...", flush=True)
    started = time.time()
    outcome, test = suite("", set(), jobs, 3600)
    if outcome != "survived":
        sys.exit(f"the unmutated suite fails in build-mutants/build ({test or outcome})")
    seconds = time.time() - started
    save_json(BASELINE, {"state": state, "seconds": seconds})
    return seconds


class Scratch:
    """The scratch copy's one mutated file at a time: the next mutant of the
    same file replaces it, one of another file restores it first."""

    def __init__(self):
        self.dirty, self.original = None, None

    def put(self, rel, mutated, original):
        if self.dirty and self.dirty != rel:
            self.restore()
        write(TREE / rel, mutated.encode("latin-1"))
        self.dirty, self.original = rel, original

    def restore(self):
        if self.dirty:
            write(TREE / self.dirty, self.original.encode("latin-1"))
            self.dirty = None


def run_one(m, text, scratch, known, jobs, limit):
    """(outcome, the test that killed it or '') of one mutant."""
    scratch.put(m.file, apply(text, m.edits), text)
    failed = build(jobs)
    if failed:
        return failed, "listing its tests" if failed == "killed" else ""
    return suite(pathlib.PurePath(m.file).parts[1], known, jobs, limit)


# ----------------------------------------------------------------- reports


def print_list(drawn, total, texts, seed):
    print(f"{len(drawn)} mutants drawn from {total} with seed {seed}")
    for k, m in enumerate(drawn, 1):
        print(f"{k:3} {m.file}:{m.line}  {m.operator}{describe(m, texts[m.file])}")
    mix = collections.Counter(m.operator for m in drawn)
    print("operators: " + ", ".join(f"{op} {n}" for op, n in sorted(mix.items())))


def summary(drawn, outcomes, texts):
    equal = equivalents()
    counts = collections.Counter(outcomes)
    survivors = [m for m, o in zip(drawn, outcomes) if o == "survived"]
    marked = [m for m in survivors if equivalence_key(m, texts[m.file]) in equal]
    k, s, t = counts["killed"], counts["survived"] - len(marked), counts["timed out"]
    score = k / (k + s + t) if k + s + t else 1.0
    print(f"\nkilled {k}, survived {s}, invalid {counts['invalid']}, timed out {t}, "
          f"score = {k}/{k + s + t} = {score:.2f}"
          + (f"; equivalent survivors left out: {len(marked)}" if marked else ""))
    for m in survivors:
        if m not in marked:
            print(f"{m.file}:{m.line}  {m.operator}{describe(m, texts[m.file])}")
    if survivors and len(marked) < len(survivors):
        print("\nA survivor no behaviour can tell apart goes into tools/mutants-equivalent.txt"
              " as: file, old line, new line, reason (tab-separated; the lines stripped).")
    for m in marked:
        reason = equal[equivalence_key(m, texts[m.file])]
        print(f"equivalent: {m.file}:{m.line}  {m.operator}: {reason}")


def run_all(drawn, texts, jobs, timeout):
    """The outcome of each drawn mutant, from the cache or from a build."""
    hashes, cache = file_hashes(), load_json(RESULTS)
    keys = [mutant_key(hashes, m, apply(texts[m.file], m.edits)) for m in drawn]
    scratch, outcomes, ran = Scratch(), [], []
    if all(k in cache for k in keys):
        print("every mutant's result is in build-mutants/results.json")
    else:
        prepare(jobs)
        limit = timeout or 3 * baseline(hashes, jobs)
        known = labels()
        print(f"time limit per mutant: {limit:.0f} s", flush=True)
    try:
        for n, (m, key) in enumerate(zip(drawn, keys), 1):
            started, when = time.time(), "earlier"
            if key not in cache:
                outcome, by = run_one(m, texts[m.file], scratch, known, jobs, limit)
                cache[key] = {"outcome": outcome, "by": by,
                              "seconds": round(time.time() - started, 1)}
                save_json(RESULTS, cache)
                when = "now"
                ran.append(cache[key]["seconds"])
            outcomes.append(cache[key]["outcome"])
            by = f" by {cache[key]['by']}" if cache[key].get("by") else ""
            print(f"[{n}/{len(drawn)}] {m.file}:{m.line} {m.operator}: {outcomes[-1]}{by} "
                  f"({cache[key]['seconds']} s, {when})", flush=True)
    finally:
        scratch.restore()
    if ran:
        print(f"{len(ran)} mutants built and run, {sum(ran) / len(ran):.0f} s each on average")
    return outcomes


def main():
    env = os.environ.get
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--list", action="store_true", help="print the draw, run nothing")
    parser.add_argument("-n", type=int, default=int(env("MUTANTS") or 100))
    parser.add_argument("--seed", type=int, default=int(env("SEED") or 1))
    parser.add_argument("--files", default=env("MUTANT_FILES") or "")
    parser.add_argument("--jobs", type=int, default=int(env("MUTANT_JOBS") or os.cpu_count()))
    parser.add_argument("--timeout", type=float, default=float(env("MUTANT_TIMEOUT") or 0))
    args = parser.parse_args()
    files = source_files(args.files.split())
    if not files:
        sys.exit(f"no file of src/ matches {args.files!r}")
    drawn, total = draw(files, args.n, args.seed)
    texts = {f: (ROOT / f).read_text(encoding="latin-1") for f in files}
    if args.list:
        print_list(drawn, total, texts, args.seed)
        return
    WORK.mkdir(exist_ok=True)
    started = time.time()
    outcomes = run_all(drawn, texts, args.jobs, args.timeout)
    summary(drawn, outcomes, texts)
    print(f"{len(drawn)} mutants in {time.time() - started:.0f} s")


if __name__ == "__main__":
    main()
