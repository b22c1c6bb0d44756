"""The reference made by `korvel help`: man pages that know every option the
program accepts and render cleanly, a bash completion that completes, a short
--help that names the page, and docs/cli-reference.md as the program prints it.
The options expected come from CLI11's own --help, not from the generator."""
import os
import pathlib
import re
import subprocess

import pytest

KORVEL = os.environ["KORVEL_CLI"]
CHECKOUT = pathlib.Path(__file__).resolve().parents[2]


def korvel(*args, check=True):
    done = subprocess.run([KORVEL, *args], capture_output=True, text=True, timeout=60)
    if check:
        assert done.returncode == 0, f"korvel {' '.join(args)}: {done.stderr}"
    return done


def section(help_text, title):
    """The indented lines under a heading ("Subcommands:") of a --help."""
    found = re.search(r"^" + title + r":\n((?:[ \t].*\n?|\n)+)", help_text, re.M | re.I)
    return found.group(1) if found else ""


def subcommands(help_text):
    return re.findall(r"^\s+(\w+)\s", section(help_text, "Subcommands"), re.M)


def options(help_text):
    """Every -x / --long name --help lists, and its positionals."""
    names = set()
    for line in help_text.splitlines():
        if re.match(r"^\s+-", line):
            names |= set(re.findall(r"(?:^|,)\s*(--?[\w-]+)", line.strip().split("  ")[0]))
    names |= set(re.findall(r"^\s+([A-Z]+)\s", section(help_text, "Positionals"), re.M))
    return names


PAGES = ["korvel"] + subcommands(korvel("--help").stdout)


def man_page(page):
    return korvel("help", "--man", page.removeprefix("korvel-")).stdout


def test_every_subcommand_has_a_page_and_the_list_is_whole():
    assert {"info", "read", "scpi", "console", "eeprom", "list", "selftest", "serve", "publish", "help"} <= set(PAGES)
    root = man_page("korvel")
    for sub in PAGES[1:]:
        assert f"\\fB{sub}\\fR" in root, f"korvel(1) does not list {sub}"


@pytest.mark.parametrize("page", PAGES)
def test_man_page_lists_every_option_cli11_knows(page):
    words = [] if page == "korvel" else [page]
    text = korvel(*words, "--help").stdout
    expected = options(text)
    for nested in subcommands(text) if words else []:  # the program's are on their own pages
        expected |= options(korvel(*words, nested, "--help").stdout)
    roff = man_page(page).replace("\\-", "-")
    assert len(expected) >= 3
    missing = [name for name in sorted(expected) if not re.search(r"(\\fB|\\fI)" + re.escape(name) + r"\\fR", roff)]
    assert not missing, f"{page}(1) lacks {missing}"
    for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "SEE ALSO"):
        assert f".SH {section}\n" in roff, f"{page}(1) has no {section}"


@pytest.mark.parametrize("page", PAGES)
def test_man_page_renders_without_warnings(page, tmp_path):
    source = tmp_path / f"{page}.1"
    source.write_text(man_page(page))
    env = dict(os.environ, LC_ALL="C.UTF-8", MANWIDTH="80", MANROFFSEQ="")
    done = subprocess.run(["man", "--warnings", "-E", "UTF-8", "-l", "-Tutf8", str(source)],
                          capture_output=True, text=True, env=env, timeout=60)
    assert done.returncode == 0 and done.stderr == "", done.stderr
    assert len(done.stdout) > 200


def test_program_page_lists_every_variable_the_program_reads():
    # Every getenv() of the tool's sources, found independently of the table.
    read = set()
    for source in (CHECKOUT / "tools" / "korvel").rglob("*.cpp"):
        text = source.read_text()
        for call in re.findall(r"\b(?:getenv|environment)\(([^;{]*?)\)", text):
            read |= set(re.findall(r'"([A-Z_]+)"', call))
        # An optional library's override variable, named beside its soname and package where it is opened:
        # {"libmosquitto.so.1", "libmosquitto1", "KORVEL_MOSQUITTO_LIBRARY", symbols}.
        read |= set(re.findall(r'\{"lib[^"]*\.so[^"]*",\s*"[^"]*",\s*"(KORVEL_[A-Z_]+)"', text))
    assert {"KORVEL_LIBRARY", "KORVEL_SIM_LIBRARY", "HOME", "STATE_DIRECTORY", "KORVEL_MOSQUITTO_LIBRARY",
            "KORVEL_AVAHI_LIBRARY", "KORVEL_LIBEDIT_LIBRARY", "KORVEL_TIRPC_LIBRARY"} <= read
    roff = man_page("korvel")
    environment = roff.split(".SH ENVIRONMENT\n", 1)[1].split("\n.SH ", 1)[0].replace("\\-", "-")
    missing = [name for name in sorted(read) if f".B {name}\n" not in environment]
    assert not missing, f"korvel(1) ENVIRONMENT lacks {missing}"


def complete(*words):
    script = korvel("help", "--completion", "bash").stdout
    line = "COMP_WORDS=(" + " ".join(f"'{w}'" for w in words) + f"); COMP_CWORD={len(words) - 1}"
    done = subprocess.run(["bash", "-c", script + "\n" + line + '\n_korvel; printf "%s\\n" "${COMPREPLY[@]}"'],
                          capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stderr
    return done.stdout.split()


def test_completion_completes_subcommands_and_options():
    assert complete("korvel", "re") == ["read"]
    assert set(complete("korvel", "")) >= {"info", "read", "serve", "publish", "--simulate", "--config"}
    assert complete("korvel", "--simulate", "read", "--form") == ["--format"]
    assert "--count" in complete("korvel", "read", "--")
    assert complete("korvel", "eeprom", "d") == ["dump"]
    assert "--yes" in complete("korvel", "eeprom", "restore", "--")
    # An option of another command is not offered.
    assert "--broker" not in complete("korvel", "read", "--")


def test_read_help_is_short_and_names_its_man_page():
    text = korvel("read", "--help").stdout
    assert "man korvel-read" in text
    assert len(text.splitlines()) < 60, text
    assert "Examples" not in text and "Ctrl-C ends" not in text


def test_help_refuses_an_unknown_command():
    done = korvel("help", "nosuch", check=False)
    assert done.returncode == 2 and "nosuch" in done.stderr


def test_committed_reference_is_what_the_program_prints():
    committed = (CHECKOUT / "docs" / "cli-reference.md").read_text()
    printed = korvel("help", "--markdown").stdout
    assert committed == printed, ("docs/cli-reference.md is stale: regenerate it with "
                                  "`build/korvel help --markdown > docs/cli-reference.md`")
