#!/usr/bin/python3
# The real tamblet program driven the way a screen reader user drives it, in an
# X server and a D-Bus session of its own (run_a11y_test.sh) against
# tamblet-devsim on a private JACK server. Everything is read through AT-SPI,
# and every status text must arrive as an event that carries it; keys go to the
# X server with xdotool. What the device's memory holds after an update, and
# each failure's text, are the load test's and the VM cases' to prove.

import os
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import GLib  # noqa: E402
import pyatspi  # noqa: E402

MODEL, VERSION = "MODEL-A11Y", "2.07"
DRIVER_NOT_FOUND = "QELMAR USB Driver not found!!"
# A good Load of the file made below: one "Loading" text a piece (two pieces, then one).
GOOD_RUN = ["File reading....", "Device open....", "Copying....", "Loading.... (  0%)",
            "Loading.... ( 50%)", "Loading.... (  0%)", "Uninstalling....", "Installing....",
            "Verifying....", "Complete!"]
# The main dialog's controls: role, name, naming label, mnemonic; the first three in tab order.
CONTROLS = [("push button", "Browse", None, "b"), ("text", "File Name", "File Name :", None),
            ("push button", "Load", None, "l"), ("progress bar", "Progress", None, None),
            ("status bar", "Status", "Status :", None),
            ("label", "Output Port", "Output Port :", None),
            ("label", "Input Port", "Input Port :", None)]
ALERT = [("label", DRIVER_NOT_FOUND), ("push button", "OK")]
ABOUT = [("label", "Tamblet V1.01"), ("label", "Installs new firmware into USB-MIDI devices."),
         ("label", "Free software by the Tamblet authors."), ("image", "Tamblet"),
         ("push button", "OK")]
START = time.monotonic()
CONTEXT = GLib.MainContext.default()
# Events as they arrive: type, source's role and name, detail1, and what they
# carry, read at arrival (a value change names its object only).
EVENTS = []


def log(message):
    print(f"[{time.monotonic() - START:6.2f}s] {message}", flush=True)


def tail(path, lines=15):
    with open(path, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


# Dispatches AT-SPI events until predicate() gives something true, which it
# returns; an object that goes away while it is read counts as not yet.
def wait(predicate, what, timeout=10):
    deadline = time.monotonic() + timeout
    while True:
        while CONTEXT.iteration(False):
            pass
        try:
            result = predicate()
        except Exception:
            result = None
        if result:
            return result
        assert time.monotonic() < deadline, f"timed out after {timeout} s waiting for {what}"
        time.sleep(0.02)


def record(event):
    try:
        source = event.source
        data = source.queryValue().currentValue if event.type.endswith("value") else event.any_data
        EVENTS.append((event.type, source.getRoleName(), source.name, event.detail1, data))
    except Exception:
        EVENTS.append((event.type, None, None, event.detail1, None))


def since(mark, kind, name=None):
    return [e for e in EVENTS[mark:] if e[0].startswith(kind) and name in (None, e[2])]


def announced(mark):
    return [e[4] for e in since(mark, "object:text-changed:insert", "Status")]


def app_of(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app.get_process_id() == pid:
                return app
        except Exception:  # an application gone meanwhile
            pass
    return None


def window(app, role, name):
    for w in app:
        if w is not None and (w.getRoleName(), w.name) == (role, name) and \
                w.getState().contains(pyatspi.STATE_SHOWING):
            return w
    return None


def find(acc, name, role=None):
    found = pyatspi.findDescendant(
        acc, lambda d: d.name == name and role in (None, d.getRoleName()))
    assert found, f"no {role or 'control'} named {name!r} in {acc.name!r}"
    return found


def until(acc, state, what):
    wait(lambda: acc.getState().contains(state), what)


# Each (role, name) is there; every child of `acc` named, if `all_named`.
def check_controls(acc, controls, all_named=True):
    assert not all_named or all(c is not None and c.name for c in acc), f"{acc.name}: no name"
    for role, name, *_ in controls:
        find(acc, name, role)


# The window `role_name` of `app` shows its `controls` (and no nameless child, if
# `all_named`), is announced by window:activate after `mark`, has its OK button
# focused and closes with `close_key`.
def closes(app, role_name, controls, mark, close_key, all_named=True):
    shown = wait(lambda: window(app, *role_name), f"the {role_name}")
    check_controls(shown, controls, all_named)
    wait(lambda: any(e[1:3] == role_name for e in since(mark, "window:activate")),
         f"the {role_name}'s window:activate")
    until(find(shown, "OK", "push button"), pyatspi.STATE_FOCUSED, f"OK in the {role_name}")
    key(close_key)
    wait(lambda: window(app, *role_name) is None, f"the {role_name} to close on {close_key}")


def text(acc, name, role=None):
    return find(acc, name, role).queryText().getText(0, -1)


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "60", *keys], check=True, timeout=10)


class Session:
    def __init__(self, tamblet, devsim, pgm, work):
        self.tamblet_bin, self.devsim_bin, self.work = tamblet, devsim, work
        self.running = []
        self.env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                        XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.update_file = os.path.join(work, "a11y.pgm")
        subprocess.run([pgm, "write", self.update_file, "--model", MODEL, "--version",
                        VERSION, "--target", "1", "--chunk", "0x4000", "--region", "0:0x8000",
                        "--region", "0xC000:0x2001", "--image-size", "0x10000"],
                       check=True, timeout=30, stdout=subprocess.DEVNULL)

    # Starts a program logging to WORK/name.log; (it, ready(it)) once that is true.
    def start(self, name, argv, ready, env=None):
        with open(os.path.join(self.work, name + ".log"), "w") as out:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env)
        proc.log_name = out.name
        self.running.append(proc)
        wait(lambda: proc.poll() is not None or ready(proc), f"{name} to be ready", 30)
        assert proc.poll() is None, f"{name} ended: {tail(proc.log_name)}"
        return proc, ready(proc)

    # Waits for `proc` to end, told to if `terminate`; a sanitizer report fails it.
    def end(self, proc, what, terminate=False):
        if terminate:
            proc.terminate()
        wait(lambda: proc.poll() is not None, f"the program to end on {what}", 20)
        self.running.remove(proc)
        assert proc.returncode == 0, f"{what}: status {proc.returncode}\n{tail(proc.log_name)}"

    # The program, its application on the bus, and its main dialog once shown.
    def tamblet(self):
        proc, app = self.start("tamblet", [self.tamblet_bin], lambda p: app_of(p.pid), self.env)
        return proc, app, lambda: wait(lambda: window(app, "dialog", "Tamblet"), "the main dialog")

    # A failed discovery: the alert is announced and closes with `close_key`.
    def driver_not_found(self, close_key):
        mark = len(EVENTS)
        proc, app, main_dialog = self.tamblet()
        closes(app, ("alert", "Tamblet"), ALERT, mark, close_key, all_named=False)
        until(main_dialog(), pyatspi.STATE_ACTIVE, "the main dialog to be active")
        key("Escape")
        self.end(proc, "Escape in the main dialog")
        log(f"driver not found: alert announced, closed with {close_key}")

    # Everything from the keyboard: the controls and About, then Browse and Load
    # by their mnemonics, each status text announced, and Enter in the file-name
    # box ends the program.
    def good_run(self):
        devsim, _ = self.start("devsim", [self.devsim_bin, "--model", MODEL, "--flash-size",
                                          "0x10000"], lambda p: "ready:" in tail(p.log_name))
        proc, app, main_dialog = self.tamblet()
        dialog = main_dialog()
        ports = ["QELMAR SIM OUT 1", "QELMAR SIM IN 1", ""]
        wait(lambda: [text(dialog, n) for n in ("Output Port", "Input Port", "Status")] == ports,
             f"the dialog to show {ports}")
        check_controls(dialog, CONTROLS)
        for role, name, label, letter in CONTROLS:
            control = find(dialog, name, role)
            labels = [r.getTarget(i).name for r in control.getRelationSet()
                      if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            assert label is None or label in labels, f"{name}: labelled by {labels}"
            binding = control.queryAction().getKeyBinding(0).lower() if letter else ""
            assert not letter or binding.endswith("alt+" + letter) or binding == "<alt>" + letter, \
                f"{name}: key binding {binding!r}"
        until(find(dialog, "Browse"), pyatspi.STATE_FOCUSED, "Browse at start")
        for role, name, *_ in CONTROLS[1:3] + CONTROLS[:1]:
            key("Tab")
            until(find(dialog, name, role), pyatspi.STATE_FOCUSED, f"{name} after Tab")
        for close_key in ("Escape", "Return"):
            mark = len(EVENTS)
            key("F1")
            closes(app, ("dialog", "About Tamblet"), ABOUT, mark, close_key)
            until(dialog, pyatspi.STATE_ACTIVE, "the main dialog active again")
        log("names, labels, key bindings, tab order and About as expected")

        mark = len(EVENTS)
        key("alt+b")
        chooser = wait(lambda: window(app, "dialog", "Open"), "the file dialog", 15)
        field = find(chooser, "File name:", "text")
        field.queryEditableText().setTextContents(self.update_file)
        wait(lambda: text(chooser, "File name:", "text") == self.update_file, "the path typed")
        until(field, pyatspi.STATE_FOCUSED, "the file dialog's name field")
        key("Return")
        wait(lambda: window(app, "dialog", "Open") is None, "the file dialog to close")
        wait(lambda: "Load Version " + VERSION in announced(mark), "the file's version")
        mark = len(EVENTS)
        key("alt+l")
        wait(lambda: "Complete!" in announced(mark), "Complete! announced", 40)
        settled = time.monotonic() + 0.3  # anything announced after the end shows here
        wait(lambda: time.monotonic() > settled, "later announcements")
        texts = announced(mark)
        assert texts == GOOD_RUN, f"announced: {texts}"
        # Each change deletes the whole old text and inserts the whole new one.
        changes = [(e[0].split(":")[-1], e[3], e[4])
                   for e in since(mark, "object:text-changed", "Status")]
        expected = [change for old, new in zip(["Load Version " + VERSION] + texts, texts)
                    for change in (("delete", 0, old), ("insert", 0, new))]
        assert changes == expected, f"status text changes: {changes}"
        descriptions = since(mark, "object:property-change:accessible-description", "Status")
        assert len(descriptions) >= len(texts), "a status change without its description change"
        status = find(dialog, "Status")
        assert text(dialog, "Status") == status.description == "Complete!", status.description
        values = [e[4] for e in since(mark, "object:property-change:accessible-value")]
        assert values and all(v is not None and 0 <= v <= 35 for v in values), values
        box = find(dialog, "File Name")
        box.queryComponent().grabFocus()
        until(box, pyatspi.STATE_FOCUSED, "the file-name box")
        key("Return")
        self.end(proc, "Enter in the file-name box")
        self.end(devsim, "tamblet-devsim", terminate=True)
        log("good run: " + " | ".join(texts))


def main():
    if not __debug__:
        sys.exit("FAIL: the checks are assert statements: run without -O")
    open(os.path.join(sys.argv[4], "started"), "w").close()  # the X session came up
    for kind in ["object:text-changed", "object:property-change:accessible-description",
                 "object:property-change:accessible-value", "window:activate"]:
        pyatspi.Registry.registerEventListener(record, kind)
    session = Session(*sys.argv[1:5])
    try:
        for close_key in ("Return", "Escape"):
            session.driver_not_found(close_key)
        session.good_run()
    except Exception as failure:
        print(f"FAIL: {failure}", flush=True)
        for proc in session.running:  # the wrapper stops them
            print(f"--- {proc.log_name}\n{tail(proc.log_name)}", flush=True)
        return 1
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
