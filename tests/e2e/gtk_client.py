"""A GTK window for the Wayland tests: a text view over the whole window that reports what
it receives as JSON lines on standard output, and its text whenever it changes.

  {"event": "ready", "pid": N}
  {"event": "key", "down": true, "keyval": 97, "state": 4, "keycode": 38}
  {"event": "button", "down": true, "button": 1, "x": 10.0, "y": 20.0, "state": 0, "time": 123, "clicks": 1}
  {"event": "motion", "x": 10.0, "y": 20.0, "state": 256}
  {"event": "scroll", "direction": "up"}
  {"event": "smooth-scroll", "direction": "up"}
  {"event": "text", "text": "..."}

Positions are the window's own (logical pixels from its top-left corner). The window's
background has the colour given as the first argument (RRGGBB); the title is the second; an
optional third, X,Y, asks for the window's place (honoured by X window managers only).
It ends when standard input closes. Lines of JSON on standard input work the clipboard:

  {"copy": "TEXT"}      puts TEXT on the clipboard, then reports {"event": "copied"}
  {"clipboard": null}   reports {"event": "clipboard", "text": ...} (null when it holds no text)
  {"colour": "RRGGBB"}  repaints the window in that colour, then reports {"event": "coloured"}
                        once the compositor has the new picture (it may not have shown it yet)
"""

import json
import os
import sys

import gi

gi.require_version("Gtk", "3.0")
gi.require_version("Gdk", "3.0")
from gi.repository import Gdk, GLib, Gtk  # noqa: E402


def report(**event):
    sys.stdout.write(json.dumps(event, ensure_ascii=False) + "\n")
    sys.stdout.flush()


def main():
    colour = sys.argv[1] if len(sys.argv) > 1 else "336699"
    title = sys.argv[2] if len(sys.argv) > 2 else "Velmar Test"
    GLib.set_prgname("velmar-test-gtk")
    window = Gtk.Window(title=title)
    window.set_default_size(640, 480)
    if len(sys.argv) > 3:
        x, y = (int(v) for v in sys.argv[3].split(","))
        window.move(x, y)
    css = Gtk.CssProvider()

    def paint(colour):
        css.load_from_data(f"textview, textview text, window {{ background-color: #{colour}; color: #{colour}; }}"
                           .encode())

    paint(colour)
    Gtk.StyleContext.add_provider_for_screen(Gdk.Screen.get_default(), css, Gtk.STYLE_PROVIDER_PRIORITY_USER)
    view = Gtk.TextView()
    view.set_cursor_visible(False)
    window.add(view)
    view.add_events(Gdk.EventMask.POINTER_MOTION_MASK)
    window.add_events(Gdk.EventMask.SCROLL_MASK)

    def on_key(_, event, down):
        report(event="key", down=down, keyval=event.keyval, state=int(event.state), keycode=event.hardware_keycode)
        return False

    def on_button(_, event):
        if event.type in (Gdk.EventType.BUTTON_PRESS, Gdk.EventType.BUTTON_RELEASE):
            report(event="button", down=event.type == Gdk.EventType.BUTTON_PRESS, button=event.button,
                   x=event.x, y=event.y, state=int(event.state), time=event.time)
        # The text view's own menu (right button) and paste (middle) would take the input.
        return event.button != 1

    def on_motion(_, event):
        report(event="motion", x=event.x, y=event.y, state=int(event.state))
        return False

    def on_scroll(_, event):
        direction = {Gdk.ScrollDirection.UP: "up", Gdk.ScrollDirection.DOWN: "down",
                     Gdk.ScrollDirection.LEFT: "left", Gdk.ScrollDirection.RIGHT: "right"}.get(event.direction)
        if event.direction == Gdk.ScrollDirection.SMOOTH:
            # Steps with no wheel click (KWin's fake input sends its wheel so); a click comes
            # as both, and is reported once, above.
            _, dx, dy = event.get_scroll_deltas()
            direction = ("down" if dy > 0 else "up") if dy else ("right" if dx > 0 else "left") if dx else None
            if direction:
                report(event="smooth-scroll", direction=direction)
            return True
        if direction:
            report(event="scroll", direction=direction)
        return True

    window.connect("key-press-event", on_key, True)
    window.connect("key-release-event", on_key, False)
    view.connect("button-press-event", on_button)
    view.connect("button-release-event", on_button)
    view.connect("motion-notify-event", on_motion)
    window.connect("scroll-event", on_scroll)
    buffer = view.get_buffer()
    buffer.connect("changed", lambda b: report(event="text", text=b.get_text(b.get_start_iter(), b.get_end_iter(), True)))
    window.connect("destroy", Gtk.main_quit)

    clipboard = Gtk.Clipboard.get(Gdk.SELECTION_CLIPBOARD)

    def recolour(colour):
        # GDK commits the window's new buffer in its own handler of the frame's after-paint,
        # connected before this one; the round trip then proves the compositor has it.
        clock = window.get_frame_clock()
        handler = []

        def painted(*_):
            clock.disconnect(handler[0])
            window.get_display().sync()
            report(event="coloured", colour=colour)

        handler.append(clock.connect("after-paint", painted))
        paint(colour)
        window.queue_draw()
    pending = bytearray()

    def on_stdin(*_):
        chunk = os.read(sys.stdin.fileno(), 65536)
        if not chunk:
            Gtk.main_quit()
            return False
        pending.extend(chunk)
        while b"\n" in pending:
            line, _, rest = bytes(pending).partition(b"\n")
            pending[:] = rest
            command = json.loads(line)
            if "copy" in command:
                clipboard.set_text(command["copy"], -1)
                clipboard.store()
                report(event="copied")
            elif "clipboard" in command:
                clipboard.request_text(lambda _, text: report(event="clipboard", text=text))
            elif "colour" in command:
                recolour(command["colour"])
        return True

    GLib.io_add_watch(sys.stdin.fileno(), GLib.IO_HUP | GLib.IO_IN, on_stdin)
    window.show_all()
    view.grab_focus()
    GLib.idle_add(lambda: report(event="ready", pid=os.getpid()) and False)
    Gtk.main()


if __name__ == "__main__":
    main()
