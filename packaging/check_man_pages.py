#!/usr/bin/python3
"""Checks that the manual pages and the program's --help agree.

usage: check_man_pages.py KORVEL_PROGRAM MAN_FOLDER

Every subcommand that `korvel --help` lists has its page korvel-NAME.1, every
page korvel-NAME.1 names a subcommand the program has, and each long option
(--name) is both in the program's help (the subcommand's or the global one)
and in the pages (the subcommand's or korvel.1). In the help, options are
read from their definition lines only (not from descriptions); in a page, from
its request lines (.B, .BR, .TP ...) and its example lines starting with
"korvel ", so other programs' options (udevadm's) do not count. Prints each
disagreement; exit status 1 when there is one.
"""
import os
import re
import subprocess
import sys

OPTION = re.compile(r"(?<![\w-])--([a-z][a-z0-9-]*)")
# CLI11 lists an option as "  -n,--count COUNT  description" or "  --simulate".
DEFINITION = re.compile(r"^\s+(?:-\w,)?--([a-z][a-z0-9-]*)")


def help_text(program, *args):
    result = subprocess.run([program, *args, "--help"], capture_output=True, text=True,
                            timeout=30, check=False)
    if result.returncode != 0:
        raise SystemExit("%s %s --help: exit %d\n%s" % (program, " ".join(args),
                                                        result.returncode, result.stderr))
    return result.stdout


def subcommands(text):
    """Names listed under the help's "Subcommands:" heading."""
    names, inside = [], False
    for line in text.splitlines():
        if re.match(r"^\s*subcommands:\s*$", line, re.IGNORECASE):
            inside = True
            continue
        if inside:
            match = re.match(r"^\s+([a-z][a-z0-9-]*)\b", line)
            if match:
                names.append(match.group(1))
            elif line.strip() and not line.startswith(" "):
                break
    return names


def page_text(path):
    """The page's request lines and its korvel example lines."""
    with open(path, encoding="utf-8") as page:
        # troff writes a literal minus as \- ; read it as the user sees it.
        text = page.read().replace("\\-", "-").replace("\\(em", "-")
    return "\n".join(line for line in text.splitlines()
                     if line.startswith(".") or line.startswith("korvel "))


def options(text):
    """Long options mentioned in a page."""
    return set(OPTION.findall(text))


def defined(text):
    """Long options a --help text defines."""
    return {m.group(1) for m in map(DEFINITION.match, text.splitlines()) if m}


def main():
    if len(sys.argv) != 3:
        raise SystemExit(__doc__)
    program, folder = sys.argv[1], sys.argv[2]
    problems = []

    top_help = help_text(program)
    names = subcommands(top_help)
    if not names:
        raise SystemExit("no subcommands found in `%s --help`:\n%s" % (program, top_help))
    main_page = os.path.join(folder, "korvel.1")
    if not os.path.exists(main_page):
        raise SystemExit("no korvel.1 in " + folder)
    global_help = defined(top_help)
    global_page = options(page_text(main_page))

    pages = {f[len("korvel-"):-2] for f in os.listdir(folder)
             if f.startswith("korvel-") and f.endswith(".1")}
    for name in sorted(pages - set(names)):
        problems.append("korvel-%s.1 documents a subcommand the program does not have" % name)

    for option in sorted(global_help - global_page):
        problems.append("korvel.1 lacks the global option --%s" % option)
    for option in sorted(global_page - global_help - set().union(
            *(defined(help_text(program, n)) for n in names))):
        problems.append("korvel.1 names --%s, which the program does not know" % option)

    for name in names:
        path = os.path.join(folder, "korvel-%s.1" % name)
        if not os.path.exists(path):
            problems.append("subcommand %s has no page korvel-%s.1" % (name, name))
            continue
        in_help = defined(help_text(program, name))
        # A subcommand with its own subcommands (eeprom dump|verify|restore).
        for child in subcommands(help_text(program, name)):
            in_help |= defined(help_text(program, name, child))
        in_page = options(page_text(path))
        for option in sorted(in_help - in_page - global_page):
            problems.append("korvel-%s.1 lacks --%s" % (name, option))
        for option in sorted(in_page - in_help - global_help):
            problems.append("korvel-%s.1 names --%s, which `korvel %s` does not know"
                            % (name, option, name))

    for problem in problems:
        print("man pages:", problem)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
