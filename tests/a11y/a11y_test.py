#!/usr/bin/python3
# The real tamblet program driven the way a screen reader user drives it, in an
# X server and a D-Bus session of its own (run_a11y_test.sh) against
# tamblet-devsim on a private JACK server. Everything is read through AT-SPI,
# and every status text must arrive as an event that carries it; keys go to the
# X server with xdotool. After the good update the device's memory must hold
# the image, and only there.

import argparse
import os
import random
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


class Failure(Exception):
    pass


def log(text):
    print(f"[{time.monotonic() - START:6.2f}s] {text}", flush=True)


def check(condition, message):
    if not condition:
        raise Failure(message)


def tail(path, lines=15):
    with open(path, errors="replace") as f:
        return "".join(f.readlines()[-lines:])


def wait(predicate, what, timeout=10):
    """Dispatches AT-SPI events until predicate() gives something true, which it
    returns; an object that goes away while it is read counts as not yet."""
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
        check(time.monotonic() < deadline, f"timed out after {timeout} s waiting for {what}")
        time.sleep(0.02)


class Recorder:
    """Events as they arrive: type, source's role and name, detail1, and what they
    carry, read at arrival (a value change names its object only)."""

    def __init__(self):
        self.events = []
        for kind in ["object:text-changed", "object:property-change:accessible-description",
                     "object:property-change:accessible-value", "window:activate", "focus:"]:
            pyatspi.Registry.registerEventListener(self.on_event, kind)

    def on_event(self, event):
        try:
            source = event.source
            data = source.queryValue().currentValue if event.type.endswith("value") \
                else event.any_data
            self.events.append((event.type, source.getRoleName(), source.name, event.detail1,
                                data))
        except Exception:
            self.events.append((event.type, None, None, event.detail1, None))

    def since(self, mark, kind, name=None):
        return [e for e in self.events[mark:] if e[0].startswith(kind)
                and (name is None or e[2] == name)]

    def announced(self, mark):
        return [e[4] for e in self.since(mark, "object:text-changed:insert", "Status")]

    def status_replay(self, mark):
        """The status line rebuilt from its text-changed events alone: each change
        deletes the whole old text and inserts the whole new one."""
        shown = None
        for kind, _, _, start, data in self.since(mark, "object:text-changed", "Status"):
            check(start == 0 and isinstance(data, str), f"status event {kind} at {start}: {data!r}")
            if kind.endswith(":delete"):
                check(shown is None or data == shown, f"deleted {data!r}, shown {shown!r}")
                shown = ""
            else:
                check(not shown, f"inserted {data!r} over {shown!r}")
                shown = data
        return shown


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


def descendants(acc):
    for child in acc:
        if child is not None:
            yield child
            yield from descendants(child)


def find(acc, name, role=None):
    for d in descendants(acc):
        if d.name == name and role in (None, d.getRoleName()):
            return d
    raise Failure(f"no {role or 'control'} named {name!r} in {acc.name!r}")


def check_controls(acc, controls, all_named=True):
    """Each (role, name) is there; every child of `acc` named, if `all_named`."""
    check(not all_named or all(c is not None and c.name for c in acc), f"{acc.name!r}: a nameless child")
    for role, name, *_ in controls:
        find(acc, name, role)


def text(acc, name, role=None):
    return find(acc, name, role).queryText().getText(0, -1)


def texts(acc, names):
    return {name: text(acc, name) for name in names}


def main_dialog(app):
    return wait(lambda: window(app, "dialog", "Tamblet"), "the main dialog")


def has(acc, state):
    return acc.getState().contains(state)


def focus(acc, what):
    wait(lambda: has(acc, pyatspi.STATE_FOCUSED), f"focus on {what}")


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check("Press" in names, f"{acc.name!r} offers no Press action: {names}")
    action.doAction(names.index("Press"))


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "60", *keys], check=True, timeout=10)


class Session:
    def __init__(self, args):
        self.args = args
        self.running = []
        self.rec = Recorder()
        self.env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                        XDG_RUNTIME_DIR=os.path.join(args.work, "runtime"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.update_file = os.path.join(args.work, "a11y.pgm")
        self.image = random.Random(11).randbytes(0x10000)
        with open(self.update_file + ".image", "wb") as f:
            f.write(self.image)
        # A gap between the regions: nothing outside them may be written.
        subprocess.run([args.pgm, "write", self.update_file, "--model", MODEL, "--version",
                        VERSION, "--target", "1", "--chunk", "0x4000", "--region", "0:0x8000",
                        "--region", "0xC000:0x2001", "--image", self.update_file + ".image",
                        "--blocks", "all"], check=True, timeout=30, stdout=subprocess.DEVNULL)

    def start(self, name, argv, ready, env=None):
        """Starts a program logging to WORK/name.log; (it, ready(it)) once that is true."""
        with open(os.path.join(self.args.work, name + ".log"), "w") as out:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env)
        proc.log_name = out.name
        self.running.append(proc)
        wait(lambda: proc.poll() is not None or ready(proc), f"{name} to be ready", 30)
        check(proc.poll() is None, f"{name} ended: {tail(proc.log_name)}")
        return proc, ready(proc)

    def end(self, proc, what, terminate=False):
        """Waits for `proc` to end, told to if `terminate`; a sanitizer report fails it."""
        if terminate:
            proc.terminate()
        wait(lambda: proc.poll() is not None, f"the program to end on {what}", 20)
        self.running.remove(proc)
        check(proc.returncode == 0, f"{what}: exit status {proc.returncode}\n{tail(proc.log_name)}")

    def devsim(self, *extra):
        return self.start("devsim", [self.args.devsim, "--model", MODEL, "--flash-size", "0x10000",
                                     *extra], lambda p: "ready:" in tail(p.log_name))[0]

    def tamblet(self):
        return self.start("tamblet", [self.args.tamblet], lambda p: app_of(p.pid), self.env)

    def driver_not_found(self, close_key):
        """A failed discovery: the alert is announced and closes with `close_key`."""
        mark = len(self.rec.events)
        proc, app = self.tamblet()
        check_controls(wait(lambda: window(app, "alert", "Tamblet"), "the alert"), ALERT, False)
        wait(lambda: any(e[1] == "alert" for e in self.rec.since(mark, "window:activate")),
             "the alert's window:activate as an alert")
        key(close_key)
        wait(lambda: window(app, "alert", "Tamblet") is None, "the alert to close")
        dialog = main_dialog(app)
        shown = texts(dialog, ["Status", "Output Port", "Input Port"])
        check(shown == {"Status": DRIVER_NOT_FOUND, "Output Port": "", "Input Port": ""},
              f"shown: {shown}")
        wait(lambda: has(dialog, pyatspi.STATE_ACTIVE), "the main dialog to be active")
        key("Escape")
        self.end(proc, "Escape in the main dialog")
        log(f"driver not found: alert announced, closed with {close_key}")

    def about_box(self, app, close_key):
        mark = len(self.rec.events)
        key("F1")
        about = wait(lambda: window(app, "dialog", "About Tamblet"), "the About box after F1")
        check_controls(about, ABOUT)
        focus(find(about, "OK", "push button"), "OK in the About box")
        wait(lambda: self.rec.since(mark, "window:activate", "About Tamblet"),
             "the About box's window:activate")
        key(close_key)
        wait(lambda: window(app, "dialog", "About Tamblet") is None, f"About to close on {close_key}")
        wait(lambda: has(window(app, "dialog", "Tamblet"), pyatspi.STATE_ACTIVE), "main active")

    def load(self, app, dialog, browse, load, last_text):
        """Picks the update file in the file dialog opened by `browse`, then Loads
        with `load` until `last_text`; the status texts announced meanwhile."""
        mark = len(self.rec.events)
        browse()
        chooser = wait(lambda: window(app, "dialog", "Open"), "the file dialog", 15)
        field = find(chooser, "File name:", "text")
        field.queryEditableText().setTextContents(self.update_file)
        wait(lambda: text(chooser, "File name:", "text") == self.update_file, "the path in the dialog")
        focus(field, "the file dialog's name field")
        key("Return")
        wait(lambda: window(app, "dialog", "Open") is None, "the file dialog to close")
        wait(lambda: "Load Version " + VERSION in self.rec.announced(mark), "the file's version")
        check(text(dialog, "File Name") == self.update_file, "the path in the file-name box")
        mark = len(self.rec.events)
        load()
        wait(lambda: last_text in self.rec.announced(mark), f"{last_text!r} announced", 40)
        settled = time.monotonic() + 0.3  # anything announced after the end shows here
        wait(lambda: time.monotonic() > settled, "later announcements")
        return mark, self.rec.announced(mark)

    def good_run(self):
        dump = os.path.join(self.args.work, "flash.bin")
        devsim = self.devsim("--dump", dump)
        proc, app = self.tamblet()
        dialog = main_dialog(app)
        ports = {"Output Port": "QELMAR SIM OUT 1", "Input Port": "QELMAR SIM IN 1", "Status": ""}
        wait(lambda: texts(dialog, ports) == ports, f"the dialog to show {ports}")
        check_controls(dialog, CONTROLS)
        for role, name, label, letter in CONTROLS:
            control = find(dialog, name, role)
            labels = [r.getTarget(i).name for r in control.getRelationSet()
                      if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            check(label is None or label in labels, f"{name}: labelled by {labels}")
            binding = control.queryAction().getKeyBinding(0).lower() if letter else ""
            check(not letter or binding.endswith("alt+" + letter) or binding == "<alt>" + letter,
                  f"{name}: key binding {binding!r}")
        bar = find(dialog, "Progress").queryValue()
        got = (bar.minimumValue, bar.maximumValue, bar.currentValue)
        check(got == (0, 35, 0), f"progress {got}, expected 0..35 at 0")
        focus(find(dialog, "Browse", "push button"), "Browse at start")
        for role, name, *_ in CONTROLS[1:3] + CONTROLS[:1]:
            key("Tab")
            focus(find(dialog, name, role), f"{name} after Tab")
        for close_key in ("Escape", "Return"):
            self.about_box(app, close_key)
        log("names, labels, key bindings, progress range, tab order and About as expected")

        mark, announced = self.load(app, dialog, lambda: press(find(dialog, "Browse")),
                                    lambda: press(find(dialog, "Load")), "Complete!")
        check(announced == GOOD_RUN, f"announced: {announced}")
        values = [e[4] for e in self.rec.since(mark, "object:property-change:accessible-value")]
        check(values and all(v is not None and 0 <= v <= 35 for v in values),
              f"progress value changes: {values}")
        check(len(self.rec.since(mark, "object:property-change:accessible-description", "Status"))
              >= len(announced), "a status change without its description change")
        check(self.rec.status_replay(mark) == "Complete!", "status events do not add up")
        status = find(dialog, "Status")
        check(text(dialog, "Status") == status.description == "Complete!",
              f"status description {status.description!r}")
        key("Escape")
        self.end(proc, "Escape after the update")
        self.end(devsim, "tamblet-devsim", terminate=True)
        with open(dump, "rb") as f:
            flash = f.read()
        check(flash[:0x8000] == self.image[:0x8000] and flash[0xC000:0xE001] ==
              self.image[0xC000:0xE001], "the device's memory differs from the image")
        check(set(flash[0x8000:0xC000] + flash[0xE001:]) == {0xFF}, "written outside the regions")
        log("good run: " + " | ".join(announced))

    def fault_run(self):
        """Keyboard only: the mnemonics press the buttons, Enter in the file-name box
        ends the program."""
        devsim = self.devsim("--fault", "VerifySum:1:no-reply")
        proc, app = self.tamblet()
        dialog = main_dialog(app)
        focus(find(dialog, "Browse"), "Browse at start")
        _, announced = self.load(app, dialog, lambda: key("alt+b"), lambda: key("alt+l"),
                                 "Verify error!!")
        check(announced == GOOD_RUN[:-1] + ["Verify error!!"], f"announced: {announced}")
        box = find(dialog, "File Name")
        box.queryComponent().grabFocus()
        focus(box, "the file-name box")
        key("Return")
        self.end(proc, "Enter in the file-name box")
        self.end(devsim, "tamblet-devsim", terminate=True)
        log("fault run: " + " | ".join(announced))


def main():
    parser = argparse.ArgumentParser()
    for name in ("tamblet", "devsim", "pgm", "work"):
        parser.add_argument("--" + name, required=True)
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    open(os.path.join(args.work, "started"), "w").close()  # the X session came up
    session = None
    try:
        check(os.environ.get("JACK_DEFAULT_SERVER"), "JACK_DEFAULT_SERVER is not set")
        session = Session(args)
        for close_key in ("Return", "Escape"):
            session.driver_not_found(close_key)
        session.good_run()
        session.fault_run()
    except Failure as failure:
        print(f"FAIL: {failure}", flush=True)
        for proc in session.running if session else []:  # the wrapper stops them
            print(f"--- {proc.log_name}\n{tail(proc.log_name)}", flush=True)
        return 1
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
