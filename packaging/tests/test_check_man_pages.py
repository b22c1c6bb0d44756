"""The man-page checker must notice every kind of drift between the pages and
the program's --help, and accept pages that agree."""
import json
import os
import subprocess
import sys
import tempfile
import textwrap
import unittest

CHECKER = os.path.join(os.path.dirname(__file__), os.pardir, "check_man_pages.py")

# A stand-in for the program: prints CLI11-style help for a command path.
FAKE_PROGRAM = textwrap.dedent('''\
    #!/usr/bin/python3
    import json, sys
    helps = json.loads(%r)
    path = " ".join(a for a in sys.argv[1:] if a != "--help")
    print(helps[path])
    ''')

TOP = """korvel: drive the meter
Usage: korvel [OPTIONS] SUBCOMMAND

Options:
  -h,--help                   Print this help message and exit
  --simulate                  Use the simulated meter
  --meter TEXT                Serial number

Subcommands:
  read                        Take readings; --continuous until Ctrl-C
  eeprom                      Memory backup
"""
READ = """Usage: korvel read [OPTIONS]
Options:
  -n,--count UINT             Count
  --interval FLOAT            Seconds between readings
  --continuous                Until Ctrl-C
"""
EEPROM = """Usage: korvel eeprom SUBCOMMAND
Subcommands:
  dump                        Read the memory
"""
DUMP = """Usage: korvel eeprom dump [OPTIONS]
Options:
  -o TEXT                     File
  --start UINT                First address
"""
PAGES = {
    "korvel.1": ".B \\-\\-help\n.TP\n.B \\-\\-simulate\n.TP\n.BI \\-\\-meter \" SERIAL\"\n"
                ".nf\nsudo udevadm control \\-\\-reload\\-rules\n.fi\n",
    "korvel-read.1": ".BI \\-\\-interval \" SECONDS\"\n.BR \\-\\-count \" N\"\n"
                     ".B \\-\\-continuous\n.nf\nkorvel read \\-\\-count 10\n.fi\n",
    "korvel-eeprom.1": ".BI \\-\\-start \" ADDRESS\"\n",
}


class CheckManPages(unittest.TestCase):
    def run_checker(self, pages=None, helps=None):
        helps = dict({"": TOP, "read": READ, "eeprom": EEPROM, "eeprom dump": DUMP}, **(helps or {}))
        with tempfile.TemporaryDirectory() as folder:
            program = os.path.join(folder, "korvel")
            with open(program, "w") as f:
                f.write(FAKE_PROGRAM % json.dumps(helps))
            os.chmod(program, 0o755)
            man = os.path.join(folder, "man")
            os.mkdir(man)
            for name, text in (pages if pages is not None else PAGES).items():
                if text is not None:
                    with open(os.path.join(man, name), "w") as f:
                        f.write(text)
            result = subprocess.run([sys.executable, CHECKER, program, man],
                                    capture_output=True, text=True, timeout=60)
        return result.returncode, result.stdout + result.stderr

    def test_agreeing_pages_pass(self):
        code, out = self.run_checker()
        self.assertEqual(code, 0, out)

    def test_each_drift_is_reported(self):
        cases = [
            ("page of a missing subcommand", dict(PAGES, **{"korvel-read.1": None}), {},
             "subcommand read has no page korvel-read.1"),
            ("page of an unknown subcommand", dict(PAGES, **{"korvel-gone.1": ".B x\n"}), {},
             "korvel-gone.1 documents a subcommand"),
            ("new option not documented", PAGES,
             {"read": READ + "  --format TEXT               Output format\n"},
             "korvel-read.1 lacks --format"),
            ("documented option the program dropped",
             dict(PAGES, **{"korvel-read.1": PAGES["korvel-read.1"] + ".B \\-\\-duration\n"}), {},
             "korvel-read.1 names --duration"),
            ("example with an option the program dropped",
             dict(PAGES, **{"korvel-read.1": PAGES["korvel-read.1"] + "korvel read \\-\\-fast\n"}), {},
             "korvel-read.1 names --fast"),
            ("nested subcommand option not documented",
             dict(PAGES, **{"korvel-eeprom.1": ".B x\n"}), {}, "korvel-eeprom.1 lacks --start"),
            ("global option not in korvel.1",
             dict(PAGES, **{"korvel.1": ".B \\-\\-help \\-\\-simulate\n"}), {}, "korvel.1 lacks the global option --meter"),
        ]
        for label, pages, helps, expected in cases:
            with self.subTest(label):
                code, out = self.run_checker(pages, helps)
                self.assertEqual(code, 1, out)
                self.assertIn(expected, out)

    def test_global_options_may_be_documented_once(self):
        pages = dict(PAGES, **{"korvel-read.1": PAGES["korvel-read.1"] + ".B \\-\\-simulate\n"})
        code, out = self.run_checker(pages)
        self.assertEqual(code, 0, out)


if __name__ == "__main__":
    unittest.main()
