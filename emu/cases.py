# SPDX-License-Identifier: MIT
# Reads emu/run's cases, one from the command line or one a line of a file:
# a case's options (-u -c -g -o -G -l -r N), then -- or the first other word,
# then lptline's arguments. A case is (who, runs, locked, arguments as bytes,
# label), its label the case as a shell command on one line.
import os, re, shlex  # noqa: E401

WHO = {"-u": "nobody", "-c": "cap", "-g": "member", "-o": "other", "-G": "late"}
SAID = {"root": "", "nobody": " (as nobody)", "cap": " (as nobody, cap_sys_rawio+ep)", "member": " (as a member "
        "of lp, after the package's grant)", "other": " (as a user not in lp, after the package's grant)",
        "late": " (as a member of lp, the grant with setcap first)"}

def quote(arg):
    """ARG, bytes, as a shell word of printable characters."""
    text = arg.decode("latin-1")
    return shlex.quote(text) if re.fullmatch("[ -~]*", text) else \
        "$'" + text.encode("unicode_escape").decode().replace("'", "\\'") + "'"

def take(words, cases):
    """Appends the case of WORDS (str, undecodable bytes kept) to CASES."""
    who, runs, locked = "root", 1, False
    while words and re.match("-[^0-9]", words[0]):  # a number is no option
        word = words.pop(0)
        if word == "--":
            break
        if word == "-r" and not re.fullmatch("[1-9][0-9]{0,5}", words[0] if words else ""):
            raise ValueError(f"-r takes a number of runs from 1 to 999999, not '{words[0] if words else ''}'")
        if word not in WHO and word not in ("-l", "-r"):
            raise ValueError(f"{word} is not a case option (-u -c -g -o -G -l -r n); put -- before lptline's arguments")
        runs, locked = int(words.pop(0)) if word == "-r" else runs, locked or word == "-l"
        # -u keeps -c's capability, whose user is nobody too.
        who = WHO[word] if word in WHO and not (word == "-u" and who == "cap") else who
    # Once locked down, the PC stays so for the later cases of its boot.
    locked = locked or bool(cases) and cases[-1][2]
    args = [os.fsencode(word) for word in words]
    label = " ".join(["lptline"] + [quote(arg) for arg in args]) + SAID[who]
    cases.append((who, runs, locked, args, label + " (locked down)" * locked + f" ({runs} runs)" * (runs > 1)))

def read(data, name):
    """The cases of DATA, a file's bytes, named NAME in messages."""
    cases, lines, text, first = [], data.removesuffix(b"\n").split(b"\n") if data else [], b"", 0
    if not lines:
        raise ValueError(f"{name} has no case")
    for number, line in enumerate(lines, 1):
        if b"\0" in line:
            raise ValueError(f"{name} line {number}: a NUL byte, which no argument can hold")
        first, text = first or number, text + (line[:-1] if line.endswith(b"\r") else line)
        try:
            take(shlex.split(os.fsdecode(text)), cases)
            text, first = b"", 0
        except ValueError as error:
            # A line ending in an unquoted backslash goes on to the next, with its newline, as a shell reads it.
            if str(error) == "No escaped character" and number < len(lines):
                text += b"\n"
                continue
            raise ValueError(f"{name} line {first}: " + {"No closing quotation": "unbalanced quote", "No escaped "
                             "character": "a backslash ends the last line"}.get(str(error), str(error))) from None
    return cases
