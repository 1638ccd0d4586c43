# SPDX-License-Identifier: MIT
"""The file managers' helper (res/kavrin-file-action) against a notification service on a
D-Bus session bus of its own: the progress notification with its Cancel button, a Cancel that
stops kvn, and the end told in that same notification.

Run with KVN set to the kvn program. Also the service itself: file_action_test.py --serve LOG
[--cancel] notes each Notify call as a JSON line in LOG and, with --cancel, presses Cancel on
the first notification that offers it and shows some progress."""

import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

HELPER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res",
                      "kavrin-file-action")

SERVICE = """<node><interface name="org.freedesktop.Notifications">
  <method name="GetCapabilities"><arg direction="out" type="as"/></method>
  <method name="Notify">
    <arg direction="in" type="s"/><arg direction="in" type="u"/><arg direction="in" type="s"/>
    <arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="in" type="as"/>
    <arg direction="in" type="a{sv}"/><arg direction="in" type="i"/>
    <arg direction="out" type="u"/>
  </method>
  <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
</interface></node>"""


def serve(log, cancel):
    from gi.repository import Gio, GLib

    interface = Gio.DBusNodeInfo.new_for_xml(SERVICE).interfaces[0]
    state = {"last": 0, "canceled": False}

    def call(connection, sender, path, name, method, parameters, invocation):
        if method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (["actions", "body", "body-markup"],)))
            return
        app, replaces, icon, summary, body, actions, hints, timeout = parameters.unpack()
        if replaces == 0:
            state["last"] += 1
        number = replaces or state["last"]
        with open(log, "a") as out:
            out.write(json.dumps({"id": number, "replaces": replaces, "summary": summary,
                                  "body": body, "actions": actions, "hints": hints,
                                  "timeout": timeout}) + "\n")
        invocation.return_value(GLib.Variant("(u)", (number,)))
        if cancel and actions and hints.get("value", 0) > 0 and not state["canceled"]:
            state["canceled"] = True
            connection.emit_signal(None, path, name, "ActionInvoked",
                                   GLib.Variant("(us)", (number, "cancel")))

    def acquired(connection, _name):
        with open(log, "a") as out:
            out.write('"ready"\n')

    def bus_acquired(connection, _name):
        connection.register_object("/org/freedesktop/Notifications", interface, call)

    Gio.bus_own_name(Gio.BusType.SESSION, "org.freedesktop.Notifications",
                     Gio.BusNameOwnerFlags.NONE, bus_acquired, acquired, None)
    GLib.MainLoop().run()


class FileActionTest(unittest.TestCase):
    def setUp(self):
        missing = [tool for tool in ("dbus-daemon", "gdbus") if shutil.which(tool) is None]
        try:
            import gi  # noqa: F401
        except ImportError:
            missing.append("python3-gi")
        if missing:
            message = f"{', '.join(missing)} missing (scripts/setup.sh installs them)"
            if os.environ.get("CI") == "1":
                self.fail(message)
            self.skipTest(message)
        self.dir = tempfile.mkdtemp(prefix="kavrin-action-")
        self.addCleanup(shutil.rmtree, self.dir, ignore_errors=True)
        self.bus = subprocess.Popen(
            ["dbus-daemon", "--session", "--nofork", "--nopidfile", "--print-address=1"],
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.addCleanup(self.bus.wait)
        self.addCleanup(self.bus.terminate)
        self.addCleanup(self.bus.stdout.close)
        self.env = dict(os.environ, DBUS_SESSION_BUS_ADDRESS=self.bus.stdout.readline().strip())
        self.log = os.path.join(self.dir, "notifications")
        self.bin = os.path.join(self.dir, "bin")
        os.mkdir(self.bin)

    def start_service(self, cancel):
        service = subprocess.Popen(
            [sys.executable, os.path.abspath(__file__), "--serve", self.log]
            + (["--cancel"] if cancel else []), env=self.env)
        self.addCleanup(service.wait)
        self.addCleanup(service.terminate)
        while "ready" not in self.notes():
            time.sleep(0.01)  # waits for the name on the bus; the ctest timeout ends a hang

    def notes(self):
        if not os.path.exists(self.log):
            return []
        with open(self.log) as lines:
            return [json.loads(line) for line in lines]

    def run_helper(self, *paths):
        env = dict(self.env, PATH=self.bin + os.pathsep + self.env["PATH"])
        result = subprocess.run(["sh", HELPER, "compress", *paths], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        return result, [note for note in self.notes() if note != "ready"]

    def check_one_notification(self, notes):
        first = notes[0]
        self.assertEqual(first["summary"], "Kavrin: compressing")
        self.assertEqual(first["replaces"], 0)
        self.assertEqual(first["actions"], ["cancel", "Cancel"])
        self.assertEqual(first["hints"]["value"], 0)
        self.assertEqual(first["timeout"], 0)  # stays until the work is done
        for note in notes[1:]:
            self.assertEqual(note["replaces"], first["id"])
        return notes[-1]

    def test_progress_then_the_end_in_one_notification(self):
        os.symlink(os.environ["KVN"], os.path.join(self.bin, "kvn"))
        self.start_service(cancel=False)
        sound = os.path.join(self.dir, "Kick 01.wav")
        with open(sound, "wb") as out:
            out.write(b"RIFF....WAVE" + bytes(range(256)) * 4096)
        for name, data in [("R&B.wav", b"a sound"), ("R&B.kvn", b"an earlier result")]:
            with open(os.path.join(self.dir, name), "wb") as out:
                out.write(data)

        result, notes = self.run_helper(sound, os.path.join(self.dir, "R&B.wav"))
        self.assertEqual(result.returncode, 1, result)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "Kick 01.kvn")))
        last = self.check_one_notification(notes)
        values = [note["hints"]["value"] for note in notes[:-1]]
        self.assertEqual(values, sorted(values))
        self.assertLessEqual(values[-1], 99)
        # Failed: urgent, with kvn's message (its name escaped for the service's markup).
        self.assertEqual(last["summary"], "Kavrin: not everything was done")
        self.assertEqual(last["hints"]["urgency"], 2)
        self.assertEqual(last["actions"], [])
        self.assertIn("R&amp;B.kvn", last["body"])
        self.assertIn("2 files: 1 done, 1 failed, 0 skipped, 0 canceled", last["body"])

    def test_progress_and_cancel(self):
        # A kvn that has done the first file and works on until it is stopped, as kvn reports.
        kvn = os.path.join(self.bin, "kvn")
        with open(kvn, "w") as out:
            out.write("""#!/bin/sh
trap 'echo "{\\"type\\":\\"totals\\",\\"files\\":2,\\"done\\":1,\\"failed\\":0,\\"skipped\\":0,\\"canceled\\":1}"; exit 143' TERM
echo '{"type":"file","file":"a.wav","result":"done","old_size":100}'
while :; do sleep 0.1; done
""")
        os.chmod(kvn, 0o755)
        for name, size in [("a.wav", 100), ("b.wav", 300)]:
            with open(os.path.join(self.dir, name), "wb") as out:
                out.write(bytes(size))
        self.start_service(cancel=True)
        result, notes = self.run_helper(os.path.join(self.dir, "a.wav"),
                                        os.path.join(self.dir, "b.wav"))
        self.assertEqual(result.returncode, 143, result)
        last = self.check_one_notification(notes)
        # The share of the bytes done, as a hint and in words, with the Cancel button.
        self.assertIn({"value": 25, "category": "transfer"}, [note["hints"] for note in notes])
        progress = [note for note in notes if note["hints"].get("value") == 25][0]
        self.assertEqual(progress["body"], "25%, 1 of 2 files done")
        self.assertEqual(progress["actions"], ["cancel", "Cancel"])
        self.assertEqual(last["summary"], "Kavrin: canceled")
        self.assertEqual(last["hints"]["urgency"], 1)
        self.assertIn("2 files: 1 done, 0 failed, 0 skipped, 1 canceled", last["body"])


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2], "--cancel" in sys.argv[3:])
    else:
        unittest.main(argv=sys.argv[:1] + ["-v"])
