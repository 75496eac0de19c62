#!/usr/bin/env python3
"""scripts/soak judges what it sees: a PASS whose phone does not hold its images is a false PASS,
a failure is put down to its own fault or to the others' stop, a silent channel is a hang, and a
sanitizer's report is counted. Given the build directory, it also runs the soak for real on two
phones: clean, and against images the phones were not flashed with (every PASS is then false).
Usage: soak_test.py [BUILD_DIR]"""

import importlib.machinery
import importlib.util
import subprocess
import sys
import unittest
from pathlib import Path

SOAK = Path(__file__).resolve().parents[2] / "scripts" / "soak"
loader = importlib.machinery.SourceFileLoader("soak", str(SOAK))
loader_spec = importlib.util.spec_from_loader("soak", loader)
soak = importlib.util.module_from_spec(loader_spec)
loader.exec_module(soak)

BUILD_DIR = sys.argv.pop(1) if len(sys.argv) > 1 else None

PASS_BAR = {"type": "bar", "channel": 0, "text": " Download PASS. [ 4 Sec.]", "percent": 100, "color": "#00ff00"}
FAIL_BAR = {"type": "bar", "channel": 0, "text": " PDA WRITE FLASH Failed!", "percent": 40, "color": "#ff0000"}
BLUE_BAR = {"type": "bar", "channel": 0, "text": " AMSS Downloading... 100%", "percent": 100, "color": "#0000ff"}
GOOD_PHONE = {"locks": 1, "verify": ["QCSBL ok", "PDA ok"], "efs_kept": True}
CLEAN = soak.Fault("none")
FAULTY = soak.Fault("silence", ["--silence", "E0:2:0@1"])


def outcomes(faults, bars, phones, flash_exit=1, hung=(), regions=None):
    """regions: which channels got past their partition step (default: every one)."""
    regions = [True] * len(faults) if regions is None else regions
    return [o for o, _ in soak.judge_round(faults, bars, flash_exit, phones, list(hung), regions)]


class JudgeTest(unittest.TestCase):
    def test_a_pass_counts_only_when_the_phone_holds_its_images_and_is_locked(self):
        self.assertEqual(outcomes([CLEAN], [PASS_BAR], [GOOD_PHONE], 0), ["pass"])
        for phone in (dict(GOOD_PHONE, verify=["QCSBL ok", "PDA MISMATCH (3 bytes differ, first at +0x10)"]),
                      dict(GOOD_PHONE, verify=["QCSBL ok", "PDA NOT WRITTEN"]),
                      dict(GOOD_PHONE, locks=0),
                      dict(GOOD_PHONE, verify=[]),
                      dict(GOOD_PHONE, efs_kept=False)):
            with self.subTest(phone=phone):
                self.assertEqual(outcomes([CLEAN], [PASS_BAR], [phone], 0), ["false-pass"])
        self.assertEqual(outcomes([CLEAN], [PASS_BAR], [], 0), ["false-pass"])

    def test_a_pass_needs_the_green_pass_text(self):
        green_other = dict(PASS_BAR, text=" PDA Downloading... 100%")
        red_pass = dict(PASS_BAR, color="#ff0000")
        for bar in (green_other, red_pass, None):
            with self.subTest(bar=bar):
                self.assertNotEqual(outcomes([FAULTY], [bar], [GOOD_PHONE]), ["pass"])

    def test_exit_status_0_with_a_channel_that_did_not_pass_is_a_false_pass(self):
        self.assertEqual(outcomes([CLEAN, FAULTY], [PASS_BAR, FAIL_BAR], [GOOD_PHONE, GOOD_PHONE], 0),
                         ["pass", "false-pass"])

    def test_failures_are_put_down_to_their_cause(self):
        # A phone with a fault fails on it, red or not (a CRC check that fails leaves the bar blue).
        self.assertEqual(outcomes([FAULTY], [FAIL_BAR], [GOOD_PHONE]), ["failed"])
        self.assertEqual(outcomes([FAULTY], [BLUE_BAR], [GOOD_PHONE]), ["failed"])
        # A channel failing before its regions stops every other one, whatever text the step it
        # was stopped in shows...
        for bar in (BLUE_BAR, FAIL_BAR):
            with self.subTest(bar=bar):
                self.assertEqual(outcomes([FAULTY, CLEAN], [FAIL_BAR, bar], [GOOD_PHONE] * 2, regions=[False, True]),
                                 ["failed", "stopped"])
        # ...but one failing in its regions stops nobody: a clean phone failing beside it, or
        # alone, is unexplained.
        self.assertEqual(outcomes([FAULTY, CLEAN], [FAIL_BAR, FAIL_BAR], [GOOD_PHONE] * 2), ["failed", "unexpected"])
        self.assertEqual(outcomes([FAULTY, CLEAN], [FAIL_BAR, BLUE_BAR], [GOOD_PHONE] * 2), ["failed", "unexpected"])
        self.assertEqual(outcomes([CLEAN, CLEAN], [PASS_BAR, BLUE_BAR], [GOOD_PHONE] * 2), ["pass", "unexpected"])

    def test_a_hung_channel_is_a_hang_whatever_its_bar(self):
        self.assertEqual(outcomes([CLEAN, CLEAN], [BLUE_BAR, PASS_BAR], [GOOD_PHONE] * 2, None, [0]), ["hang", "pass"])


class WatchTest(unittest.TestCase):
    def line(self, ch, kind="log", **fields):
        import json
        return json.dumps(dict({"type": kind, "channel": ch, "text": "x"}, **fields))

    def test_a_channel_without_progress_for_the_bound_is_hung(self):
        w = soak.ChannelWatch(3, 0.0)
        w.feed(self.line(0), 50.0)
        w.feed(self.line(1, "bar", **dict(PASS_BAR, channel=1)), 10.0)
        w.feed(self.line(2, "port", text="NONE"), 10.0)
        self.assertEqual(w.hung(59.0, 60), [])
        # Channel 0 spoke at 50 s; 1 passed and 2 ended without PASS, so neither can hang.
        self.assertEqual(w.hung(109.0, 60), [])
        self.assertEqual(w.hung(111.0, 60), [0])

    def test_a_station_silent_for_the_bound_hangs_its_unended_channels(self):
        w = soak.ChannelWatch(2, 0.0)
        w.feed(self.line(1, "bar", **dict(PASS_BAR, channel=1)), 1.0)
        self.assertEqual(w.hung(62.0, 60), [0])
        w.feed(self.line(0, "port", text="NONE"), 2.0)
        self.assertEqual(w.hung(63.0, 60), ["station"])

    def test_a_channel_past_its_partition_step_is_known_to_have_reached_its_regions(self):
        w = soak.ChannelWatch(2, 0.0)
        w.feed(self.line(0, text="[Channel 0]  Send Partition Table\r\n"), 1.0)
        w.feed(self.line(1, text="[Channel 1]  Partition Table is correct\r\n"), 1.0)
        self.assertEqual(w.regions, [False, True])

    def test_station_lines_and_foreign_text_move_only_the_station_clock(self):
        w = soak.ChannelWatch(1, 0.0)
        w.feed(self.line(-1), 50.0)
        w.feed("not json", 55.0)
        self.assertEqual(w.hung(70.0, 60), [0])


class ReportTest(unittest.TestCase):
    def test_the_simulator_report_gives_locks_and_verify_lines_per_phone(self):
        text = ("phone 1 COM1 /dev/pts/3\nready\n"
                "phone 1 COM1: plugged no, plugs 1, requests 57, bytes 1085240, locks 1\n"
                "  written 0x00000000 +0x00008000 crc32 0x82BB4F16\n  efs2 kept: yes\n"
                "  verify QCSBL ok\n  verify PDA ok\n"
                "phone 2 COM2: plugged yes, plugs 2, requests 3, bytes 10, locks 0\n"
                "  efs2 kept: NO\n  verify QCSBL NOT WRITTEN\n"
                "phone 3 COM3: plugged yes, plugs 1, requests 0, bytes 0, locks 0\n")
        self.assertEqual(soak.parse_report(text),
                         [{"locks": 1, "verify": ["QCSBL ok", "PDA ok"], "efs_kept": True},
                          {"locks": 0, "verify": ["QCSBL NOT WRITTEN"], "efs_kept": False},
                          {"locks": 0, "verify": [], "efs_kept": None}])

    def test_sanitizer_reports_are_counted(self):
        text = ("==1==ERROR: AddressSanitizer: heap-use-after-free\nx.cpp:3:5: runtime error: signed overflow\n"
                "==2==ERROR: LeakSanitizer: detected memory leaks\nquillon-flash: PORT x is not a terminal\n")
        self.assertEqual(soak.sanitizer_findings(text), 3)
        self.assertEqual(soak.sanitizer_findings("quillon-flash: usage\n"), 0)


class FaultsTest(unittest.TestCase):
    def test_faults_depend_on_seed_and_round_only_and_each_meets_its_own_phone(self):
        a = [repr(f) for f in soak.round_faults("1", 7, 8)]
        self.assertEqual(a, [repr(f) for f in soak.round_faults("1", 7, 8)])
        self.assertNotEqual(a, [repr(f) for f in soak.round_faults("1", 8, 8)])
        kinds = set()
        for r in range(1, 200):
            for k, fault in enumerate(soak.round_faults("1", r, 8), start=1):
                kinds.add(fault.kind)
                values = [o for o in fault.options if "@" in o]
                # A fault may take several options (a refusal and the repeat ahead of it).
                self.assertEqual(bool(values), bool(fault.options), repr(fault))
                for v in values:
                    self.assertTrue(v.endswith("@%d" % k), repr(fault))
                for _, command in fault.events:
                    self.assertEqual(command.split()[1], str(k))
        self.assertEqual(kinds, {kind for kind, _ in soak.FAULT_KINDS})


@unittest.skipUnless(BUILD_DIR, "needs the build directory")
class SoakRunTest(unittest.TestCase):
    def run_soak(self, *args):
        argv = [sys.executable, str(SOAK), "1", "--phones", "2", "--no-faults", "--no-build",
                "--build-dir", BUILD_DIR] + list(args)
        return subprocess.run(argv, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=300)

    def test_clean_phones_pass(self):
        run = self.run_soak()
        self.assertEqual(run.returncode, 0, run.stdout)
        self.assertIn("passes               2\n", run.stdout)
        self.assertIn("false PASS           0\n", run.stdout)

    def test_phones_holding_other_images_than_verified_are_false_passes(self):
        run = self.run_soak("--verify-seed", "99")
        self.assertEqual(run.returncode, 1, run.stdout)
        self.assertIn("false PASS           2\n", run.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=1)
