#!/usr/bin/env python3
"""Makes the manual page Lumox(3) from the English interface description.

  make_manpage.py docs/Lumox-API-en.md > docs/Lumox.3

Reads the small Markdown subset the description uses: headings, paragraphs, bullet and
numbered lists, tables, fenced code, `code`, **bold** and *italic*.
"""
import re
import sys


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


def convert(md):
    lines = md.splitlines()
    title = lines[0].lstrip("# ").strip()
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
            if out[-1] != ".PP" and not out[-1].startswith((".SH", ".SS")):
                out.append(".PP")
        else:
            out.append(line_out(inline(line.strip())))
    while out[-1] == ".PP":
        out.pop()
    out += [".SH SEE ALSO", "Lumox-API-en.md and its Japanese edition Lumox-API-ja.md "
            "(\\fB【Lumox通信APIの説明】\\fR) in the documentation folder."]
    return "\n".join(out) + "\n"


if __name__ == "__main__":
    sys.stdout.write(convert(open(sys.argv[1], encoding="utf-8").read()))
