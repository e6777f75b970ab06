#!/usr/bin/env python3
"""Every relative link in README.md and docs/*.md must name a file that exists and, when it
carries a #fragment, a heading of that file (GitHub's anchor rules). Prints each broken link
as FILE: TARGET and exits 1 when there is one."""
import glob
import os
import re
import sys

LINK = re.compile(r"!?\[[^\]]*\]\(([^)\s]+)\)")


def prose(text, spans=False):
    """The text without fenced or indented code; without inline code spans too unless spans."""
    text = re.sub(r"^```.*?^```", "", text, flags=re.S | re.M)
    text = "\n".join(l for l in text.split("\n") if not l.startswith(("    ", "\t")))
    return text.replace("`", "") if spans else re.sub(r"`[^`\n]*`", "", text)


def anchors(path):
    seen, out = {}, set()
    for line in prose(open(path, encoding="utf-8").read(), spans=True).split("\n"):
        m = re.match(r"#{1,6}\s+(.*?)\s*#*\s*$", line)
        if not m:
            continue
        slug = re.sub(r"[^\w\- ]", "", m.group(1).lower()).replace(" ", "-")
        n = seen.get(slug, 0)
        seen[slug] = n + 1
        out.add(slug if n == 0 else f"{slug}-{n}")
    return out


def main(root):
    pages = [os.path.join(root, "README.md")] + sorted(glob.glob(os.path.join(root, "docs", "*.md")))
    bad = []
    for page in pages:
        for target in LINK.findall(prose(open(page, encoding="utf-8").read())):
            if re.match(r"[a-z][a-z0-9+.-]*:", target):  # http:, https:, mailto:
                continue
            name, _, fragment = target.partition("#")
            path = os.path.normpath(os.path.join(os.path.dirname(page), name)) if name else page
            if not os.path.isfile(path) or (fragment and path.endswith(".md")
                                             and fragment not in anchors(path)):
                bad.append(f"{os.path.relpath(page, root)}: {target}")
    print("\n".join(bad) if bad else f"{len(pages)} pages, every link found")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1] if len(sys.argv) > 1 else "."))
