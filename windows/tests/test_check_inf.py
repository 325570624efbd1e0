#!/usr/bin/env python3
"""The INF check, fed zr48.inf with one fault put in at a time: each must be
refused with its reason, and the INF as it is must pass."""
import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(os.path.dirname(HERE))
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(HERE))
import importlib.util  # noqa: E402

loader_spec = importlib.util.spec_from_file_location("check_inf", os.path.join(ROOT, "windows", "check-inf.py"))
check_inf = importlib.util.module_from_spec(loader_spec)
loader_spec.loader.exec_module(check_inf)

with open(os.path.join(ROOT, "windows", "zr48.inf"), encoding="latin-1") as f:
    INF = f.read()
PACKAGE_FILES = ["zr48.sys", "zr48.bin", "zr48stat.exe", "zr48.cat", "zr48.inf"]


class CheckInf(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.TemporaryDirectory()
        for name in PACKAGE_FILES:
            open(os.path.join(self.dir.name, name), "w").close()

    def tearDown(self):
        self.dir.cleanup()

    def problems(self, text, package=True):
        path = os.path.join(self.dir.name, "zr48.inf")
        with open(path, "w", encoding="latin-1") as f:
            f.write(text)
        return check_inf.check(path, self.dir.name if package else None,
                               os.path.join(ROOT, "driver"))

    def refused(self, old, new, reason, count=1):
        self.assertEqual(INF.count(old), count, "the test's anchor: %r" % old)
        problems = self.problems(INF.replace(old, new))
        self.assertTrue(any(reason in p for p in problems),
                        "expected %r among %s" % (reason, problems))

    def test_the_inf_as_it_is_passes(self):
        self.assertEqual(self.problems(INF), [])

    def test_windows_2000_models_section_missing(self):
        self.refused("[Morvane]\n", "[Unused]\n",
                     "[Morvane], named by [Manufacturer] (the undecorated section Windows 2000 reads)")

    def test_a_decoration_missing(self):
        self.refused("= Morvane, NTx86, NTamd64", "= Morvane, NTx86",
                     "does not name the NTamd64 decoration")

    def test_a_model_with_another_device(self):
        self.refused("[Morvane.NTamd64]\n%ZR48.DeviceDesc% = ZR48.ndi, PCI\\VEN_1BA7&DEV_0316",
                     "[Morvane.NTamd64]\n%ZR48.DeviceDesc% = ZR48.ndi, PCI\\VEN_1BA7&DEV_0317",
                     "[Morvane.NTamd64] does not offer PCI\\VEN_1BA7&DEV_0316")

    def test_an_addreg_section_missing(self):
        self.refused("AddReg          = ZR48.Reg, ZR48.Params",
                     "AddReg          = ZR48.Reg, ZR48.Parameters",
                     "[ZR48.Parameters], named by AddReg of [ZR48.ndi.NT]")

    def test_an_event_log_section_missing(self):
        self.refused("[ZR48.EventLog]\n", "[ZR48.Log]\n",
                     "[ZR48.EventLog], named by AddService")

    def test_a_copied_file_not_on_the_disk(self):
        self.refused("zr48.bin     = 1\n", "", "zr48.bin is copied but not in SourceDisksFiles for x86")

    def test_a_copied_file_missing_for_one_architecture(self):
        self.refused("[SourceDisksFiles]\n", "[SourceDisksFiles.x86]\n",
                     "zr48.sys is copied but not in SourceDisksFiles for amd64")

    def test_a_file_on_an_unnamed_disk(self):
        self.refused("zr48stat.exe = 1", "zr48stat.exe = 2",
                     "zr48stat.exe is on disk 2, which SourceDisksNames for x86 lacks")

    def test_a_copied_file_missing_from_the_package(self):
        os.remove(os.path.join(self.dir.name, "zr48.bin"))
        problems = self.problems(INF)
        self.assertTrue(any("zr48.bin is named by the INF but not in the package" in p
                            for p in problems), problems)

    def test_no_catalog(self):
        self.refused("CatalogFile = zr48.cat\n", "", "[Version] names no CatalogFile")

    def test_an_undefined_string(self):
        self.refused("%LineCode4%\n", "%LineCodeFour%\n", "%LineCodeFour% is not in [Strings]")

    def test_a_default_outside_its_range(self):
        self.refused('RcvQueueLen,     default,   0, "16"', 'RcvQueueLen,     default,   0, "200"',
                     "RcvQueueLen: default 200 is outside 1..127")

    def test_a_default_off_the_step(self):
        self.refused('LineRate,        default,   0, "2048"', 'LineRate,        default,   0, "2050"',
                     "LineRate: default 2050 is outside 64..6016 (step 32)")

    def test_a_default_not_written_as_the_instance_value(self):
        self.refused('XmtQueueLen, 0, "8"', 'XmtQueueLen, 0, "9"',
                     "XmtQueueLen: default 8, but the instance value written is 9")

    def test_a_default_that_is_not_the_drivers(self):
        text = INF.replace('XmtQueueLen,     default,   0, "8"', 'XmtQueueLen,     default,   0, "9"')
        text = text.replace('XmtQueueLen, 0, "8"', 'XmtQueueLen, 0, "9"')
        problems = self.problems(text)
        self.assertIn("XmtQueueLen: default 9, the driver's default 8",
                      [p for p in problems], problems)

    def test_a_range_wider_than_the_driver_accepts(self):
        self.refused('RcvQueueLen,     max,       0, "127"', 'RcvQueueLen,     max,       0, "256"',
                     "RcvQueueLen offers 1..256 step 1; the driver accepts 1..127 step 1")

    def test_an_enum_default_not_among_its_choices(self):
        self.refused('AnnexType,       default,   0, "1"', 'AnnexType,       default,   0, "2"',
                     "AnnexType: default 2 is not one of its choices")

    def test_an_annex_the_transceiver_does_not_know(self):
        self.refused('AnnexType\\enum,  "3",       0, %AnnexFG%',
                     'AnnexType\\enum,  "3",       0, %AnnexFG%\n'
                     'HKR, Ndi\\params\\AnnexType\\enum,  "7",       0, %AnnexFG%',
                     "AnnexType offers 0, 1, 3, 7; the driver and transceiver know 0, 1, 3")

    def test_a_keyword_the_driver_does_not_read(self):
        self.refused("Ndi\\params\\CRC", "Ndi\\params\\Crc32",
                     "Ndi\\params offers Crc32, which the driver does not read", count=5)

    def test_a_parameter_without_default_that_is_not_optional(self):
        self.refused('HKR, Ndi\\params\\LineCode,        optional,  0, "1"\n', "",
                     "LineCode has no default and is not optional")

    def test_a_default_for_what_the_driver_leaves_unconfigured(self):
        self.refused('HKR, Ndi\\params\\LineCode,        optional,  0, "1"\n',
                     'HKR, Ndi\\params\\LineCode,        default,   0, "1"\n'
                     'HKR, ,                           LineCode,  0, "1"\n',
                     "LineCode: default 1, the driver's default none (not configured)")


if __name__ == "__main__":
    unittest.main(verbosity=2)
