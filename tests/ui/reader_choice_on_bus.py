# The window's lists to choose from as a screen reader meets them on the
# AT-SPI bus, against a running station with a virtual token on each of two
# readers: a reader is chosen through its entry's action alone (no pointer,
# no keys), and Connect then reads the token on the reader chosen. Run by
# at_spi_bus_test.sh.
import re

from station_on_bus import descendants, fail, find, main_window, press, showing, station, wait_for

import pyatspi

SERIALS = {'Virtual PCD 00 00': 'ZZREADER0A', 'Virtual PCD 00 01': 'ZZREADER0B'}


def entries(box):
    return [entry.name for entry in box]


def chosen(box):
    return [entry.name for entry in box if entry.getState().contains(pyatspi.STATE_SELECTED)]


def choose(box, name, caption):
    """Presses the entry NAME of BOX and waits until the box says it is the choice."""
    entry = next((e for e in box if e.name == name), None)
    if entry is None:
        fail('"%s" has no entry "%s" among %s' % (box.name, name, entries(box)))
    if entry.getRoleName() != 'list item' or entry.parent != box:
        fail('entry "%s" is %s under "%s"' % (name, entry.getRoleName(), entry.parent.name))
    press(entry, 'Press')
    wait_for(lambda: box.name == caption + ' ' + name and chosen(box) == [name],
             lambda: '"%s" to be the choice (box "%s", chosen %s)' % (name, box.name, chosen(box)))


def shown_serial(window):
    for node in descendants(window):
        if node.getRoleName() == 'label' and node.name.startswith('Serial Number: '):
            return node.name[len('Serial Number: '):]
    return None


def connect_and_read(window, connect, reader):
    press(connect, 'Press')
    wait_for(lambda: shown_serial(window) == SERIALS[reader],
             lambda: 'Connect to read %s on "%s" (shown: %s)' % (SERIALS[reader], reader, shown_serial(window)))
    print('"%s" chosen, Connect reads %s' % (reader, SERIALS[reader]))


def main():
    window = main_window(station())
    readers = find(window, 'combo box', 'Reader:')
    connect = find(window, 'push button', 'Connect')
    wait_for(lambda: entries(readers) == list(SERIALS), lambda: 'both readers listed (listed: %s)' % entries(readers))
    if chosen(readers):
        fail('a reader is chosen before the operator chose: %s' % chosen(readers))

    # The second reader, with the list closed, as a reader may do.
    second, first = list(SERIALS)[1], list(SERIALS)[0]
    choose(readers, second, 'Reader:')
    connect_and_read(window, connect, second)

    # The first one from the open list, which closes.
    press(readers, 'ShowMenu')
    wait_for(lambda: all(showing(e) for e in readers), 'the list to open')
    choose(readers, first, 'Reader:')
    wait_for(lambda: not any(showing(e) for e in readers), 'the list to close')
    connect_and_read(window, connect, first)

    # The secret's encoding is such a list too: Random writes in the one chosen.
    secret_box = find(window, 'text', 'Secret:')
    secret = lambda: secret_box.queryText().getText(0, -1)
    choose(find(window, 'combo box', 'Secret encoding BASE32'), 'HEX', 'Secret encoding')
    press(find(window, 'push button', 'Random'), 'Press')
    wait_for(lambda: re.fullmatch('[0-9A-F]{64}', secret()), lambda: '32 bytes in hex (shown: %s)' % secret())
    print('HEX chosen: Random writes 64 hex digits')
    print('PASS')


main()
