"""Reads tessel-gui through the accessibility bus (AT-SPI) as a screen reader does: detects the
stand-in board through the detection dialogs, then prints what each dialog, the sector table,
the IAP Status line and the chip fields say. Run by tools/accessibility-check.sh."""
import sys
import time

import pyatspi


def wait_for(find, seconds=10.0):
    deadline = time.time() + seconds
    while time.time() < deadline:
        found = find()
        if found:
            return found
        time.sleep(0.2)
    sys.exit("accessibility-check: gave up waiting")


def the_app():
    desktop = pyatspi.Registry.getDesktop(0)
    apps = [desktop.getChildAtIndex(i) for i in range(desktop.childCount)]
    return next((a for a in apps if a is not None and a.name == "tessel-gui"), None)


def walk(node, depth=0):
    yield depth, node
    for i in range(node.childCount):
        child = node.getChildAtIndex(i)
        if child is not None:
            yield from walk(child, depth + 1)


def find(root, role, name):
    return next((n for _, n in walk(root) if n.getRoleName() == role and n.name == name), None)


def dialogs(app):
    tops = [app.getChildAtIndex(i) for i in range(app.childCount)]
    return [t for t in tops if t.getRoleName() in ("dialog", "alert")]


def text_of(node):
    try:
        return " = " + repr(node.queryText().getText(0, -1))
    except NotImplementedError:
        return ""


def show(node):
    for depth, n in walk(node):
        state = n.getState()
        if not state.contains(pyatspi.STATE_VISIBLE):
            continue
        print("  " * depth + f"[{n.getRoleName()}] {n.name!r}{text_of(n) if n.getRoleName() == 'text' else ''}")


def press(node):
    action = node.queryAction()
    action.doAction(0)


def key(keysym, times=1):
    for _ in range(times):
        pyatspi.Registry.generateKeyboardEvent(keysym, None, pyatspi.KEY_SYM)
        time.sleep(0.2)


def main():
    port = sys.argv[1] if len(sys.argv) > 1 else "sim:NX31A32"
    app = wait_for(the_app)
    press(find(app, "menu item", "Detect Target MCU for Firmware1.1F and RS232 Config."))
    chip = wait_for(lambda: dialogs(app))[0]
    show(chip)
    press(find(chip, "push button", "OK"))
    comm = wait_for(lambda: [d for d in dialogs(app) if d.name != chip.name])[0]
    show(comm)
    # The port list box: the wanted entry is chosen with the keyboard, as an operator would.
    combo = next(n for _, n in walk(comm) if n.getRoleName() == "combo box")
    entries = combo.getChildAtIndex(0)
    names = [entries.getChildAtIndex(i).name for i in range(entries.childCount)]
    combo.queryComponent().grabFocus()
    time.sleep(0.3)
    key(0xFF50)  # Home
    key(0xFF54, names.index(port))  # Down
    press(find(comm, "push button", "Detect MCU"))
    # The loader's reset prompt, then the detection's own end.
    prompt = wait_for(lambda: [d for d in dialogs(app) if d.getRoleName() == "alert"])[0]
    show(prompt)
    press(next(n for _, n in walk(prompt) if n.getRoleName() == "push button"))
    frame = app.getChildAtIndex(0)
    status = find(frame, "text", "IAP Status")
    wait_for(lambda: status.queryText().getText(0, -1))
    table = find(frame, "tree", "Sector status")
    cells = [table.getChildAtIndex(i).name for i in range(table.childCount)]
    print("Sector status:", cells[:15], f"... {len(cells)} entries")
    for name in ("IAP Status", "Chip Type", "Flash Size", "Fw Version", "Mem Mode", "Security"):
        print(name + text_of(find(frame, "text", name)))
    print("Go to" + text_of(find(frame, "text", "Go to address")))
    # Each button with why it is greyed, as a screen reader gives it after the name.
    for _, n in walk(frame):
        if n.getRoleName() == "push button" and n.getState().contains(pyatspi.STATE_VISIBLE):
            live = "live" if n.getState().contains(pyatspi.STATE_ENABLED) else "greyed"
            print("button", repr(n.name), live, repr(n.description))
    # The status bar's panes are read as what they show.
    for _, n in walk(frame):
        if n.getRoleName() == "label" and n.getState().contains(pyatspi.STATE_VISIBLE) and n.name:
            print("label", repr(n.name))


main()
