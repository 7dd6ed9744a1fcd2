#!/usr/bin/env python3
"""Keeps the documents true: fails when a Markdown file or a header comment
names, in backticks, a path or an identifier that does not exist, or when the
Locks table of the stand-in's contract does not list exactly the mutexes the
code has.

What counts as a path: a token with a slash or a source file ending, checked
against the tree (from the root, or from the document's folder; globs must
match something).  Paths under build/ and absolute ones are the machine's,
not the tree's, and are not checked.  What counts as an identifier: a C++
name with a capital letter after its first character, or qualified with ::,
or with a call's (); it must occur as a word in some tracked source file.
Commands, sequences, numbers and plain words are not checked.
"""
import fnmatch, re, subprocess, sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
LOCKS_DOC = "standin/terminal/PORT.md"
# Product code whose mutexes the Locks table lists: the stand-in's functions,
# its model and its terminal end (the test end is the tests' own).
LOCK_FOLDERS = ("standin/",)
LOCK_EXCLUDE = ("standin/testend/",)

SOURCE_ENDINGS = (".cpp", ".h", ".c", ".md", ".py", ".sh", ".scn", ".txt", ".cmake", ".json",
                  ".1", ".dict", ".conf", ".supp")
BACKTICK = re.compile(r"`([^`\n]+)`")
# Names from outside the tree that a document explains: the imports the
# Windows runtime asks for, which the program itself never names.
EXTERNAL = {"GetModuleHandleW", "LoadLibraryW", "CreateSemaphoreW"}
IDENT = re.compile(r"^~?[A-Za-z_][A-Za-z0-9_]*(::~?[A-Za-z_][A-Za-z0-9_]*)*(\(\))?$")


def tracked():
    out = subprocess.run(["git", "ls-files"], cwd=ROOT, check=True, capture_output=True,
                         text=True).stdout.split("\n")
    return [p for p in out if p and (ROOT / p).exists()]


def header_comments(text):
    """The comment text of a C++ header."""
    parts = re.findall(r"//[^\n]*|/\*.*?\*/", text, re.S)
    return "\n".join(parts)


def is_path(token):
    if " " in token or token.startswith(("-", "$", "http", ".")) or "=" in token or "<" in token:
        return False
    return "/" in token or token.endswith(SOURCE_ENDINGS)


def path_exists(token, doc, files, folders):
    token = token.rstrip("/").split(":")[0]
    if token.startswith(("/", "~", "build/", "../")) or not token:
        return True
    candidates = [token, str((Path(doc).parent / token))]
    for candidate in candidates:
        candidate = candidate.lstrip("./") if candidate.startswith("./") else candidate
        if any(ch in candidate for ch in "*?["):
            if any(fnmatch.fnmatchcase(f, candidate) for f in files):
                return True
        elif candidate in files or candidate in folders:
            return True
    return False


def is_identifier(token):
    if not IDENT.match(token):
        return False
    bare = token.rstrip("()")
    if "::" in bare or token.endswith("()"):
        return True
    return any(c.isupper() for c in bare[1:]) and any(c.islower() for c in bare)


def word_index(files):
    words = set()
    for path in files:
        if path.endswith((".cpp", ".h", ".c", ".py", ".sh", ".cmake", ".scn")) or \
                path.endswith("CMakeLists.txt"):
            text = (ROOT / path).read_text(encoding="utf-8", errors="replace")
            words.update(re.findall(r"[A-Za-z_][A-Za-z0-9_]*", text))
    return words


def code_mutexes(files):
    """Mutexes in product code: globals and functions by name, members as Type::Name."""
    found = set()
    decl = re.compile(r"std::(?:recursive_|timed_)?mutex\s*(&?)\s*(\*?)\s*([A-Za-z_]\w*)\s*(\(|;|\{|=)")
    for path in files:
        if not path.startswith(LOCK_FOLDERS) or path.startswith(LOCK_EXCLUDE):
            continue
        if not path.endswith((".cpp", ".h")):
            continue
        text = (ROOT / path).read_text(encoding="utf-8", errors="replace")
        text = re.sub(r"//[^\n]*", "", text)
        depth_types = []  # (depth at which the type's body opened, name)
        depth = 0
        pending_type = None
        for line in text.split("\n"):
            m = re.match(r"\s*(?:struct|class)\s+([A-Za-z_]\w*)[^;]*$", line)
            if m:
                pending_type = m.group(1)
            for d in decl.finditer(line):
                name = d.group(3)
                is_function = d.group(4) == "("
                if d.group(1) and not is_function:
                    continue  # a reference to a lock taken elsewhere
                if is_function:
                    found.add(name + "()")
                elif depth_types and depth_types[-1][0] == depth:
                    found.add(depth_types[-1][1] + "::" + name)
                else:
                    found.add(name)
            for ch in line:
                if ch == "{":
                    depth += 1
                    if pending_type:
                        depth_types.append((depth, pending_type))
                        pending_type = None
                elif ch == "}":
                    if depth_types and depth_types[-1][0] == depth:
                        depth_types.pop()
                    depth -= 1
            if ";" in line and "{" not in line:
                pending_type = None
    return found


def table_locks():
    text = (ROOT / LOCKS_DOC).read_text(encoding="utf-8")
    m = re.search(r"^## Locks\n(.*?)(?=^## )", text, re.S | re.M)
    if not m:
        return None
    names = set()
    for line in m.group(1).split("\n"):
        if not line.startswith("| `"):
            continue
        first = BACKTICK.findall(line.split("|")[1])
        if first:
            names.add(first[0].split(" ")[0])
    return names


def main():
    files = tracked()
    folders = {str(p) for f in files for p in Path(f).parents if str(p) != "."}
    words = word_index(files)
    problems = []
    checked = 0
    for doc in files:
        if doc.endswith(".md"):
            text = (ROOT / doc).read_text(encoding="utf-8", errors="replace")
            text = re.sub(r"^(```|    ).*?$", "", text, flags=re.M)  # code blocks
        elif doc.endswith(".h"):
            text = header_comments((ROOT / doc).read_text(encoding="utf-8", errors="replace"))
        else:
            continue
        for number, line in enumerate(text.split("\n"), 1):
            for token in BACKTICK.findall(line):
                token = token.strip()
                if is_path(token):
                    checked += 1
                    if not path_exists(token, doc, files, folders):
                        problems.append(f"{doc}:{number}: no such path: `{token}`")
                elif is_identifier(token):
                    checked += 1
                    last = re.split(r"::", token.rstrip("()"))[-1].lstrip("~")
                    if last not in words and last not in EXTERNAL:
                        problems.append(f"{doc}:{number}: no such identifier: `{token}`")
    listed = table_locks()
    if listed is None:
        problems.append(f"{LOCKS_DOC}: no Locks table")
    else:
        actual = code_mutexes(files)
        for name in sorted(actual - listed):
            problems.append(f"{LOCKS_DOC}: the Locks table lacks `{name}`")
        for name in sorted(listed - actual):
            problems.append(f"{LOCKS_DOC}: the Locks table lists `{name}`, which the code lacks")
    for problem in problems:
        print(problem)
    if problems:
        return 1
    print(f"documents: {checked} paths and identifiers named, all there; the Locks table is whole")
    return 0


if __name__ == "__main__":
    sys.exit(main())
