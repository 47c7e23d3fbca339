#!/usr/bin/env python3
"""Names on Windows, run under Wine: names in any script under several ANSI
code pages, paths of any length, and an existing output that keeps the name
its folder holds, whatever form and case it is given in. (Backslashes are
rows of command_mode_test.py.)"""
import os
import subprocess

import harness
from harness import deep, stamped, windows_path

# The ANSI code page that Wine gives a process started in each locale.
CODE_PAGES = {"C.UTF-8": 1252, "ru_RU.UTF-8": 1251, "ja_JP.UTF-8": 932}


def have_locale(lang):
    known = subprocess.run(["locale", "-a"], stdout=subprocess.PIPE, text=True).stdout.split()
    return lang.replace("UTF-8", "utf8") in known


class Names(harness.WindowsTest):
    def test_names_in_any_script_under_each_code_page(self):
        cases = [
            # (working directory, input, output)
            ("", "конфиг.xml", "конфиг/выход.xml"),
            ("", "表/設定.xml", "出力/表.xml"),
            ("Ελληνικά", "./αβγ.xml", "./έξοδος/αβγ.xml"),
            ("表", "./😀.xml", "./😀 x/out.xml"),
        ]
        for lang, code_page in CODE_PAGES.items():
            with self.subTest(lang):
                harness.need(self, have_locale(lang), "the %s locale" % lang,
                             "apt-get install -y locales; localedef -i %s -f UTF-8 %s" % (lang[:5], lang))
                self.reset()
                self.assertEqual(self.helper("code-page", lang=lang), str(code_page))
                for n, (cwd, source, target) in enumerate(cases):
                    content = b"<a n='%d'/>" % n
                    self.put(os.path.join(cwd, source), content)
                    os.makedirs(self.path(os.path.join(cwd, os.path.dirname(target))), exist_ok=True)
                    self.assertEqual(self.run_in(lang, harness.BINARY, source, target, cwd=self.path(cwd)), (0, b""))
                    self.assertEqual(self.get(os.path.join(cwd, target)), stamped(content))
                self.assertEqual(self.run_in(lang, harness.VERIFY, "конфиг/выход.xml"),
                                 (0, ("конфиг/выход.xml: ok (%d)\n" % sum(b"<a n='0'/>\r\n")).encode()))
                missing = "can't find the software file %s \n"
                self.assertEqual(self.run_in(lang, harness.BINARY, "нет/файла.xml", "x.xml"),
                                 (1, (missing % "нет/файла.xml").encode()))
                self.assertEqual(self.run_in(lang, harness.BINARY, "./нет.xml", "x.xml", cwd=self.path("表")),
                                 (1, (missing % ("Z:" + self.path("表/нет.xml"))).encode()))
                self.assertEqual(self.leftovers(), [])

    def test_an_existing_output_keeps_the_name_its_folder_holds(self):
        cases = [
            # (the output as its folder holds it, the input, the output given; "short" for its 8.3 form)
            ("Long Folder Name/Configuration File.xml", "short", "short"),
            ("config.xml", "in.xml", "CONFIG.XML"),
            ("Sub/Config.Xml", "in.xml", "./sub/CONFIG.xml"),
        ]
        for name, source, target in cases:
            with self.subTest(target):
                self.reset()
                self.make({"in.xml": b"abc", name: b"abc"})
                short = self.helper("short-name", windows_path(self.path(name)))
                self.assertNotEqual(os.path.basename(short), os.path.basename(name))
                expected = dict(self.tree(), **{name: stamped(b"abc")})
                args = [short if arg == "short" else arg for arg in (source, target)]
                self.assertEqual(self.run_tool(*args), (0, b""))
                self.assertEqual(self.tree(), expected)

    def test_paths_over_260_and_over_400_characters(self):
        short, longer = deep(5), deep(7)
        cases = [
            # (input, output, the output's file)
            (short + "/in.xml", short + "/out.xml", short + "/out.xml"),
            (windows_path(self.path(longer + "/in.xml")), windows_path(self.path(longer + "/out.xml")),
             longer + "/out.xml"),
            ("Z:" + self.path(short + "/in.xml"), longer + "/out.xml", longer + "/out.xml"),
            ("./" + short + "/in.xml", "./" + short + "/in.xml", short + "/in.xml"),
        ]
        self.assertGreater(len(windows_path(self.path(short))), 260)
        self.assertGreater(len(windows_path(self.path(longer))), 400)
        for source, target, written in cases:
            with self.subTest(source=len(source), target=len(target)):
                self.make({short + "/in.xml": b"abc", longer + "/in.xml": b"abc"})
                for name in (short + "/out.xml", longer + "/out.xml"):
                    if os.path.exists(self.path(name)):
                        os.remove(self.path(name))
                for _ in ("new", "replaced"):
                    self.assertEqual(self.run_tool(source, target), (0, b""))
                    self.assertEqual(self.get(written), stamped(b"abc"))
                    code, out, err = self.run_program(harness.VERIFY, [target])
                    self.assertEqual((code, out), (0, target.encode() + b": ok (317)\n"), err)
                    self.assertEqual(self.leftovers(), [])


if __name__ == "__main__":
    harness.main()
