#!/usr/bin/env python3
"""Writes the manual page, section 1, from the README, so that the two cannot disagree.

The README's opening paragraph becomes DESCRIPTION; its "Command line" section gives
SYNOPSIS (its first code block), OPTIONS (its table) and the rest of DESCRIPTION; its "Exit
codes" section gives EXIT STATUS. Only the Markdown those sections use is understood:
paragraphs, code blocks indented by four spaces, pipe tables, `code` and *emphasis*.

    manpage.py README.md --version 0.1.0 --summary "..." --output velmar-computer-use.1
"""

import argparse
import re
import sys

PROGRAM = "velmar-computer-use"
DOCS = f"/usr/share/doc/{PROGRAM}"


def escape(text):
    """Plain text as roff, backslashes kept."""
    return text.replace("\\", "\\e")


def line(text):
    """A line of text that roff cannot take for a request."""
    return "\\&" + text if text[:1] in (".", "'") else text


def command(text):
    """Options in bold with real minus signs, placeholders such as PATH in italics."""
    text = re.sub(r"\b([A-Z]{2,})\b", r"\\fI\1\\fR", escape(text))
    return re.sub(r"(--[a-z-]+)", lambda m: "\\fB" + m.group(1).replace("-", "\\-") + "\\fR", text)


def inline(text):
    """Markdown inline marks as roff fonts; code spans in bold, with real minus signs."""
    out = []
    for piece in re.split(r"(`[^`]*`)", text.replace("\\|", "|")):
        if piece.startswith("`") and piece.endswith("`") and len(piece) > 1:
            out.append("\\fB" + escape(piece[1:-1]).replace("-", "\\-") + "\\fR")
        else:
            out.append(re.sub(r"\*([^*\s][^*]*)\*", r"\\fI\1\\fR", escape(piece)))
    return "".join(out)


def sections(markdown):
    """{heading: lines} of the level-two sections, and the lines before the first one."""
    found, name, lines = {}, None, []
    for line in markdown.splitlines():
        if line.startswith("## "):
            found[name] = lines
            name, lines = line[3:].strip(), []
        else:
            lines.append(line)
    found[name] = lines
    return found


def blocks(lines):
    """("paragraph", text), ("code", lines) or ("table", rows of cells), in order."""
    result, current, kind = [], [], None

    def close():
        if current:
            result.append((kind, " ".join(current) if kind == "paragraph" else list(current)))
            current.clear()

    for line in lines:
        if line.startswith("    "):
            new = "code"
        elif line.startswith("|"):
            new = "table"
        elif line.strip():
            new = "paragraph"
        else:
            close()
            continue
        if new != kind:
            close()
            kind = new
        if new == "code":
            current.append(line[4:])
        elif new == "table":
            cells = [c.strip() for c in re.split(r"(?<!\\)\|", line.strip())[1:-1]]
            if not all(re.fullmatch(r":?-+:?", c) for c in cells):
                current.append(cells)
        else:
            current.append(line.strip())
    close()
    return result


def body(found):
    """roff for paragraphs and code blocks."""
    out = []
    for kind, content in found:
        if kind == "paragraph":
            out += [".PP", line(inline(content))]
        elif kind == "code":
            out += [".PP", ".RS 4", ".nf"] + [line(escape(text)) for text in content] + [".fi", ".RE"]
    return out


def tagged(rows, text):
    """A table as tagged paragraphs: the first cell, without its code marks, is the tag;
    text(cells) gives the lines under it. The first row is the header."""
    out = []
    for cells in rows[1:]:
        out += [".TP", "\\fB" + command(cells[0].strip("`")) + "\\fR", *text(cells[1:])]
    return out


def synopsis(code):
    out = []
    for text in code:
        program, _, rest = text.partition(" ")
        out += [".B " + program, command(rest), ".br"]
    return out[:-1]


def page(readme, version, summary):
    found = sections(readme)
    opening = [b for b in blocks(found[None]) if b[0] == "paragraph" and not b[1].startswith("# ")][:1]
    command_line = blocks(found["Command line"])
    code = next(content for kind, content in command_line if kind == "code")
    options = next(content for kind, content in command_line if kind == "table")
    rest = [b for b in command_line if b[1] is not code and b[1] is not options]
    exits = blocks(found["Exit codes"])
    exit_table = next(content for kind, content in exits if kind == "table")

    lines = [f'.TH {PROGRAM.upper()} 1 "" "{PROGRAM} {version}" "User Commands"',
             ".SH NAME", f"{PROGRAM} \\- {escape(summary)}",
             ".SH SYNOPSIS", *synopsis(code),
             ".SH DESCRIPTION", *body(opening + rest),
             ".PP", f"The HTTP interface, every request and every answer, is described in {DOCS}/openapi.yaml "
                    f"(OpenAPI 3.1); {DOCS}/examples/client.py is a client to start from.",
             ".SH OPTIONS", *tagged(options, lambda cells: [line(inline(cells[0]))]),
             ".SH EXIT STATUS", *tagged(exit_table, lambda cells: [line(inline(cells[0])), ".br",
                                                                   "Standard error: " + inline(cells[1])]),
             *body([b for b in exits if b[0] != "table"]),
             ".SH SEE ALSO", f"{DOCS}/openapi.yaml, {DOCS}/examples/client.py"]
    return "\n".join(lines) + "\n"


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("readme")
    parser.add_argument("--version", required=True)
    parser.add_argument("--summary", required=True)
    parser.add_argument("--output", help="the file to write; standard output when not given")
    arguments = parser.parse_args()
    with open(arguments.readme, encoding="utf-8") as f:
        text = page(f.read(), arguments.version, arguments.summary)
    if arguments.output:
        with open(arguments.output, "w", encoding="utf-8") as f:
            f.write(text)
    else:
        sys.stdout.write(text)


if __name__ == "__main__":
    main()
