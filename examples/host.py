#!/usr/bin/env python3
"""A small host for qxdataclient over D-Bus.

It creates one QXDClientCLS object, starts it with a data folder, subscribes
a few symbols whenever the feed asks for them (RequestAllSimbols, after every
accepted logon), queues one historic download and prints every quote, server
time and finished download, and from the Status interface the connections'
states, server notes and downloads that end without data. Ctrl-C (or --quotes, --seconds) releases the object, which ends the client.

Needs Debian's python3-dbus and python3-gi:
    sudo apt-get install python3-dbus python3-gi
Run (the client is started by D-Bus activation after `qxdataclient --regserver`,
or start it yourself first):
    python3 examples/host.py --folder ~/qxdata PETR4 VALE3
"""
import argparse
import os
import signal
import sys

import dbus
import dbus.mainloop.glib
from gi.repository import GLib

BUS_NAME = "QXDataClient.QXDClientCLS"
CLS = "QXDataClient._QXDClientCLS"
EVENTS = "QXDataClient.__QXDClientCLS"
STATUS = "QXDataClient.Status"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("symbols", nargs="*", default=["PETR4", "VALE3", "ITUB4"])
    ap.add_argument("--folder", default=os.path.expanduser("~/qxdata"),
                    help="data folder; historic files go to FOLDER/indataqx")
    ap.add_argument("--history", default=None,
                    help="symbol whose daily bars to download once (default: the first)")
    ap.add_argument("--quotes", type=int, default=0,
                    help="release the object after this many quotes (default: never)")
    ap.add_argument("--seconds", type=float, default=0,
                    help="release the object after this many seconds (default: never)")
    args = ap.parse_args()
    os.makedirs(os.path.join(args.folder, "indataqx"), exist_ok=True)

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    bus = dbus.SessionBus()
    factory = bus.get_object(BUS_NAME, "/QXDClientCLS")
    path = factory.CreateInstance(dbus_interface="QXDataClient.ClassFactory")
    obj = bus.get_object(BUS_NAME, path)
    cls = dbus.Interface(obj, CLS)

    # The properties that belong to an event arrive just before it.
    props = {}

    def on_changed(iface, changed, _invalidated):
        if iface == CLS:
            props.update(changed)
        elif iface == STATUS:  # the connections' states, as the window shows them
            for name, what in (("FeedState", "feed"), ("HistoricState", "historic")):
                if name in changed:
                    print(f"{what}: {changed[name]}", flush=True)

    def on_note(text):
        print(f"server note: {text}", flush=True)

    def on_download_ended(symbol, ty, ok, reason):
        if not ok:  # a finished one comes as EndDownload
            print(f"download ended without data: {symbol} (interval {float(ty):g}): {reason}",
                  flush=True)

    quotes = 0

    def on_quote():
        nonlocal quotes
        quotes += 1
        if args.quotes and quotes >= args.quotes:
            GLib.idle_add(stop)
        kind = {0: "trade", 1: "quote", 2: "requested"}.get(int(props.get("Flag", -1)), "?")
        print(f"{kind:9} {props.get('Simbolo', ''):8} last {float(props.get('Last', 0)):10.2f}"
              f"  bid {float(props.get('Bid', 0)):10.2f}  ask {float(props.get('Ask', 0)):10.2f}"
              f"  vol {float(props.get('Vol', 0)):12.0f}", flush=True)

    def on_request_all():
        print("feed logged on: subscribing", " ".join(args.symbols), flush=True)
        for s in args.symbols:
            cls.AddSymbol(s)

    def on_time(t):
        print(f"server time {float(t):.6f}", flush=True)

    def on_download(symbol, ty):
        print(f"download finished: {symbol} (interval {float(ty):g})", flush=True)

    bus.add_signal_receiver(on_changed, "PropertiesChanged", "org.freedesktop.DBus.Properties",
                            BUS_NAME, path)
    bus.add_signal_receiver(on_quote, "FeederReady", EVENTS, BUS_NAME, path)
    bus.add_signal_receiver(on_request_all, "RequestAllSimbols", EVENTS, BUS_NAME, path)
    bus.add_signal_receiver(on_time, "NewTime", EVENTS, BUS_NAME, path)
    bus.add_signal_receiver(on_download, "EndDownload", EVENTS, BUS_NAME, path)
    bus.add_signal_receiver(on_note, "Note", STATUS, BUS_NAME, path)
    bus.add_signal_receiver(on_download_ended, "DownloadEnded", STATUS, BUS_NAME, path)

    cls.Iniciar(args.folder)
    hist = args.history or (args.symbols[0] if args.symbols else None)
    if hist:
        # Daily bars for the first half of 2004 (OLE Automation dates).
        cls.RequestHistoricData(hist, -1.0, 37988.0, 38169.0)

    loop = GLib.MainLoop()

    def stop(*_):
        try:
            dbus.Interface(obj, "QXDataClient.Instance").Release()
        except dbus.DBusException:
            pass
        loop.quit()

    signal.signal(signal.SIGINT, stop)
    signal.signal(signal.SIGTERM, stop)
    if args.seconds:
        GLib.timeout_add(int(args.seconds * 1000), stop)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main())
