#!/usr/bin/env python3
"""Hostile clients against a real paramserver over loopback, with figures.

    bench/hostile/hostile_bench.py BUILD_DIR [SCENARIO ...]

Scenarios (all by default): nonreading, halfframes, prelogin, longname, fdlimit,
spoof, loginstorm. Each starts its own paramserver (a copy of BUILD_DIR's, in a temporary
directory, with its own settings file and free ports) and prints one RESULT line.
Only the standard library of Python 3 is used.
"""
import os
import resource
import shutil
import signal
import socket
import sqlite3
import struct
import subprocess
import sys
import tempfile
import threading
import time

BUILD = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else "build")
SERVER = os.path.join(BUILD, "RemoteParams", "paramserver")
PARAMCTL = os.path.join(BUILD, "tools", "paramctl", "paramctl")
UOOSIM = os.path.join(BUILD, "tools", "uoosim", "uoosim")
DIGEST = "5f1d0c8e2a7b4963d0e18c2f7a9b3e64"


def free_port(kind):
    s = socket.socket(socket.AF_INET, kind)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class Server:
    def __init__(self, limits=None, nofile=None):
        self.dir = tempfile.mkdtemp(prefix="hostile-")
        os.makedirs(os.path.join(self.dir, "bin"))
        os.makedirs(os.path.join(self.dir, "cfg", "Kolvant"))
        shutil.copy(SERVER, os.path.join(self.dir, "bin", "paramserver"))
        self.rpc = free_port(socket.SOCK_STREAM)
        self.udp = free_port(socket.SOCK_DGRAM)
        with open(os.path.join(self.dir, "cfg", "Kolvant", "VemoParamsServer.conf"), "w") as f:
            f.write("[Common]\nSettingsSaved=true\n\n[Network]\nRpcPort=%d\nParamsPort=%d\n"
                    % (self.rpc, self.udp))
            if limits:
                f.write("\n[Limits]\n")
                for k, v in limits.items():
                    f.write("%s=%s\n" % (k, v))
        env = dict(os.environ, XDG_CONFIG_HOME=os.path.join(self.dir, "cfg"),
                   QT_QPA_PLATFORM="offscreen")

        def limit():
            if nofile:
                resource.setrlimit(resource.RLIMIT_NOFILE, (nofile, nofile))

        self.log = open(os.path.join(self.dir, "server.log"), "wb")
        self.proc = subprocess.Popen([os.path.join(self.dir, "bin", "paramserver"), "-e"],
                                     stdout=self.log, stderr=self.log, env=env, preexec_fn=limit)
        deadline = time.time() + 30
        while "Сервер параметров запущен" not in self.text():
            if time.time() > deadline or self.proc.poll() is not None:
                raise RuntimeError("server did not start:\n" + self.text())
            time.sleep(0.05)

    def text(self):
        with open(os.path.join(self.dir, "server.log"), "rb") as f:
            return f.read().decode("utf-8", "replace")

    def rss_kb(self):
        with open("/proc/%d/status" % self.proc.pid) as f:
            for line in f:
                if line.startswith("VmRSS:"):
                    return int(line.split()[1])
        return -1

    def cpu_s(self):
        with open("/proc/%d/stat" % self.proc.pid) as f:
            fields = f.read().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(60)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
        self.log.close()

    def cleanup(self):
        if self.proc.poll() is None:
            self.proc.kill()
            self.proc.wait()
        shutil.rmtree(self.dir, ignore_errors=True)

    def ctl(self, *args, timeout=60):
        return subprocess.run([PARAMCTL, "--port", str(self.rpc)] + list(args),
                              capture_output=True, timeout=timeout)

    def sim(self, *args, timeout=300):
        return subprocess.run([UOOSIM, "--server", "127.0.0.1:%d" % self.udp] + list(args),
                              capture_output=True, timeout=timeout, text=True)


# --- wire helpers -------------------------------------------------------------

def qstring(text):
    data = text.encode("utf-16-be")
    return struct.pack(">I", len(data)) + data


def user_value(type_name):
    name = type_name.encode() + b"\0"
    return struct.pack(">Ib", 1024, 0) + struct.pack(">I", len(name)) + name


def frame(body):
    return struct.pack("<I", len(body)) + body


def login_frame(name="adminvemo", digest=DIGEST):
    return frame(qstring("LOGIN") + b"\x01" + user_value("VemoRpcCredentials") +
                 qstring(name) + qstring(digest))


def rpc_connect(server, rcvbuf=None, source=None):
    s = socket.socket()
    if rcvbuf:
        s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, rcvbuf)
    if source:
        s.bind((source, 0))
    s.connect(("127.0.0.1", server.rpc))
    return s


def login(server):
    """A raw connection logged in as the built-in account."""
    s = rpc_connect(server)
    s.sendall(login_frame())
    got = b""
    ok = "LOGIN_OK".encode("utf-16-be")
    s.settimeout(10)
    while ok not in got:
        chunk = s.recv(65536)
        if not chunk:
            raise RuntimeError("login refused")
        got += chunk
    s.settimeout(None)
    return s


def is_closed(sock):
    """Whether the server has closed a connection (reading what is queued)."""
    sock.setblocking(False)
    try:
        while True:
            data = sock.recv(1 << 20)
            if not data:
                return True
    except BlockingIOError:
        return False
    except (ConnectionResetError, OSError):
        return True
    finally:
        sock.setblocking(True)


def crc16(data):
    crc = 0
    for c in data:
        crc ^= c
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def sync_datagram(uoo):
    payload = (b"SPOOF".ljust(24, b"\0") + b"1.0".ljust(8, b"\0") +
               struct.pack("<IIII", 1, 0, 0, uoo) + struct.pack("<I", 0) + bytes(6) +
               struct.pack("<HI", 0, 0))
    header = struct.pack("<IIIIIHH", 0xA1B2C3D4, 0x5E4D3C2B, 0, 0xAA01, len(payload), 0,
                         crc16(payload))
    return header + payload


class Watch:
    """paramctl watch, logged in, reading everything; lines are counted."""

    def __init__(self, server, seconds):
        self.proc = subprocess.Popen([PARAMCTL, "--port", str(server.rpc), "watch", "--seconds",
                                      str(seconds)], stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        self.lines = 0
        self.longest = 0
        self.matches = []
        self.thread = threading.Thread(target=self.read, daemon=True)
        self.thread.start()

    def read(self):
        for line in self.proc.stdout:
            self.lines += 1
            self.longest = max(self.longest, len(line))
            if b"dropped" in line:
                self.matches.append(len(line))

    def finish(self):
        code = self.proc.wait()
        self.thread.join(5)
        return code


class DeviceProbe:
    """Ten simulated devices: their round trips measured on a quiet server first, then
    for the given seconds in the background while a scenario attacks."""

    def __init__(self, server, seconds):
        server.sim("--load", "--devices", "10", "--window", "1", "--seconds", "1")
        self.quiet = server.sim("--load", "--devices", "10", "--window", "1",
                                "--seconds", "5").stdout
        self.out = ""
        self.thread = threading.Thread(target=self.run, args=(server, seconds))

    def run(self, server, seconds):
        self.out = server.sim("--load", "--devices", "10", "--window", "1",
                              "--seconds", str(seconds)).stdout

    def start(self):
        self.thread.start()
        time.sleep(0.5)

    def join(self):
        self.thread.join()

    @staticmethod
    def field(text, name):
        for line in text.splitlines():
            if line.startswith("LOAD_RESULT"):
                for item in line.split():
                    if item.startswith(name + "="):
                        return item.split("=", 1)[1]
        return "?"

    def summary(self, during):
        """The figures for the RESULT line: under attack, then quiet."""
        f = self.field
        return ("device round trips %s: median %s us, p99 %s us, max %s us; "
                "quiet: median %s us, p99 %s us, max %s us"
                % (during, f(self.out, "median_us"), f(self.out, "p99_us"),
                   f(self.out, "max_us"), f(self.quiet, "median_us"), f(self.quiet, "p99_us"),
                   f(self.quiet, "max_us")))


def sample_rss(server, seconds, every=0.2):
    peak = 0
    end = time.time() + seconds
    while time.time() < end:
        peak = max(peak, server.rss_kb())
        time.sleep(every)
    return peak


# --- scenarios ----------------------------------------------------------------

def nonreading():
    """20 connections that never read while devices synchronise at full rate."""
    server = Server()
    try:
        watch = Watch(server, 45)
        time.sleep(2)
        base = server.rss_kb()
        stuck = [rpc_connect(server, rcvbuf=4096) for _ in range(20)]
        load = threading.Thread(target=lambda: server.sim("--load", "--devices", "5000",
                                                          "--window", "64", "--seconds", "30"))
        load.start()
        peak = sample_rss(server, 36)
        load.join()
        shed = sum(1 for s in stuck if is_closed(s))
        code = watch.finish()
        print("RESULT nonreading: rss before %d kB, peak %d kB (+%d kB); %d of 20 non-readers "
              "shed; watching workstation exit %d after %d lines (0 = stayed connected)"
              % (base, peak, peak - base, shed, code, watch.lines))
    finally:
        server.cleanup()


def halfframes():
    """40 connections, each sending part of a 16 MB frame and then nothing."""
    server = Server()
    try:
        base = server.rss_kb()
        socks = [rpc_connect(server) for _ in range(40)]
        part = struct.pack("<I", 16 * 1024 * 1024 - 1) + b"x" * (8 * 1024 * 1024)
        for s in socks:
            s.settimeout(5)
            try:
                s.sendall(part)
            except OSError:
                pass
        peak = sample_rss(server, 2)
        closed = sum(1 for s in socks if is_closed(s))
        # Logged in: 16 MiB frames are allowed, so half of one is held until the time limit.
        held = [login(server)]
        time.sleep(1.1)
        held.append(login(server))
        for s in held:
            s.sendall(struct.pack("<I", 16 * 1024 * 1024 - 1) + b"y" * (8 * 1024 * 1024))
        held_rss = sample_rss(server, 3)
        start = time.time()
        while not all(is_closed(s) for s in held) and time.time() - start < 60:
            time.sleep(0.5)
        waited = time.time() - start + 3
        after = sample_rss(server, 1)
        print("RESULT halfframes: 40 not logged in: rss before %d kB, peak %d kB (+%d kB), %d of "
              "40 closed; 2 logged in holding 8 MB of a 16 MB frame each: +%d kB, closed after "
              "about %.0f s, rss then %d kB"
              % (base, peak, peak - base, closed, held_rss - base, waited, after))
    finally:
        server.cleanup()


def prelogin():
    """16 MB frames before login, back to back, while a device probe measures replies."""
    server = Server()
    try:
        probe = DeviceProbe(server, 8)
        probe.start()
        body = qstring("RPC_GET_CLIENTS_FROM_DB") + b"\x01" + struct.pack(">Ib", 12, 0) + \
            struct.pack(">I", 16 * 1024 * 1024 - 64) + b"z" * (16 * 1024 * 1024 - 64)
        big = frame(body)
        base = server.rss_kb()
        sent = 0
        refused = 0
        peak = base
        end = time.time() + 6
        while time.time() < end:
            s = rpc_connect(server)
            try:
                s.sendall(big)
            except OSError:
                refused += 1
            sent += 1
            s.close()
            peak = max(peak, server.rss_kb())
        probe.join()
        print("RESULT prelogin: %d frames of 16 MB sent (%d cut off by the close); rss %d kB -> "
              "peak %d kB; %s" % (sent, refused, base, peak, probe.summary("under attack")))
    finally:
        server.cleanup()


def longname():
    """An 8 MB message name from a logged-in connection; what a watcher sees."""
    server = Server()
    try:
        watch = Watch(server, 8)
        time.sleep(1.5)
        s = login(server)
        body = qstring("N" * (4 * 1024 * 1024)) + b"\x01" + user_value("NoSuchType")
        s.sendall(frame(body))
        watch.finish()
        journal = [l for l in server.text().splitlines() if "dropped" in l]
        print("RESULT longname: frame of %d bytes; watcher's line %s bytes, longest line %d "
              "bytes; log line %s characters"
              % (len(body) + 4, watch.matches or "none", watch.longest,
                 [len(l) for l in journal] or "none"))
    finally:
        server.cleanup()


def fdlimit():
    """Descriptor limit 256: 400 connections held, CPU, then a workstation logs in."""
    soft, hard = resource.getrlimit(resource.RLIMIT_NOFILE)
    resource.setrlimit(resource.RLIMIT_NOFILE, (max(soft, min(hard, 4096)), hard))
    server = Server(nofile=256)
    try:
        socks = []
        for _ in range(400):
            try:
                socks.append(rpc_connect(server))
            except OSError:
                break
        time.sleep(2)
        cpu0 = server.cpu_s()
        time.sleep(5)
        cpu = (server.cpu_s() - cpu0) / 5 * 100
        open_ = sum(1 for s in socks if not is_closed(s))
        full = server.ctl("users", timeout=30).returncode
        for s in socks[:100]:
            s.close()
        time.sleep(1.5)
        after = server.ctl("users", timeout=30).returncode
        limit_line = [l for l in server.text().splitlines() if "Не более" in l]
        refused = server.text().count("refused")
        print("RESULT fdlimit: %d connections opened, %d kept by the server; CPU %.1f%% of a "
              "core while full; paramctl users while full exit %d, after 100 left exit %d; "
              "refusal lines %d; %s"
              % (len(socks), open_, cpu, full, after, refused,
                 limit_line[0].split(">>", 1)[-1].strip() if limit_line else ""))
        for s in socks:
            s.close()
    finally:
        server.cleanup()


def spoof():
    """200,000 spoofed UOO numbers against MaxDevices 10,000."""
    server = Server(limits={"MaxDevices": 10000})
    try:
        first = server.sim("--uoo", "4000000000", "--params-size", "300").returncode
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.setsockopt(socket.SOL_SOCKET, socket.SO_SNDBUF, 1 << 20)
        start = time.time()
        for uoo in range(1, 200001):
            u.sendto(sync_datagram(uoo), ("127.0.0.1", server.udp))
            if uoo % 2000 == 0:
                time.sleep(0.01)  # let the server keep up; loopback drops otherwise
        flood = time.time() - start
        time.sleep(2)
        known = server.sim("--uoo", "4000000000", "--params-size", "300").returncode
        rss = server.rss_kb()
        server.stop()
        db = sqlite3.connect(os.path.join(server.dir, "bin", "params_upd.db"))
        rows = db.execute("SELECT COUNT(*) FROM desc").fetchone()[0]
        db.close()
        text = server.text()
        lines = text.count("SYNC from new UOO")
        summaries = len([l for l in text.splitlines()
                         if "new UOO refused" in l and "more such" in l])
        print("RESULT spoof: 200000 SYNCs with new numbers in %.1f s; %d records in the file; "
              "known device before %d, after %d (0 = in step); %d refusal lines + %d summary "
              "line(s); rss %d kB" % (flood, rows, first, known, lines, summaries, rss))
    finally:
        server.cleanup()


def loginstorm():
    """1,000 failed logins under different names, 16 at a time from 16 addresses
    (127.0.0.10-25), while a device probe measures replies and an operator logs in
    from 127.0.0.1."""
    server = Server()
    try:
        probe = DeviceProbe(server, 20)
        names = iter(range(1000))
        lock = threading.Lock()
        counts = {"failed": 0, "closed": 0}
        failed = "LOGIN_FAILED".encode("utf-16-be")

        def attacker(source):
            while True:
                with lock:
                    i = next(names, None)
                if i is None:
                    return
                s = rpc_connect(server, source=source)
                s.sendall(login_frame("storm%d" % i, "%032x" % i))
                got = b""
                s.settimeout(30)
                try:
                    while failed not in got:
                        chunk = s.recv(65536)
                        if not chunk:
                            break
                        got += chunk
                except OSError:
                    pass
                with lock:
                    counts["failed" if failed in got else "closed"] += 1
                s.close()

        probe.start()
        base = server.rss_kb()
        cpu0 = server.cpu_s()
        start = time.time()
        attackers = [threading.Thread(target=attacker, args=("127.0.0.%d" % (10 + k),))
                     for k in range(16)]
        for a in attackers:
            a.start()
        time.sleep(1)
        op_start = time.time()
        op = server.ctl("--login", "adminvemo", "--password", DIGEST, "summary")
        op_s = time.time() - op_start
        peak = base
        while any(a.is_alive() for a in attackers):
            peak = max(peak, server.rss_kb())
            time.sleep(0.2)
        storm_s = time.time() - start
        cpu = server.cpu_s() - cpu0
        probe.join()
        print("RESULT loginstorm: 1000 logins in %.1f s (%d answered LOGIN_FAILED, %d closed), "
              "server cpu %.1f s, rss %d kB -> peak %d kB; operator login during the storm: "
              "exit %d in %.1f s; %s"
              % (storm_s, counts["failed"], counts["closed"], cpu, base, peak, op.returncode,
                 op_s, probe.summary("under the storm")))
    finally:
        server.cleanup()


SCENARIOS = {"loginstorm": loginstorm, "nonreading": nonreading, "halfframes": halfframes, "prelogin": prelogin,
             "longname": longname, "fdlimit": fdlimit, "spoof": spoof}

if __name__ == "__main__":
    chosen = sys.argv[2:] or list(SCENARIOS)
    for name in chosen:
        SCENARIOS[name]()
