# The split buttons' menus as a screen reader meets them on the AT-SPI bus,
# against a running station: found under their buttons, opened, moved
# through with the keyboard and chosen. Run by split_menus_bus_test.sh.
import base64
import sys
import threading
import time

import pyatspi
from gi.repository import GLib

XK_DOWN, XK_ESCAPE = 0xFF54, 0xFF1B
WINDOW_TITLE = 'Orvex Zerazaduzu'


def fail(what):
    print('FAIL: ' + what)
    sys.exit(1)


def wait_for(condition, what, seconds=15):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    fail('timed out waiting for ' + what)


def station():
    found = []

    def look():
        found[:] = [a for a in pyatspi.Registry.getDesktop(0)
                    if a is not None and a.name == 'orvex-zerazaduzu' and a.childCount > 0]
        return found

    wait_for(look, 'the station on the bus')
    return found[0]


def descendants(node):
    yield node
    for child in node:
        if child is not None:
            yield from descendants(child)


def find(root, role, name):
    for node in descendants(root):
        if node.getRoleName() == role and node.name == name:
            return node
    fail('no %s "%s" under %s "%s"' % (role, name, root.getRoleName(), root.name))


def press(node, action):
    actions = node.queryAction()
    names = [actions.getName(i) for i in range(actions.nActions)]
    if action not in names:
        fail('%s "%s" offers %s, not %s' % (node.getRoleName(), node.name, names, action))
    started = time.monotonic()
    actions.doAction(names.index(action))
    # A request that waits for the menu or a dialog to close holds up the reader.
    if time.monotonic() - started > 1:
        fail('%s on "%s" took %.1f s' % (action, node.name, time.monotonic() - started))


def showing(node):
    return node.getState().contains(pyatspi.STATE_SHOWING)


def menu_of(button, entries):
    if button.childCount != 1:
        fail('"%s" has %d children, not its menu' % (button.name, button.childCount))
    menu = button.getChildAtIndex(0)
    if menu.getRoleName() != 'popup menu' or menu.parent != button:
        fail('"%s" child is %s "%s"' % (button.name, menu.getRoleName(), menu.name))
    shown = [(item.getRoleName(), item.name) for item in menu]
    if shown != [('menu item', name) for name in entries]:
        fail('menu of "%s" shows %s' % (button.name, shown))
    return menu


def secret_bytes(text):
    return base64.b32decode(text + '=' * (-len(text) % 8))


def main():
    app = station()
    window = next(w for w in app if w.name.startswith(WINDOW_TITLE))
    random = find(window, 'push button', 'Random')
    scan = find(window, 'push button', 'Scan QR Code')
    secret_box = find(window, 'text', 'Secret:')
    secret = lambda: secret_box.queryText().getText(0, -1)

    random_menu = menu_of(random, ['32 Bytes', '64 Bytes', '128 Bytes'])
    scan_menu = menu_of(scan, ['Scan Screen', 'Load Image File'])

    # "64 Bytes" from the menu opened through the button.
    press(random, 'ShowMenu')
    wait_for(lambda: showing(random_menu), 'the menu of "Random" to show')
    press(find(random_menu, 'menu item', '64 Bytes'), 'Press')
    wait_for(lambda: secret() and not showing(random_menu), 'a secret and the menu closed')
    if len(secret_bytes(secret())) != 64:
        fail('"64 Bytes" gave %d characters' % len(secret()))
    print('64 Bytes: %d Base32 characters, 64 bytes; menu closed' % len(secret()))

    # An entry can be chosen with its menu closed, as a reader may do.
    press(find(random_menu, 'menu item', '128 Bytes'), 'Press')
    wait_for(lambda: len(secret()) == 205 and len(secret_bytes(secret())) == 128, 'a 128-byte secret')
    print('128 Bytes with the menu closed: 128 bytes')

    # The keyboard moves through the open menu: a reader hears each entry
    # from its focus event, the entry found under its menu and button.
    focused = []

    def on_focus(event):
        try:
            if event.detail1 == 1 and event.source.getRoleName() == 'menu item':
                focused.append((event.source.name, event.source.parent.name, event.source.parent.parent.name))
        except GLib.Error:
            pass  # an object already gone, such as a closed dialog's

    pyatspi.Registry.registerEventListener(on_focus, 'object:state-changed:focused')
    threading.Thread(target=pyatspi.Registry.start, daemon=True).start()
    press(random, 'ShowMenu')
    wait_for(lambda: showing(random_menu), 'the menu of "Random" to show again')
    for expected in (1, 2):
        pyatspi.Registry.generateKeyboardEvent(XK_DOWN, None, pyatspi.KEY_SYM)
        wait_for(lambda: len(focused) >= expected, 'a focus event from the menu')
    if focused != [('32 Bytes', 'Random', 'Random'), ('64 Bytes', 'Random', 'Random')]:
        fail('focus events: %s' % focused)
    print('keyboard: focus on %s' % [f[0] for f in focused])
    pyatspi.Registry.generateKeyboardEvent(XK_ESCAPE, None, pyatspi.KEY_SYM)
    wait_for(lambda: not showing(random_menu), 'Escape to close the menu')
    pyatspi.Registry.deregisterEventListener(on_focus, 'object:state-changed:focused')

    # "Load Image File": the request returns while the file dialog is open.
    press(scan, 'ShowMenu')
    wait_for(lambda: showing(scan_menu), 'the menu of "Scan QR Code" to show')
    press(find(scan_menu, 'menu item', 'Load Image File'), 'Press')
    wait_for(lambda: app.childCount == 2, 'the file dialog')
    dialog = next(w for w in app if not w.name.startswith(WINDOW_TITLE))
    print('Load Image File: window "%s" open, menu showing: %s' % (dialog.name, showing(scan_menu)))
    press(find(dialog, 'push button', 'Cancel'), 'Press')
    wait_for(lambda: app.childCount == 1, 'the file dialog to close')
    print('PASS')


main()
