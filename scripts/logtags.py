#!/usr/bin/env python3
"""Checks the client library's log tags.

A tag names the call site that logs (or throws, or checks initialization): the name of the function
that holds it, usually followed by three digits ("doConnect000"). Two rules:
  1. the function part of every tag names a function, method or named lambda of the library;
  2. every tag is used at one call site; a log line and the exception thrown right after it from
     the same (name, tag, text) count as one site.
Tags whose text is fixed by the library's documented log lines, or by README, are exempt: hosts and
operators grep for them. They are listed in PRESCRIBED below with the rule they would break.

  scripts/logtags.py [SOURCE_DIR]    prints every finding and "logtags: N tags, M findings"
Exit status 1 when there is a finding.
"""
import collections
import pathlib
import re
import sys

# Tags the documented log lines fix, which therefore break a rule above on purpose.
_DOCUMENTED_ONLY = "a documented line of an operation the library no longer has as one function"
PRESCRIBED = {
    # Several call sites by design: each engine's doInit logs its own documented lines under these.
    "doInit000": "one tag in several classes",
    "doInit001": "one tag in several classes",
    # Two documented lines each share one tag.
    "discoverNAT000": "the start line and test 1",
    "discoverNAT004": "tests 4 and 5",
    "discoverConnectivity000": "the incoming peer list and \"No peers to connect\"",
    "discoverTopology": "the initialization check and the discovery checkpoint",
    "getLocalAddresses": "the failure and the list of addresses",
    # Checks of initialization and the documented exceptions name the operation only; the
    # operation's own lines carry the same name.
    "send": "both send operations check initialization under it",
    "receive": "initialization check, failure and the received line",
    # Discovery runs a plan now, and one connectivity pass runs every phase; their documented
    # lines keep the tags of the operations they came from.
    "discoverNAT001": _DOCUMENTED_ONLY,
    "discoverNAT002": _DOCUMENTED_ONLY,
    "discoverPortAllocStrategy000": _DOCUMENTED_ONLY,
    "discoverPortAllocStrategy001": _DOCUMENTED_ONLY,
    "discoverPortAllocStrategy002": _DOCUMENTED_ONLY,
    "discoverPortAllocStrategy003": _DOCUMENTED_ONLY,
    "doConnect000": _DOCUMENTED_ONLY,
    "doConnect001": _DOCUMENTED_ONLY,
    "doConnect002": _DOCUMENTED_ONLY,
    "doConnect010": _DOCUMENTED_ONLY,
    "doConnect011": _DOCUMENTED_ONLY,
    "doConnect012": _DOCUMENTED_ONLY,
    "doConnect013": _DOCUMENTED_ONLY,
    # README: the failed later measurement of the port that "doConnect011" reports.
    "doConnect014": "beside doConnect011, the line it follows up",
}

# The library's own sources; protoc's output lies in the build tree.
SOURCES = "tarn_client/src/tarn"

NUMBERED = re.compile(r"^([a-z][A-Za-z0-9]*?)([0-9]{3})$")
# The call sites that take (name, tag, ...): log lines, the exception family and the checks of
# initialization. The first argument holds no string and no comma at the top level.
TAG_CALL = re.compile(
    r"\b(?:Log::(?:trace|debug|info|warn|error)|[A-Z]\w*Exception|checkInitialized)\s*\(\s*"
    r"(?:[^,;()\"]|\((?:[^()\"]|\([^()\"]*\))*\))*,\s*(\"\d+\")")
KEYWORDS = {"return", "else", "throw", "new", "delete", "case", "sizeof", "do", "co_return", "goto"}
# A function's definition: a type word and a blank, or a type ending in ">", "*" or "&", then the
# name, qualified or not, its parameters, and its body or its constructor's initializers (or
# "= 0", "= default"). A call has no type before it; a variable built with arguments ends in ";".
FUNCTION = re.compile(
    r"(?:\b([A-Za-z_]\w*)\s+|(?<=[\w>])[>*&]+\s*)(?:[A-Za-z_]\w*(?:<[^<>;{}()]*>)?::)*(~?[A-Za-z_]\w*)\s*"
    r"\((?:[^()]|\((?:[^()]|\([^()]*\))*\))*\)"
    r"(?:\s|const\b|noexcept\b|override\b|final\b|->\s*[\w:<>,*& ]+)*"
    r"(?:\{|:(?!:)|=\s*(?:0|default|delete)\s*;)")
LAMBDA = re.compile(r"\b(?:auto|std::function<[^;{}]*>)\s+(\w+)\s*=\s*\[")


def blank_out(text):
    """Returns (code, literals): the text with comments removed and every string literal replaced
    by a numbered placeholder ("0", "1" ...), and the literals' contents with their line numbers.
    Lengths and line breaks stay, so offsets keep their lines."""
    out, literals = [], []
    i, line, n = 0, 1, len(text)
    while i < n:
        c = text[i]
        if text.startswith("//", i):
            end = text.find("\n", i)
            end = n if end < 0 else end
            out.append(" " * (end - i))
            i = end
        elif text.startswith("/*", i):
            end = text.find("*/", i + 2)
            end = n if end < 0 else end + 2
            chunk = text[i:end]
            out.append(re.sub(r"[^\n]", " ", chunk))
            line += chunk.count("\n")
            i = end
        elif c == '"' or (c == "'" and not (i > 0 and text[i - 1].isalnum())):
            j = i + 1
            while j < n and text[j] != c and text[j] != "\n":
                j += 2 if text[j] == "\\" else 1
            if c == '"':
                out.append('"%d"' % len(literals))
                literals.append((text[i + 1:j], line))
            else:
                out.append("' '")
            i = j + 1
        else:
            if c == "\n":
                line += 1
            out.append(c)
            i += 1
    return "".join(out), literals


def scan(root):
    """Returns (functions, uses): every function name declared or defined in the library, and for
    every tag the list of (file, line, is_throw) where it is used."""
    functions, uses = set(), collections.defaultdict(list)
    for path in sorted((root / SOURCES).rglob("*")):
        if path.suffix not in (".h", ".cpp"):
            continue
        code, literals = blank_out(path.read_text(encoding="utf-8", errors="replace"))
        for match in FUNCTION.finditer(code):
            if match.group(1) not in KEYWORDS:
                functions.add(match.group(2))
        functions.update(LAMBDA.findall(code))
        relative = path.relative_to(root).as_posix()
        at_call = set()
        for match in TAG_CALL.finditer(code):
            index = int(match.group(1).strip('"'))
            at_call.add(index)
            is_throw = re.search(r"\bthrow\s+$", code[max(0, match.start() - 40):match.start()]) is not None
            text, line = literals[index]
            uses[text].append((relative, line, is_throw))
        # Tags passed on through variables or tables: every numbered literal is one.
        for index, (text, line) in enumerate(literals):
            if index not in at_call and NUMBERED.match(text):
                uses[text].append((relative, line, False))
    return functions, uses


def findings(functions, uses):
    for tag, sites in sorted(uses.items()):
        if tag in PRESCRIBED:
            continue
        numbered = NUMBERED.match(tag)
        function = numbered.group(1) if numbered else tag
        where = ", ".join("%s:%d" % (f, l) for f, l, _ in sites)
        if function not in functions:
            yield '"%s": no function %s in the library (%s)' % (tag, function, where)
        # The throw that follows its own log line within a few lines is the same site.
        counted = [s for k, s in enumerate(sites)
                   if not (s[2] and k > 0 and sites[k - 1][0] == s[0] and 0 <= s[1] - sites[k - 1][1] <= 4)]
        if len(counted) > 1:
            yield '"%s": used at %d sites (%s)' % (tag, len(counted), where)


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else pathlib.Path(__file__).resolve().parents[1])
    functions, uses = scan(root)
    found = list(findings(functions, uses))
    for line in found:
        print("logtags: " + line)
    print("logtags: %d tags, %d findings" % (len(uses), len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
