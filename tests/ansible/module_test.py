#!/usr/bin/python3
"""The probes module against probe-json: for the same stream, and for the
same collector run, the module's objects written as lines must be probe-json's
output byte for byte; and through ansible itself, what a collector reports is
data, never a failed task.

    module_test.py MODULE_DIR PROBE_JSON
"""
import importlib.util
import json
import os
import random
import subprocess
import sys
import tempfile
import unittest

MODULE_DIR, PROBE_JSON = sys.argv[1], sys.argv[2]
found = importlib.util.spec_from_file_location("probes", os.path.join(MODULE_DIR, "probes.py"))
probes = importlib.util.module_from_spec(found)
found.loader.exec_module(probes)


def module_lines(stream):
    return "".join(probes.json_line(item) for item in probes.convert(stream)).encode()


def probe_json(stream):
    return subprocess.run([PROBE_JSON], input=stream, stdout=subprocess.PIPE, check=True).stdout


class SameStreamSameLines(unittest.TestCase):
    def assert_same(self, stream):
        self.assertEqual(module_lines(stream), probe_json(stream), stream)

    def test_records_fields_and_continuations(self):
        for stream in [
            b"",
            b"*node: cpu@0\nnivex-id: 0x1000c\ndevice-type: cpu\n",
            b"*node: a\nboot-time: Tue Nov 14 22:13:20 2023\n\n*node: b\n",
            b"*node: t\nmodules: 1, 2\n, 3, 4\nno colon here\n",
            b"*lonely\n*: empty key\n: x\n*node:no space\nk:v\n",
            b"*node: v\ncontinued value\nk: v\n",
            b"*PKGINST: ORLOcore\nNAME: a: b: c\n",
        ]:
            self.assert_same(stream)

    def test_error_records_whole_or_kept_as_records(self):
        for body in [
            b"id: 5022\nmessage: Invalid command line argument\nnumber: 22\n",
            b"id: -2147483648\nmessage: \nnumber: 2147483647\n",
            b"id: 007\nmessage: m\nnumber: -0\n",
            b"id: 2147483648\nmessage: m\nnumber: 1\n",
            b"id: +1\nmessage: m\nnumber: 1\n",
            b"id: 1\nmessage: m\nnumber: 1 \n",
            b"id: 1\nnumber: 1\nmessage: m\n",
            b"id: 1\nmessage: m\n",
            b"",
            b"id: 1\nmessage: m\nnumber: 1\nextra: x\n",
            b"id: 1\nmessage: two\nlines\nnumber: 1\n",
            b"go on\nid: 1\n",
            b"id: 1\nmessage: caf\xe9\nnumber: 2\n",
        ]:
            self.assert_same(b"*Node: nivex-error\n" + body + b"*node: after\n")
            self.assert_same(b"*Node: nivex-error\n" + body)

    def test_strays_and_a_cut_last_line(self):
        for stream in [
            b"treeprobe\t1.1\n*node: a\n",
            b"before\n\n, x\n",
            b"*node: a\nk: v",
            b"*Node: nivex-error\nid: 1\nmessage: m\nnumber: 1",
            b"no line feed at all",
        ]:
            self.assert_same(stream)

    def test_bytes_that_are_not_utf8_and_characters_json_escapes(self):
        for text in [b"\xe9", b"\xc0\x80", b"\xc1\xbf", b"\xe0\x80\x80", b"\xe0\x9f\xbf",
                     b"\xed\xa0\x80", b"\xed\x9f\xbf", b"\xf0\x8f\xbf\xbf", b"\xf4\x90\x80\x80",
                     b"\xf5\x80\x80\x80", b"\xff", b"\x80", b"\xe2\x82", b"\xf0\x9f\x98",
                     b"\xe2\x82\xac", b"\xf0\x9f\x98\x80", b"\xef\xbf\xbd", b"\xe2\x80\xa8",
                     b"\x00\x01\x08\x09\x0b\x0c\x0d\x1b\x1f\x7f", b'"\\/', b"\xc3\xa9\xe9"]:
            self.assert_same(b"*node: " + text + b"\n" + text + b": " + text + b"\n" + text + b"\n")
            self.assert_same(text + b"\n*" + text + b"\n")
            self.assert_same(b"*Node: nivex-error\nid: 1\nmessage: " + text + b"\nnumber: 1\n")
            # The walk that Python 2 takes, valid or not.
            self.assertEqual(probes.walk_utf8(text), probes.to_text(text))

    def test_random_streams(self):
        pieces = [b"*", b"Node", b"nivex-error", b"node", b": ", b"id", b"message", b"number",
                  b"\n", b"\n", b"\n", b", ", b"12", b"-3", b"99999999999", b"x", b" ", b"\xe9",
                  b"\xe0\x80", b"\xc3\xa9", b"\xed\xa0\x80", b"\xf0\x9f\x98\x80", b"\x7f", b"\x00",
                  b"\t", b'"', b"\\", b"\r"]
        chooser = random.Random(24)
        for _ in range(300):
            stream = b"".join(chooser.choice(pieces) for _ in range(chooser.randrange(1, 60)))
            self.assert_same(stream)


# Stand-in collectors: each ends in its own way.
FAKES = {
    "hostprobe": 'printf "v\\t1\\n*node: a\\nk: v\\n\\n*Node: nivex-error\\nid: 5\\n'
                 'message: m\\nnumber: 22\\ncut"\necho oops >&2\nexit 3',
    "treeprobe": 'echo "*node: b"\nkill -TERM $$',
    "labelprobe": 'echo "*node: c"\nexec sleep 60',
    "swprobe": "yes '*PKGINST: p'",
}


class CollectorRuns(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.folder = tempfile.TemporaryDirectory()
        cls.bin = cls.folder.name
        for name, body in FAKES.items():
            path = os.path.join(cls.bin, name)
            with open(path, "w") as script:
                script.write("#!/bin/sh\n" + body + "\n")
            os.chmod(path, 0o755)

    @classmethod
    def tearDownClass(cls):
        cls.folder.cleanup()

    def run_one(self, name, timeout=30, output_limit=1 << 20):
        return probes.run_collector(os.path.join(self.bin, name), timeout, output_limit)

    def assert_as_probe_json(self, name, result):
        ended = {key: result[key] for key in ("exit", "signal") if key in result}
        lines = "".join(probes.json_line(item) for item in result["records"] + [ended])
        direct = subprocess.run([PROBE_JSON, os.path.join(self.bin, name)],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL).stdout
        self.assertEqual(lines.encode(), direct)

    def test_a_status_and_a_signal_are_data_as_probe_json_writes_them(self):
        result = self.run_one("hostprobe")
        self.assertEqual((result["exit"], result["stderr"]), (3, "oops\n"))
        self.assertIn({"error": {"id": 5, "message": "m", "number": 22}}, result["records"])
        self.assert_as_probe_json("hostprobe", result)
        result = self.run_one("treeprobe")
        self.assertEqual((result.get("signal"), "exit" in result), (15, False))
        self.assert_as_probe_json("treeprobe", result)

    def test_time_limit_output_limit_and_a_missing_collector(self):
        result = self.run_one("labelprobe", timeout=1)
        self.assertEqual((result["timed_out"], result["signal"]), (True, 9))
        self.assertEqual(result["records"], [{"record": "node", "value": "c", "fields": []}])
        result = self.run_one("swprobe", output_limit=100)
        self.assertEqual((result["truncated"], result["timed_out"]), (True, False))
        self.assertEqual(result["records"][-1], {"stray": "*PKG"})
        self.assertEqual(len(result["records"]), 9)
        result = probes.run_collector(os.path.join(self.bin, "nothing"), 30, 100)
        self.assertEqual((result["exit"], result["records"]), (127, []))
        result = probes.run_collector(self.bin, 30, 100)
        self.assertEqual(result["exit"], 126)

    def test_through_ansible_in_check_mode_nothing_fails(self):
        open(os.path.join(self.bin, "ansible.cfg"), "w").close()
        environment = dict(os.environ, ANSIBLE_LIBRARY=MODULE_DIR, ANSIBLE_STDOUT_CALLBACK="json",
                           ANSIBLE_LOAD_CALLBACK_PLUGINS="1", ANSIBLE_HOME=self.bin,
                           ANSIBLE_LOCAL_TEMP=self.bin, ANSIBLE_REMOTE_TMP=self.bin,
                           ANSIBLE_CONFIG=os.path.join(self.bin, "ansible.cfg"),
                           ANSIBLE_LOCALHOST_WARNING="0", ANSIBLE_INVENTORY_UNPARSED_WARNING="0")
        command = ["ansible", "localhost", "--check", "-m", "probes", "-a",
                   "install_dir=%s timeout=1 collectors=hostprobe,labelprobe" % self.bin]
        run = subprocess.run(command, env=environment, stdout=subprocess.PIPE, check=True)
        result = json.loads(run.stdout)["plays"][0]["tasks"][0]["hosts"]["localhost"]
        self.assertEqual((result["changed"], list(result["probes"])), (False, ["hostprobe", "labelprobe"]))
        self.assert_as_probe_json("hostprobe", result["probes"]["hostprobe"])
        self.assertTrue(result["probes"]["labelprobe"]["timed_out"])
        command[-1] = "collectors=nosuchprobe"
        run = subprocess.run(command, env=environment, stdout=subprocess.PIPE)
        self.assertNotEqual(run.returncode, 0)
        # The module's own documentation, as ansible-doc shows it.
        run = subprocess.run(["ansible-doc", "probes"], env=environment, stdout=subprocess.PIPE,
                             check=True)
        self.assertIn(b"install_dir", run.stdout)


if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1], verbosity=1)
