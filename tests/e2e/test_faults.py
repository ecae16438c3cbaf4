# SPDX-License-Identifier: MIT
"""tessaro-cli against hostile workbooks and destinations it cannot or must not write.

Every case must end with exit status 1, a message on stderr that names the file and the
problem, the file exactly as it was, and the other destinations copied. Fixtures are made
here (openpyxl and zipfile) in a fresh temporary folder per test.
"""
import fcntl
import os
import shutil
import stat
import subprocess
import tempfile
import unittest
import zipfile

import openpyxl

CLI = os.environ.get("TESSARO_CLI", "tessaro-cli")


def make_book(path, sheets):
    wb = openpyxl.Workbook()
    wb.remove(wb.active)
    for name, rows in sheets:
        ws = wb.create_sheet(name)
        for row in rows:
            ws.append(row)
    wb.save(path)


def sheet_names(path):
    return openpyxl.load_workbook(path).sheetnames


def rewrite_zip(src, dst, change):
    """Copies the zip `src` to `dst`, passing every entry's (name, bytes) through change(),
    which returns the bytes to write (None drops the entry)."""
    with zipfile.ZipFile(src) as zin, zipfile.ZipFile(dst, "w", zipfile.ZIP_DEFLATED) as zout:
        for info in zin.infolist():
            data = change(info.filename, zin.read(info.filename))
            if data is not None:
                zout.writestr(info.filename, data, compress_type=zipfile.ZIP_DEFLATED, compresslevel=9)


class FaultsTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="tessaro-faults-")
        os.chmod(self.dir, 0o755)
        self.app = os.path.join(self.dir, "app")
        self.src = os.path.join(self.dir, "src")
        self.dst = os.path.join(self.dir, "dst")
        for d in (self.app, self.src, self.dst):
            os.mkdir(d)
            os.chmod(d, 0o777)
        self.source = os.path.join(self.src, "source.xlsx")
        make_book(self.source, [("Data", [["id", "amount"], [1, 2.5], [2, 7]])])
        for name in ("a.xlsx", "b.xlsx", "z.xlsx"):
            make_book(self.dest(name), [("Own", [[name]])])
        self.before = {n: self.bytes_of(n) for n in os.listdir(self.dst)}

    def tearDown(self):
        for root, dirs, files in os.walk(self.dir):
            for d in dirs:
                os.chmod(os.path.join(root, d), 0o755)
        shutil.rmtree(self.dir, ignore_errors=True)

    def dest(self, name):
        return os.path.join(self.dst, name)

    def bytes_of(self, name):
        with open(self.dest(name), "rb") as f:
            return f.read()

    def cli(self, *args):
        command = [CLI, *args]
        env = dict(os.environ, TESSARO_APP_DIR=self.app)
        return subprocess.run(command, capture_output=True, text=True, env=env, timeout=120)

    def copy_into(self, *dests):
        args = ["copy", "--sheet", self.source + ":Data", "--quiet"]
        for d in dests:
            args += ["--dest", d]
        return self.cli(*args)

    def assert_refused(self, result, path, words):
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn(path + ": ", result.stderr)
        self.assertIn(words, result.stderr)

    def assert_untouched(self, *names):
        for n in names:
            self.assertEqual(self.bytes_of(n), self.before[n], n)

    def assert_copied(self, *names):
        for n in names:
            self.assertEqual(sheet_names(self.dest(n)), ["Own", "Data"], n)

    def assert_nothing_left(self):
        self.assertEqual(sorted(os.listdir(self.dst)), sorted(self.before))
        self.assertEqual([n for n in os.listdir(self.app) if n != "undo"], [])

    # --- names and links --------------------------------------------------------------------

    def test_a_long_name_a_hard_link_and_a_mistyped_source(self):
        # 250 bytes: valid, though the marks of a temporary name would make it too long.
        long_name = "l" * 245 + ".xlsx"
        make_book(self.dest(long_name), [("Own", [["long"]])])
        other = os.path.join(self.dir, "other-name.xlsx")
        os.link(self.dest("a.xlsx"), other)
        r = self.copy_into(self.dest(long_name), self.dest("a.xlsx"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_copied(long_name, "a.xlsx")
        self.assertIn(self.dest("a.xlsx") + ": this file had 2 names (hard links)", r.stderr)
        self.assertIn("the other names keep the old content", r.stderr)
        with open(other, "rb") as f:
            self.assertEqual(f.read(), self.before["a.xlsx"])
        self.assertNotIn("Copy Complete!", r.stderr)

        missing = os.path.join(self.src, "sourse.xlsx")
        r = self.cli("copy", "--sheet", missing + ":Data", "--dest", self.dest("b.xlsx"))
        self.assert_refused(r, missing, "the source workbook does not exist.")
        self.assertNotIn("any more", r.stderr)
        self.assertNotIn("Copy Complete!", r.stderr)
        self.assert_untouched("b.xlsx")

    # --- hostile workbooks -----------------------------------------------------------------

    def test_a_text_file_named_xlsx(self):
        bad = self.dest("b.xlsx")
        with open(bad, "w") as f:
            f.write("this is not a workbook\n")
        self.before["b.xlsx"] = self.bytes_of("b.xlsx")
        r = self.cli("sheets", bad)
        self.assert_refused(r, bad, "not a zip archive")
        self.assertEqual(r.stdout, "")
        r = self.copy_into(bad, self.dest("a.xlsx"))
        self.assert_refused(r, bad, "not a zip archive")
        self.assert_untouched("b.xlsx", "z.xlsx")
        self.assert_copied("a.xlsx")
        self.assert_nothing_left()

    def test_a_source_sheet_that_is_a_decompression_bomb(self):
        bomb = os.path.join(self.src, "bomb.xlsx")

        def inflate(name, data):
            if name == "xl/worksheets/sheet1.xml":
                return data.replace(b"<sheetData>", b"<sheetData>" + b" " * (80 << 20), 1)
            return data
        rewrite_zip(self.source, bomb, inflate)
        self.assertLess(os.path.getsize(bomb), 1 << 20)
        r = self.cli("sheets", bomb)
        self.assertEqual((r.returncode, r.stdout), (0, "Data\n"), r.stderr)
        r = self.cli("copy", "--sheet", bomb + ":Data", "--dest", self.dst, "--quiet")
        self.assert_refused(r, bomb, "decompression bomb")
        self.assert_untouched("a.xlsx", "b.xlsx", "z.xlsx")
        self.assert_nothing_left()

    def test_a_destination_that_declares_entities(self):
        bad = self.dest("b.xlsx")
        laughs = (b'<!DOCTYPE lolz [<!ENTITY lol "lol"><!ENTITY lol2 "&lol;&lol;&lol;&lol;&lol;&lol;&lol;">'
                  b'<!ENTITY lol3 "&lol2;&lol2;&lol2;&lol2;&lol2;&lol2;">]>')

        def declare(name, data):
            if name == "xl/workbook.xml":
                return data.replace(b"<workbook", laughs + b"<workbook", 1)
            return data
        rewrite_zip(self.dest("a.xlsx"), bad + ".tmp", declare)
        os.replace(bad + ".tmp", bad)
        self.before["b.xlsx"] = self.bytes_of("b.xlsx")
        r = self.copy_into(self.dst)
        self.assert_refused(r, bad, "document type declaration")
        self.assert_copied("a.xlsx", "z.xlsx")  # a failed destination does not stop the others
        self.assert_untouched("b.xlsx")
        self.assert_nothing_left()

    # --- destinations that cannot or must not be written ------------------------------------
    # Each reason is the engine's test; here one run shows the command line reports every
    # refused destination, leaves it as it was and still copies into the others.

    def test_destinations_it_must_not_write(self):
        for name in ("c.xlsx", "ok.xlsx"):
            make_book(self.dest(name), [("Own", [[name]])])
            self.before[name] = self.bytes_of(name)
        os.chmod(self.dest("z.xlsx"), 0o444)
        with open(self.dest("a.xlsx"), "rb") as a, open(self.dest("b.xlsx"), "r+b") as b:
            # flock and a POSIX write lock held by this test process, LibreOffice's lock file.
            fcntl.flock(a, fcntl.LOCK_EX)
            fcntl.lockf(b, fcntl.LOCK_EX)
            with open(os.path.join(self.dst, ".~lock.c.xlsx#"), "w") as lock:
                lock.write("Jane Doe,jane,host1,07.12.2026 10:00,file:///home/jane/.config/libreoffice/4;")
            self.before[".~lock.c.xlsx#"] = self.bytes_of(".~lock.c.xlsx#")
            r = self.copy_into(*(self.dest(n) for n in ("a.xlsx", "b.xlsx", "c.xlsx", "z.xlsx", "ok.xlsx")))
        self.assert_refused(r, self.dest("a.xlsx"), "it is locked")
        self.assert_refused(r, self.dest("b.xlsx"), "process %d holds a lock on it" % os.getpid())
        self.assert_refused(r, self.dest("c.xlsx"), "open in LibreOffice by Jane Doe on host1")
        self.assert_refused(r, self.dest("z.xlsx"), "the file is read-only")
        self.assertIn("Copy Data to z.xlsx failure", r.stderr)
        self.assert_untouched("a.xlsx", "b.xlsx", "c.xlsx", "z.xlsx")
        self.assertEqual(stat.S_IMODE(os.stat(self.dest("z.xlsx")).st_mode), 0o444)
        self.assert_copied("ok.xlsx")
        self.assert_nothing_left()
        # Once the locks are gone the same command copies.
        os.remove(os.path.join(self.dst, ".~lock.c.xlsx#"))
        r = self.copy_into(self.dest("a.xlsx"), self.dest("b.xlsx"), self.dest("c.xlsx"))
        self.assertEqual(r.returncode, 0, r.stderr)
        self.assert_copied("a.xlsx", "b.xlsx", "c.xlsx")

if __name__ == "__main__":
    unittest.main()
