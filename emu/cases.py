# SPDX-License-Identifier: MIT
# Reads emu/run's cases, one from the command line or one a line of a case file, and writes them
# back: as labels in the case file's own syntax, and as the script the PC sources. A case is its
# options (-u -c -g -o -G -l -r N), then -- or the first other word, then lptline's arguments; it
# is the tuple (who, runs, locked, arguments as bytes). HACKING.md gives the case file's rules.
import re

WHO = {"-u": "nobody", "-c": "cap", "-g": "member", "-o": "other", "-G": "late"}
OPTION = {"nobody": "-u", "cap": "-c", "member": "-g", "other": "-o", "late": "-G"}
# The PC kernel's MAX_ARG_STRLEN counts the NUL too.
ARG_BOUND = 131071
# All of a case's arguments, each counted with its NUL and its pointer: well within the PC's
# ARG_MAX (a quarter of its 8 MiB stack), su's and the shell's own words included.
ARGS_BOUND = 1048576
POINTER = 8
# A case file, which the PC holds in memory up to four times over once quoted.
FILE_BOUND = 4194304
SAFE = re.compile(rb"[A-Za-z0-9_@%+=:,./-]+")
PRINTABLE = re.compile(rb"[ -~]*")
ESCAPES = {ord("\n"): "\\n", ord("\t"): "\\t", ord("\r"): "\\r", ord("\\"): "\\\\", ord("'"): "\\'"}
UNESCAPES = {b"n": b"\n", b"t": b"\t", b"r": b"\r", b"\\": b"\\", b"'": b"'"}
# One token of a line: blanks, a line's end, an unquoted run, an escaped byte, a quoted part, a
# lone dollar, or the start of a quote that never ends.
TOKEN = re.compile(
    rb"(?P<blank>[ \t]+)|(?P<end>\n)|(?P<plain>[^ \t\n'\"\\$]+)|(?P<escaped>\\[\s\S])"
    rb"|(?P<single>'[^']*')|(?P<double>\"(?:[^\"\\]|\\[\s\S])*\")"
    rb"|(?P<ansi>\$'(?:[^'\\]|\\[\s\S])*')|(?P<dollar>\$)|(?P<open>['\"])|(?P<last>\\)"
)


class Refused(Exception):
    """A case that emu/run cannot run, and why."""


def is_option(word):
    # A number is no option, nor is a lone dash.
    return len(word) > 1 and word[:1] == b"-" and not word[1:2].isdigit()


def quote(arg):
    """ARG, bytes, as one word of a case file, in printable ASCII."""
    if SAFE.fullmatch(arg):
        return arg.decode()
    if PRINTABLE.fullmatch(arg):
        return "'" + arg.decode().replace("'", "'\\''") + "'"
    text = "$'"
    for byte in arg:
        if byte in ESCAPES:
            text += ESCAPES[byte]
        elif 0x20 <= byte < 0x7F:
            text += chr(byte)
        else:
            text += f"\\x{byte:02x}"
    return text + "'"


def label(case):
    """The case as a line of a case file, which reads back as the same case."""
    who, runs, locked, args = case
    words = []
    if who != "root":
        words.append(OPTION[who])
    if locked:
        words.append("-l")
    if runs > 1:
        words += ["-r", str(runs)]
    if args and is_option(args[0]):
        words.append("--")
    for arg in args:
        words.append(quote(arg))
    if not words:
        # An empty line would be no case.
        return "--"
    return " ".join(words)


def check_runs(word):
    if word is None or not re.fullmatch(rb"[1-9][0-9]{0,5}", word):
        shown = (word or b"").decode(errors="backslashreplace")
        raise Refused(f"-r takes a number of runs from 1 to 999999, not '{shown}'")
    return int(word)


def check_bounds(args):
    total = 0
    for number, arg in enumerate(args, 1):
        if len(arg) > ARG_BOUND:
            raise Refused(
                f"argument {number} is {len(arg)} bytes long; the PC's kernel takes at most "
                f"{ARG_BOUND}"
            )
        total += len(arg) + 1 + POINTER
    if total > ARGS_BOUND:
        raise Refused(
            f"the arguments take {total} bytes (each with its NUL and pointer); emu/run passes "
            f"at most {ARGS_BOUND}"
        )


def take(words, cases):
    """Appends the case of WORDS (bytes) to CASES; once locked down, the PC stays so."""
    who, runs, locked = "root", 1, False
    # An index, not pop(0), which would make a line of many options quadratic.
    at = 0
    while at < len(words) and is_option(words[at]):
        word = words[at]
        at += 1
        if word == b"--":
            break
        if word == b"-r":
            runs = None
            if at < len(words):
                runs = words[at]
                at += 1
            runs = check_runs(runs)
        elif word == b"-l":
            locked = True
        elif word.decode(errors="replace") in WHO:
            # -u keeps -c's capability, whose user is nobody too.
            if word != b"-u" or who != "cap":
                who = WHO[word.decode()]
        else:
            shown = word.decode(errors="backslashreplace")
            raise Refused(
                f"{shown} is not a case option (-u -c -g -o -G -l -r n); put -- before "
                "lptline's arguments"
            )
    args = words[at:]
    check_bounds(args)
    if cases and cases[-1][2]:
        locked = True
    cases.append((who, runs, locked, args))


def unescape_double(text):
    # Inside double quotes a backslash escapes only $ ` " \ and a newline, which it removes.
    return re.sub(rb'\\([$`"\\\n])', lambda m: m[1].replace(b"\n", b""), text)


def unescape_ansi(text, line):
    out = bytearray()
    pos = 0
    for match in re.finditer(rb"\\(x[0-9a-fA-F]{2}|[\s\S])", text):
        out += text[pos : match.start()]
        pos = match.end()
        code = match[1]
        if code[:1] == b"x" and len(code) == 3:
            byte = int(code[1:], 16)
            if byte == 0:
                # The PC's shell would drop it, and run another argument than the label says.
                raise Refused(
                    f"line {line}: $'...' cannot hold \\x00, a NUL byte, which no argument can hold"
                )
            out.append(byte)
        elif code in UNESCAPES:
            out += UNESCAPES[code]
        else:
            shown = code.decode(errors="backslashreplace")
            raise Refused(f"line {line}: $'...' knows no \\{shown} (\\n \\t \\r \\\\ \\' \\xHH)")
    out += text[pos:]
    return bytes(out)


def part(kind, text, line):
    """The bytes that the token TEXT of KIND adds to a word."""
    if kind == "plain":
        return text
    if kind == "escaped":
        return text[1:]
    if kind == "single":
        return text[1:-1]
    if kind == "double":
        return unescape_double(text[1:-1])
    if kind == "ansi":
        return unescape_ansi(text[2:-1], line)
    return b"$"


def read(data):
    """The cases of DATA, a case file's bytes (see HACKING.md), in one pass."""
    if b"\0" in data:
        line = data.count(b"\n", 0, data.index(b"\0")) + 1
        raise Refused(f"line {line}: a NUL byte, which no argument can hold")
    data = data.replace(b"\r\n", b"\n")
    cases, words, word, line, first, pos = [], [], None, 1, 1, 0
    while pos < len(data):
        match = TOKEN.match(data, pos)
        kind = match.lastgroup
        if kind == "open":
            raise Refused(f"line {line}: unbalanced quote")
        if kind == "last":
            raise Refused(f"line {line}: a backslash ends the last line")
        if match[0] == b"\\\n":
            # A backslash before a newline removes both: it starts no word and ends none.
            line += 1
            pos = match.end()
            continue
        if kind == "plain" and word is None and data[pos] == ord("#"):
            # A comment runs to the line's end.
            pos = data.find(b"\n", pos)
            if pos < 0:
                pos = len(data)
            continue
        if kind in ("blank", "end") and word is not None:
            words.append(bytes(word))
            word = None
        if kind == "end":
            take_line(words, cases, first)
            words = []
        elif kind != "blank":
            if word is None:
                word = bytearray()
            if not words and not word:
                first = line
            word += part(kind, match[0], line)
        line += match[0].count(b"\n")
        pos = match.end()
    if word is not None:
        words.append(bytes(word))
    take_line(words, cases, first)
    if not cases:
        raise Refused("has no case (only blank lines and comments)")
    return cases


def take_line(words, cases, line):
    if not words:
        return
    try:
        take(words, cases)
    except Refused as error:
        raise Refused(f"line {line}: {error}") from None


def shell_word(arg):
    return b"'" + arg.replace(b"'", b"'\\''") + b"'"


def script(cases):
    """The cases as the PC's init sources them: one call a case, its arguments quoted for the
    shell, and LOCK 1 only where the case locks the kernel down first."""
    lines = []
    was_locked = False
    for number, (who, runs, locked, args) in enumerate(cases, 1):
        lock = int(locked and not was_locked)
        was_locked = locked
        head = f"one {number} {who} {runs} {lock}".encode()
        lines.append(b" ".join([head] + [shell_word(arg) for arg in args]) + b"\n")
    return b"".join(lines)
