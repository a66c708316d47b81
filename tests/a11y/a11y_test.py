#!/usr/bin/python3
"""The real tamblet program driven the way a screen reader user drives it.

Runs inside an X server and a D-Bus session of its own (run_a11y_test.sh sets
them up) against tamblet-devsim on a private JACK server. Everything is read
through AT-SPI; every status text must arrive as an event that carries it.
Keys go to the X server with xdotool, as a keyboard would send them. After
the good update the device's memory must hold the image, and only there.
"""

import argparse
import os
import random
import signal
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import GLib  # noqa: E402
import pyatspi  # noqa: E402

MODEL, VERSION = "MODEL-A11Y", "2.07"
DRIVER_NOT_FOUND = "QELMAR USB Driver not found!!"
# The status texts of a good Load of the file made below, in order: one
# "Loading" text a piece (two pieces, then one), counted from each region's start.
GOOD_RUN = ["File reading....", "Device open....", "Copying....", "Loading.... (  0%)",
            "Loading.... ( 50%)", "Loading.... (  0%)", "Uninstalling....", "Installing....",
            "Verifying....", "Complete!"]
# Role, name and naming label of each control of the main dialog.
MAIN_CONTROLS = [("push button", "Browse", None), ("text", "File Name", "File Name :"),
                 ("push button", "Load", None), ("progress bar", "Progress", None),
                 ("status bar", "Status", "Status :"), ("label", "Output Port", "Output Port :"),
                 ("label", "Input Port", "Input Port :")]
ABOUT_TEXTS = ["Tamblet V1.01", "Installs new firmware into USB-MIDI devices.",
               "Free software by the Tamblet authors."]
START = time.monotonic()
CONTEXT = GLib.MainContext.default()


class Failure(Exception):
    pass


class OutOfTime(BaseException):
    """Not an Exception: no wait that tolerates a passing error may swallow it."""


def log(text):
    print(f"[{time.monotonic() - START:6.2f}s] {text}", flush=True)


def check(condition, message):
    if not condition:
        raise Failure(message)


def tail(path, lines=15):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def pump(seconds):
    deadline = time.monotonic() + seconds
    while True:
        while CONTEXT.iteration(False):
            pass
        if time.monotonic() >= deadline:
            return
        time.sleep(0.01)


def wait_for(predicate, timeout, what):
    deadline = time.monotonic() + timeout
    while True:
        pump(0.02)
        try:
            result = predicate()
        except Exception:  # an object that went away while it was read
            result = None
        if result:
            return result
        check(time.monotonic() <= deadline, f"timed out after {timeout} s waiting for {what}")


class Recorder:
    """Events as they arrive, with what they carry read at arrival."""

    def __init__(self):
        self.events = []
        for kind in ["object:text-changed", "object:property-change:accessible-description",
                     "object:property-change:accessible-value", "window:activate", "focus:"]:
            pyatspi.Registry.registerEventListener(self.on_event, kind)

    def on_event(self, event):
        try:
            role, name = event.source.getRoleName(), event.source.name
        except Exception:
            role, name = "?", "?"
        data = event.any_data if isinstance(event.any_data, (str, int, float)) else None
        if event.type.endswith("accessible-value"):
            try:  # the event names the object only; its value is read on arrival
                data = event.source.queryValue().currentValue
            except Exception:
                data = None
        self.events.append((event.type, role, name, event.detail1, data))

    def since(self, mark, kind, name=None):
        return [e for e in self.events[mark:] if e[0].startswith(kind)
                and (name is None or e[2] == name)]

    def status_texts(self, mark):
        """The texts the status line announced: each insert carries the whole new text."""
        return [e[4] for e in self.since(mark, "object:text-changed:insert", "Status")]

    def status_replay(self, mark):
        """The status line rebuilt from its text-changed events alone: each
        change deletes the whole old text and inserts the whole new one."""
        current = None
        for kind, _, _, start, data in self.since(mark, "object:text-changed", "Status"):
            check(start == 0 and isinstance(data, str), f"status event {kind} at {start}: {data!r}")
            if kind.endswith(":delete"):
                check(current is None or data == current, f"deleted {data!r}, shown {current!r}")
                current = ""
            else:
                check(not current, f"inserted {data!r} over {current!r}")
                current = data
        return current


def app_of(pid):
    for app in pyatspi.Registry.getDesktop(0):
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def window_named(app, role, name):
    for w in app:
        if w is not None and w.getRoleName() == role and w.name == name and \
                w.getState().contains(pyatspi.STATE_SHOWING):
            return w
    return None


def descendants(acc):
    for child in acc:
        if child is not None:
            yield child
            yield from descendants(child)


def find(acc, role, name=None):
    for d in descendants(acc):
        if d.getRoleName() == role and (name is None or d.name == name):
            return d
    raise Failure(f"no {role} named {name!r} in {acc.getRoleName()} {acc.name!r}")


def text_of(acc):
    return acc.queryText().getText(0, -1)


def has(acc, state):
    return acc.getState().contains(state)


def focus_on(acc, what):
    wait_for(lambda: has(acc, pyatspi.STATE_FOCUSED), 10, f"focus on {what}")


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    check("Press" in names, f"{acc.name!r} offers no Press action: {names}")
    action.doAction(names.index("Press"))


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "60", *keys], check=True, timeout=10)


def check_names(dialog):
    """Every control named in the dialog's words, fields tied to their labels."""
    for child in dialog:
        check(child is not None and child.name,
              f"a control without a name: {child.getRoleName() if child else None}")
    for role, name, label in MAIN_CONTROLS:
        control = find(dialog, role, name)
        labels = [r.getTarget(i).name for r in control.getRelationSet()
                  if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                  for i in range(r.getNTargets())]
        check(label is None or label in labels, f"{name}: labelled by {labels}")
    for button, letter in (("Browse", "b"), ("Load", "l")):
        binding = find(dialog, "push button", button).queryAction().getKeyBinding(0).lower()
        check(binding.endswith("alt+" + letter) or binding == "<alt>" + letter,
              f"{button}: key binding {binding!r}")
    bar = find(dialog, "progress bar", "Progress").queryValue()
    got = (bar.minimumValue, bar.maximumValue, bar.currentValue)
    check(got == (0, 35, 0), f"progress {got}, expected 0..35 at 0")


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

    # Processes stay in the session's group, so that the wrapper's clean-up
    # reaches them even if this script is killed; here each is stopped on its own.
    def start(self, name, argv, env=None):
        with open(os.path.join(self.args.work, name + ".log"), "w") as out:
            proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=subprocess.STDOUT, env=env)
        proc.log_name = out.name
        self.running.append(proc)
        return proc

    def stop(self, proc, grace=5.0):
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        self.running.remove(proc)
        return proc.returncode

    def start_devsim(self, *extra):
        proc = self.start("devsim", [self.args.devsim, "--model", MODEL, "--flash-size",
                                     "0x10000", *extra])
        wait_for(lambda: proc.poll() is not None or "ready:" in tail(proc.log_name), 20,
                 "tamblet-devsim to be ready")
        check(proc.poll() is None, "tamblet-devsim ended: " + tail(proc.log_name))
        return proc

    def start_tamblet(self):
        proc = self.start("tamblet", [self.args.tamblet], env=self.env)
        return proc, wait_for(lambda: app_of(proc.pid), 30, "tamblet on the accessibility bus")

    def main_dialog(self, app):
        return wait_for(lambda: window_named(app, "dialog", "Tamblet"), 20, "the main dialog")

    def expect_exit(self, proc, what):
        wait_for(lambda: proc.poll() is not None, 20, f"the program to end on {what}")
        self.running.remove(proc)
        check(proc.returncode == 0, f"{what}: exit status {proc.returncode}\n{tail(proc.log_name)}")

    # A failed discovery: the alert is announced and closes with Enter or Escape.
    def driver_not_found(self, close_key):
        mark = len(self.rec.events)
        proc, app = self.start_tamblet()
        alert = wait_for(lambda: window_named(app, "alert", "Tamblet"), 20, "the alert")
        find(alert, "label", DRIVER_NOT_FOUND)
        find(alert, "push button", "OK")
        wait_for(lambda: any(e[1] == "alert" for e in self.rec.since(mark, "window:activate")),
                 10, "the alert's window:activate as an alert")
        key(close_key)
        dialog = self.main_dialog(app)
        wait_for(lambda: window_named(app, "alert", "Tamblet") is None, 10, "the alert to close")
        status = find(dialog, "status bar", "Status")
        check(text_of(status) == DRIVER_NOT_FOUND, f"status reads {text_of(status)!r}")
        for port in ("Output Port", "Input Port"):
            check(text_of(find(dialog, "label", port)) == "", f"{port} not empty")
        wait_for(lambda: has(dialog, pyatspi.STATE_ACTIVE), 10, "the main dialog to be active")
        key("Escape")  # ends the program
        self.expect_exit(proc, "Escape in the main dialog")
        log(f"driver not found: alert announced, closed with {close_key}")

    def about_box(self, app, close_key):
        mark = len(self.rec.events)
        key("F1")
        about = wait_for(lambda: window_named(app, "dialog", "About Tamblet"), 10,
                         "the About box after F1")
        check(all(child is not None and child.name for child in about),
              "a control of the About box without a name")
        for text in ABOUT_TEXTS:
            find(about, "label", text)
        find(about, "image", "Tamblet")  # the icon
        focus_on(find(about, "push button", "OK"), "OK in the About box")
        wait_for(lambda: self.rec.since(mark, "window:activate", "About Tamblet"), 5,
                 "the About box's window:activate")
        key(close_key)
        wait_for(lambda: window_named(app, "dialog", "About Tamblet") is None, 10,
                 f"the About box to close on {close_key}")
        main = window_named(app, "dialog", "Tamblet")
        wait_for(lambda: has(main, pyatspi.STATE_ACTIVE), 5, "main active again")

    def pick_file(self, app, open_browse):
        mark = len(self.rec.events)
        open_browse()
        chooser = wait_for(lambda: window_named(app, "dialog", "Open"), 15, "the file dialog")
        field = find(chooser, "text", "File name:")
        field.queryEditableText().setTextContents(self.update_file)
        wait_for(lambda: text_of(field) == self.update_file, 5, "the path in the file dialog")
        focus_on(field, "the file dialog's name field")
        key("Return")
        wait_for(lambda: window_named(app, "dialog", "Open") is None, 10, "the file dialog to close")
        preview = "Load Version " + VERSION
        wait_for(lambda: preview in self.rec.status_texts(mark), 10, f"{preview!r} announced")

    def run_load(self, press_load, last_text):
        mark = len(self.rec.events)
        press_load()
        wait_for(lambda: last_text in self.rec.status_texts(mark), 40, f"{last_text!r} announced")
        pump(0.3)  # anything announced after the end would show here
        return mark, self.rec.status_texts(mark)

    def good_run(self):
        dump = os.path.join(self.args.work, "flash.bin")
        devsim = self.start_devsim("--dump", dump)
        proc, app = self.start_tamblet()
        dialog = self.main_dialog(app)
        wait_for(lambda: text_of(find(dialog, "label", "Output Port")) == "QELMAR SIM OUT 1", 10,
                 "the output port name")
        check(text_of(find(dialog, "label", "Input Port")) == "QELMAR SIM IN 1", "input port")
        check(text_of(find(dialog, "status bar", "Status")) == "", "status not empty at start")
        check_names(dialog)
        focus_on(find(dialog, "push button", "Browse"), "Browse at start")
        for role, name in (("text", "File Name"), ("push button", "Load"),
                           ("push button", "Browse")):
            key("Tab")
            focus_on(find(dialog, role, name), f"{name} after Tab")
        for close_key in ("Escape", "Return"):
            self.about_box(app, close_key)
        log("names, relations, key bindings, progress range, tab order and About as expected")

        self.pick_file(app, lambda: press(find(dialog, "push button", "Browse")))
        box = find(dialog, "text", "File Name")
        check(text_of(box) == self.update_file, f"file-name box reads {text_of(box)!r}")
        mark, announced = self.run_load(lambda: press(find(dialog, "push button", "Load")),
                                        "Complete!")
        check(announced == GOOD_RUN, f"announced: {announced}")
        values = [e[4] for e in self.rec.since(mark, "object:property-change:accessible-value")]
        check(values and all(v is not None and 0 <= v <= 35 for v in values),
              f"progress value changes: {values}")
        check(len(self.rec.since(mark, "object:property-change:accessible-description", "Status"))
              >= len(announced), "a status change without its description change")
        check(self.rec.status_replay(mark) == "Complete!", "status events do not add up")
        status = find(dialog, "status bar", "Status")
        check(text_of(status) == "Complete!" and status.description == "Complete!",
              f"status reads {text_of(status)!r} / {status.description!r}")
        key("Escape")
        self.expect_exit(proc, "Escape after the update")
        check(self.stop(devsim) == 0, "tamblet-devsim: " + tail(devsim.log_name))
        with open(dump, "rb") as f:
            flash = f.read()
        check(flash[:0x8000] == self.image[:0x8000] and flash[0xC000:0xE001] ==
              self.image[0xC000:0xE001], "the device's memory differs from the image")
        check(set(flash[0x8000:0xC000] + flash[0xE001:]) == {0xFF}, "written outside the regions")
        log("good run: " + " | ".join(announced))

    def fault_run(self):
        devsim = self.start_devsim("--fault", "VerifySum:1:no-reply")
        proc, app = self.start_tamblet()
        dialog = self.main_dialog(app)
        focus_on(find(dialog, "push button", "Browse"), "Browse at start")
        # Keyboard only: the mnemonics press the buttons.
        self.pick_file(app, lambda: key("alt+b"))
        _, announced = self.run_load(lambda: key("alt+l"), "Verify error!!")
        check(announced == GOOD_RUN[:-1] + ["Verify error!!"], f"announced: {announced}")
        box = find(dialog, "text", "File Name")
        box.queryComponent().grabFocus()
        focus_on(box, "the file-name box")
        key("Return")  # Enter in the file-name box ends the program
        self.expect_exit(proc, "Enter in the file-name box")
        self.stop(devsim)
        log("fault run: " + " | ".join(announced))


def main():
    parser = argparse.ArgumentParser()
    for name in ("tamblet", "devsim", "pgm", "work"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--limit", type=int, default=90, help="seconds for the whole run")
    args = parser.parse_args()
    os.makedirs(args.work, exist_ok=True)
    open(os.path.join(args.work, "started"), "w").close()  # the X session came up

    def out_of_time(signum, frame):
        raise OutOfTime(f"stopped by signal {signum} before the end")

    signal.signal(signal.SIGALRM, out_of_time)
    signal.signal(signal.SIGTERM, out_of_time)
    signal.alarm(args.limit)
    session = None
    try:
        check(os.environ.get("JACK_DEFAULT_SERVER"), "JACK_DEFAULT_SERVER is not set")
        session = Session(args)
        session.driver_not_found("Return")
        session.driver_not_found("Escape")
        session.good_run()
        session.fault_run()
    except (Failure, OutOfTime) as failure:
        print(f"FAIL: {failure}", flush=True)
        for proc in session.running if session else []:
            print(f"--- {proc.log_name}\n{tail(proc.log_name)}", flush=True)
        return 1
    finally:
        signal.alarm(0)
        for proc in list(session.running) if session else []:
            session.stop(proc, grace=3.0)
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
