#!/usr/bin/env python3
"""Writes the seed inputs of the fuzz targets (corpus/<target>/seed-*).

The seeds are valid inputs of each parser, so that fuzzing starts from the
paths real peers take: typed AT lines, stored records of every layout,
encrypted P2P frames and whole YMODEM sessions. Regression inputs
(corpus/<target>/regression-*) are kept by hand and left alone. The output
is deterministic; run it again after changing it and commit the result.
"""
import binascii
import os
import random
import shutil
import struct
import subprocess
import sys
import zlib

HERE = os.path.dirname(os.path.abspath(__file__))
CORPUS = os.path.join(HERE, "corpus")


def write(target, name, data):
    path = os.path.join(CORPUS, target)
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "seed-" + name), "wb") as f:
        f.write(data)


def clear_seeds():
    for target in os.listdir(CORPUS) if os.path.isdir(CORPUS) else []:
        for name in os.listdir(os.path.join(CORPUS, target)):
            if name.startswith("seed-"):
                os.remove(os.path.join(CORPUS, target, name))


# ---- AT lines ----------------------------------------------------------------

def at_lines():
    lines = {
        "attention": b"AT\r",
        "version-query": b"AT+VER=?\r",
        "listing": b"AT?\r",
        "help-of-a-row": b"AT+ALIAS?\r",
        "alias-with-space": b"AT+ALIAS my node\r",
        "alias-set-and-read": b"AT+ALIAS=node-1\r\nAT+ALIAS=?\r\n",
        "echo-toggle": b"ATE\rAT\rATE\r",
        "settings": b"AT+BAUD=9600\rAT+LPM=1\rAT+LPMLVL=2\rAT+DEBUG=1\rAT+SLEEP=100\r",
        "password": b"AT+PWORD=12345678\rAT+PWORD=?\r",
        "serial-numbers": b"AT+SN=?\rAT+FSN=ABC123\rAT+HWID=?\rAT+BAT=?\rAT+SYSV=?\r",
        "user-rows": b"ATC+PROBE=a:b:c\rATC+TWO=1:2:3:4\rATC+ONCE=x\rATC+ONCE=y\rATC+probe=?\r",
        "user-row-longest-name": b"ATC+ABCDEFGHIJKLMNOPQRSTUVWXYZ0=?\r",
        "arguments-limit": b"ATC+PROBE=" + b":".join(b"%d" % i for i in range(30)) + b"\r",
        "backspace": b"AT+VEX\bR=?\r\x7f\bATE\x7f\x7f\r",
        "cursor-keys": b"A\x1b[AT\x1b[B\rAT\x1b[C\r\x1bZ\r",
        "nul-in-line": b"AT\x00XYZ\r\x00AT\r",
        "name-too-long": b"AT+" + b"X" * 40 + b"=1\r",
        "overlong-line": b"ATC+PROBE=" + b"7" * 2100 + b"\rAT\r",
        "restart": b"ATZ\r",
        "restore": b"ATR\r",
    }
    for name, data in lines.items():
        write("fuzz_at_line", name, data)


# ---- Stored records ------------------------------------------------------------
# The STM32WLE5 layout (660 bytes) and the older layouts of those images.

RECORD_SIZE = 660


def le32(v):
    return struct.pack("<I", v & 0xFFFFFFFF)


def text(s, n):
    return s.encode().ljust(n, b"\0")[:n]


def current_record():
    r = bytearray(RECORD_SIZE)

    def put(off, b):
        r[off:off + len(b)] = b

    put(0, le32(0xAABBCCDD))
    put(4, le32(4))
    put(12, le32(868000000))
    put(16, b"\x07")                   # SF7
    put(22, struct.pack("<H", 8))      # preamble
    put(24, b"\x0e")                   # 14 dBm
    put(36, le32(4915))
    put(40, le32(5000))
    put(44, le32(20000))
    put(48, b"\x05")                   # EU868
    put(174, b"\x01")                  # OTAA
    put(180, b"\x01")                  # ADR
    put(182, b"\x01")                  # duty cycle
    put(184, le32(5000))
    put(188, le32(6000))
    put(192, le32(1000))
    put(196, le32(2000))
    put(204, b"\x01")                  # public network
    put(212, le32(8))
    put(444, b"\x01\x01\x00")          # UART0, UART1 custom; UART2 AT
    put(452, le32(115200))
    put(457, text("58203761", 9))
    put(490, text("fuzz-node", 16))
    put(507, text("QIV_4.2.4_Brisola-T", 32))
    put(539, text("Brisola-T", 32))
    put(571, text("1.5.15", 32))
    put(612, struct.pack("<H", 0x1424))
    put(618, struct.pack("<h", -80))
    put(620, le32(5))
    put(624, b"\x01")
    put(659, b"\x01")
    return bytes(r)


def older_page(version, seed):
    end = {1: 500, 2: 504, 3: 508}[version]
    rng = random.Random(seed)
    page = bytearray(b"\xff" * 800)
    for i in range(end):
        page[i] = rng.randrange(256)
    baud_at, passwd_at = (444, 449) if version == 1 else (448, 453)
    page[baud_at:baud_at + 4] = le32(9600)
    page[passwd_at:passwd_at + 9] = text("pw1234", 9)
    if version == 3:
        page[504:508] = le32(0xEDD1E)
    else:
        crc_end = 500 if version == 1 else 504
        page[0:4] = le32(zlib.crc32(bytes(page[4:crc_end])))
    return bytes(page)


def records():
    cur = current_record()
    # Byte 0 chooses the pages: 0 record, 1 factory copy, 2 both halves.
    write("fuzz_nvm_record", "current", b"\x00" + cur)
    write("fuzz_nvm_record", "current-later-fields-erased", b"\x00" + cur[:506] + b"\xff" * 154)
    write("fuzz_nvm_record", "current-cut-short", b"\x00" + cur[:200])
    write("fuzz_nvm_record", "newer-version", b"\x00" + le32(0xAABBCCDD) + le32(5) + cur[8:])
    for v in (1, 2, 3):
        write("fuzz_nvm_record", "version%d" % v, b"\x00" + older_page(v, v))
        write("fuzz_nvm_record", "version%d-factory" % v, b"\x01" + older_page(v, 10 + v))
    write("fuzz_nvm_record", "factory-current", b"\x01" + cur)
    write("fuzz_nvm_record", "garbage-record-current-factory", b"\x02" + b"\x5a" * 800 + cur + b"\xff" * 140)
    write("fuzz_nvm_record", "blank", b"\x00")


# ---- P2P frames ----------------------------------------------------------------

KEY = bytes.fromhex("2B7E151628AED2A6ABF7158809CF4F3C")
IV = bytes.fromhex("A0A1A2A3A4A5A6A7A8A9AAABACADAEAF")


def encrypt(payload, iv):
    out = subprocess.run(["openssl", "enc", "-aes-128-cbc", "-K", KEY.hex(), "-iv", iv.hex()],
                         input=payload, stdout=subprocess.PIPE, check=True).stdout
    return out + iv


def frames():
    # Byte 0: bit 0 FSK, bit 1 debug level, bit 2 continuous reception.
    for n in (0, 1, 15, 16, 21, 200, 223):
        payload = bytes((0x30 + 7 * i) & 0xFF for i in range(n))
        write("fuzz_p2p_decrypt", "frame-%d" % n, b"\x00" + encrypt(payload, IV))
    write("fuzz_p2p_decrypt", "frame-fsk-debug-continuous", b"\x07" + encrypt(b"hello", bytes(range(16))))
    write("fuzz_p2p_decrypt", "frame-zero-iv", b"\x00" + encrypt(b"\xde\xad", bytes(16)))
    for n in (5, 16, 31, 40, 256, 300):
        write("fuzz_p2p_decrypt", "not-whole-blocks-%d" % n, b"\x00" + bytes(range(256))[:n].ljust(n, b"\x55"))


# ---- YMODEM sessions -----------------------------------------------------------

SOH, STX, EOT, CA = 0x01, 0x02, 0x04, 0x18


def block(number, data, size, fill=b"\x1a"):
    data = data.ljust(size, fill)
    head = bytes([SOH if size == 128 else STX, number & 0xFF, 0xFF - (number & 0xFF)])
    return head + data + struct.pack(">H", binascii.crc_hqx(data, 0))


def header(name, size_text):
    return block(0, name + b"\0" + size_text + b"\0", 128, fill=b"\0")


def image(size):
    data = bytearray(struct.pack("<II", 0x2000FC00, 0x08006101))
    while len(data) < size:
        data.append(len(data) * 7 & 0xFF)
    return bytes(data[:size])


def session(data, size_text=None, blocks=1024, name=b"app.bin"):
    out = header(name, size_text if size_text is not None else b"%d" % len(data))
    number = 1
    for off in range(0, len(data), blocks):
        out += block(number, data[off:off + blocks], blocks)
        number += 1
    # The end of the file, then the empty header that ends the batch.
    return out + bytes([EOT]) + block(0, b"", 128, fill=b"\0")


def ymodem():
    write("fuzz_ymodem", "session-1k", session(image(2000)))
    write("fuzz_ymodem", "session-128", session(image(300), blocks=128))
    write("fuzz_ymodem", "session-hex-size", session(image(1024), size_text=b"0x400"))
    write("fuzz_ymodem", "session-k-size", session(image(1024), size_text=b"1K"))
    write("fuzz_ymodem", "session-repeated-block", header(b"a.bin", b"128") + block(1, image(128), 128) * 2
          + bytes([EOT]) + block(0, b"", 128, fill=b"\0"))
    write("fuzz_ymodem", "session-short-file", header(b"a.bin", b"4096") + block(1, image(1024), 1024) + bytes([EOT]))
    write("fuzz_ymodem", "header-too-large", header(b"big.bin", b"999999"))
    write("fuzz_ymodem", "header-without-nul", block(0, b"x" * 128, 128))
    write("fuzz_ymodem", "cancel", header(b"a.bin", b"2048") + bytes([CA, CA]))
    write("fuzz_ymodem", "abort-key", b"a")
    write("fuzz_ymodem", "bad-crc", header(b"a.bin", b"100")[:-1] + b"\x00")


# ---- BLE update service (operations of fuzz_ble_update.cpp) -----------------

def u16(v):
    return struct.pack("<H", v)


def ble_update():
    def header_op(length, seed, flags=0, piece=0):
        if length > 0xFFFF:
            return bytes([2 | 0x60 | flags]) + u16(length & 0xFFFF) + bytes([length >> 16, seed, piece])
        return bytes([2 | flags]) + u16(length) + bytes([seed, piece])

    def data_op(n, piece=0):
        return bytes([3]) + u16(n) + bytes([piece])

    verify = bytes([4])
    reset = bytes([7, 0])
    timers = bytes([6, 0, 6, 1])
    whole = header_op(1000, 3) + data_op(512) + data_op(488) + verify + reset + timers
    write("fuzz_ble_update", "whole-image", whole)
    write("fuzz_ble_update", "split-writes", header_op(1000, 3, piece=20) + data_op(512, 7) +
          data_op(488, 100) + verify)
    big = header_op(20000, 9) + data_op(512) + verify + header_op(20000, 9)
    big += data_op(512) * 39 + data_op(20000 - 39 * 512) + verify
    write("fuzz_ble_update", "big-image", big)
    write("fuzz_ble_update", "bad-crc", header_op(1000, 3, flags=0x80) + data_op(512) +
          data_op(488) + verify)
    write("fuzz_ble_update", "refused-headers", header_op(0, 1) + header_op(0x70001, 1) +
          header_op(100, 1, flags=0x40) + verify)
    short = bytes([0, 6, 3, 0, 2, 0xAA, 0xBB, 0xCC]) + bytes([0, 2, 5, 0]) + bytes([0, 1, 3])
    short += bytes([0x80, 0x10, 1]) + bytes([0x10, 0x02, 2]) + bytes(270)
    write("fuzz_ble_update", "short-lengths", short)
    packet = bytes([1, 1]) + u16(48) + struct.pack("<12I", 0, 0x14000, 100, 0, 0, 0, 0, 0, 1, 0, 0, 0)
    packet += bytes([0])
    write("fuzz_ble_update", "packet-header", packet + verify)
    write("fuzz_ble_update", "link-lost", header_op(1000, 3) + data_op(512) + bytes([5, 2, 1]) +
          data_op(488) + verify)
    write("fuzz_ble_update", "flash-fails", bytes([6, 0x83]) + whole)
    write("fuzz_ble_update", "list-full", (header_op(300, 4) + data_op(300) + verify) * 9)
    write("fuzz_ble_update", "no-notifications", bytes([5, 0]) + whole)


# ---- BLE serial service (operations of fuzz_ble_serial.cpp) -----------------

def ble_serial():
    def wr(data):
        data = bytes(data)
        if len(data) < 256:
            return bytes([0, len(data)]) + data
        return bytes([0x80, len(data) & 0xFF, len(data) >> 8]) + data

    def read(n):
        return bytes([2, n - 1])

    write("fuzz_ble_serial", "at-command", wr(b"AT+VER=?\r\n") + read(64))
    write("fuzz_ble_serial", "pieces", wr(b"AT+V") + wr(b"ER=") + wr(b"?\r\n") + read(5) + read(64))
    write("fuzz_ble_serial", "overflow", wr(b"x" * 300) + wr(b"y" * 40) + read(255) + read(255))
    write("fuzz_ble_serial", "escape-boot", bytes([5, 1]) + wr(b"at+boot\r") + read(16))
    write("fuzz_ble_serial", "escape-atm", bytes([5, 1]) + wr(b"AT+A") + wr(b"TM\n") + read(16))
    write("fuzz_ble_serial", "locked", bytes([5, 2]) + wr(b"AT\r12345678\r") + read(32))
    write("fuzz_ble_serial", "replies", bytes([3, 10, 0]) + bytes([4, 0, 224]) + bytes([3, 200, 2, 0, 50]) +
          bytes([4, 1]) + bytes([3, 5, 0]) + bytes([4, 1]) + bytes([4, 2, 1]) + bytes([3, 90, 1, 3]))


# ---- LoRaWAN downlinks and network commands -----------------------------------

def lorawan_downlink():
    # Option byte: region (bits 0-2), 1.1 (bit 3), kind (bits 4-5: raw data,
    # sealed data, raw join accept, sealed join accept), confirmed (bit 6),
    # two frames (bit 7, byte 1 the first frame's length).
    addr = le32(0x26011234)

    def data(fctrl, fcnt, fopts=b"", port=None, payload=b"", mhdr=0x60):
        f = bytes([mhdr]) + addr + bytes([fctrl | len(fopts)]) + fcnt.to_bytes(2, "little") + fopts
        if port is not None:
            f += bytes([port]) + payload
        return f

    def accept(nonce, dl=0, delay=1, cflist=b"", addr2=0x26AB0001):
        return (bytes([0x20]) + nonce.to_bytes(3, "little") + (0x13).to_bytes(3, "little") +
                le32(addr2) + bytes([dl, delay]) + cflist)

    w = lambda name, b: write("fuzz_lorawan_downlink", name, b)
    w("raw-data", bytes([0x00]) + data(0, 0, port=2, payload=b"\x01\x02") + b"\0\0\0\0")
    w("raw-proprietary", bytes([0x00]) + bytes([0xE0]) + bytes(20))
    w("raw-short", bytes([0x01]) + bytes([0x60, 0x34, 0x12]))
    w("sealed-app-data", bytes([0x10]) + data(0, 0, port=2, payload=b"hello downlink"))
    w("sealed-app-data-us915", bytes([0x11]) + data(0, 0, port=10, payload=bytes(range(40))))
    w("sealed-empty", bytes([0x10]) + data(0, 0))
    w("sealed-ack", bytes([0x50]) + data(0x20, 0))
    w("sealed-confirmed-down", bytes([0x10]) + data(0, 0, port=3, payload=b"\x55", mhdr=0xA0))
    w("sealed-fpending", bytes([0x10]) + data(0x10, 7, port=1, payload=b"x"))
    w("sealed-fopts", bytes([0x10]) + data(0, 0, fopts=bytes([0x06, 0x08, 0x01])))
    w("sealed-port0", bytes([0x10]) + data(0, 0, port=0, payload=bytes([0x02, 20, 3, 0x06])))
    w("sealed-fopts-and-port0", bytes([0x10]) + data(0, 0, fopts=bytes([0x06]), port=0, payload=bytes([0x06])))
    w("sealed-v11-fopts", bytes([0x18]) + data(0, 0, fopts=bytes([0x0C, 0x21, 0x06])))
    w("sealed-v11-app", bytes([0x18]) + data(0, 0, fopts=bytes([0x06]), port=5, payload=b"abc"))
    w("sealed-v11-ack", bytes([0x58]) + data(0x20, 0, port=5, payload=b"abc"))
    w("sealed-port224", bytes([0x10]) + data(0, 0, port=224, payload=bytes([0x01])))
    w("sealed-multicast-addr", bytes([0x00]) + bytes([0x60]) + le32(0x01020304) + bytes([0, 0, 0, 1, 0]) + bytes(4))
    first = data(0, 1, port=2, payload=b"a")
    w("sealed-two", bytes([0x90, len(first)]) + first + data(0, 1, port=2, payload=b"b"))
    first = data(0, 5, port=2, payload=b"a")
    w("sealed-counter-gap", bytes([0x90, len(first)]) + first + data(0, 3, port=2, payload=b"b"))
    w("sealed-accept", bytes([0x30]) + accept(1))
    w("sealed-accept-cflist", bytes([0x30]) + accept(1, cflist=bytes.fromhex("184F84E85684B85E84886684") + bytes([0, 0, 0, 0])))
    w("sealed-accept-us915-mask", bytes([0x31]) + accept(1, cflist=bytes([0xFF, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1])))
    w("sealed-accept-rx2dr", bytes([0x30]) + accept(1, dl=0x1F, delay=3))
    w("sealed-accept-optneg", bytes([0x30]) + accept(1, dl=0x80))
    w("sealed-accept-nonce0", bytes([0x30]) + accept(0))
    a = accept(2)
    w("sealed-accept-then-data", bytes([0xB0, len(a)]) + a + data(0, 0, port=2, payload=b"x"))
    w("raw-accept", bytes([0x20]) + accept(1) + bytes(4))
    w("raw-accept-short", bytes([0x20]) + bytes([0x20, 1, 2, 3]))


def lorawan_mac_commands():
    # Option byte: region (bits 0-2), 1.1 (bit 3), port 0 (bit 4), ADR (bit
    # 5), confirmed (bit 6), class C (bit 7); then blocks of length + commands.
    def cmds(*blocks):
        return b"".join(bytes([len(b)]) + b for b in blocks)

    w = lambda name, opt, *blocks: write("fuzz_lorawan_mac_commands", name, bytes([opt]) + cmds(*blocks))
    link_adr = bytes([0x03, 0x53, 0x07, 0x00, 0x01])
    w("link-check-dev-status", 0x00, bytes([0x02, 20, 3, 0x06]))
    w("link-adr-eu868", 0x20, link_adr)
    w("link-adr-us915-blocks", 0x21, bytes([0x03, 0x30, 0x00, 0x00, 0x70]) + bytes([0x03, 0x30, 0xFF, 0x00, 0x01]))
    w("link-adr-au915", 0x23, bytes([0x03, 0x50, 0xFF, 0x00, 0x01]))
    w("link-adr-cn470", 0x24, bytes([0x03, 0x20, 0xFF, 0x00, 0x01]))
    w("link-adr-bad-power", 0x20, bytes([0x03, 0x5F, 0x07, 0x00, 0x01]))
    w("link-adr-dr15", 0x20, bytes([0x03, 0xF0, 0x07, 0x00, 0x01]))
    w("duty-cycle", 0x00, bytes([0x04, 0x03]))
    w("rx-param-setup", 0x00, bytes([0x05, 0x13, 0xD2, 0xAD, 0x84]))
    w("rx-param-setup-bad-freq", 0x00, bytes([0x05, 0x03, 0x00, 0x00, 0x00]))
    w("new-channel", 0x00, bytes([0x07, 3, 0x18, 0x4F, 0x84, 0x50]))
    w("new-channel-then-use", 0x20, bytes([0x07, 3, 0x18, 0x4F, 0x84, 0x50]), bytes([0x03, 0x51, 0x08, 0x00, 0x01]))
    w("delete-default-channel", 0x00, bytes([0x07, 0, 0, 0, 0, 0]))
    w("rx-timing", 0x00, bytes([0x08, 0x03]))
    w("tx-param-setup-as923", 0x02, bytes([0x09, 0x3F]))
    w("dl-channel", 0x00, bytes([0x07, 3, 0x18, 0x4F, 0x84, 0x50]), bytes([0x0A, 3, 0x28, 0x76, 0x84]))
    w("device-time-ans", 0x00, bytes([0x0D, 1, 2, 3, 4, 5]))
    w("ping-slot-channel", 0x00, bytes([0x11, 0xD2, 0xAD, 0x84, 0x03]))
    w("beacon-freq", 0x00, bytes([0x13, 0xD2, 0xAD, 0x84]))
    w("port0-many", 0x10, bytes([0x06, 0x08, 0x01, 0x04, 0x01, 0x05, 0x13, 0xD2, 0xAD, 0x84, 0x06, 0x06, 0x06]))
    w("v10-force-rejoin", 0x00, bytes([0x06, 0x0E, 0x00, 0x0F, 0x08, 0x03]))
    w("v11-adr-param-force-rejoin", 0x18, bytes([0x0C, 0x21, 0x0E, 0x00, 0x0F, 0x06]))
    w("v11-rekey-conf", 0x08, bytes([0x0B, 0x01, 0x06]))
    w("v11-rejoin-param", 0x08, bytes([0x0F, 0x55]))
    w("v11-force-rejoin-dr", 0x08, bytes([0x0E, 0x00, 0x03]))
    w("confirmed-class-c", 0xC0, bytes([0x06]), bytes([0x05, 0x13, 0xD2, 0xAD, 0x84]))
    w("truncated", 0x00, bytes([0x03, 0x50]))
    w("unknown", 0x00, bytes([0x80, 0x06]))
    w("kr920-in865-ru864", 0x26, link_adr, bytes([0x07, 3, 0x18, 0x4F, 0x84, 0x50]))


# ---- the test network's uplinks -------------------------------------------------

def network_uplink():
    # Byte 0 the region (index in the network's list: 0 AS923-1, 4 AU915,
    # 5 CN470, 8 EU868, 11 US915); then kind, length, bytes per uplink. Kind:
    # bits 0-1 raw/sealed data/join request/raw at another rate, bits 2-3
    # the device (ABP 1.0, ABP 1.1, OTAA 1.0, OTAA 1.1), bit 4 confirmed,
    # bit 5 no port.
    def up(kind, dev, body, confirmed=False, noport=False):
        k = kind | dev << 2 | (0x10 if confirmed else 0) | (0x20 if noport else 0)
        return bytes([k, len(body)]) + body

    def data(fcnt, fopts=b"", port=2, payload=b"\x01", fctrl=0):
        return bytes([fctrl | len(fopts)]) + fcnt.to_bytes(2, "little") + bytes([port]) + fopts + payload

    def join(nonce):
        return nonce.to_bytes(2, "little")

    w = lambda name, region, *ups: write("fuzz_network_uplink", name, bytes([region]) + b"".join(ups))
    w("abp10-data", 8, up(1, 0, data(0)), up(1, 0, data(1, payload=b"hello")))
    w("abp10-confirmed", 8, up(1, 0, data(0), confirmed=True), up(1, 0, data(1, fctrl=0x20)))
    w("abp10-replay", 8, up(1, 0, data(5)), up(1, 0, data(5)), up(1, 0, data(4)))
    w("abp10-fcnt-wrap", 8, up(1, 0, data(0xFFFF)), up(1, 0, data(0)))
    w("abp10-commands", 8, up(1, 0, data(0, fopts=bytes([0x02, 0x0D]))), up(1, 0, data(1, port=0, payload=bytes([0x06, 0xFF, 7]))))
    w("abp10-answers", 8, up(1, 0, data(0, fopts=bytes([0x03, 0x07, 0x05, 0x07, 0x04]))))
    w("abp10-adr", 8, up(1, 0, data(0, fctrl=0xC0)), up(1, 0, data(1, fctrl=0x80)))
    w("abp10-class-b", 8, up(1, 0, data(0, fctrl=0x10, fopts=bytes([0x10, 0x07]))))
    w("abp10-no-port", 8, up(1, 0, data(0, fopts=bytes([0x02])), noport=True))
    w("abp11-data", 8, up(1, 1, data(0, fopts=bytes([0x01, 0x01]))), up(1, 1, data(1, fopts=bytes([0x0B, 0x01]))))
    w("otaa10-join-data", 8, up(2, 2, join(1)), up(1, 2, data(0, fopts=bytes([0x02]))))
    w("otaa11-join-data", 8, up(2, 3, join(1)), up(1, 3, data(0, fopts=bytes([0x0B, 0x01]))), up(1, 3, data(1)))
    w("otaa10-join-replayed-nonce", 8, up(2, 2, join(7)), up(2, 2, join(7)), up(2, 2, join(3)))
    w("us915-join-data", 11, up(2, 2, join(1)), up(1, 2, data(0)))
    w("cn470-join-data", 5, up(2, 3, join(1)), up(1, 3, data(0)))
    w("as923-abp", 0, up(1, 0, data(0)), up(3, 0, bytes([0x40, 0x00, 0x01, 0x00, 0x26, 0, 0, 0, 1, 2, 3, 4])))
    w("au915-abp11", 4, up(1, 1, data(0, fopts=bytes([0x0D]))))
    w("raw-garbage", 8, up(0, 0, bytes(range(30))))
    w("raw-proprietary", 8, up(0, 0, bytes([0xE0]) + bytes(10)))
    w("raw-major", 8, up(0, 0, bytes([0x41]) + bytes(12)))
    w("raw-short-data", 8, up(0, 0, bytes([0x40, 0x00, 0x01, 0x00, 0x26])))
    w("raw-join-request", 8, up(0, 0, bytes([0x00]) + bytes(22)))
    w("raw-rejoin-0", 8, up(2, 3, join(1)), up(0, 0, bytes([0xC0, 0x00]) + bytes(3) + bytes(8) + bytes(2) + bytes(4)))
    w("raw-rejoin-1", 8, up(0, 0, bytes([0xC0, 0x01]) + bytes(8) + bytes(8) + bytes(2) + bytes(4)))
    w("raw-downlink-type", 8, up(0, 0, bytes([0x60, 0x00, 0x01, 0x00, 0x26, 0, 0, 0]) + bytes(4)))


# ---- class B beacons ------------------------------------------------------------

def crc16_xmodem(data):
    crc = 0
    for b in data:
        crc ^= b << 8
        for _ in range(8):
            crc = ((crc << 1) ^ 0x1021) & 0xFFFF if crc & 0x8000 else (crc << 1) & 0xFFFF
    return crc


def classb_beacon():
    # Option byte: region (bits 0-2, as for the MAC targets), fix time and
    # CRCs (bit 3), heard at the beacon time (bit 4); then length + frame.
    sizes = {0: (17, 1, 0), 1: (23, 4, 3), 2: (17, 1, 0), 3: (23, 4, 3), 4: (19, 2, 1),
             5: (19, 0, 3), 6: (17, 1, 0), 7: (17, 1, 0)}

    def beacon(region, gps=1430000000, info=bytes([0, 1, 2, 3, 4, 5, 6]), param=0):
        size, rfu1, rfu2 = sizes[region]
        f = bytes(rfu1) + bytes([param]) + gps.to_bytes(4, "little")
        f += crc16_xmodem(f).to_bytes(2, "little")
        g = info + bytes(rfu2)
        return f + g + crc16_xmodem(g).to_bytes(2, "little")

    def frames(*fs):
        return b"".join(bytes([len(f)]) + f for f in fs)

    w = lambda name, opt, *fs: write("fuzz_classb_beacon", name, bytes([opt]) + frames(*fs))
    for region, name in ((0, "eu868"), (1, "us915"), (2, "as923"), (3, "au915"), (4, "cn470"), (5, "in865")):
        b = beacon(region)
        w("tracked-" + name, 0x18 | region, b, b, b, b)
    e = beacon(0)
    w("as-given", 0x00, e, e)
    w("as-given-on-time", 0x10, e)
    w("lost-then-found", 0x18, e, b"", b"", e)
    w("bad-second-crc", 0x10, e[:-1] + bytes([e[-1] ^ 1]))
    w("bad-first-crc", 0x10, e[:6] + bytes([e[6] ^ 1]) + e[7:])
    w("wrong-size", 0x18, e + b"\0", e[:-1], bytes(255))
    w("empty-frame", 0x18, b"")
    w("precision-bits", 0x18, beacon(0, param=3), beacon(0, param=0xFF))
    w("gps-time-max", 0x10, beacon(0, gps=0xFFFFFFFF))


# ---- long packets ------------------------------------------------------------------

def longpacket():
    # Port, options (bit 0 confirmed, bits 1-2 resends), room, script length,
    # script (0 arrived, 1 lost, 2 room change + byte, 3 refused + timer,
    # bit 2 busy), then the packet.
    def lp(name, port, opts, room, script, packet):
        write("fuzz_longpacket", name, bytes([port, opts, room, len(script)]) + bytes(script) + packet)

    pattern = bytes((i * 13 + (i >> 8)) & 0xFF for i in range(1024))
    lp("small-room", 2, 0, 11, [], pattern[:100])
    lp("dr5-room", 10, 1, 242, [], pattern)
    lp("one-fragment", 1, 0, 51, [], b"hello")
    lp("empty", 2, 0, 51, [], b"")
    lp("room-changes", 2, 0, 51, [0, 2, 222, 0, 2, 11, 0, 2, 115], pattern[:600])
    lp("lost-and-resent", 2, 4, 51, [1, 1, 0, 1, 0], pattern[:200])
    lp("lost-too-often", 2, 2, 51, [1, 1, 1], pattern[:200])
    lp("busy-then-free", 2, 0, 51, [0, 7, 7, 0], pattern[:200])
    lp("refused", 2, 0, 51, [0, 3], pattern[:200])
    lp("room-too-small", 2, 0, 6, [], pattern[:20])
    lp("room-shrinks-to-nothing", 2, 0, 51, [0, 2, 5, 0], pattern[:200])
    lp("too-many-fragments", 2, 0, 10, [], pattern)
    lp("port-0", 0, 0, 51, [], b"x")
    lp("port-224", 224, 0, 51, [], b"x")


# ---- port-224 certification commands ------------------------------------------

def lora_certification():
    # Records: kind (bits 0-1 port 224 / other port / beacon event / uplink
    # due, bits 2-4 band, bit 5 OTAA, bit 6 joined), length, bytes.
    def rec(kind, body, band=0, otaa=False, joined=True):
        k = kind | band << 2 | (0x20 if otaa else 0) | (0x40 if joined else 0)
        return bytes([k, len(body)]) + body

    def cmd(*body):
        return rec(0, bytes(body))

    due = rec(3, b"")
    w = lambda name, *recs: write("fuzz_lora_certification", name, b"".join(recs))
    w("version", cmd(0x00), due)
    w("dut-version", cmd(0x7F), due)
    w("echo", cmd(0x08, 1, 2, 3, 255), due)
    w("echo-long", rec(0, bytes([0x08]) + bytes(range(241))), due)
    w("echo-only-command", cmd(0x08), due)
    w("rx-app-count", rec(1, bytes([2, 1, 2])), rec(1, b""), cmd(0x09), due, cmd(0x0A), cmd(0x09), due)
    w("reset", cmd(0x01), due)
    for band, name in ((0, "eu868"), (1, "us915"), (2, "au915"), (3, "cn470"), (4, "la915")):
        w("join-" + name, rec(0, bytes([0x02]), band=band, otaa=True, joined=False), due)
    w("switch-class", cmd(0x03, 2), due, cmd(0x03, 7), due, cmd(0x03))
    w("adr-duty-cycle", cmd(0x04, 1), cmd(0x05, 0), cmd(0x04), cmd(0x05), due)
    w("periodicity", cmd(0x06, 3), cmd(0x06, 10), cmd(0x06, 11), cmd(0x06), due)
    w("frames-ctrl", cmd(0x07, 2), cmd(0x07, 1), cmd(0x07, 3), cmd(0x07), due)
    w("link-check-device-time", cmd(0x20), cmd(0x21), due)
    w("ping-slot", cmd(0x22, 3), cmd(0x22), due)
    w("beacon-status", cmd(0x40, 1), rec(3, b"\x01"), rec(2, bytes([0]) + bytes(range(40))), due,
      rec(2, bytes([1])), rec(2, bytes([2])), due, cmd(0x42), due, cmd(0x43), cmd(0x42), due)
    w("tx-cw", cmd(0x7D, 10, 0, 0x18, 0x4F, 0x84, 14), cmd(0x7D, 1), due)
    w("fport-disable", cmd(0x7E), due, cmd(0x00), due)
    w("fport-disable-otaa", rec(0, bytes([0x7E]), otaa=True), due)
    w("unknown", cmd(0x99, 1, 2), cmd(0x0B), due)


# ---- a BLE peer's bytes in the host stand-in -------------------------------------

def ble_host():
    # Ops: 0/1 ACL start/continuation (n, bytes), 2 SDU (channel 0 ATT, 1 SMP,
    # 2 signaling; n; bytes; 0x82 with a high length byte), 3 buffers
    # acknowledged, 4 encryption changed, 5 reconnect, 6 passkey answer.
    def sdu(c, body):
        if len(body) > 255:
            return bytes([0x82, c, len(body) & 0xFF, len(body) >> 8]) + body
        return bytes([2, c, len(body)]) + body

    att = lambda *b: sdu(0, bytes(b))
    smp = lambda *b: sdu(1, bytes(b))
    w = lambda name, *ops: write("fuzz_ble_host", name, b"".join(ops))
    w("discovery", att(0x02, 0xF7, 0x00), att(0x10, 0x01, 0x00, 0xFF, 0xFF, 0x00, 0x28),
      att(0x08, 0x00, 0x07, 0xFF, 0xFF, 0x03, 0x28), att(0x04, 0x00, 0x07, 0x05, 0x07), bytes([3, 8]))
    w("reads", att(0x0A, 0x01, 0x07), att(0x0A, 0x04, 0x07), att(0x0C, 0x00, 0x07, 0x05, 0x00),
      att(0x0A, 0x02, 0x07), att(0x0A, 0xFF, 0xFF))
    w("writes", att(0x12, 0x02, 0x07, 0x41, 0x54, 0x0D, 0x0A), att(0x52, 0x02, 0x07, 0x41),
      att(0x12, 0x05, 0x07, 0x01, 0x00), att(0x12, 0x04, 0x07, 0x01), att(0x12, 0x01, 0x07, 0x00))
    w("long-write", att(0x02, 0xF7, 0x00), sdu(0, bytes([0x12, 0x02, 0x07]) + bytes(range(244))),
      sdu(0, bytes([0x12, 0x02, 0x07]) + bytes(300)))
    w("prepared-writes", att(0x16, 0x02, 0x07, 0x00, 0x00, 1, 2, 3), att(0x16, 0x02, 0x07, 0x03, 0x00, 4, 5),
      att(0x16, 0x02, 0x07, 0xF0, 0x00, 6), att(0x18, 0x01), att(0x16, 0x02, 0x07, 0, 0, 9), att(0x18, 0x00))
    w("mtu-and-notify", att(0x02, 0x17, 0x00), att(0x12, 0x05, 0x07, 0x01, 0x00), att(0x1E), bytes([3, 4]))
    w("pairing", bytes([6, 1]), smp(0x01, 0x03, 0x00, 0x05, 0x10, 0x07, 0x07),
      smp(0x03) + bytes(16), smp(0x04) + bytes(16), bytes([4, 0]))
    w("pairing-refused", bytes([6, 0]), smp(0x01, 0x04, 0x00, 0x05, 0x10, 0x07, 0x07), smp(0x05, 0x08))
    w("pairing-out-of-order", smp(0x04) + bytes(16), smp(0x03) + bytes(16), smp(0x0B, 0x05), smp(0x02, 0, 0, 1, 16, 0, 0))
    w("encrypted-write", bytes([4, 0]), att(0x12, 0x04, 0x07, 0x55), bytes([4, 1]), att(0x12, 0x04, 0x07, 0x66))
    w("signaling", sdu(2, bytes([0x13, 0x01, 0x02, 0x00, 0x00, 0x00])), sdu(2, bytes([0x12, 0x02, 0x08, 0x00]) + bytes(8)),
      sdu(2, bytes([0x01, 0x03, 0x02, 0x00, 0x00, 0x00])), sdu(7, b"x"))
    w("fragments", bytes([0, 7, 0x05, 0x00, 0x04, 0x00, 0x0A, 0x01, 0x07]), bytes([1, 0]),
      bytes([0, 4, 0x30, 0x00, 0x04, 0x00]), bytes([1, 27]) + bytes(27), bytes([1, 21]) + bytes(21),
      bytes([1, 5]) + bytes(5), bytes([0, 1, 0x05]))
    w("reconnect", att(0x12, 0x05, 0x07, 0x01, 0x00), bytes([5]), att(0x0A, 0x05, 0x07))


# ---- the Wi-Fi pass-through ---------------------------------------------------------

def wifi_passthrough():
    # Ops: 0 host bytes (n, bytes), 1 co-processor bytes, 2 AT+ESP a, 3
    # AT+ESPPOWER a, 4 serial mode m.
    host = lambda b: bytes([0, len(b)]) + b
    esp = lambda b: bytes([1, len(b)]) + b
    w = lambda name, *ops: write("fuzz_wifi_passthrough", name, b"".join(ops))
    w("lora-mode-lines", host(b"AT\r\nAT+VER=?\r\n"), esp(b"ignored"))
    w("esp-mode-lines", bytes([2, 1]), host(b"\nAT+GMR\r\n"), esp(b"AT version:1.0\r\nOK\r\n"),
      host(b"AT+CWMODE=1\r\nAT+CWJAP=\"ssid\",\"pw\"\r\n"))
    w("esp-query-and-back", bytes([2, 1]), host(b"\nAT+ESP=?\r\n"), host(b"at+esp=0\r\nAT\r\n"))
    w("escape", bytes([2, 1]), host(b"\n+++"), host(b"++"), host(b"+\r\n"))
    w("overlong-line", bytes([2, 1]), host(b"\n" + b"A" * 200), host(b"B" * 100), host(b"\r\nAT\r\n"))
    w("overlong-line-ends-at-lf", bytes([2, 1]), host(b"\n" + b"A" * 200), host(b"A" * 55 + b"\r"), host(b"\nAT\r\n"))
    w("line-of-256", bytes([2, 1]), host(b"\n" + b"C" * 200), host(b"C" * 54 + b"\r\n"))
    w("cr-without-lf", bytes([2, 1]), host(b"\nAT\rAT\r\r\n\n"))
    w("power", bytes([3, 0]), bytes([3, 1]), bytes([3, 2]), bytes([3, 7]), bytes([2, 9]), bytes([2, 2]))
    w("custom-mode", bytes([4, 1]), host(b"AT\r\n"), bytes([4, 0]), host(b"AT\r\n"))
    w("esp-burst", bytes([2, 1]), host(b"\n"), esp(bytes(range(256))[:255]), esp(b"\0\r\n"))


# ---- ATCELL ---------------------------------------------------------------------------

def atcell():
    # Ops: 0 an ATCELL line (rest of the name, then '=' and the arguments),
    # 1 modem bytes, 2 bytes typed on USB, 3 + 4 * t: time passes.
    line = lambda b: bytes([0, len(b)]) + b
    modem = lambda b: bytes([1, len(b)]) + b
    usb = lambda b: bytes([2, len(b)]) + b
    w = lambda name, *ops: write("fuzz_atcell", name, b"".join(ops))
    w("text", line(b"=AT+CSQ"), line(b"=ATI:x"), line(b"?"), line(b""))
    w("command", line(b"+CSQ"), line(b"+COPS=?"), line(b"+QCFG=\"nwscanmode\":0"), line(b"+atd123"))
    w("ipr-refused", line(b"+IPR=115200"), line(b"=AT+IPR=9600"), line(b"+ATIPR"))
    w("upload", modem(b"\r\nCONNECT\r\n"), line(b"+QFUPL=\"UFS:a.txt\",10,5"), usb(b"0123456789x"))
    w("upload-backspace", modem(b"CONNECT"), line(b"+QFUPL=\"f\",4,5"), usb(b"ab\x08c\x7fdef!"))
    w("upload-no-connect", modem(b"+CME ERROR: 407\r\n"), line(b"+QFUPL=\"f\",4,5"), usb(b"AT\r"))
    w("upload-timeout", modem(b"CONNECT"), line(b"+QHTTPURL=20,1"), usb(b"http"), bytes([3 + 4 * 20]), usb(b"AT\r"))
    w("upload-too-big", modem(b"CONNECT"), line(b"+QFUPL=\"f\",5000,5"))
    w("upload-connect-split", modem(b"x" * 45 + b"CONN"), modem(b"ECT\r\n"), line(b"+QHTTPURL=3,5"), usb(b"abcd"))
    w("upload-echo", modem(bytes(200) + b"CONNECT"), line(b"+QHTTPURL=0,5"), usb(b"z"))
    w("long-name", line(b"+ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789=1"))
    w("long-text", line(b"=" + b"A" * 250), line(b"=" + b"B:" * 120))
    w("many-args", line(b"+X=" + b":".join(b"%d" % k for k in range(40))))


def main():
    if shutil.which("openssl") is None:
        sys.exit("make_seeds.py: needs the openssl command")
    clear_seeds()
    at_lines()
    records()
    frames()
    ymodem()
    ble_update()
    ble_serial()
    lorawan_downlink()
    lorawan_mac_commands()
    network_uplink()
    classb_beacon()
    longpacket()
    lora_certification()
    ble_host()
    wifi_passthrough()
    atcell()


if __name__ == "__main__":
    main()
