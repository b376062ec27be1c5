# -*- coding: utf-8 -*-
# The probes collectors as an Ansible module: each collector asked for runs
# on the managed host and its records come back as the objects probe-json
# writes for the same stream. It runs wherever the collectors run, so it
# needs nothing beyond the Python standard library and keeps to what both
# Python 2.7 and Python 3.5 understand, the oldest managed-host Pythons
# ansible-core 2.14 supports.

from __future__ import absolute_import, division, print_function

__metaclass__ = type

DOCUMENTATION = r"""
module: probes
short_description: Gather a host's inventory records from the probes collectors
description:
  - Runs the host inventory collectors C(hostprobe), C(treeprobe), C(labelprobe)
    and C(swprobe) on the managed host, or those asked for, one after the other,
    and returns each one's records as the objects C(probe-json) writes for them.
  - An error record, a non-zero exit status, a signal, a missing collector or one
    that exceeded its time limit is returned as data for that collector; the task
    does not fail because of it.
  - The module changes nothing on the host; in check mode it runs the collectors
    all the same.
  - The managed host needs Python 2.7, or Python 3.5 or later, with its standard
    library only.
options:
  collectors:
    description: The collectors to run, in this order.
    type: list
    elements: str
    choices: [hostprobe, treeprobe, labelprobe, swprobe]
    default: [hostprobe, treeprobe, labelprobe, swprobe]
  install_dir:
    description: The folder that holds the collectors.
    type: path
    default: /usr/bin
  timeout:
    description:
      - Seconds each collector may run; then it is killed and its result has
        C(timed_out) set and C(signal) 9.
    type: int
    default: 60
  output_limit:
    description:
      - Bytes of standard output read from each collector; a collector that writes
        more is killed, its result has C(truncated) set, and the line it was in
        the middle of is returned as a stray.
    type: int
    default: 67108864
attributes:
  check_mode:
    support: full
requirements:
  - Python 2.7 or 3.5 and later on the managed host
author:
  - probes maintainers
"""

EXAMPLES = r"""
# Ad hoc, like the setup module:  ansible all -m probes
- name: Gather the package instances only
  probes:
    collectors: [swprobe]
  register: inventory

- name: The collectors of a tree installed elsewhere, each given ten seconds
  probes:
    install_dir: /opt/probes/bin
    timeout: 10
"""

RETURN = r"""
probes:
  description:
    - One entry per collector, keyed by its name, in the order asked for.
  returned: always
  type: dict
  contains:
    records:
      description:
        - The objects C(probe-json) writes for the collector's output, in order.
        - 'A record: C(record), its header key; C(value), its header value; C(fields),
          its lines as ordered key-value pairs.'
        - 'An error record: C(error) with C(id), C(message) and C(number).'
        - 'A line that fits no record: C(stray).'
        - An object with bytes that are not UTF-8 has each as U+FFFD and C(lossy) true.
      type: list
      elements: dict
    exit:
      description: The exit status; absent when a signal ended the collector.
      type: int
    signal:
      description: The signal that ended the collector; absent otherwise.
      type: int
    stderr:
      description: What the collector wrote to standard error (its first 64 KiB).
      type: str
    timed_out:
      description: The collector ran out of its time limit and was killed.
      type: bool
    truncated:
      description: The collector wrote more than C(output_limit) bytes and was killed.
      type: bool
  sample:
    swprobe:
      records:
        - record: PKGINST
          value: ORLOcore
          fields: [[NAME, "Base system, root part"], [CATEGORY, system]]
      exit: 0
      stderr: ""
      timed_out: false
      truncated: false
"""

import errno
import os
import re
import select
import signal
import subprocess
import sys
import time
from collections import OrderedDict

from ansible.module_utils.basic import AnsibleModule

COLLECTORS = ["hostprobe", "treeprobe", "labelprobe", "swprobe"]
STDERR_KEPT = 65536

# Well-formed UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
_VALID_UTF8 = re.compile(
    br"(?:[\x00-\x7f]|[\xc2-\xdf][\x80-\xbf]|\xe0[\xa0-\xbf][\x80-\xbf]"
    br"|[\xe1-\xec\xee\xef][\x80-\xbf]{2}|\xed[\x80-\x9f][\x80-\xbf]"
    br"|\xf0[\x90-\xbf][\x80-\xbf]{2}|[\xf1-\xf3][\x80-\xbf]{3}|\xf4[\x80-\x8f][\x80-\xbf]{2})*"
)
_ESCAPED = re.compile(u'[\x00-\x1f\x7f"\\\\]')
_SHORT_ESCAPES = {u'"': u'\\"', u"\\": u"\\\\", u"\b": u"\\b", u"\f": u"\\f", u"\n": u"\\n",
                  u"\r": u"\\r", u"\t": u"\\t"}
_ERROR_NUMBER = re.compile(br"-?[0-9]+\Z")
_ERROR_KEYS = [b"id", b"message", b"number"]


def to_text(data):
    """The bytes as text and whether any was not UTF-8: each such byte is U+FFFD."""
    if sys.version_info[0] >= 3:
        # Python 3's strict decoder accepts exactly well-formed UTF-8;
        # Python 2's also takes surrogates, so it walks the bytes.
        try:
            return data.decode("utf-8"), False
        except UnicodeDecodeError:
            pass
    return walk_utf8(data)


def walk_utf8(data):
    """to_text by the well-formed runs of the bytes."""
    pieces = []
    position = 0
    while True:
        end = _VALID_UTF8.match(data, position).end()
        pieces.append(data[position:end].decode("utf-8"))
        if end == len(data):
            return u"".join(pieces), position > 0
        pieces.append(u"\ufffd")
        position = end + 1


def _escape(match):
    character = match.group(0)
    return _SHORT_ESCAPES.get(character) or u"\\u%04x" % ord(character)


def json_string(text):
    return u'"' + _ESCAPED.sub(_escape, text) + u'"'


def json_line(item):
    """One object as the line probe-json writes for it, line feed included."""
    if "record" in item:
        fields = u",".join(u"[%s,%s]" % (json_string(key), json_string(value))
                           for key, value in item["fields"])
        text = u'{"record":%s,"value":%s,"fields":[%s]' % (
            json_string(item["record"]), json_string(item["value"]), fields)
    elif "error" in item:
        error = item["error"]
        text = u'{"error":{"id":%d,"message":%s,"number":%d}' % (
            error["id"], json_string(error["message"]), error["number"])
    elif "stray" in item:
        text = u'{"stray":%s' % json_string(item["stray"])
    else:
        name = "exit" if "exit" in item else "signal"
        text = u'{"%s":%d' % (name, item[name])
    return text + (u',"lossy":true}\n' if item.get("lossy") else u"}\n")


class _Converter:
    """Builds the objects of a record stream as probe-json does: an error
    record becomes an error object only when it is exactly its three lines
    with 32-bit numbers, else it stays a record, whole."""

    def __init__(self):
        self.items = []
        self.in_record = False
        self.record = None  # [key, value lines, [[field key, value lines]]]
        self.held = None  # an error record's values, held until it is complete

    def _add(self, item, lossy):
        if lossy:
            item["lossy"] = True
        self.items.append(item)

    def _release_held(self):
        self.record = [b"Node", [b"nivex-error"], [[key, [value]] for key, value in
                                                   zip(_ERROR_KEYS, self.held)]]
        self.held = None

    def _put_error(self):
        id_text, message, number_text = self.held
        if _ERROR_NUMBER.match(id_text) and _ERROR_NUMBER.match(number_text):
            id_number, number = int(id_text), int(number_text)
            if -2 ** 31 <= id_number < 2 ** 31 and -2 ** 31 <= number < 2 ** 31:
                self.held = None
                text, lossy = to_text(message)
                error = OrderedDict([("id", id_number), ("message", text), ("number", number)])
                self._add(OrderedDict([("error", error)]), lossy)
                return
        self._release_held()

    def _end_record(self):
        key, value_lines, fields = self.record
        self.record = None
        key_text, lossy = to_text(key)
        value_text, value_lossy = to_text(b"\n".join(value_lines))
        pairs = []
        for field_key, field_lines in fields:
            field_key_text, key_lossy = to_text(field_key)
            field_text, field_lossy = to_text(b"\n".join(field_lines))
            pairs.append([field_key_text, field_text])
            lossy = lossy or key_lossy or field_lossy
        item = OrderedDict([("record", key_text), ("value", value_text), ("fields", pairs)])
        self._add(item, lossy or value_lossy)

    def _stray(self, line):
        text, lossy = to_text(line)
        self._add(OrderedDict([("stray", text)]), lossy)

    def _header(self, key, value):
        if key == b"Node" and value == b"nivex-error":
            self.held = []
        else:
            self.record = [key, [value], []]

    def _field(self, key, value):
        if self.held is not None:
            if len(self.held) < 3 and key == _ERROR_KEYS[len(self.held)]:
                self.held.append(value)
                return
            self._release_held()
        self.record[2].append([key, [value]])

    def _continuation(self, line):
        if self.held is not None:
            self._release_held()
        fields = self.record[2]
        (fields[-1][1] if fields else self.record[1]).append(line)

    def _end(self):
        if self.held is not None:
            if len(self.held) == 3:
                self._put_error()
            else:
                self._release_held()
        if self.record is not None:
            self._end_record()

    def line(self, line):
        """One line without its line feed. A header starts with "*"; a line
        without ": ", or one that starts with ", ", goes on with the value
        before it; any other line is KEY ": " VALUE."""
        colon = line.find(b": ")
        if line[:1] == b"*":
            if self.in_record:
                self._end()
            self.in_record = True
            if colon < 0:
                self._header(line[1:], b"")
            else:
                self._header(line[1:colon], line[colon + 2:])
        elif colon < 0 or line.startswith(b", "):
            if self.in_record:
                self._continuation(line)
            else:
                self._stray(line)
        elif self.in_record:
            self._field(line[:colon], line[colon + 2:])
        else:
            self._stray(line)

    def finish(self, unterminated):
        """The end of the stream: a last line without its line feed may have
        been cut short, so it is a stray, never a complete value."""
        if self.in_record:
            self._end()
        self.in_record = False
        if unterminated:
            self._stray(unterminated)


def convert(stream):
    """The objects of a whole record stream, in stream order."""
    converter = _Converter()
    lines = stream.split(b"\n")
    for line in lines[:-1]:
        converter.line(line)
    converter.finish(lines[-1])
    return converter.items


def _default_sigpipe():
    # Python 2 leaves SIGPIPE ignored in its children.
    signal.signal(signal.SIGPIPE, signal.SIG_DFL)


def _wait_readable(fds, seconds):
    try:
        return select.select(fds, [], [], max(seconds, 0))[0]
    except (OSError, select.error) as error:  # Python 2 does not retry EINTR
        if error.args[0] == errno.EINTR:
            return []
        raise


def run_collector(path, timeout, output_limit):
    """Runs one collector with no input and returns its result: records,
    how it ended, what it wrote to standard error."""
    result = OrderedDict([("records", [])])
    with open(os.devnull, "rb") as devnull:
        try:
            process = subprocess.Popen([path], stdin=devnull, stdout=subprocess.PIPE,
                                       stderr=subprocess.PIPE, close_fds=True, cwd="/",
                                       preexec_fn=_default_sigpipe)
        except OSError as error:
            # The statuses probe-json gives a command it cannot run.
            result["exit"] = 127 if error.errno == errno.ENOENT else 126
            result["stderr"] = u"probes: %s: %s" % (path, error.strerror)
            result["timed_out"] = result["truncated"] = False
            return result
    stdout, stderr = process.stdout.fileno(), process.stderr.fileno()
    chunks = {stdout: [], stderr: []}
    limits = {stdout: output_limit, stderr: STDERR_KEPT}
    read = {stdout: 0, stderr: 0}
    open_fds = [stdout, stderr]
    deadline = time.time() + timeout
    timed_out = truncated = False
    while open_fds:
        remaining = deadline - time.time()
        if remaining <= 0:
            if timed_out or truncated:
                # Killed, yet something it started still holds the pipes.
                break
            timed_out = True
            process.kill()
            deadline = time.time() + 5
            continue
        for fd in _wait_readable(open_fds, remaining):
            data = os.read(fd, 65536)
            if not data:
                open_fds.remove(fd)
                continue
            chunks[fd].append(data[:max(limits[fd] - read[fd], 0)])
            read[fd] += len(data)
            if fd == stdout and read[fd] > output_limit and not (timed_out or truncated):
                truncated = True
                process.kill()
                deadline = time.time() + 5
    process.stdout.close()
    process.stderr.close()
    status = process.wait()
    result["records"] = convert(b"".join(chunks[stdout]))
    result["signal" if status < 0 else "exit"] = abs(status)
    result["stderr"] = to_text(b"".join(chunks[stderr]))[0]
    result["timed_out"] = timed_out
    result["truncated"] = truncated
    return result


def main():
    module = AnsibleModule(
        argument_spec=dict(
            collectors=dict(type="list", elements="str", choices=COLLECTORS, default=COLLECTORS),
            install_dir=dict(type="path", default="/usr/bin"),
            timeout=dict(type="int", default=60),
            output_limit=dict(type="int", default=64 * 1024 * 1024),
        ),
        supports_check_mode=True,
    )
    timeout = module.params["timeout"]
    output_limit = module.params["output_limit"]
    if timeout < 1 or output_limit < 1:
        module.fail_json(msg="timeout and output_limit must be at least 1")
    probes = OrderedDict()
    for name in module.params["collectors"]:
        path = os.path.join(module.params["install_dir"], name)
        probes[name] = run_collector(path, timeout, output_limit)
    module.exit_json(changed=False, probes=probes)


if __name__ == "__main__":
    main()
