#!/usr/bin/python3
"""Checks the demo from outside, as a screen reader sees it over AT-SPI.

Starts the demo, finds its window on the accessibility bus, walks the tree
and checks names, roles and actions, switches to the Update page and starts
the update through the accessible press actions alone, then waits until
"Update completed." is announced and stands in the log, and closes the
window through its Close button. Exits non-zero with the reasons on failure.

Usage: atspi_check.py <path of quorvi-hub-updater-demo>
"""

import subprocess
import sys
import time

import pyatspi
from gi.repository import GLib

APP_NAME = "quorvi-hub-updater-demo"
WINDOW_NAME = "Quorvi Hub Updater"
failures = []


def check(condition, message):
    if not condition:
        failures.append(message)
        print("FAIL: " + message, flush=True)
    return condition


def pump(seconds):
    """Runs the GLib main context, so that events reach the listener."""
    context = GLib.MainContext.default()
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        while context.pending():
            context.iteration(False)
        time.sleep(0.02)


def wait_for(what, condition, timeout):
    end = time.monotonic() + timeout
    while time.monotonic() < end:
        try:
            value = condition()
            if value:
                return value
        except Exception:  # the tree changes while it is read
            pass
        pump(0.2)
    return None


def walk(node, depth=0):
    yield node, depth
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def find_app():
    desktop = pyatspi.Registry.getDesktop(0)
    for app in desktop:
        if app is not None and app.name == APP_NAME:
            return app
    return None


def find(root, role, name, direct=False):
    nodes = ((root.getChildAtIndex(i), 1) for i in range(root.childCount)) if direct else walk(root)
    for node, _ in nodes:
        if node is not None and node.getRole() == role and node.name == name:
            return node
    return None


def action_names(node):
    try:
        action = node.queryAction()
    except NotImplementedError:
        return []
    return [action.getName(i).lower() for i in range(action.nActions)]


def press(node):
    action = node.queryAction()
    for i in range(action.nActions):
        if action.getName(i).lower() == "press":
            return action.doAction(i)
    return False


def text_of(node):
    text = node.queryText()
    return text.getText(0, text.characterCount)


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def main():
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    announced = []

    def on_name_change(event):
        try:
            if event.source.getRole() == pyatspi.ROLE_STATUS_BAR:
                announced.append(event.source.name)
        except Exception:
            pass

    pyatspi.Registry.registerEventListener(on_name_change, "object:property-change:accessible-name")
    focused = []

    def on_focus(event):
        if event.detail1:
            focused.append(event.source)

    pyatspi.Registry.registerEventListener(on_focus, "object:state-changed:focused")
    demo = subprocess.Popen([sys.argv[1]])
    try:
        app = wait_for("the demo on the bus", find_app, 30)
        if not check(app is not None, "the demo does not appear on the accessibility bus"):
            return 1
        window = wait_for("the main window", lambda: find(app, pyatspi.ROLE_FRAME, WINDOW_NAME, True), 20)
        if not check(window is not None, "no frame named %r" % WINDOW_NAME):
            print("application children: %r" % [(c.getRoleName(), c.name) for c in app])
            return 1
        check(any(c.name == "Virtual hub" for c in app), "no 'Virtual hub' window")

        # The skin's own controls: push buttons right under the window.
        for name in ("Home", "Update", "Menu", "Minimise", "Close"):
            button = find(window, pyatspi.ROLE_PUSH_BUTTON, name, True)
            if check(button is not None, "no skin button %r" % name):
                check("press" in action_names(button), "skin button %r has no press action" % name)
                check(button.getState().contains(pyatspi.STATE_FOCUSABLE), "%r is not focusable" % name)
                extents = button.queryComponent().getExtents(pyatspi.DESKTOP_COORDS)
                check(extents.width > 0 and extents.height > 0, "%r has no place on screen" % name)

        # The lamp says in words that the virtual hub is there.
        lamp = wait_for("the lamp", lambda: find(window, pyatspi.ROLE_IMAGE, "Hub connected")
                        or find(window, pyatspi.ROLE_LABEL, "Hub connected"), 10)
        check(lamp is not None, "the lamp does not say 'Hub connected'")
        if lamp is not None:
            check(lamp.description == "A hub is connected.", "lamp description %r" % lamp.description)
        status = find(window, pyatspi.ROLE_STATUS_BAR, "") or next(
            (n for n, _ in walk(window) if n.getRole() == pyatspi.ROLE_STATUS_BAR), None)
        check(status is not None, "no status object for announcements")

        # Nothing in the tree goes without a name where a user acts on it.
        acting = (pyatspi.ROLE_PUSH_BUTTON, pyatspi.ROLE_CHECK_BOX, pyatspi.ROLE_SLIDER,
                  pyatspi.ROLE_PROGRESS_BAR)
        for node, _ in walk(window):
            if node.getRole() in acting:
                check(node.name.strip() != "", "a %s without a name" % node.getRoleName())

        # The menu button opens the window menu. A popup is no child of the
        # application on the bus: a reader meets it as its first entry takes
        # the focus, and finds the menu as that entry's parent.
        check(press(find(window, pyatspi.ROLE_PUSH_BUTTON, "Menu", True)), "pressing 'Menu' failed")
        entry = wait_for("the window menu's first entry", lambda: next(
            n for n in focused if n.getRole() == pyatspi.ROLE_MENU_ITEM and showing(n)), 10)
        menu = entry.parent if entry is not None else None
        if check(menu is not None and menu.getRole() in (pyatspi.ROLE_MENU, pyatspi.ROLE_POPUP_MENU)
                 and menu.name == "Window menu", "the menu button shows no menu named 'Window menu'"):
            entries = [n.name for n, _ in walk(menu) if n.getRole() == pyatspi.ROLE_MENU_ITEM]
            check(entries == ["Service tool", "Update history", "About"], "window menu entries %r" % entries)
            service = find(menu, pyatspi.ROLE_MENU_ITEM, "Service tool")
            if service is not None:
                action = service.queryAction()
                check(action.nActions > 0 and action.doAction(0), "choosing 'Service tool' failed")
                trend = wait_for("the service page", lambda: next(
                    n for n, _ in walk(window) if n.getRole() == pyatspi.ROLE_PUSH_BUTTON
                    and n.name == "Running data trend..." and showing(n)), 10)
                check(trend is not None, "'Service tool' does not show the service page and its trend button")

        # To the Update page and start the update, by accessible actions alone.
        check(press(find(window, pyatspi.ROLE_PUSH_BUTTON, "Update", True)), "pressing 'Update' module failed")
        update = wait_for("the Update page", lambda: next(
            n for n, d in walk(window)
            if d > 1 and n.getRole() == pyatspi.ROLE_PUSH_BUTTON and n.name == "Update" and showing(n)), 10)
        if not check(update is not None, "the Update page's 'Update' button does not show"):
            return 1
        check(find(window, pyatspi.ROLE_PUSH_BUTTON, "Check Version") is not None, "no 'Check Version' button")
        log = next((n for n, _ in walk(window) if n.name == "Log:" and n.getRole() == pyatspi.ROLE_TEXT), None)
        check(log is not None, "no text named 'Log:' (the log, named by its label)")
        progress = find(window, pyatspi.ROLE_PROGRESS_BAR, "Update progress")
        check(progress is not None, "no progress bar named 'Update progress'")
        check(find(window, pyatspi.ROLE_CHECK_BOX, "Automatically update when new hub is plugged in")
              is not None, "no automatic update check box")

        check(press(update), "pressing 'Update' failed")
        done = wait_for("Update completed.", lambda: log is not None and "Update completed." in text_of(log), 120)
        check(done, "the log does not read 'Update completed.'")
        pump(0.5)
        check("Update completed." in announced,
              "'Update completed.' was not announced (announced: %r)" % announced)
        if status is not None:
            check(status.name == "Update completed.", "the status object says %r" % status.name)
        if progress is not None:
            value = progress.queryValue()
            check(value.currentValue == 100 and value.maximumValue == 100,
                  "progress says %r of %r" % (value.currentValue, value.maximumValue))

        # The window closes through its own Close button.
        check(press(find(window, pyatspi.ROLE_PUSH_BUTTON, "Close", True)), "pressing 'Close' failed")
        gone = wait_for("the window to close",
                        lambda: find(app, pyatspi.ROLE_FRAME, WINDOW_NAME, True) is None or not showing(window), 10)
        check(gone, "the window did not close")
    finally:
        demo.terminate()
        try:
            demo.wait(10)
        except subprocess.TimeoutExpired:
            demo.kill()
    if failures:
        print("%d accessibility check(s) failed" % len(failures))
        return 1
    print("accessibility checks passed: names, roles, actions, window menu, update announced")
    return 0


if __name__ == "__main__":
    sys.exit(main())
