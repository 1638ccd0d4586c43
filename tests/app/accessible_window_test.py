#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real kavrin window as a screen reader meets it: started under Xvfb with the desktop's
accessibility bus switched on, its accessible tree walked through AT-SPI.

    accessible_window_test.py KAVRIN [LANG]

Checks the name and role of every control (the lamps say their state in words; Start and Stop
are push buttons that are pressed or not, never check boxes; the destination buttons are radio
buttons; no description repeats a name), presses Start through the screen
reader's own action, and, with LANG=de_DE.UTF-8, that the window speaks German. Without Xvfb,
D-Bus or pyatspi the test is skipped (exit 77), and fails when CI=1.
"""
import importlib.util
import os
import shutil
import subprocess
import sys
import tempfile
import time

SKIP = 77
HANG_GUARD_S = 120  # only ends a test that would otherwise hang; nothing is timed

ENGLISH = {
    "window": "Tellmark Kavrin",
    "buttons": ["Start", "Stop", "Delete Source", "Add Files to Input Queue", "Delete Files from Input Queue", "Browse...",
                "Clear Report", "Help"],
    "radios": ["To Same Directory", "To Defined Directory"],
    "trees": ["Input Files Queue", "Report"],
    "combo": "Bit-depth Optimization",
    "text": "Destination Directory",
    "bars": ["Queue gauge", "Job progress"],
    "lamps": ["Analysis lamp: off", "Transfer lamp: off", "Coding lamp: off"],
    "lit": "Transfer lamp: on",
}
GERMAN = {
    "window": "Tellmark Kavrin",
    "buttons": ["Start", "Stopp", "Quelle löschen", "Dateien zur Eingabewarteschlange hinzufügen",
                "Dateien aus der Eingabewarteschlange entfernen", "Durchsuchen...",
                "Bericht leeren", "Hilfe"],
    "radios": ["In denselben Ordner", "In festgelegten Ordner"],
    "trees": ["Eingabewarteschlange", "Bericht"],
    "combo": "Bittiefen-Optimierung",
    "text": "Zielordner",
    "bars": ["Füllstand der Warteschlange", "Fortschritt des Auftrags"],
    "lamps": ["Analyselampe: aus", "Übertragungslampe: aus", "Kodierlampe: aus"],
    "lit": "Übertragungslampe: an",
}


def missing(reason):
    print(f"SKIP: {reason}")
    sys.exit(1 if os.environ.get("CI") else SKIP)


def outer(kavrin, lang):
    for tool in ("Xvfb", "dbus-run-session"):
        if shutil.which(tool) is None:
            missing(f"{tool} not found (scripts/setup.sh installs it)")
    # Only looked for: importing it here would tie this process to a desktop bus.
    if importlib.util.find_spec("pyatspi") is None:
        missing("pyatspi not found (Debian's python3-pyatspi)")
    if not os.path.exists("/usr/libexec/at-spi-bus-launcher"):
        missing("the accessibility bus is missing (Debian's at-spi2-core)")
    # A display of its own: Xvfb picks a free number and tells it once it takes connections,
    # so other programs' servers on this machine never meet this test. It must not reset when
    # its first client (the accessibility bus's launcher) leaves: the window would be turned
    # away in that moment.
    read_end, write_end = os.pipe()
    server = subprocess.Popen(["Xvfb", "-displayfd", str(write_end), "-nolisten", "tcp", "-noreset",
                               "-screen", "0", "1280x1024x24"], pass_fds=(write_end,),
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    with os.fdopen(read_end) as numbers:
        display = numbers.readline().strip()
    try:
        if not display:
            raise AssertionError("Xvfb did not start")
        env = dict(os.environ, DISPLAY=f":{display}")
        env.pop("XAUTHORITY", None)
        result = subprocess.run(["dbus-run-session", "--", sys.executable, __file__, "--inner",
                                 kavrin, lang], env=env, timeout=HANG_GUARD_S * 3)
    finally:
        server.kill()
        server.wait()
    sys.exit(result.returncode)


def wait_for(what, found):
    deadline = time.monotonic() + HANG_GUARD_S
    while time.monotonic() < deadline:
        value = found()
        if value:
            return value
        time.sleep(0.1)
    raise AssertionError(f"never came: {what}")


def inner(kavrin, lang):
    from gi.repository import Gio, GLib
    import pyatspi

    # What a screen reader does as it starts: switch the desktop's accessibility on.
    bus = Gio.bus_get_sync(Gio.BusType.SESSION, None)
    bus.call_sync("org.a11y.Bus", "/org/a11y/bus", "org.freedesktop.DBus.Properties", "Set",
                  GLib.Variant("(ssv)", ("org.a11y.Status", "IsEnabled",
                                         GLib.Variant("b", True))),
                  None, Gio.DBusCallFlags.NONE, -1, None)

    home = tempfile.mkdtemp(prefix="kavrin-a11y-")
    runtime = os.path.join(home, "runtime")
    os.mkdir(runtime, 0o700)
    env = dict(os.environ, HOME=home, XDG_CONFIG_HOME=os.path.join(home, "config"),
               XDG_DATA_HOME=os.path.join(home, "data"), XDG_RUNTIME_DIR=runtime,
               LANG=lang, LANGUAGE="", LC_ALL="", LC_MESSAGES="")
    env.pop("QT_QPA_PLATFORM", None)
    window_process = subprocess.Popen([kavrin], env=env)
    try:
        expected = GERMAN if lang.startswith("de") else ENGLISH
        check_window(pyatspi, expected, window_process.pid)
    finally:
        window_process.kill()
        window_process.wait()
        shutil.rmtree(home, ignore_errors=True)
    print("OK")


def children(node):
    return [node.getChildAtIndex(i) for i in range(node.childCount)]


def states(node):
    return {pyatspi_state_name(s) for s in node.getState().getStates()}


def pyatspi_state_name(state):
    import pyatspi
    return pyatspi.stateToString(state)


def check_window(pyatspi, expected, pid):
    desktop = pyatspi.Registry.getDesktop(0)

    def find_window():
        for app in children(desktop):
            if app is None or app.get_process_id() != pid:
                continue
            for window in children(app):
                if window is not None and window.name == expected["window"]:
                    return window
        return None

    window = wait_for("the window", find_window)
    controls = [c for c in children(window) if c is not None]
    by_role = {}
    for control in controls:
        by_role.setdefault(control.getRoleName(), []).append(control)

    def names(role):
        return sorted(c.name for c in by_role.get(role, []))

    failures = []

    def expect(what, got, want):
        if got != want:
            failures.append(f"{what}: got {got!r}, want {want!r}")

    expect("buttons", names("push button"), sorted(expected["buttons"]))
    expect("check boxes", names("check box"), [])
    # The destination buttons: one choice, so radio buttons, exactly one of them checked.
    radios = by_role.get("radio button", [])
    expect("radio buttons", names("radio button"), sorted(expected["radios"]))
    expect("radio buttons checked", sum("checked" in states(r) for r in radios), 1)
    # A button's description says more than its name, or nothing.
    for control in by_role.get("push button", []) + radios:
        if control.description == control.name:
            failures.append(f"{control.name}: the description repeats the name")
    expect("lists", names("tree"), sorted(expected["trees"]))
    expect("destination field", names("text"), [expected["text"]])
    expect("progress bars", names("progress bar"), sorted(expected["bars"]))
    lamps = [c for c in by_role.get("label", []) if c.name.split(":")[0] != expected["combo"]]
    expect("lamps", sorted(c.name for c in lamps), sorted(expected["lamps"]))
    combos = by_role.get("combo box", [])
    expect("combo boxes", len(combos), 1)
    if combos:
        labels = []
        for relation in combos[0].getRelationSet():
            if relation.getRelationType() == pyatspi.RELATION_LABELLED_BY:
                labels += [relation.getTarget(i).name for i in range(relation.getNTargets())]
        expect("the combo box's label", labels, [expected["combo"]])

    buttons = {c.name: c for c in by_role.get("push button", [])}
    start, stop = buttons.get(expected["buttons"][0]), buttons.get(expected["buttons"][1])
    if start is not None and stop is not None:
        expect("Start pressed as the window opens", "pressed" in states(start), False)
        expect("Stop pressed as the window opens", "pressed" in states(stop), True)
        # The screen reader presses Start: Start is pressed in, Stop is not.
        action = start.queryAction()
        press = [i for i in range(action.nActions) if action.getName(i) == "Press"]
        expect("Start's press action", len(press), 1)
        if press:
            action.doAction(press[0])
            wait_for("Start pressed in", lambda: "pressed" in states(start))
            expect("Stop after Start", "pressed" in states(stop), False)
    else:
        failures.append("Start or Stop not found by name")

    if failures:
        raise AssertionError("\n".join(failures))


def main():
    if len(sys.argv) >= 2 and sys.argv[1] == "--inner":
        inner(sys.argv[2], sys.argv[3])
    else:
        outer(sys.argv[1], sys.argv[2] if len(sys.argv) > 2 else "C.UTF-8")


if __name__ == "__main__":
    main()
