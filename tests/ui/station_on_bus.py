# What the bus tests share: the running station as a screen reader finds it
# on the AT-SPI bus, its controls by role and name, and their actions.
import sys
import time

import pyatspi

WINDOW_TITLE = 'Orvex Zerazaduzu'


def fail(what):
    print('FAIL: ' + what)
    sys.exit(1)


def wait_for(condition, what, seconds=15):
    """WHAT names the wait; a callable is asked at the timeout, to tell what was seen then."""
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        if condition():
            return
        time.sleep(0.05)
    fail('timed out waiting for ' + (what() if callable(what) else what))


def station():
    found = []

    def look():
        found[:] = [a for a in pyatspi.Registry.getDesktop(0)
                    if a is not None and a.name == 'orvex-zerazaduzu' and a.childCount > 0]
        return found

    wait_for(look, 'the station on the bus')
    return found[0]


def main_window(app):
    return next(w for w in app if w.name.startswith(WINDOW_TITLE))


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
