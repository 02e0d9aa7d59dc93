# The split buttons' menus as a screen reader meets them on the AT-SPI bus,
# against a running station: found under their buttons, opened, moved
# through with the keyboard and chosen. Run by at_spi_bus_test.sh.
import base64
import threading

import pyatspi
from gi.repository import GLib

from station_on_bus import WINDOW_TITLE, fail, find, main_window, press, showing, station, wait_for

XK_DOWN, XK_ESCAPE = 0xFF54, 0xFF1B


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
    window = main_window(app)
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
