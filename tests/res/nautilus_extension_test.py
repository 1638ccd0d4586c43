# SPDX-License-Identifier: MIT
"""The GNOME Files extension loaded as Nautilus loads it, through the real Nautilus bindings:
the actions it offers for selections of real files, typed by the shared MIME database with
Kavrin's MIME package, and the helper command an action runs."""

import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time
import unittest

RES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "res")

# The desktop's MIME database plus Kavrin's package, as an installed package makes it; set up
# before anything reads the database.
scratch = tempfile.mkdtemp(prefix="kavrin-nautilus-")
os.makedirs(os.path.join(scratch, "data/mime/packages"))
shutil.copy(os.path.join(RES, "kavrin-mime.xml"), os.path.join(scratch, "data/mime/packages"))
os.environ["XDG_DATA_HOME"] = os.path.join(scratch, "data")

try:
    import gi

    gi.require_version("Nautilus", "4.0")
    from gi.repository import Gio, GObject, Nautilus
except (ImportError, ValueError) as error:
    missing = error
else:
    missing = None


class File(GObject.GObject, Nautilus.FileInfo):
    """A local file as Nautilus hands it to extensions, typed as Nautilus types it."""

    def __init__(self, path):
        super().__init__()
        self.location = Gio.File.new_for_path(path)
        info = self.location.query_info("standard::content-type,standard::type", 0, None)
        self.type = info.get_content_type()
        self.directory = info.get_file_type() == Gio.FileType.DIRECTORY

    def do_get_uri_scheme(self):
        return "file"

    def do_get_location(self):
        return self.location

    def do_get_mime_type(self):
        return self.type

    def do_is_mime_type(self, mime_type):
        return Gio.content_type_is_a(self.type, mime_type)

    def do_is_directory(self):
        return self.directory


class NautilusExtensionTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if missing is not None:
            message = f"the Nautilus bindings are missing ({missing}; scripts/setup.sh installs them)"
            if os.environ.get("CI") == "1":
                raise AssertionError(message)
            raise unittest.SkipTest(message)
        subprocess.run(["update-mime-database", os.path.join(scratch, "data/mime")], check=True)
        # The helper is a stand-in that notes its arguments, one a line.
        cls.noted = os.path.join(scratch, "noted")
        helper = os.path.join(scratch, "kavrin-file-action")
        with open(helper, "w") as out:
            out.write(f'#!/bin/sh\nprintf "%s\\n" "$@" > "{cls.noted}.part"\n'
                      f'mv "{cls.noted}.part" "{cls.noted}"\n')
        os.chmod(helper, 0o755)
        with open(os.path.join(RES, "kavrin-nautilus.py.in")) as source:
            code = source.read().replace("@KAVRIN_FILE_ACTION@", helper).replace(
                "@KAVRIN_LOCALE_DIR@", os.environ["KAVRIN_LOCALE_DIR"])
        with open(os.path.join(scratch, "kavrin.py"), "w") as out:
            out.write(code)
        cls.provider = cls.load(language="en")

        cls.files = os.path.join(scratch, "files")
        os.makedirs(os.path.join(cls.files, "Loops and takes é"))
        contents = {
            "Kick.01.wav": b"RIFF\x24\x00\x00\x00WAVEfmt ",
            "Piano.aiff": b"FORM\x00\x00\x00\x04AIFF",
            "bank.sf2": b"RIFF\x04\x00\x00\x00sfbk",
            "take.kvn": b"KVN1" + bytes(28),
            "notes.txt": b"just words\n",
            "Pad.aifc": b"FORM\x00\x00\x00\x04AIFC",
            "Room.flac": b"fLaC\x00\x00\x00\x22",
            "Field.w64": b"riff\x2e\x91\xcf\x11\xa5\xd6\x28\xdb\x04\xc1\x00\x00" + bytes(8) + b"wave",
            "Hit.caf": b"caff\x00\x01\x00\x00",
            "Kit.sfz": b"<region> sample=Kick.01.wav\n",
        }
        for name, data in contents.items():
            with open(os.path.join(cls.files, name), "wb") as out:
                out.write(data)

    @classmethod
    def load(cls, language):
        """The extension as the loader takes it, in the user's `language`: the provider of the
        one class of the module that provides menus."""
        spec = importlib.util.spec_from_file_location("kavrin", os.path.join(scratch, "kavrin.py"))
        module = importlib.util.module_from_spec(spec)
        saved = os.environ.get("LANGUAGE")
        os.environ["LANGUAGE"] = language
        try:
            spec.loader.exec_module(module)
        finally:
            if saved is None:
                del os.environ["LANGUAGE"]
            else:
                os.environ["LANGUAGE"] = saved
        providers = [value for value in vars(module).values()
                     if isinstance(value, type) and issubclass(value, Nautilus.MenuProvider)
                     and value is not Nautilus.MenuProvider]
        assert len(providers) == 1, providers
        return providers[0]()

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(scratch, ignore_errors=True)

    def items(self, *names):
        return self.provider.get_file_items([File(os.path.join(self.files, n)) for n in names])

    def test_offers_each_action_where_it_applies(self):
        compress, expand = "Compress with Kavrin", "Expand here"
        for names, labels in [
            (["Kick.01.wav"], [compress]),
            (["Piano.aiff"], [compress]),
            (["bank.sf2"], [compress]),
            (["take.kvn"], [expand]),
            (["Loops and takes é"], [compress, expand]),
            (["Kick.01.wav", "bank.sf2", "Loops and takes é"], [compress]),
            (["take.kvn", "Loops and takes é"], [expand]),
            (["Pad.aifc"], [compress]),
            (["Room.flac", "Field.w64", "Hit.caf", "Kit.sfz"], [compress]),
            (["Kick.01.wav", "take.kvn"], [compress, expand]),
            (["notes.txt", "take.kvn"], [expand]),
            (["notes.txt"], []),
        ]:
            with self.subTest(names=names):
                self.assertEqual([item.props.label for item in self.items(*names)], labels)
        self.assertEqual(self.provider.get_background_items(File(self.files)), [])

    def test_speaks_the_users_language(self):
        german = self.load(language="de")
        items = german.get_file_items([File(os.path.join(self.files, n))
                                       for n in ("Kick.01.wav", "take.kvn")])
        self.assertEqual([(item.props.label, item.props.tip) for item in items], [
            ("Mit Kavrin komprimieren", "Die Auswahl in .kvn-Archive daneben komprimieren"),
            ("Hier entpacken", "Die Archive der Auswahl daneben wiederherstellen")])

    def test_an_action_runs_the_helper_on_the_selection(self):
        for label, command, names in [
            ("Compress with Kavrin", "compress", ["Kick.01.wav", "Loops and takes é"]),
            ("Expand here", "expand", ["take.kvn", "Loops and takes é"]),
        ]:
            self.ran(label, command, names, names)
        # A mixed selection: each action takes its own items, other files neither.
        mixed = ["Kick.01.wav", "take.kvn", "notes.txt", "Hit.caf"]
        self.ran("Compress with Kavrin", "compress", mixed, ["Kick.01.wav", "Hit.caf"])
        self.ran("Expand here", "expand", mixed, ["take.kvn"])

    def ran(self, label, command, names, taken):
        with self.subTest(command=command, names=names):
            if os.path.exists(self.noted):
                os.remove(self.noted)
            (item,) = [item for item in self.items(*names) if item.props.label == label]
            item.activate()
            while not os.path.exists(self.noted):  # the stand-in runs on its own
                time.sleep(0.01)
            with open(self.noted, encoding="utf-8") as noted:
                self.assertEqual(noted.read().splitlines(),
                                 [command] + [os.path.join(self.files, n) for n in taken])

if __name__ == "__main__":
    unittest.main(argv=sys.argv[:1] + ["-v"])
