#!/usr/bin/python3
# Does the window answer while the player is busy? Starts the virtual player and the program
# under Xvfb with accessibility on, makes the player busy, runs a command (F5, Delete of the first
# flash row, Format of the flash pane from the File menu) and asks the window for its accessible tree every 20 ms
# until the player is free again and the command's outcome shows. Prints, per command, the
# longest time one accessibility request took and the status text it ended with.
#
#   dbus-run-session -- /usr/bin/python3 scripts/busy-probe.py BUILD_BIN_DIR [BUSY_SECONDS]
#
# Needs xvfb, xdotool, at-spi2-core and python3-pyatspi (Debian packages).
import os
import subprocess
import sys
import tempfile
import time

import pyatspi

BIN = os.path.abspath(sys.argv[1])
BUSY_SECONDS = float(sys.argv[2]) if len(sys.argv) > 2 else 4.0
TOP = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PORT = "3297"


def ctl(state, *args):
    subprocess.run([f"{BIN}/tunara-vplayer", "ctl", "--state", state, *args], check=True,
                   stdout=subprocess.DEVNULL)


def find(node, role=None, name=None, depth=0):
    if node is None or depth > 40:
        return None
    try:
        if (role is None or node.getRoleName() == role) and (name is None or node.name == name):
            return node
        for i in range(node.childCount):
            hit = find(node.getChildAtIndex(i), role, name, depth + 1)
            if hit is not None:
                return hit
    except Exception:
        return None
    return None


def app_node():
    desktop = pyatspi.Registry.getDesktop(0)
    for i in range(desktop.childCount):
        a = desktop.getChildAtIndex(i)
        if a is not None and a.name.lower().startswith("tunara"):
            return a
    return None


def ask(app):
    """One accessibility request round: the main window's name and its first children."""
    t0 = time.monotonic()
    frame = app.getChildAtIndex(0)
    _ = frame.name
    for i in range(min(frame.childCount, 4)):
        _ = frame.getChildAtIndex(i).getRoleName()
    return time.monotonic() - t0


def status_text(app):
    bar = find(app, role="status bar")
    if bar is None:
        return ""
    texts = []
    for i in range(bar.childCount):
        c = bar.getChildAtIndex(i)
        if c is not None and c.name:
            texts.append(c.name)
    return " | ".join(texts)


SEEN = []


def idle(app):
    """No player work under way: status pane 0 shows no "...ing..." text."""
    return "..." not in status_text(app).split(" | ")[0]


def watch(app, seconds, done=None):
    """Asks the window every 20 ms; notes each new text of status pane 0 on the way."""
    worst = 0.0
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        worst = max(worst, ask(app))
        text = status_text(app).split(" | ")[0]
        if not SEEN or SEEN[-1] != text:
            SEEN.append(text)
        if done is not None and done():
            break
        time.sleep(0.02)
    return worst


def key(keys):
    # Without a window manager nothing gives the program's window the keyboard: focus the
    # program's visible window (the main window, or the question it shows) first.
    ids = subprocess.run(["xdotool", "search", "--onlyvisible", "--pid", str(PROGRAM.pid)],
                         capture_output=True, text=True).stdout.split()
    if ids:
        subprocess.run(["xdotool", "windowfocus", ids[-1]], check=False)
    subprocess.run(["xdotool", "key", "--clearmodifiers", *keys.split()], check=True)


PROGRAM = None


def main():
    work = tempfile.mkdtemp(prefix="busyprobe")
    state = os.path.join(work, "state")
    subprocess.run(["bash", f"{TOP}/scripts/make-demo-state.sh", state], check=True,
                   stdout=subprocess.DEVNULL)
    xvfb = subprocess.Popen(["Xvfb", ":77", "-screen", "0", "1280x800x24"],
                            stderr=subprocess.DEVNULL)
    vplayer = subprocess.Popen([f"{BIN}/tunara-vplayer", "--state", state, "--listen",
                                f"127.0.0.1:{PORT}"])
    time.sleep(1.0)
    env = dict(os.environ, DISPLAY=":77", HOME=work, XDG_CONFIG_HOME=os.path.join(work, "cfg"),
               XDG_RUNTIME_DIR=work, KESTOUSB_USBIP=f"127.0.0.1:{PORT}",
               QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1", QT_ACCESSIBILITY="1")
    os.environ["DISPLAY"] = ":77"
    global PROGRAM
    program = PROGRAM = subprocess.Popen([f"{BIN}/tunara"], env=env)
    try:
        app = None
        time.sleep(2.0)
        key("shift")  # any key closes the start-up splash
        for _ in range(200):
            app = app_node()
            if app is not None and idle(app) and "Total" in status_text(app):
                break
            time.sleep(0.1)
        if app is None or not idle(app):
            desktop = pyatspi.Registry.getDesktop(0)
            names = [desktop.getChildAtIndex(i).name for i in range(desktop.childCount)]
            print("the program did not show up ready on the accessibility bus:", names,
                  app and status_text(app))
            return 1
        time.sleep(1.0)
        results = []

        def busy_while(name, keys):
            """Makes the player busy, presses `keys` (pauses between groups), watches the window
            while it stays busy and then until the command has ended."""
            time.sleep(1.0)
            ctl(state, "busy", "on")
            for group in keys:
                key(group)
                time.sleep(0.4)
            worst = watch(app, BUSY_SECONDS)
            ctl(state, "busy", "off")
            worst = max(worst, watch(app, 30, lambda: idle(app)))
            results.append((name, worst, " -> ".join(SEEN) + "   [" + status_text(app) + "]"))
            SEEN.clear()

        # F5: the refresh waits for the player, then shows the panes again.
        busy_while("F5", ["F5"])
        # Delete of the first flash row, Yes in the question.
        key("ctrl+Home space")
        busy_while("Delete", ["Delete", "Return"])
        # Format of the flash pane from the File menu, Yes in the question.
        busy_while("Format", ["alt+f f", "Return"])

        for name, worst, status in results:
            print(f"{name:7s} longest accessibility request {worst * 1000:6.0f} ms   "
                  f"status texts: {status}")
        return 0 if all(w < 0.5 for _, w, _ in results) else 1
    finally:
        program.terminate()
        vplayer.terminate()
        xvfb.terminate()


if __name__ == "__main__":
    sys.exit(main())
