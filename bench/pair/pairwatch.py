#!/usr/bin/env python3
"""Watches a pair of paramserver nodes from the devices' side.

  pairwatch.py probe   --node A=127.0.0.2:25002 --node B=127.0.0.3:25002 --uoo U --out FILE
      One SYNC to every node per round (every --interval-ms); each reply is a
      line "<ms> <round> <node>". A round answered by two nodes is a fault.
  pairwatch.py changes --node ... --first F --devices M --out FILE
      Devices F..F+M-1 upload a new parameter set again and again (each set
      differs from the one before), to whichever node asks for it. A line
      "<ms> <uoo> <generation>" is written once the server has acknowledged the
      last chunk and answers the next SYNC "in step".
  pairwatch.py check   --conn CONNINFO --changes FILE --until-ms T [--probe FILE]
      What the database holds against what was acknowledged at or before T:
      records whose last acknowledged set is missing (neither it nor a later
      acknowledged set stored), and action-log rows (code 1, one per finished
      upload) missing. With --probe: rounds answered by two nodes. Each
      --lossy FROM:TO (ms) excuses what was acknowledged inside it (the last
      second before a kill -9, a database outage).
All three stop after --seconds or on SIGTERM/SIGINT.
"""
import argparse, collections, select, signal, socket, struct, subprocess, sys, time

MAGIC1, MAGIC2 = 0xA1B2C3D4, 0x5E4D3C2B
SYNC, SEND, ACK = 0xAA01, 0xBB01, 0xBB02
stop = False


def on_signal(*_):
    global stop
    stop = True


def crc16(data):
    crc = 0
    for byte in data:
        crc ^= byte
        for _ in range(8):
            crc = (crc >> 1) ^ 0x8408 if crc & 1 else crc >> 1
    return crc


def datagram(uoo, code, payload=b"", value=0):
    return struct.pack("<IIIIIHH", MAGIC1, MAGIC2, uoo, code, len(payload), value,
                       crc16(payload) if payload else 0) + payload


def parse(data):
    if len(data) < 24:
        return None
    m1, m2, _, code, length, value, _ = struct.unpack_from("<IIIIIHH", data)
    if m1 != MAGIC1 or m2 != MAGIC2 or length + 24 != len(data):
        return None
    return code, value, data[24:]


def params_of(uoo, generation):
    size = 600 + (uoo * 31 + generation * 17) % 900
    return bytes(((uoo + generation * 7) * 13 + i * 29) & 0xFF for i in range(size))


def sync_block(uoo, params):
    crc = crc16(params[:-2]) if len(params) >= 3 else 0
    block = b"PAIRWATCH".ljust(24, b"\0") + b"1".ljust(8, b"\0")
    block += struct.pack("<IIIII", 1, 1, 1, uoo, len(params)) + bytes([1, 1, 24, 0, 0, 0])
    return block + struct.pack("<HI", crc, 0)


def now_ms():
    return int(time.time() * 1000)


def nodes_of(texts):
    """The nodes given as NAME=HOST:PORT texts."""
    result = []
    for text in texts:
        name, address = text.split("=", 1)
        host, port = address.rsplit(":", 1)
        result.append((name, (host, int(port))))
    return result


def probe(args):
    nodes = nodes_of(args.node)
    sockets = []
    for name, address in nodes:
        s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        s.setblocking(False)
        sockets.append((s, name, address))
    request = datagram(args.uoo, SYNC, sync_block(args.uoo, b""), 0x80)
    interval = args.interval_ms / 1000.0
    end = time.monotonic() + args.seconds
    round_no = 0
    with open(args.out, "w", buffering=1) as out:
        while not stop and time.monotonic() < end:
            round_no += 1
            tag = struct.pack("<I", round_no)
            # The round goes in the version field the reply echoes.
            payload = bytearray(sync_block(args.uoo, b""))
            payload[32:36] = tag
            for s, _, address in sockets:
                try:
                    s.sendto(datagram(args.uoo, SYNC, bytes(payload), 0x80), address)
                except OSError:
                    pass
            deadline = time.monotonic() + interval
            while True:
                left = deadline - time.monotonic()
                if left <= 0:
                    break
                ready, _, _ = select.select([s for s, _, _ in sockets], [], [], left)
                for s in ready:
                    name = next(n for sock, n, _ in sockets if sock is s)
                    try:
                        data = s.recv(65536)
                    except OSError:
                        continue
                    reply = parse(data)
                    if reply and reply[0] == SYNC and len(reply[2]) >= 64:
                        answered = struct.unpack_from("<I", reply[2], 32)[0]
                        out.write("%d %d %s\n" % (now_ms(), answered, name))


def changes(args):
    nodes = nodes_of(args.node)
    s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
    s.settimeout(args.timeout_ms / 1000.0)
    generation = collections.defaultdict(int)
    preferred = [None]
    end = time.monotonic() + args.seconds

    def exchange(address, data, want):
        for _ in range(2):
            try:
                s.sendto(data, address)
                while True:
                    reply = parse(s.recv(65536))
                    if reply and reply[0] == want:
                        return reply
            except (socket.timeout, OSError):
                continue
        return None

    with open(args.out, "w", buffering=1) as out:
        while not stop and time.monotonic() < end:
            for uoo in range(args.first, args.first + args.devices):
                if stop or time.monotonic() >= end:
                    break
                gen = generation[uoo] + 1
                params = params_of(uoo, gen)
                request = datagram(uoo, SYNC, sync_block(uoo, params), 0x80)
                # The node that answered last is asked first.
                for _, address in sorted(nodes, key=lambda node: node[1] != preferred[0]):
                    reply = exchange(address, request, SYNC)
                    if not reply or struct.unpack_from("<I", reply[2], 60)[0] != 0:
                        continue
                    preferred[0] = address
                    done = True
                    for offset in range(0, len(params), 512):
                        chunk = params[offset:offset + 512]
                        left = len(params) - offset - len(chunk)
                        body = chunk.ljust(512, b"\0") + struct.pack("<IIIH", offset, len(chunk), left,
                                                                     crc16(chunk)) + b"\0" * 6
                        ack = exchange(address, datagram(uoo, SEND, body), ACK)
                        if not ack or ack[1] != crc16(chunk):
                            done = False
                            break
                    if done:
                        reply = exchange(address, request, SYNC)
                        if reply and struct.unpack_from("<I", reply[2], 60)[0] == 1:
                            generation[uoo] = gen
                            out.write("%d %d %d\n" % (now_ms(), uoo, gen))
                    break
            time.sleep(args.pause_ms / 1000.0)


def check(args):
    lossy = [tuple(map(int, window.split(":"))) for window in args.lossy]
    acked = collections.defaultdict(list)  # uoo -> [(ms, generation)]
    for line in open(args.changes):
        ms, uoo, gen = map(int, line.split())
        acked[uoo].append((ms, gen))
    if not acked:
        print("CHECK records_acked=0 records_missing=0 log_acked=0 log_missing=0")
        return 0
    low, high = min(acked), max(acked)
    query = ("SELECT uoo, encode(uooparams, 'hex') FROM \"desc\" WHERE uoo BETWEEN %d AND %d;"
             "SELECT uoo, -count(*) FROM log WHERE message = 1 AND uoo BETWEEN %d AND %d GROUP BY uoo;"
             % (low, high, low, high))
    rows = subprocess.run(["psql", args.conn, "-AtF", " ", "-c", query], check=True,
                          capture_output=True, text=True).stdout.split("\n")
    stored, logged = {}, {}
    for row in rows:
        parts = row.split(" ")
        if len(parts) != 2:
            continue
        if parts[1].startswith("-"):
            logged[int(parts[0])] = -int(parts[1])
        else:
            stored[int(parts[0])] = bytes.fromhex(parts[1])
    records_acked = records_missing = log_acked = log_missing = 0
    for uoo, events in acked.items():
        before = [gen for ms, gen in events
                  if ms <= args.until_ms and not any(a < ms <= b for a, b in lossy)]
        if not before:
            continue
        records_acked += 1
        # The last set acknowledged in time, or any set acknowledged after it.
        candidates = {params_of(uoo, gen) for gen in range(before[-1], events[-1][1] + 1)}
        if stored.get(uoo) not in candidates:
            records_missing += 1
        log_acked += len(before)
        log_missing += max(0, len(before) - logged.get(uoo, 0))
    both = 0
    if args.probe:
        answers = collections.defaultdict(set)
        for line in open(args.probe):
            _, round_no, name = line.split()
            answers[int(round_no)].add(name)
        both = sum(1 for names in answers.values() if len(names) > 1)
    print("CHECK records_acked=%d records_missing=%d log_acked=%d log_missing=%d rounds_two_nodes=%d"
          % (records_acked, records_missing, log_acked, log_missing, both))
    return 1 if records_missing or log_missing or both else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawTextHelpFormatter)
    parser.add_argument("mode", choices=["probe", "changes", "check"])
    parser.add_argument("--node", action="append", default=[])
    parser.add_argument("--uoo", type=int, default=2100000000)
    parser.add_argument("--first", type=int, default=2000000000)
    parser.add_argument("--devices", type=int, default=50)
    parser.add_argument("--interval-ms", type=int, default=10)
    parser.add_argument("--timeout-ms", type=int, default=300)
    parser.add_argument("--pause-ms", type=int, default=20)
    parser.add_argument("--seconds", type=float, default=3600)
    parser.add_argument("--out")
    parser.add_argument("--conn")
    parser.add_argument("--changes")
    parser.add_argument("--probe")
    parser.add_argument("--until-ms", type=int, default=2 ** 62)
    parser.add_argument("--lossy", action="append", default=[])
    args = parser.parse_args()
    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)
    if args.mode == "probe":
        probe(args)
    elif args.mode == "changes":
        changes(args)
    else:
        sys.exit(check(args))


if __name__ == "__main__":
    main()
