#!/usr/bin/python3
# The real tamblet program driven the way a screen reader user drives it, in an
# X server and a D-Bus session of its own (run_a11y_test.sh) against
# tamblet-devsim on a private JACK server. Everything is read through AT-SPI,
# and every status text must arrive as an event that carries it; keys go to the
# X server with xdotool. What the device's memory holds after an update, and
# each failure's text, are the load test's and the VM cases' to prove.
# With --wayland (run_wayland_test.sh) the same runs under a headless sway,
# keys sent with wtype and pictures taken with grim, and then Load once more
# under weston's headless backend, which offers no input seat at all.

import glob
import json
import os
import subprocess
import sys
import time
import traceback

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
WAYLAND = "--wayland" in sys.argv
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
def closes(app, role_name, controls, mark, close_key, all_named=True, before=None):
    shown = wait(lambda: window(app, *role_name), f"the {role_name}")
    check_controls(shown, controls, all_named)
    wait(lambda: any(e[1:3] == role_name for e in since(mark, "window:activate")),
         f"the {role_name}'s window:activate")
    until(find(shown, "OK", "push button"), pyatspi.STATE_FOCUSED, f"OK in the {role_name}")
    if before:
        before()
    key(close_key)
    wait(lambda: window(app, *role_name) is None, f"the {role_name} to close on {close_key}")


def text(acc, name, role=None):
    return find(acc, name, role).queryText().getText(0, -1)


def key(*keys):
    if not WAYLAND:
        subprocess.run(["xdotool", "key", "--delay", "60", *keys], check=True, timeout=10)
        return
    for k in keys:  # xdotool's "alt+b" is wtype's -M alt -k b -m alt
        *mods, name = k.split("+")
        args = [a for m in mods for a in ("-M", m)] + ["-k", name] + \
            [a for m in mods for a in ("-m", m)]
        subprocess.run(["wtype", *args], check=True, timeout=10)
        time.sleep(0.06)


# A picture of the window titled `title` under sway, cut by grim to the
# window's rectangle, as WORK/name.png; checked for its size and what it shows.
def shot(work, title, name, least, colours):
    tree = subprocess.run(["swaymsg", "-t", "get_tree", "-r"], check=True, timeout=10,
                          capture_output=True, text=True).stdout
    stack = [json.loads(tree)]
    node = None
    while stack:
        n = stack.pop()
        if n.get("name") == title and n.get("pid"):
            node = n
        stack += n.get("nodes", []) + n.get("floating_nodes", [])
    assert node, f"sway has no window {title!r}"
    r = node["rect"]
    geometry = f"{r['x']},{r['y']} {r['width']}x{r['height']}"
    png = os.path.join(work, name + ".png")
    subprocess.run(["grim", "-g", geometry, png], check=True, timeout=10)
    ppm = subprocess.run(["grim", "-g", geometry, "-t", "ppm", "-"], check=True, timeout=10,
                         capture_output=True).stdout
    magic, w, h, depth, pixels = ppm.split(maxsplit=4)
    w, h = int(w), int(h)
    assert magic == b"P6" and depth == b"255" and len(pixels) == w * h * 3, "grim's picture"
    assert w >= least[0] and h >= least[1], f"{name}: {w}x{h}"
    rgb = [tuple(pixels[i:i + 3]) for i in range(0, len(pixels), 3)]
    counts = {}
    for p in rgb:
        counts[p] = counts.get(p, 0) + 1
    background = max(counts.values()) / len(rgb)
    dark = sum(1 for p in rgb if sum(p) < 200) / len(rgb)
    assert background > 0.4, f"{name}: the most common colour covers {background:.0%}"
    assert dark > 0.002, f"{name}: {dark:.2%} dark pixels: no text?"
    seen_all = []
    for colour, least_px in colours:  # (r, g, b) within 24 a channel, in so many pixels
        seen = sum(1 for p in rgb if all(abs(a - b) <= 24 for a, b in zip(p, colour)))
        assert seen >= least_px, f"{name}: {seen} pixels near {colour}"
        seen_all.append(seen)
    log(f"{name}.png: {w}x{h}, background {background:.0%}, dark {dark:.1%}, colours {seen_all}")


class Session:
    def __init__(self, tamblet, devsim, pgm, work):
        self.tamblet_bin, self.devsim_bin, self.work = tamblet, devsim, work
        self.running = []
        self.env = dict(os.environ, QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                        QT_QPA_PLATFORM="wayland" if WAYLAND else "xcb",
                        XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
        os.makedirs(self.env["XDG_RUNTIME_DIR"], mode=0o700, exist_ok=True)
        if WAYLAND:
            self.sway()
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

    # A compositor's command line and environment: its own runtime folder, and
    # under root the user nobody (sway refuses root). Its socket's full path
    # then reaches the programs started here.
    def compositor(self, argv, **env):
        runtime = os.path.join(self.work, "compositor")
        os.makedirs(runtime, mode=0o700, exist_ok=True)
        if os.getuid() == 0:
            os.chown(runtime, 65534, 65534)
            argv = ["setpriv", "--reuid=nobody", "--regid=nogroup", "--clear-groups", *argv]
        return argv, dict(self.env, HOME=runtime, XDG_RUNTIME_DIR=runtime, **env), runtime

    # A headless sway with a seat, made the display of everything started after.
    def sway(self):
        config = os.path.join(self.work, "sway.config")
        with open(config, "w") as f:
            f.write("default_border normal\nxwayland disable\n")
        argv, env, runtime = self.compositor(["sway", "-c", config], WLR_BACKENDS="headless",
                                             WLR_LIBINPUT_NO_DEVICES="1", WLR_RENDERER="pixman")
        sockets = lambda: [s for s in glob.glob(runtime + "/wayland-*") if "." not in s]
        ipc = lambda: glob.glob(runtime + "/sway-ipc.*.sock")
        self.start("sway", argv, lambda p: sockets() and ipc(), env)
        os.environ["WAYLAND_DISPLAY"] = self.env["WAYLAND_DISPLAY"] = sockets()[0]
        os.environ["SWAYSOCK"] = ipc()[0]
        # Each wtype adds a keyboard to the seat and takes it away when it ends;
        # this one keeps a keyboard there, so that the window's focus stays.
        self.start("wtype", ["wtype", "-s", "600000"], lambda p: True, self.env)

    # The program, its application on the bus, and its main dialog once shown.
    def tamblet(self, env=None):
        proc, app = self.start("tamblet", [self.tamblet_bin], lambda p: app_of(p.pid),
                               env or self.env)
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

    # Browse to the update file and Load it, by keys, or by the controls' own
    # actions where there is no keyboard; the mark before Load once it is complete.
    def browse_and_load(self, app, keys=True):
        press = (lambda name, parent: key(name)) if keys else \
            (lambda name, parent: find(parent, name, "push button").queryAction().doAction(0))
        dialog = window(app, "dialog", "Tamblet")
        mark = len(EVENTS)
        press("alt+b" if keys else "Browse", dialog)
        chooser = wait(lambda: window(app, "dialog", "Open"), "the file dialog", 15)
        field = find(chooser, "File name:", "text")
        field.queryEditableText().setTextContents(self.update_file)
        # Without a seat the dialog shortens a path in the folder it shows to the name.
        typed = (self.update_file,) + (() if keys else (os.path.basename(self.update_file),))
        wait(lambda: text(chooser, "File name:", "text") in typed, "the path typed")
        if keys:
            until(field, pyatspi.STATE_FOCUSED, "the file dialog's name field")
        press("Return" if keys else "Open", chooser)
        wait(lambda: window(app, "dialog", "Open") is None, "the file dialog to close")
        wait(lambda: "Load Version " + VERSION in announced(mark), "the file's version")
        assert text(dialog, "File Name") == self.update_file, text(dialog, "File Name")
        mark = len(EVENTS)
        press("alt+l" if keys else "Load", dialog)
        try:
            wait(lambda: "Complete!" in announced(mark), "Complete! announced", 40)
        except AssertionError as failure:
            raise AssertionError(f"{failure}; announced: {announced(mark)}") from None
        return mark

    def devsim(self):
        return self.start("devsim", [self.devsim_bin, "--model", MODEL, "--flash-size",
                                     "0x10000"], lambda p: "ready:" in tail(p.log_name))[0]

    # Nothing plugged in at start: the box as ever; then the instrument comes,
    # goes and comes back while the window stays open, each change heard.
    def plug_in(self):
        mark = len(EVENTS)
        proc, app, main_dialog = self.tamblet()
        closes(app, ("alert", "Tamblet"), ALERT, mark, "Return", all_named=False)
        dialog = main_dialog()
        until(dialog, pyatspi.STATE_ACTIVE, "the main dialog to be active")
        ports = ["QELMAR SIM OUT 1", "QELMAR SIM IN 1"]
        fields = lambda: [text(dialog, n) for n in ("Output Port", "Input Port")]
        delays = []
        for round in (1, 2):
            mark = len(EVENTS)
            devsim = self.devsim()
            ready = time.monotonic()
            wait(lambda: fields() == ports, "the plugged-in instrument's ports", 15)
            delays.append(time.monotonic() - ready)
            heard = [e[2] for e in since(mark, "object:text-changed:insert") if e[4] in ports]
            assert heard == ["Output Port", "Input Port"], f"heard: {heard}"
            if round == 1:
                assert text(dialog, "Status") == "", "the start-up failure text stays"
                self.browse_and_load(app)
            self.end(devsim, "tamblet-devsim", terminate=True)
            wait(lambda: fields() == ["", ""], "the unplugged instrument's ports to go", 15)
        key("Escape")
        self.end(proc, "Escape in the main dialog")
        shown = ", ".join(f"{d:.2f}" for d in delays)
        log("plugged in twice while open: ports heard, Load complete, ports gone when unplugged; "
            f"names shown {shown} s after the simulator was ready")

    # weston's headless backend has no seat: no keys, so the controls' actions
    # drive it; Qt's Wayland text input must not ask that seat for anything.
    def seatless(self):
        argv, env, runtime = self.compositor(["weston", "--backend=headless-backend.so",
                                              "--use-pixman", "--socket=wayland-seatless",
                                              "--idle-time=0"])
        socket = os.path.join(runtime, "wayland-seatless")
        self.start("weston", argv, lambda p: os.path.exists(socket), env)
        env = dict(self.env, WAYLAND_DISPLAY=socket)
        env.pop("QT_IM_MODULE", None)
        devsim = self.devsim()
        proc, app, main_dialog = self.tamblet(env)
        dialog = main_dialog()
        wait(lambda: text(dialog, "Output Port"), "the ports")
        self.browse_and_load(app, keys=False)
        proc.terminate()
        wait(lambda: proc.poll() is not None, "the program to end on SIGTERM", 20)
        self.running.remove(proc)
        assert proc.returncode in (0, 143), f"status {proc.returncode}\n{tail(proc.log_name)}"
        self.end(devsim, "tamblet-devsim", terminate=True)
        log("weston without a seat: Complete!")

    # Everything from the keyboard: the controls and About, then Browse and Load
    # by their mnemonics, each status text announced, and Enter in the file-name
    # box ends the program.
    def good_run(self):
        devsim = self.devsim()
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
            icon = [((0xf5, 0xb8, 0x3d), 35), ((0x1d, 0x4e, 0x74), 600)]  # its two colours
            picture = WAYLAND and close_key == "Escape"
            closes(app, ("dialog", "About Tamblet"), ABOUT, mark, close_key,
                   before=lambda: shot(self.work, "About Tamblet", "about-box", (200, 80), icon)
                   if picture else None)
            until(dialog, pyatspi.STATE_ACTIVE, "the main dialog active again")
        log("names, labels, key bindings, tab order and About as expected")

        mark = self.browse_and_load(app)
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
        if WAYLAND:
            shot(self.work, "Tamblet", "main-window", (300, 150), [((52, 153, 217), 3000)])
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
    args = [a for a in sys.argv[1:] if a != "--wayland"]
    open(os.path.join(args[3], "started"), "w").close()  # the session came up
    for kind in ["object:text-changed", "object:property-change:accessible-description",
                 "object:property-change:accessible-value", "window:activate"]:
        pyatspi.Registry.registerEventListener(record, kind)
    session = Session(*args[:4])
    try:
        for close_key in ("Return", "Escape"):
            session.driver_not_found(close_key)
        session.good_run()
        session.plug_in()
        if WAYLAND:
            session.seatless()
    except Exception as failure:
        traceback.print_exc()
        print(f"FAIL: {failure}", flush=True)
        for proc in session.running:
            print(f"--- {proc.log_name}\n{tail(proc.log_name)}", flush=True)
        return 1
    finally:
        for proc in reversed(session.running):  # each by its own pid; the wrapper after
            proc.terminate()
            try:
                proc.wait(5)
            except subprocess.TimeoutExpired:
                proc.kill()
    log("PASS")
    return 0


if __name__ == "__main__":
    sys.exit(main())
