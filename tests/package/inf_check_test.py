#!/usr/bin/env python3
"""The INF check on copies of the package's INF: broken copies must fail with the fault named,
and copies that Windows setup reads the same (comments, continuations, case, quoting) must pass.

Usage: inf_check_test.py PACKAGE_INF CHECK_ARGS...   (check_inf.py's directory on PYTHONPATH)
"""
import os
import sys
import tempfile
import unittest

import check_inf

INF = sys.argv[1]
CHECK_ARGS = sys.argv[2:]


def replace(old, new, count=1):
    def edit(text):
        if old not in text:
            raise AssertionError("the INF has no %r to change" % old)
        return text.replace(old, new, count)
    return edit


def remove_section(name):
    def edit(text):
        lines, out, skipping = text.splitlines(), [], False
        for line in lines:
            if line.startswith("["):
                skipping = line.strip().lower() == "[%s]" % name.lower()
            if not skipping:
                out.append(line)
        if len(out) == len(lines):
            raise AssertionError("the INF has no [%s]" % name)
        return "\n".join(out) + "\n"
    return edit


# (what is broken, edit of the INF text, what the check must say)
BROKEN = [
    ("install section missing", remove_section("KvsBda.Device.NTamd64"),
     "install section KvsBda.Device"),
    ("service section missing", remove_section("KvsBda.Service"),
     "names section [KvsBda.Service]"),
    ("interface section missing", remove_section("KvsBda.Filter"),
     "names section [KvsBda.Filter]"),
    ("AddReg section missing", remove_section("KvsBda.MediaCategories"),
     "names section [KvsBda.MediaCategories]"),
    ("copy list missing", remove_section("KvsBda.CopyFiles"),
     "names section [KvsBda.CopyFiles]"),
    ("models section missing for its decoration", remove_section("KvsBda.NTamd64.6.2"),
     "decoration NTamd64.6.2 names section"),
    ("string undefined", replace("%Receiver.FilterName%", "%Receiver.FilterTitle%"),
     "%Receiver.FilterTitle% is used but not defined"),
    ("string undefined in a models key", replace("%Receiver.DeviceDesc%=", "%Receiver.Desc%="),
     "%Receiver.Desc% is used but not defined"),
    ("unknown directive in an install section", replace("CopyFiles=KvsBda.CopyFiles",
                                                        "CopyFile=KvsBda.CopyFiles"),
     "unknown directive 'CopyFile'"),
    ("unknown directive in a service section", replace("StartType=3", "StartMode=3"),
     "unknown directive 'StartMode'"),
    ("unknown directive in [Version]", replace("PnpLockdown=1", "PnpLockDown1=1"),
     "unknown directive 'PnpLockDown1'"),
    ("registry line under no root", replace("HKR,,CLSID", "HKRR,,CLSID"),
     "writes under 'HKRR', which is no registry root"),
    ("copied file not on a source disk", replace("[KvsBda.CopyFiles]\n",
                                                 "[KvsBda.CopyFiles]\nkvsbda.dll\n"),
     "kvsbda.dll is copied but not listed"),
    ("source file on an unlisted disk", replace("kvsbda.sys=1", "kvsbda.sys=2"),
     "on disk '2'"),
    ("hardware id of another vendor", replace("USB\\VID_0572&PID_6688", "USB\\VID_0572&PID_6689"),
     "USB\\VID_0572&PID_6689 is not a stick the driver serves"),
    ("hardware id not USB", replace("USB\\VID_3344&PID_1122", "PCI\\VEN_3344&DEV_1122"),
     "is not a USB vendor and product id"),
    ("served stick left out", replace("%Receiver.DeviceDesc%=KvsBda.Device,USB\\VID_3344&PID_1122\n",
                                      ""),
     "serves USB\\VID_3344&PID_1122, which the INF does not list"),
    ("boot loader left out", replace("%Receiver.DeviceDesc%=KvsBda.Device,USB\\VID_3344&PID_1111\n",
                                     ""),
     "does not list the boot loader"),
    ("decoration older than the image needs",
     lambda t: t.replace("NTamd64.6.2", "NTamd64.6.1"),
     "offers the driver to Windows before 6.2"),
    ("decoration without a version", lambda t: t.replace("NTamd64.6.2", "NTamd64"),
     "offers the driver to Windows before 6.2"),
    ("decoration for another architecture", lambda t: t.replace("NTamd64.6.2", "NTx86.6.2"),
     "is not for x64 Windows"),
    ("manufacturer without decoration", replace("=KvsBda,NTamd64.6.2", "=KvsBda"),
     "has no NTamd64 decoration"),
    ("DriverVer of another version", replace(",1.", ",9."), "is not the driver's"),
    ("DriverVer date malformed", lambda t: _driver_date(t, "2026-01-01"), "is not mm/dd/yyyy"),
    ("catalog of another name", replace("CatalogFile=kvsbda.cat", "CatalogFile=other.cat"),
     "CatalogFile is 'other.cat'"),
    ("no services section", remove_section("KvsBda.Device.NTamd64.Services"),
     "has no .Services section"),
    ("continuation that swallows the next directive",
     replace("BDA.Installation.NT\n", "BDA.Installation.NT \\\n"),
     "ServiceBinary kvsbda.sys is not copied by the install"),
]

# Copies Windows setup reads exactly as the original: they must pass.
EQUIVALENT = [
    ("comments with tokens and quotes", replace("[Strings]\n",
                                                "[Strings]\n; %Undefined% \"quoted ; text\n")),
    ("continued line", replace("CopyFiles=KvsBda.CopyFiles", "CopyFiles=\\\nKvsBda.CopyFiles")),
    ("section names in another case", lambda t: t.replace("[KvsBda.Service]", "[kvsbda.service]")),
    ("string tokens in another case", replace("%Receiver.FilterName%", "%RECEIVER.FILTERNAME%")),
    ("quoted semicolon in a string", replace('DiskName="kvsbda installation disk"',
                                             'DiskName="kvsbda; installation disk"')),
    ("a percent sign", replace('ManufacturerName="KVS"', 'ManufacturerName="KVS 100%%"')),
    ("section split in two", replace("[KvsBda.Filter.AddReg]\nHKR,,CLSID,,%KsProxy.CLSID%\n",
                                     "[KvsBda.Filter.AddReg]\nHKR,,CLSID,,%KsProxy.CLSID%\n"
                                     "[Strings]\nExtra=\"x\"\n[KvsBda.Filter.AddReg]\n")),
]


def _driver_date(text, date):
    start = text.index("DriverVer=") + len("DriverVer=")
    return text[:start] + date + text[text.index(",", start):]


class InfCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        with open(INF, encoding="ascii", newline="") as source:
            cls.text = source.read().replace("\r\n", "\n")
        cls.directory = tempfile.TemporaryDirectory()

    @classmethod
    def tearDownClass(cls):
        cls.directory.cleanup()

    def run_check(self, text):
        path = os.path.join(self.directory.name, "kvsbda.inf")
        with open(path, "w", encoding="ascii") as out:
            out.write(text)
        errors = check_inf.check([path] + CHECK_ARGS)
        return (1 if errors else 0), "\n".join(errors)

    def test_package_inf_passes(self):
        status, output = self.run_check(self.text)
        self.assertEqual(status, 0, output)

    def test_broken_copies_fail_naming_the_fault(self):
        for what, edit, message in BROKEN:
            with self.subTest(what):
                status, output = self.run_check(edit(self.text))
                self.assertNotEqual(status, 0, output)
                self.assertIn(message, output)

    def test_equivalent_copies_pass(self):
        for what, edit in EQUIVALENT:
            with self.subTest(what):
                status, output = self.run_check(edit(self.text))
                self.assertEqual(status, 0, output)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=2)
