# SPDX-License-Identifier: MIT
"""The file managers' helper (res/kavrin-file-action) against a notification service on a
D-Bus session bus of its own: the progress notification with its Cancel button, a Cancel that
stops kvn, results already there kept and named, and the end told in that same notification,
in English and in German.

Run with KVN set to the kvn program and KAVRIN_LOCALE_DIR to the compiled catalogues. Also the service itself: file_action_test.py --serve LOG
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

    def run_helper(self, *paths, language=None):
        env = dict(self.env, PATH=self.bin + os.pathsep + self.env["PATH"],
                   TEXTDOMAINDIR=os.environ["KAVRIN_LOCALE_DIR"])
        if language:
            env.update(LANGUAGE=language, LC_ALL="C.UTF-8")
        result = subprocess.run(["sh", HELPER, "compress", *paths], env=env,
                                stdin=subprocess.DEVNULL, capture_output=True, text=True)
        return result, [note for note in self.notes() if note != "ready"]

    def check_one_notification(self, notes, summary="Kavrin: compressing", cancel="Cancel"):
        first = notes[0]
        self.assertEqual(first["summary"], summary)
        self.assertEqual(first["replaces"], 0)
        self.assertEqual(first["actions"], ["cancel", cancel])
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

        result, notes = self.run_helper(sound, os.path.join(self.dir, "R&B.wav"),
                                        os.path.join(self.dir, "gone.wav"))
        self.assertEqual(result.returncode, 1, result)
        self.assertTrue(os.path.exists(os.path.join(self.dir, "Kick 01.kvn")))
        with open(os.path.join(self.dir, "R&B.kvn"), "rb") as kept:
            self.assertEqual(kept.read(), b"an earlier result")
        last = self.check_one_notification(notes)
        values = [note["hints"]["value"] for note in notes[:-1]]
        self.assertEqual(values, sorted(values))
        self.assertLessEqual(values[-1], 99)
        # A file failed: urgent, with kvn's message; the result that was there is named (escaped
        # for the service's markup), not reported as a failure.
        self.assertEqual(last["summary"], "Kavrin: not everything was done")
        self.assertEqual(last["hints"]["urgency"], 2)
        self.assertEqual(last["actions"], [])
        self.assertIn("gone.wav", last["body"])
        self.assertIn("Already there, kept as it was: R&amp;B.kvn", last["body"])
        self.assertIn("3 files: 1 done, 1 failed, 1 skipped, 0 canceled", last["body"])

    def test_byte_progress_and_cancel_in_german(self):
        # A kvn a quarter into the bytes of the first of two files, working on until it is
        # stopped, as kvn reports; it notes what it was asked.
        kvn = os.path.join(self.bin, "kvn")
        asked = os.path.join(self.dir, "asked")
        with open(kvn, "w") as out:
            out.write(f"""#!/bin/sh
printf '%s\\n' "$@" > "{asked}"
trap 'echo "{{\\"record\\":\\"totals\\",\\"files\\":2,\\"done\\":0,\\"failed\\":0,\\"skipped\\":0,\\"canceled\\":2}}"; exit 143' TERM
echo '{{"record":"progress","files":2,"files_done":0,"bytes":400,"bytes_done":0}}'
echo '{{"record":"progress","files":2,"files_done":0,"bytes":400,"bytes_done":100,"file":"a.wav"}}'
while :; do sleep 0.1; done
""")
        os.chmod(kvn, 0o755)
        for name, size in [("a.wav", 100), ("b.wav", 300)]:
            with open(os.path.join(self.dir, name), "wb") as out:
                out.write(bytes(size))
        self.start_service(cancel=True)
        paths = [os.path.join(self.dir, "a.wav"), os.path.join(self.dir, "b.wav")]
        result, notes = self.run_helper(*paths, language="de")
        self.assertEqual(result.returncode, 143, result)
        with open(asked) as lines:
            self.assertEqual(lines.read().splitlines(),
                             ["compress", "--no-clobber", "--json", "--json-progress",
                              "--no-progress", "--"] + paths)
        last = self.check_one_notification(notes, "Kavrin: Komprimieren", "Abbrechen")
        # The share of the bytes read, though no file is done yet, as a hint and in words.
        self.assertIn({"value": 25, "category": "transfer"}, [note["hints"] for note in notes])
        progress = [note for note in notes if note["hints"].get("value") == 25][0]
        self.assertEqual(progress["body"], "25 %, 0 von 2 Dateien fertig")
        self.assertEqual(progress["actions"], ["cancel", "Abbrechen"])
        self.assertEqual(last["summary"], "Kavrin: abgebrochen")
        self.assertEqual(last["hints"]["urgency"], 1)
        self.assertIn("2 Dateien: 0 fertig, 0 fehlgeschlagen, 0 übersprungen, 2 abgebrochen",
                      last["body"])


if __name__ == "__main__":
    if sys.argv[1:2] == ["--serve"]:
        serve(sys.argv[2], "--cancel" in sys.argv[3:])
    else:
        unittest.main(argv=sys.argv[:1] + ["-v"])
