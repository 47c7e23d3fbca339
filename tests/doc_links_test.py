#!/usr/bin/env python3
"""Every relative link in the README and in docs/ leads to a file that is
there and, after a '#', to a heading of it as GitHub names them.

    doc_links_test.py

broken_links also checks the documents of an installed tree, compressed ones
included (tests/package_test.py).
"""
import glob
import gzip
import os
import re
import unittest

import harness
from harness import SOURCE


def text(path):
    """A document's text without its code blocks, which show links and
    headings without making them."""
    with (gzip.open if path.endswith(".gz") else open)(path, "rt", encoding="utf-8") as f:
        return re.sub(r"^```.*?^```", "", f.read(), flags=re.S | re.M)


def anchors(path):
    """GitHub's anchor for each heading: its text in lower case, without
    punctuation, each blank a '-'; a repeated one gets -1, -2, ..."""
    seen = {}
    for heading in re.findall(r"^#+ +(.*?) *$", text(path), flags=re.M):
        plain = re.sub(r"\[([^]]*)\]\([^)]*\)|[`*]", r"\1", heading)
        slug = re.sub(r"[^\w\- ]", "", plain.lower()).replace(" ", "-")
        seen[slug] = seen.get(slug, -1) + 1
        yield slug if seen[slug] == 0 else "%s-%d" % (slug, seen[slug])


def broken_links(documents):
    """The links of `documents` that lead nowhere, as 'document: target'."""
    broken = []
    for document in documents:
        prose = re.sub(r"`[^`]*`", "", text(document))
        for target in re.findall(r"\]\(([^)\s]+)\)", prose):
            if re.match(r"[a-z]+:|//", target):
                continue
            path, _, anchor = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(document), path)) if path else document
            if not os.path.exists(path) or anchor and anchor not in set(anchors(path)):
                broken.append("%s: %s" % (os.path.basename(document), target))
    return broken


class Links(unittest.TestCase):
    def test_every_link_resolves(self):
        documents = [os.path.join(SOURCE, "README.md")] + glob.glob(os.path.join(SOURCE, "docs", "*.md"))
        self.assertEqual(broken_links(documents), [])


if __name__ == "__main__":
    harness.main()
