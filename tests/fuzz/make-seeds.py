#!/usr/bin/env python3
"""Writes the seed corpus of every fuzz target into corpus/NAME/ (small, readable inputs).
Run it again after changing a target's input format; the files are checked in."""
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))


def put(target, name, data):
    d = os.path.join(HERE, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data if isinstance(data, bytes) else data.encode("latin-1"))


def get(target, version="1.1", extra=""):
    return f"GET {target} HTTP/{version}\r\nHost: plc:42341\r\n{extra}\r\n"


def post(target, body, extra=""):
    return (f"POST {target} HTTP/1.1\r\nHost: plc:42341\r\n{extra}"
            f"Content-Length: {len(body)}\r\n\r\n") + body


# Requests as a browser and the visualisation send them.
requests = {
    "get-index": get("/"),
    "get-file": get("/app.js"),
    "get-prefixed": get("/Velmora/sub/"),
    "get-beside-root": get("/VelmoraX.html") + get("/VelmoraSecret/index.html"),
    "get-dotdot": get("/a/../b") + get("/name..txt"),
    "get-query": get("/index.html?v=2"),
    "get-markup": get("/<script>alert('x')&\"</script>"),
    "head": "HEAD /big.bin HTTP/1.1\r\nHost: x\r\n\r\n" + "HEAD /missing HTTP/1.1\r\nHost: x\r\n\r\n",
    "http10": get("/index.html", "1.0"),
    "keepalive-pipeline": get("/index.html") + get("/big.bin") + get("/empty.txt"),
    "unknown-method": "DELETE /index.html HTTP/1.1\r\nHost: x\r\n\r\n",
    "absolute-form": get("http://plc/index.html"),
    "fifo-dir": get("/fifo") + get("/dir/") + get("/Velmora"),
    "session-open": post("/Velmora", "AB"),
    "exchange": post("/Velmora", "ACxx\x00\x01payload"),
    "address": post("/VelmoraApi", "AD"),
    "cross-origin": post("/Velmora", "AB", "Origin: http://evil.example\r\n"),
    "same-origin": post("/Velmora", "AB", "Origin: http://plc:42341\r\nSec-Fetch-Site: same-origin\r\n"),
    "chunked": "POST /Velmora HTTP/1.1\r\nHost: x\r\nTransfer-Encoding: chunked\r\n\r\n2\r\nAD\r\n0\r\n\r\n",
    "upgrade": get("/", extra="Connection: Upgrade\r\nUpgrade: websocket\r\n") + get("/"),
    "close": get("/index.html", extra="Connection: close\r\n") + get("/app.js"),
    # A request that itself holds the text of the files beside the root: a refusal may quote it.
    "quotes-marker": get("/<b>|OUTSIDE-THE-ROOT-7f3a") + post("/Velmora", "ACxxOUTSIDE-THE-ROOT-7f3a"),
}
for name, text in requests.items():
    put("http_request", name, text)
    # The session target: chunk seed, manner, then the stream.
    put("http_session", name, bytes([len(name), 0x02]) + text.encode("latin-1"))
put("http_session", "bytewise-waiting", b"\x07\x04" + requests["keepalive-pipeline"].encode())
put("http_session", "close-early", b"\x01\x1a" + requests["keepalive-pipeline"].encode())
put("http_session", "partial", b"\x03\x01" + b"GET /index.html HTTP/1.1\r\nHo")
put("http_session", "many", b"\x05\x03" + (get("/index.html") * 10).encode())
put("http_session", "slow-reader", b"\x05\x21" + (get("/big.bin") * 12).encode())
put("http_session", "stall", b"\x05\xc2" + (get("/index.html") * 4 + get("/app.js")).encode())

# Command target: link mode byte, then the body.
for name, data in {
    "open-letters": b"\x00AB", "open-byte": b"\x00\x01\x00\x00\x00", "letters-b2": b"\x00B2",
    "exchange": b"\x00ACxxpayload", "exchange-fails": b"\x01ACxxpayload",
    "exchange-fixed": b"\x02ACxx", "exchange-overcount": b"\x04ACxxabc",
    "exchange-short": b"\x00AC", "address": b"\x18AD", "address-byte": b"\x08\x03",
    "one-letter": b"\x00A", "high-byte": b"\x00\xff\xff", "empty": b"\x10",
}.items():
    put("command", name, data)

# Registration: switch byte (bit 0 enable, bits 1-2 failing step), then the file.
entry = ('<OrvaneServer Enabled="{}"><Name>ZX4472-Velmora</Name>'
         '<Path>/opt/x/VelmoraService</Path></OrvaneServer>')
files = {
    "disabled": f'<?xml version="1.0"?>\n<Prolver><OrvaneServers>{entry.format(0)}</OrvaneServers></Prolver>\n',
    "enabled": f'<Prolver><OrvaneServers>{entry.format(1)}</OrvaneServers></Prolver>',
    "true": f'<Prolver><OrvaneServers>{entry.format("true")}</OrvaneServers></Prolver>',
    "other-entry": '<Prolver><OrvaneServers><OrvaneServer Enabled="1"><Name>Other</Name>'
                   '<Path>/x</Path></OrvaneServer><Empty/></OrvaneServers></Prolver>',
    "no-servers": "<Prolver><Other/></Prolver>",
    "no-enabled": '<Prolver><OrvaneServers><S><Name>ZX4472-Velmora</Name></S>'
                  f'{entry.format(0)}</OrvaneServers></Prolver>',
    "cdata-comments": '<!-- c --><Prolver><OrvaneServers><![CDATA[ x ]]><?pi?>'
                      f'{entry.format(0)}<a b="&quot; /&gt;"/></OrvaneServers></Prolver>',
}
for name, text in files.items():
    for switch in (0, 1):
        put("registration", f"{name}-{'on' if switch else 'off'}", bytes([switch]) + text.encode())
put("registration", "rename-fails", bytes([3]) + files["disabled"].encode())
put("registration", "sync-fails", bytes([5]) + files["other-entry"].encode())


# Link frames.
def zel_header(op, length, ident=1, status=0, version=1):
    return b"ZELW" + struct.pack("<HHIiI", version, op, ident, status, length)


def read_write(net, port, group, offset, read, data):
    return bytes(net) + struct.pack("<HIIII", port, group, offset, read, len(data)) + data


rw_runtime = read_write([127, 0, 0, 1, 1, 1], 851, 42, 42, 50000, b"payload")
rw_registry = read_write([0] * 6, 10000, 200, 0, 256, b"SOFTWARE\\Orvane\\Runtime\x00BootDir\x00")
put("zel_wire", "read-write", zel_header(4, len(rw_runtime)) + rw_runtime)
put("zel_wire", "port-open", zel_header(1, 0))
put("zel_wire", "bad-version", zel_header(4, 24, version=2) + read_write([0] * 6, 1, 2, 3, 4, b""))
for name, (op, payload) in {
    "port-open": (1, b""), "port-close": (2, struct.pack("<I", 30000)), "local": (3, b""),
    "runtime": (4, rw_runtime), "registry": (4, rw_registry),
    "registry-short": (4, read_write([0] * 6, 10000, 200, 0, 3, b"SOFTWARE\\Orvane\\Runtime\x00BootDir\x00")),
    "no-service": (4, read_write([127, 0, 0, 1, 1, 1], 7, 42, 42, 10, b"x")),
    "foreign": (4, read_write([9] * 6, 851, 42, 42, 10, b"x")),
    "unknown-op": (9, b""),
}.items():
    for runtime in (0, 0x81, 0x82):
        put("zel_router", f"{name}-{runtime:02x}", struct.pack("<H", op) + bytes([runtime]) + payload)


# System service frames: chunk seed, then the stream.
def ov_frame(kind, payload):
    return b"OVSQ" + struct.pack("<II", kind, len(payload)) + payload


stream = (ov_frame(1, b"\x00") + ov_frame(2, struct.pack("<I", 7) + b"Address5.6.7.8.1.1")
          + ov_frame(3, b"/opt/VelmoraServer") + ov_frame(16, struct.pack("<i", 0))
          + ov_frame(17, struct.pack("<i", 1)) + ov_frame(4, struct.pack("<ii", 1, 0)))
put("ov_service_wire", "session", b"\x05" + stream)
put("ov_service_wire", "bad-magic", b"\x02" + ov_frame(17, b"\x01\x00\x00\x00") + b"OVSX")
put("ov_service_wire", "too-long", b"\x09" + b"OVSQ" + struct.pack("<II", 17, 5000))

# Registry files.
put("registry_ini", "demo", "\xef\xbb\xbf; demo\n[SOFTWARE\\Orvane\\Runtime]\r\nBootDir=/opt/boot/\r\n"
    "InstallDir=/opt/\n# comment\n\nstray line\n[]\n=empty name\nx==y\n")
put("registry_ini", "value-before-key", "Name=value\n[k]\na=b\r\r\n[k]\nc=")

# CString: operation sequences are taken from the end of the input (FuzzedDataProvider), so
# any bytes make a sequence; a few plain texts start it off.
put("cstring", "text", "-umRuntime=5.6.7.8.1.1 ABCdef")
put("cstring", "bytes", bytes(range(0, 256, 3)))

# The demo plant: each request as [length][read length choice | steps << 3][bytes].
def plant(request, read_choice=7, steps=0):
    return bytes([len(request), read_choice | (steps << 3)]) + request


setpoint60 = b"\x02\x04" + struct.pack("<f", 60.0)
put("plant", "read", plant(b"\x01"))
put("plant", "session", plant(b"\x01", 7, 20) + plant(b"\x02\x01" + struct.pack("<f", 1.0))
    + plant(setpoint60, 7, 31) + plant(b"\x02\x02" + struct.pack("<f", 0.0), 7, 31)
    + plant(b"\x03\x07") + plant(b"\x02\x06" + struct.pack("<f", 0.0)))
put("plant", "refusals", plant(b"") + plant(b"\x09") + plant(b"\x01\x00") + plant(b"\x02\x09\x00\x00\x80\x3f")
    + plant(b"\x02\x04" + struct.pack("<f", float("nan"))) + plant(b"\x03\x08") + plant(b"\x01", 4))
