#!/usr/bin/env python3
"""Makes a manual page from its Markdown source.

  make_manpage.py docs/Lumox-API-en.md > docs/Lumox.3    the interface description, Lumox(3)
  make_manpage.py docs/lumox.1.md > docs/lumox.1         a page whose title is "NAME(SECTION)"

Reads the small Markdown subset the sources use: headings, paragraphs, bullet and numbered
lists, definition lists (a term line followed by ": text"), tables, fenced code, `code`,
**bold** and *italic*.
"""
import os
import re
import sys

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")


def project_version():
    text = open(os.path.join(ROOT, "CMakeLists.txt"), encoding="utf-8").read()
    return re.search(r"project\(Lumox VERSION (\d+\.\d+\.\d+)", text).group(1)


def escape(text):
    return text.replace("\\", "\\e")


def inline(text):
    text = escape(text)
    text = re.sub(r"`([^`]+)`", r"\\fB\1\\fR", text)
    text = re.sub(r"\*\*([^*]+)\*\*", r"\\fB\1\\fR", text)
    text = re.sub(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])", r"\\fI\1\\fR", text)
    return text


def line_out(text):
    # A line that starts with a dot or quote would be read as a request.
    return "\\&" + text if text[:1] in (".", "'") else text


def cells(row):
    return [c.strip() for c in row.strip().strip("|").split("|")]


def convert(md, source="docs/Lumox-API-en.md"):
    lines = md.splitlines()
    title = lines[0].lstrip("# ").strip()
    page = re.fullmatch(r"([\w.-]+)\((\d)\)", title)
    if page:
        # A page that brings its own sections, NAME first ("name - what it does").
        out = ['.\\" Made by docs/make_manpage.py from %s; edit that file instead.' % source,
               '.TH %s %s "" "Lumox %s" "Lumox"' % (page.group(1).upper(), page.group(2), project_version()),
               ".ad l", ".nh"]
    else:
        version = re.search(r"Lumox (\d+\.\d+\.\d+)", md).group(1)
        out = ['.\\" Made by docs/make_manpage.py from docs/Lumox-API-en.md; edit that file instead.',
               '.TH LUMOX 3 "" "Lumox %s" "Lumox"' % version,
               ".ad l", ".SH NAME", "Lumox \\- HTTP/HTTPS download and upload of files (%s)" % escape(title),
               ".SH SYNOPSIS", ".nf", ".B #include <Lumox.h>", ".PP",
               "Link with \\fB\\-lLumox\\fR (pkg-config: \\fBlumox\\fR; CMake: \\fBLumox::Lumox\\fR).",
               ".fi", ".SH DESCRIPTION"]
    i = 1
    in_code = False
    table = []
    while i < len(lines):
        line = lines[i]
        i += 1
        if in_code:
            if line.startswith("```"):
                out += [".fi", ".RE"]
                in_code = False
            else:
                out.append(line_out(escape(line)))
            continue
        if line.startswith("|"):
            table.append(line)
            if i < len(lines) and lines[i].startswith("|"):
                continue
            rows = [cells(r) for r in table if not re.fullmatch(r"[|\s:-]+", r)]
            table = []
            header, body = rows[0], rows[1:]
            for row in body:
                out += [".TP", line_out(inline(row[0]))]
                rest = ["%s: %s" % (h, c) if len(row) > 2 else c
                        for h, c in zip(header[1:], row[1:]) if c]
                out.append(line_out(inline("; ".join(rest))))
            continue
        if line.startswith("```"):
            out += [".RS 4", ".nf"]
            in_code = True
        elif line.startswith("<!--"):
            out.append('.\\" ' + line.strip("<!-> ").strip())
        elif page and out[-1] == '.SH "NAME"' and line.strip():
            out.append(line_out(inline(line.strip()).replace(" - ", " \\- ", 1)))
        elif page and line.startswith(": "):
            out.append(line_out(inline(line[2:].strip())))
        elif page and line.strip() and i < len(lines) and lines[i].startswith(": "):
            out += [".TP", line_out(inline(line.strip()))]
        elif line.startswith("## "):
            name = re.sub(r"^\d+\.\s*", "", line[3:].strip())
            out.append('.SH "%s"' % inline(name).upper().replace("\\FB", "\\fB").replace("\\FR", "\\fR"))
        elif line.startswith("### "):
            out.append('.SS "%s"' % inline(re.sub(r"^[\d.]+\s*", "", line[4:].strip())))
        elif re.match(r"^- ", line):
            out += [".IP \\(bu 2", line_out(inline(line[2:].strip()))]
        elif re.match(r"^\d+\. ", line):
            m = re.match(r"^(\d+)\. (.*)", line)
            out += [".IP %s. 4" % m.group(1), line_out(inline(m.group(2).strip()))]
        elif not line.strip():
            if out[-1] not in (".PP", ".nh") and not out[-1].startswith((".SH", ".SS")):
                out.append(".PP")
        else:
            out.append(line_out(inline(line.strip())))
    while out[-1] == ".PP":
        out.pop()
    if page:
        return "\n".join(out) + "\n"
    out += [".SH SEE ALSO", "Lumox-API-en.md and its Japanese edition Lumox-API-ja.md "
            "(\\fB【Lumox通信APIの説明】\\fR) in the documentation folder."]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    path = sys.argv[1]
    source = os.path.relpath(os.path.abspath(path), os.path.abspath(ROOT)).replace(os.sep, "/")
    sys.stdout.write(convert(open(path, encoding="utf-8").read(), source))
