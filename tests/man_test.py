#!/usr/bin/env python3
"""Every message that a tool can print, and every exit status it can end
with, appears in its manual page: both are read from the sources, so a new
message cannot go undocumented.

    man_test.py

A message is a format string that main's source prints (printf, fprintf,
puts, fputs, directly or through a named string constant), a named string
constant, or the words of a row of a table like {"name", ..., "words"}, each
of its lines with its runs of blanks taken as one; a conversion stands for
any upper-case word of the page, such as PATH or REASON. The exit statuses are the numbers that main
returns and the values of the file's enumerators that any function returns;
the page lists each under EXIT STATUS as a tagged paragraph. The page and
the README say alike what makes a trailer malformed.
"""
import os
import re
import shlex
import unittest

import harness
from harness import SOURCE

PAGES = {"src/main.cpp": "man/xmlstamp.1.in", "src/verify_main.cpp": "man/xmlstamp-verify.1.in",
         "src/causes.cpp": "man/xmlstamp-verify.1.in"}

LITERAL = r'"(?:\\.|[^"\\])*"'
CONVERSION = re.compile(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXcsp]")
PLACEHOLDER = r"(?:[A-Z][A-Z_]*|@[A-Z_]+@)"
ESCAPES = {r"\-": "-", r"\(aq": "'", r"\(dq": '"', r"\e": "\\", r"\%": "", r"\&": "", r"\ ": " ", r"\|": ""}


def unquote(literal):
    return literal[1:-1].encode().decode("unicode_escape")


def formats(code):
    """The format strings that the source prints; a macro between literals,
    such as PRIu32 or the version, is a conversion."""
    constants = {name: "".join(map(unquote, re.findall(LITERAL, value)))
                 for name, value in re.findall(r"char\s+(\w+)\[\]\s*=\s*((?:%s\s*)+);" % LITERAL, code)}
    for call in re.finditer(r"\b(?:printf|fprintf|puts|fputs)\s*\(\s*(?:stderr\s*,|stdout\s*,)?", code):
        text = ""
        for token in re.findall(r"%s|\w+" % LITERAL, re.match(r"(?:\s*(?:%s|\w+))*" % LITERAL, code[call.end():])[0]):
            if token.startswith('"'):
                text += unquote(token)
            else:
                text += "d" if text.endswith("%") else constants.get(token, "%s")
        yield text
    yield from constants.values()
    for words in re.findall(r'{\s*"[^"]*",[^{}"]*,\s*((?:%s\s*)+)}' % LITERAL, code):
        yield "".join(map(unquote, re.findall(LITERAL, words)))


def pattern(line):
    """A regular expression for one line of a message as the page shows it."""
    pieces = CONVERSION.split(line.replace("%%", "\0"))
    literal = [re.sub(r"\\\s+", r"\\s+", re.escape(piece.replace("\0", "%"))) for piece in pieces]
    return PLACEHOLDER.join(literal)


def render(page):
    """The page's text with its font changes and escapes resolved, and its
    tagged paragraphs under EXIT STATUS."""
    words, statuses, section, tagged = [], set(), "", False
    for line in page.replace("\\ ", "\0").splitlines():
        request, _, rest = line.partition(" ") if line.startswith(".") else ("", "", line)
        args = shlex.shlex(rest, posix=True)
        args.whitespace_split, args.quotes, args.escape = True, '"', ""
        args = list(args) if request else [rest]
        if request == ".SH":
            section = " ".join(args)
        if tagged and request == ".B" and section == "EXIT STATUS":
            statuses.add(int(args[0]))
        tagged = request == ".TP"
        if request in ("", ".B", ".I", ".SH", ".SS"):
            words.append(" ".join(args))
        elif request in (".BI", ".IB", ".BR", ".RB", ".IR", ".RI"):
            words.append("".join(args))
    text = " ".join(words).replace("\0", " ")
    for escape, character in ESCAPES.items():
        text = text.replace(escape, character)
    return re.sub(r"\s+", " ", text), statuses


def exit_statuses(code):
    main = code[code.index("int main("):]
    returned = re.findall(r"\breturn\b([^;]*);", main[:main.index("\n}") + 2])
    numbers = {int(n) for expression in returned for n in re.findall(r"\b\d+\b", expression)}
    enumerators = dict(re.findall(r"\b(k\w+)\s*=\s*(\d+)", "".join(re.findall(r"\benum\s*{[^}]*}", code))))
    named = {name for expression in re.findall(r"\breturn\b([^;]*);", code) for name in re.findall(r"\w+", expression)}
    return numbers | {int(enumerators[name]) for name in named & enumerators.keys()}


class ManPages(unittest.TestCase):
    def test_every_message_and_exit_status_is_in_the_page(self):
        for source, page in PAGES.items():
            with self.subTest(page), open(os.path.join(SOURCE, source)) as s, open(os.path.join(SOURCE, page)) as p:
                code = s.read()
                text, statuses = render(p.read())
                # The page may lay a line out with other runs of blanks.
                lines = {" ".join(line.split()) for text in formats(code) for line in text.split("\n")}
                missing = [line for line in sorted(lines)
                           if re.sub(CONVERSION, "", line).strip() and not re.search(pattern(line), text)]
                self.assertEqual(missing, [], "messages of %s that %s lacks" % (source, page))
                if "int main(" in code:
                    self.assertEqual(statuses, exit_statuses(code), "exit statuses under EXIT STATUS")

    def test_a_malformed_trailer_is_defined_alike_in_the_page_and_the_readme(self):
        # Each way a trailer is malformed, as xmlstamp-verify decides it.
        cases = ["bytes after it", "a second marker", "no '>", "a sign", "a leading zero", "more than ten digits",
                 "over 4294967295"]
        with open(os.path.join(SOURCE, PAGES["src/verify_main.cpp"])) as p, open(os.path.join(SOURCE, "README.md")) as r:
            page, readme = render(p.read())[0], r.read().replace("`", "")
        definitions = {"page": re.search(r"FILE: malformed trailer (A marker.*?) FILE:", page)[1],
                       "README": re.search(r"\| FILE: malformed trailer \| (.*) \|", readme)[1]}
        for where, definition in definitions.items():
            self.assertEqual([case for case in cases if case not in definition], [], "%s: %s" % (where, definition))


if __name__ == "__main__":
    harness.main()
