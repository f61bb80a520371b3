#!/usr/bin/env python3
"""Writes a text file of a Windows bundle in the encoding and line ends its reader needs.

  bundle_text.py reading SRC DEST [NAME=VALUE...]  UTF-8 with a BOM, CR LF; @NAME@ replaced
  bundle_text.py html SRC DEST                     the Markdown SRC as one HTML page, as reading
  bundle_text.py vba SRC DEST                      code page 932, CR LF, no BOM
  bundle_text.py ascii SRC DEST                    ASCII, CR LF, no BOM

Notepad opens UTF-8 with a BOM on every Windows version; the VBA editor imports a module in
the system's ANSI code page and takes a BOM for part of its first line; the settings reader
and C compilers want plain ASCII. A character that the target encoding lacks, or a @NAME@
left unreplaced, stops the script with an error instead of writing a damaged file.
"""
import html
import os
import re
import sys

STYLE = """body { font-family: "Yu Gothic UI", Meiryo, "Segoe UI", sans-serif; max-width: 60em;
  margin: 2em auto; padding: 0 1em; line-height: 1.6; color: #222; }
code, pre { font-family: Consolas, "MS Gothic", monospace; }
pre { background: #f4f4f4; padding: 0.8em; overflow-x: auto; }
table { border-collapse: collapse; margin: 1em 0; }
th, td { border: 1px solid #bbb; padding: 0.3em 0.6em; vertical-align: top; text-align: left; }
th { background: #eee; }
h2 { border-bottom: 1px solid #ccc; margin-top: 2em; }"""


def crlf(text):
    return re.sub(r"\r*\n", "\r\n", text)


def markdown_page(source, text):
    import markdown  # Debian: python3-markdown

    title = text.splitlines()[0].lstrip("# ").strip()
    lang = "ja" if source.endswith("-ja.md") else "en"
    body = markdown.markdown(text, extensions=["tables", "fenced_code", "toc"])
    # A browser shows the line break inside a paragraph as a blank, which Japanese text does
    # not have: outside <pre>, a break between two non-ASCII characters is dropped.
    parts = re.split(r"(<pre>.*?</pre>)", body, flags=re.S)
    body = "".join(p if p.startswith("<pre>") else
                   re.sub(r"(?<=[^\x00-\x7f])\n[ \t]*(?=[^\x00-\x7f])", "", p) for p in parts)
    return ('<!DOCTYPE html>\n<html lang="%s">\n<head>\n<meta charset="utf-8">\n<title>%s</title>\n'
            "<style>\n%s\n</style>\n</head>\n<body>\n%s\n</body>\n</html>\n"
            % (lang, html.escape(title), STYLE, body))


def main():
    mode, source, dest = sys.argv[1:4]
    text = open(source, encoding="utf-8").read()
    if mode == "reading":
        for pair in sys.argv[4:]:
            name, value = pair.split("=", 1)
            text = text.replace("@%s@" % name, value)
        left = re.findall(r"@[A-Z_]+@", text)
        if left:
            sys.exit("bundle_text: %s: %s not replaced" % (source, ", ".join(sorted(set(left)))))
        data = b"\xef\xbb\xbf" + crlf(text).encode("utf-8")
    elif mode == "html":
        data = b"\xef\xbb\xbf" + crlf(markdown_page(source, text)).encode("utf-8")
    elif mode == "vba":
        data = crlf(text.lstrip("\ufeff")).encode("cp932")
    elif mode == "ascii":
        data = crlf(text).encode("ascii")
    else:
        sys.exit("bundle_text: unknown mode %s" % mode)
    with open(dest + ".part", "wb") as f:
        f.write(data)
    os.replace(dest + ".part", dest)


if __name__ == "__main__":
    main()
