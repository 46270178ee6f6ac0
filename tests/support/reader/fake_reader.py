#!/usr/bin/env python3
"""Plays the card reader for Windows programs under Wine.

Each plugged port is a pseudo-terminal whose slave end is mapped as a COM port of
the test prefix ($WINEPREFIX/dosdevices/comN -> /dev/pts/M); this process holds
the master end and is the device. Windows-side tests drive it over a line protocol
on 127.0.0.1 (the port number is written to --port-file); every request gets one
reply line, "OK ..." or "ERR <why>":

  PLUG n            map COMn to a new pty (replaces an earlier one)  -> OK /dev/pts/M
  RENEW n           map COMn to a new pty and keep the earlier one
                    open and silent, as a device that came back as a
                    new instance leaves the old one behind           -> OK /dev/pts/M
  OLDOPENERS n      open descriptions that the Windows programs still
                    hold on the ptys RENEW left behind for COMn      -> OK count
  UNPLUG n          close the pty and remove the link                -> OK
  WRITE n HEX       send bytes to COMn; replies once the pty took all -> OK count
  READ n MIN MS     bytes the Windows side wrote to COMn, waiting up to
                    MS milliseconds for at least MIN of them         -> OK HEX
  QUEUED n          bytes sent to COMn not yet read by Windows       -> OK count
  OPENERS n         open descriptions of COMn's line held by the
                    wineserver: one per open file object of a
                    Windows program                                  -> OK count
  RESET             unplug every port                                -> OK
  PING                                                               -> OK

Standard library only. Ends (unplugging everything) on SIGTERM or SIGINT.
"""

import argparse
import fcntl
import os
import select
import signal
import socketserver
import struct
import sys
import termios
import threading
import tty


class Port:
    def __init__(self, number, dosdevices):
        self.number = number
        self.master, self.slave = os.openpty()
        # The slave stays open here too: the line keeps its raw settings, bytes sent before
        # a Windows program opens the port wait in its input queue, and reading the master
        # never fails for want of a slave.
        tty.setraw(self.slave)
        os.set_blocking(self.master, False)
        self.path = os.ttyname(self.slave)
        self.link = os.path.join(dosdevices, "com%d" % number)
        self.received = bytearray()
        self.cond = threading.Condition()
        self.closed = False
        if os.path.lexists(self.link):
            os.unlink(self.link)
        os.symlink(self.path, self.link)
        self.pump = threading.Thread(target=self._pump, daemon=True)
        self.pump.start()

    def _pump(self):
        while not self.closed:
            ready, _, _ = select.select([self.master], [], [], 0.05)
            if not ready or self.closed:
                continue
            try:
                data = os.read(self.master, 65536)
            except BlockingIOError:
                continue
            except OSError:
                return
            with self.cond:
                self.received += data
                self.cond.notify_all()

    def write(self, data):
        view = memoryview(data)
        while view:
            if self.closed:
                raise OSError("unplugged while writing")
            _, ready, _ = select.select([], [self.master], [], 0.05)
            if not ready:
                continue
            try:
                view = view[os.write(self.master, view):]
            except BlockingIOError:
                continue
        return len(data)

    def read(self, minimum, timeout_ms):
        with self.cond:
            self.cond.wait_for(lambda: len(self.received) >= minimum or self.closed, timeout_ms / 1000.0)
            data = bytes(self.received)
            self.received.clear()
        return data

    def queued(self):
        buf = fcntl.ioctl(self.slave, termios.TIOCINQ, struct.pack("i", 0))
        return struct.unpack("i", buf)[0]

    def openers(self):
        # The wineserver's descriptors that refer to this line's slave: it holds one per
        # open Windows file object of the port. The Windows processes themselves also
        # cache a descriptor per object once they use it, so theirs are not counted.
        target = os.stat(self.path).st_rdev
        mine = os.getpid()
        count = 0
        for pid in os.listdir("/proc"):
            if not pid.isdigit() or int(pid) == mine:
                continue
            try:
                with open(os.path.join("/proc", pid, "comm")) as comm:
                    if not comm.read().startswith("wineserver"):
                        continue
            except OSError:
                continue
            fd_dir = os.path.join("/proc", pid, "fd")
            try:
                fds = os.listdir(fd_dir)
            except OSError:
                continue
            for fd in fds:
                try:
                    st = os.stat(os.path.join(fd_dir, fd))
                except OSError:
                    continue
                if st.st_rdev == target and (st.st_mode & 0o170000) == 0o020000:
                    count += 1
        return count

    def close(self):
        self.closed = True
        with self.cond:
            self.cond.notify_all()
        self.pump.join()
        os.close(self.master)
        os.close(self.slave)
        try:
            if os.readlink(self.link) == self.path:
                os.unlink(self.link)
        except OSError:
            pass


class Reader:
    def __init__(self, prefix):
        self.dosdevices = os.path.join(prefix, "dosdevices")
        self.tiocm_off = os.path.join(prefix, "quillon-tiocm-off")
        self.raw = {}  # COM number -> pty path the shim leaves alone
        if os.path.exists(self.tiocm_off):
            os.unlink(self.tiocm_off)
        os.makedirs(self.dosdevices, exist_ok=True)
        self.ports = {}
        self.left = {}  # COM number -> ports RENEW left behind
        self.lock = threading.Lock()

    def port(self, number):
        with self.lock:
            port = self.ports.get(number)
        if port is None:
            raise KeyError("COM%d is not plugged" % number)
        return port

    def plug(self, number):
        self.unplug(number)
        port = Port(number, self.dosdevices)
        with self.lock:
            self.ports[number] = port
        return port.path

    def renew(self, number):
        with self.lock:
            old = self.ports.pop(number, None)
            if old is not None:
                self.left.setdefault(number, []).append(old)
        port = Port(number, self.dosdevices)
        with self.lock:
            self.ports[number] = port
        return port.path

    def old_openers(self, number):
        with self.lock:
            ports = list(self.left.get(number, []))
        return sum(p.openers() for p in ports)

    def unplug(self, number):
        with self.lock:
            left = self.left.pop(number, [])
        for old in left:
            old.close()
        with self.lock:
            port = self.ports.pop(number, None)
            if self.raw.pop(number, None) is not None:
                self._write_raw()
        if port is not None:
            port.close()
        link = os.path.join(self.dosdevices, "com%d" % number)
        if os.path.islink(link) and os.readlink(link) == "/dev/null":
            os.unlink(link)

    def plug_without_modem_lines(self, number):
        """A pty the modem-status shim leaves alone: Wine completes its waits at once."""
        path = self.plug(number)
        with self.lock:
            self.raw[number] = path
            self._write_raw()
        return path

    def _write_raw(self):
        with open(self.tiocm_off, "w") as f:
            f.write("".join(p + "\n" for p in self.raw.values()))

    def plug_not_a_line(self, number):
        """COMn opens, but as /dev/null: no line settings can be made on it."""
        self.unplug(number)
        link = os.path.join(self.dosdevices, "com%d" % number)
        if os.path.lexists(link):
            os.unlink(link)
        os.symlink("/dev/null", link)

    def reset(self):
        with self.lock:
            numbers = list(set(self.ports) | set(self.left))
        for number in numbers:
            self.unplug(number)

    def handle(self, line):
        words = line.split()
        if not words:
            raise ValueError("empty request")
        cmd, args = words[0].upper(), words[1:]
        if cmd == "PING":
            return ""
        if cmd == "RESET":
            self.reset()
            return ""
        number = int(args[0])
        if not 0 < number < 256:
            raise ValueError("no such COM port number")
        if cmd == "PLUG":
            return self.plug(number)
        if cmd == "RENEW":
            return self.renew(number)
        if cmd == "OLDOPENERS":
            return str(self.old_openers(number))
        if cmd == "PLUGRAW":
            return self.plug_without_modem_lines(number)
        if cmd == "PLUGNULL":
            self.plug_not_a_line(number)
            return ""
        if cmd == "UNPLUG":
            self.unplug(number)
            return ""
        if cmd == "WRITE":
            data = bytes.fromhex(args[1] if len(args) > 1 else "")
            return str(self.port(number).write(data))
        if cmd == "READ":
            minimum = int(args[1]) if len(args) > 1 else 0
            timeout_ms = int(args[2]) if len(args) > 2 else 0
            return self.port(number).read(minimum, timeout_ms).hex()
        if cmd == "QUEUED":
            return str(self.port(number).queued())
        if cmd == "OPENERS":
            return str(self.port(number).openers())
        raise ValueError("unknown request " + cmd)


class Handler(socketserver.StreamRequestHandler):
    def handle(self):
        for raw in self.rfile:
            try:
                reply = "OK " + self.server.reader.handle(raw.decode("ascii", "replace"))
            except Exception as e:  # the reply carries every failure to the test
                reply = "ERR %s" % (str(e).replace("\n", " ") or type(e).__name__)
            self.wfile.write((reply.rstrip() + "\n").encode("ascii"))
            self.wfile.flush()


class Server(socketserver.ThreadingTCPServer):
    daemon_threads = True
    allow_reuse_address = True


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--prefix", required=True, help="the WINEPREFIX whose COM ports to map")
    parser.add_argument("--port-file", required=True, help="where to write the TCP port number")
    options = parser.parse_args()

    reader = Reader(options.prefix)
    server = Server(("127.0.0.1", 0), Handler)
    server.reader = reader

    def stop(*_):
        threading.Thread(target=server.shutdown, daemon=True).start()

    signal.signal(signal.SIGTERM, stop)
    signal.signal(signal.SIGINT, stop)
    # A hung-up pty must not end this process.
    signal.signal(signal.SIGHUP, signal.SIG_IGN)

    temp = options.port_file + ".tmp"
    with open(temp, "w") as f:
        f.write("%d\n" % server.server_address[1])
    os.replace(temp, options.port_file)
    try:
        server.serve_forever(poll_interval=0.2)
    finally:
        reader.reset()
        server.server_close()
        try:
            os.unlink(options.port_file)
        except OSError:
            pass
    return 0


if __name__ == "__main__":
    sys.exit(main())
