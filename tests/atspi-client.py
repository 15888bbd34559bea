#!/usr/bin/env python3
"""Reads a program the way a screen reader does, over AT-SPI, for tst_desktop.

    atspi-client.py PID tree            prints the program's accessible tree as one JSON line
    atspi-client.py PID listen EVENT... prints "ready", then each event of the program as a
                                        JSON line, until standard input closes

Exit status 3: the program never showed up on the accessibility bus.
"""

import json
import sys
import time

import gi

gi.require_version("Atspi", "2.0")
from gi.repository import Atspi, GLib  # noqa: E402


def application(pid):
    # The program registers with the bus a moment after its first window shows.
    deadline = time.monotonic() + 20
    while time.monotonic() < deadline:
        desktop = Atspi.get_desktop(0)
        for i in range(desktop.get_child_count()):
            app = desktop.get_child_at_index(i)
            try:
                if app is not None and app.get_process_id() == pid:
                    return app
            except GLib.Error:
                pass
        time.sleep(0.1)
    return None


def related(node, relation_type):
    names = []
    for relation in node.get_relation_set() or []:
        if relation.get_relation_type() == relation_type:
            for i in range(relation.get_n_targets()):
                names.append(relation.get_target(i).get_name())
    return names


def describe(node, depth=0):
    states = node.get_state_set()
    described = {
        "role": node.get_role_name(),
        "name": node.get_name(),
        "description": node.get_description(),
        "states": [name for name, state in (("focusable", Atspi.StateType.FOCUSABLE),
                                            ("focused", Atspi.StateType.FOCUSED),
                                            ("active", Atspi.StateType.ACTIVE),
                                            ("showing", Atspi.StateType.SHOWING),
                                            ("modal", Atspi.StateType.MODAL))
                   if states.contains(state)],
        "labelledBy": related(node, Atspi.RelationType.LABELLED_BY),
    }
    if depth < 8:
        described["children"] = [describe(node.get_child_at_index(i), depth + 1)
                                 for i in range(node.get_child_count())]
    return described


def texts(node, depth=0):
    """The names of the labels under a node: what a window says in words."""
    found = []
    for i in range(node.get_child_count()):
        child = node.get_child_at_index(i)
        if child.get_role() == Atspi.Role.LABEL and child.get_name():
            found.append(child.get_name())
        elif depth < 4:
            found.extend(texts(child, depth + 1))
    return found


def listen(pid, event_types):
    def on_event(event):
        try:
            source = event.source
            if source.get_process_id() != pid:
                return
            print(json.dumps({"type": event.type, "detail1": event.detail1,
                              "role": source.get_role_name(), "name": source.get_name(),
                              "description": source.get_description(),
                              "texts": texts(source)}), flush=True)
        except GLib.Error as error:
            print(json.dumps({"type": event.type, "error": error.message}), flush=True)

    listener = Atspi.EventListener.new(on_event)
    for event_type in event_types:
        listener.register(event_type)
    GLib.io_add_watch(GLib.IOChannel.unix_new(sys.stdin.fileno()),
                      GLib.IO_IN | GLib.IO_HUP, lambda *_: Atspi.event_quit() or False)
    print("ready", flush=True)
    Atspi.event_main()


def main():
    pid, command = int(sys.argv[1]), sys.argv[2]
    app = application(pid)
    if app is None:
        print(f"process {pid} is not on the accessibility bus", file=sys.stderr)
        return 3
    # Read afresh each time: a client that does not listen for changes of names is not told
    # of them.
    app.set_cache_mask(Atspi.Cache.NONE)
    if command == "tree":
        print(json.dumps(describe(app)), flush=True)
    else:
        listen(pid, sys.argv[3:])
    return 0


if __name__ == "__main__":
    sys.exit(main())
