#!/usr/bin/python3
"""The real tamblet program driven the way a screen reader user drives it.

Runs inside an X server and a D-Bus session of its own (run_a11y_test.sh sets
them up) against tamblet-devsim on a private JACK server. Everything is read
through AT-SPI; every status text must arrive as an event that carries it.
Keys go to the X server with xdotool, as a keyboard would send them.
"""

import argparse
import os
import signal
import subprocess
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import GLib  # noqa: E402
import pyatspi  # noqa: E402

MODEL = "MODEL-A11Y"
VERSION = "2.07"
PORT_OUT = "QELMAR SIM OUT 1"
PORT_IN = "QELMAR SIM IN 1"
DRIVER_NOT_FOUND = "QELMAR USB Driver not found!!"
# Every text the status line shows during a good Load of the file made below,
# in order: one "Loading" text a piece (two pieces, then one), counted from the
# start of each region.
GOOD_RUN = ["File reading....", "Device open....", "Copying....", "Loading.... (  0%)",
            "Loading.... ( 50%)", "Loading.... (  0%)", "Uninstalling....", "Installing....",
            "Verifying....", "Complete!"]
# Names each control of the main dialog must carry, by role.
MAIN_CONTROLS = [("push button", "Browse"), ("text", "File Name"), ("push button", "Load"),
                 ("progress bar", "Progress"), ("status bar", "Status"),
                 ("label", "Output Port"), ("label", "Input Port")]
# A field and the template label that names it.
LABELLED = {"Output Port": "Output Port :", "Input Port": "Input Port :",
            "File Name": "File Name :", "Status": "Status :"}
ABOUT_TEXTS = ["Tamblet V1.01", "Installs new firmware into USB-MIDI devices.",
               "Free software by the Tamblet authors."]


class Failure(Exception):
    pass


class OutOfTime(BaseException):
    """Not an Exception: no wait that tolerates a passing error may swallow it."""


def log(text):
    print(f"[{time.monotonic() - START:6.2f}s] {text}", flush=True)


START = time.monotonic()


# --- processes -------------------------------------------------------------

class Processes:
    """Every process this script starts. They stay in the session's process
    group, so that the wrapper's clean-up reaches them even if this script is
    killed; here each is stopped on its own."""

    def __init__(self, work):
        self.work = work
        self.running = []

    def start(self, name, argv, env=None):
        out = open(os.path.join(self.work, name + ".log"), "w")
        proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT, env=env)
        proc.log_name = out.name
        out.close()
        self.running.append(proc)
        return proc

    def stop(self, proc, grace=5.0):
        """SIGTERM, then SIGKILL after `grace` seconds; returns the exit status."""
        if proc.poll() is None:
            proc.terminate()
            try:
                proc.wait(grace)
            except subprocess.TimeoutExpired:
                proc.kill()
                proc.wait()
        if proc in self.running:
            self.running.remove(proc)
        return proc.returncode

    def wait_exit(self, proc, timeout, what):
        deadline = time.monotonic() + timeout
        while proc.poll() is None:
            pump(0.05)
            if time.monotonic() > deadline:
                raise Failure(f"{what}: program still running after {timeout} s")
        self.running.remove(proc)
        return proc.returncode

    def stop_all(self):
        for proc in list(self.running):
            self.stop(proc, grace=3.0)


def tail(path, lines=15):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


# --- AT-SPI ----------------------------------------------------------------

CONTEXT = GLib.MainContext.default()


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
        if time.monotonic() > deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")


class Recorder:
    """Events as they arrive, with what they carry read at arrival."""

    TYPES = ["object:text-changed", "object:property-change:accessible-description",
             "object:property-change:accessible-value", "window:activate", "focus:"]

    def __init__(self):
        self.events = []
        for kind in self.TYPES:
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

    def mark(self):
        return len(self.events)

    def since(self, mark, kind=None, name=None):
        return [e for e in self.events[mark:]
                if (kind is None or e[0].startswith(kind)) and (name is None or e[2] == name)]

    def status_replay(self, mark):
        """The status line rebuilt from its text-changed events alone: each
        change deletes the whole old text and inserts the whole new one."""
        current = None
        for kind, _, name, start, data in self.since(mark, "object:text-changed", "Status"):
            check(start == 0 and isinstance(data, str), f"status event {kind} at {start}: {data!r}")
            if kind.endswith(":delete"):
                check(current is None or data == current, f"deleted {data!r}, shown {current!r}")
                current = ""
            else:
                check(not current, f"inserted {data!r} over {current!r}")
                current = data
        return current

    def status_texts(self, mark):
        """The texts the status line announced: each insert carries the whole new text."""
        return [e[4] for e in self.since(mark, "object:text-changed:insert", "Status")]


def desktop():
    return pyatspi.Registry.getDesktop(0)


def app_of(pid):
    for app in desktop():
        try:
            if app is not None and app.get_process_id() == pid:
                return app
        except Exception:
            continue
    return None


def windows(app):
    return [w for w in app if w is not None] if app is not None else []


def window_named(app, role, name):
    for w in windows(app):
        if w.getRoleName() == role and w.name == name and w.getState().contains(
                pyatspi.STATE_SHOWING):
            return w
    return None


def descendants(acc):
    for child in acc:
        if child is None:
            continue
        yield child
        yield from descendants(child)


def find(acc, role, name=None):
    for d in descendants(acc):
        if d.getRoleName() == role and (name is None or d.name == name):
            return d
    raise Failure(f"no {role} named {name!r} in {acc.getRoleName()} {acc.name!r}")


def text_of(acc):
    return acc.queryText().getText(0, -1)


def focused(acc):
    return acc.getState().contains(pyatspi.STATE_FOCUSED)


def press(acc):
    action = acc.queryAction()
    names = [action.getName(i) for i in range(action.nActions)]
    if "Press" not in names:
        raise Failure(f"{acc.name!r} offers no Press action: {names}")
    action.doAction(names.index("Press"))


def key(*keys):
    subprocess.run(["xdotool", "key", "--delay", "60", *keys], check=True, timeout=10)


# --- checks ----------------------------------------------------------------

def check(condition, message):
    if not condition:
        raise Failure(message)


def check_names(dialog):
    """Every control of the main dialog named in the dialog's words, fields tied
    to their labels, display fields readable as text."""
    for child in dialog:
        check(child is not None and child.name, f"a control without a name: "
              f"{child.getRoleName() if child else None}")
    for role, name in MAIN_CONTROLS:
        control = find(dialog, role, name)
        if name in LABELLED:
            labels = [r.getTarget(i).name for r in control.getRelationSet()
                      if r.getRelationType() == pyatspi.RELATION_LABELLED_BY
                      for i in range(r.getNTargets())]
            check(LABELLED[name] in labels, f"{name}: labelled by {labels}")
    for button, letter in (("Browse", "b"), ("Load", "l")):
        action = find(dialog, "push button", button).queryAction()
        binding = action.getKeyBinding(0)
        check(binding.lower().endswith("alt+" + letter) or binding.lower() == "<alt>" + letter,
              f"{button}: key binding {binding!r}")
    progress = find(dialog, "progress bar", "Progress").queryValue()
    check((progress.minimumValue, progress.maximumValue, progress.currentValue) == (0, 35, 0),
          f"progress range {progress.minimumValue}..{progress.maximumValue} "
          f"at {progress.currentValue}, expected 0..35 at 0")


# --- scenarios ---------------------------------------------------------------

class Session:
    def __init__(self, args):
        self.args = args
        self.procs = Processes(args.work)
        self.rec = Recorder()
        self.env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_QPA_PLATFORM="xcb",
                        XDG_RUNTIME_DIR=os.path.join(args.work, "runtime"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        self.update_file = os.path.join(args.work, "a11y.pgm")

    def make_update_file(self):
        subprocess.run([self.args.pgm, "write", self.update_file, "--model", MODEL, "--version",
                        VERSION, "--target", "1", "--chunk", "0x4000", "--region", "0:0x8000",
                        "--region", "0x8000:0x2001", "--image-size", "0x10000", "--seed", "5"],
                       check=True, timeout=30, stdout=subprocess.DEVNULL)

    def start_devsim(self, *extra):
        proc = self.procs.start("devsim", [self.args.devsim, "--model", MODEL, "--flash-size",
                                           "0x10000", *extra])
        wait_for(lambda: proc.poll() is not None or "ready:" in tail(proc.log_name),
                 20, "tamblet-devsim to be ready")
        check(proc.poll() is None, "tamblet-devsim ended: " + tail(proc.log_name))
        return proc

    def start_tamblet(self):
        proc = self.procs.start("tamblet", [self.args.tamblet], env=self.env)
        app = wait_for(lambda: app_of(proc.pid), 30, "tamblet on the accessibility bus")
        return proc, app

    def main_dialog(self, app):
        return wait_for(lambda: window_named(app, "dialog", "Tamblet"), 20, "the main dialog")

    def expect_exit(self, proc, what):
        code = self.procs.wait_exit(proc, 20, what)
        check(code == 0, f"{what}: tamblet exit status {code}\n{tail(proc.log_name)}")

    # A failed discovery: the alert is announced and closes with Enter or Escape.
    def driver_not_found(self, close_key):
        mark = self.rec.mark()
        proc, app = self.start_tamblet()
        alert = wait_for(lambda: window_named(app, "alert", "Tamblet"), 20, "the alert")
        find(alert, "label", DRIVER_NOT_FOUND)
        find(alert, "push button", "OK")
        wait_for(lambda: self.rec.since(mark, "window:activate", "Tamblet"), 10,
                 "the alert's window:activate")
        check(any(e[1] == "alert" for e in self.rec.since(mark, "window:activate")),
              "the alert was not activated as an alert")
        key(close_key)
        dialog = self.main_dialog(app)
        wait_for(lambda: window_named(app, "alert", "Tamblet") is None, 10, "the alert to close")
        status = find(dialog, "status bar", "Status")
        check(text_of(status) == DRIVER_NOT_FOUND, f"status reads {text_of(status)!r}")
        for port in ("Output Port", "Input Port"):
            check(text_of(find(dialog, "label", port)) == "", f"{port} not empty")
        wait_for(lambda: dialog.getState().contains(pyatspi.STATE_ACTIVE), 10,
                 "the main dialog to be active")
        if close_key == "Return":
            # Enter on the focused Browse presses it, Escape cancels the file dialog.
            browse = find(dialog, "push button", "Browse")
            browse.queryComponent().grabFocus()
            wait_for(lambda: focused(browse), 10, "focus on Browse")
            key("Return")
            wait_for(lambda: window_named(app, "dialog", "Open"), 15,
                     "the file dialog after Enter on Browse")
            key("Escape")
            wait_for(lambda: window_named(app, "dialog", "Open") is None, 10,
                     "the file dialog to close on Escape")
            wait_for(lambda: dialog.getState().contains(pyatspi.STATE_ACTIVE), 10,
                     "the main dialog to be active again")
            check(text_of(status) == DRIVER_NOT_FOUND, f"status reads {text_of(status)!r}")
        key("Escape")  # ends the program
        self.expect_exit(proc, "Escape in the main dialog")
        log(f"driver not found: alert announced, closed with {close_key}"
            + (", Enter on Browse, Escape in the file dialog" if close_key == "Return" else ""))

    def about_box(self, app, close_key):
        mark = self.rec.mark()
        key("F1")
        about = wait_for(lambda: window_named(app, "dialog", "About Tamblet"), 10,
                         "the About box after F1")
        check(all(child is not None and child.name for child in about),
              "a control of the About box without a name")
        for text in ABOUT_TEXTS:
            find(about, "label", text)
        find(about, "image", "Tamblet")  # the icon
        ok = find(about, "push button", "OK")
        wait_for(lambda: focused(ok), 10, "focus on OK in the About box")
        wait_for(lambda: self.rec.since(mark, "window:activate", "About Tamblet"), 5,
                 "the About box's window:activate")
        key(close_key)
        wait_for(lambda: window_named(app, "dialog", "About Tamblet") is None, 10,
                 f"the About box to close on {close_key}")
        main = window_named(app, "dialog", "Tamblet")
        wait_for(lambda: main.getState().contains(pyatspi.STATE_ACTIVE), 5, "main active again")

    def tab_order(self, dialog):
        browse = find(dialog, "push button", "Browse")
        wait_for(lambda: focused(browse), 10, "focus on Browse at start")
        order = ["File Name", "Load", "Browse"]
        roles = {"File Name": "text", "Load": "push button", "Browse": "push button"}
        for name in order:
            key("Tab")
            target = find(dialog, roles[name], name)
            wait_for(lambda: focused(target), 10, f"Tab to move the focus to {name}")

    def pick_file(self, app, open_browse):
        mark = self.rec.mark()
        open_browse()
        chooser = wait_for(lambda: window_named(app, "dialog", "Open"), 15, "the file dialog")
        field = find(chooser, "text", "File name:")
        field.queryEditableText().setTextContents(self.update_file)
        wait_for(lambda: text_of(field) == self.update_file, 5, "the path in the file dialog")
        wait_for(lambda: focused(field), 10, "focus in the file dialog's name field")
        key("Return")
        wait_for(lambda: window_named(app, "dialog", "Open") is None, 10,
                 "the file dialog to close")
        preview = "Load Version " + VERSION
        wait_for(lambda: preview in self.rec.status_texts(mark), 10, f"{preview!r} announced")

    def run_load(self, press_load, last_text, timeout):
        mark = self.rec.mark()
        started = time.monotonic()
        press_load()
        wait_for(lambda: last_text in self.rec.status_texts(mark), timeout,
                 f"{last_text!r} announced")
        pump(0.3)  # anything announced after the end would show here
        announced = self.rec.status_texts(mark)
        log(f"load announced {len(announced)} texts in {time.monotonic() - started:.1f} s")
        values = [e[4] for e in self.rec.since(mark, "object:property-change:accessible-value")]
        return announced, values

    def good_run(self):
        devsim = self.start_devsim()
        proc, app = self.start_tamblet()
        dialog = self.main_dialog(app)
        wait_for(lambda: text_of(find(dialog, "label", "Output Port")) == PORT_OUT, 10,
                 "the output port name")
        check(text_of(find(dialog, "label", "Input Port")) == PORT_IN,
              f"input port reads {text_of(find(dialog, 'label', 'Input Port'))!r}")
        check(text_of(find(dialog, "status bar", "Status")) == "", "status not empty at start")
        check_names(dialog)
        log("names, relations, key bindings and progress range as expected")
        self.tab_order(dialog)
        self.about_box(app, "Escape")
        self.about_box(app, "Return")
        log("tab order Browse, File Name, Load; F1 opens About, Escape and Enter close it")

        self.pick_file(app, lambda: press(find(dialog, "push button", "Browse")))
        box = find(dialog, "text", "File Name")
        check(text_of(box) == self.update_file, f"file-name box reads {text_of(box)!r}")
        mark = self.rec.mark()
        announced, values = self.run_load(lambda: press(find(dialog, "push button", "Load")),
                                          "Complete!", 40)
        check(announced == GOOD_RUN, f"announced: {announced}")
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
        check(self.procs.stop(devsim) == 0, "tamblet-devsim: " + tail(devsim.log_name))
        log("good run: " + " | ".join(announced))

    def fault_run(self):
        devsim = self.start_devsim("--fault", "VerifySum:1:no-reply")
        proc, app = self.start_tamblet()
        dialog = self.main_dialog(app)
        browse = find(dialog, "push button", "Browse")
        wait_for(lambda: focused(browse), 10, "focus on Browse at start")
        # Keyboard only: the mnemonics press the buttons.
        self.pick_file(app, lambda: key("alt+b"))
        announced, _ = self.run_load(lambda: key("alt+l"), "Verify error!!", 40)
        check(announced == GOOD_RUN[:-1] + ["Verify error!!"], f"announced: {announced}")
        box = find(dialog, "text", "File Name")
        box.queryComponent().grabFocus()
        wait_for(lambda: focused(box), 10, "focus in the file-name box")
        key("Return")  # Enter in the file-name box ends the program
        self.expect_exit(proc, "Enter in the file-name box")
        self.procs.stop(devsim)
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
    session = Session(args)
    try:
        check(os.environ.get("JACK_DEFAULT_SERVER"), "JACK_DEFAULT_SERVER is not set")
        session.make_update_file()
        session.driver_not_found("Return")
        session.driver_not_found("Escape")
        session.good_run()
        session.fault_run()
    except (Failure, OutOfTime) as failure:
        print(f"FAIL: {failure}", flush=True)
        for proc in session.procs.running:
            print(f"--- {proc.log_name}\n{tail(proc.log_name)}", flush=True)
        return 1
    finally:
        signal.alarm(0)
        session.procs.stop_all()
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
