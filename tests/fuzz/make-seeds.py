#!/usr/bin/env python3
"""Writes the kept seed corpora under corpus/<Target>/ (run from anywhere).

The seeds are small, valid or nearly valid inputs from which libFuzzer
mutates; each file is named for what it holds."""
import os
import struct

here = os.path.dirname(os.path.abspath(__file__))


def write(target, name, data):
    d = os.path.join(here, "corpus", target)
    os.makedirs(d, exist_ok=True)
    with open(os.path.join(d, name), "wb") as f:
        f.write(data)


# --- the service's request frame, as segments: length byte n, then n + 1 bytes
def frame(code, flags, xid_body):
    return struct.pack("<iBi", 0, code, flags) + xid_body


def xid_body(fmt, gtrid, bqual):
    body = struct.pack("<iBB", fmt, len(gtrid), len(bqual)) + gtrid + bqual
    return bytes([len(body)]) + body


def segments(*parts):
    out = b""
    for p in parts:
        out += bytes([len(p) - 1]) + p
    return out


start = frame(0, 0, xid_body(0x4D56, b"order-17", b"db1"))
write("RequestFrame", "start", segments(start))
write("RequestFrame", "null-xid-recover", segments(frame(3, 0x01000000, b"\xff")))
write("RequestFrame", "two-requests", segments(start, frame(4, 0, xid_body(1, b"g", b"b"))))
write("RequestFrame", "xid-body-split", segments(start[:14], start[14:]))
write("RequestFrame", "bad-length-sum", segments(frame(5, 0, b"\x0a" + struct.pack("<iBB", 1, 3, 3) + b"abcd")))
write("RequestFrame", "short-length", segments(frame(6, 0, b"\x07" + b"\0" * 7)))
write("RequestFrame", "code-above-7", segments(frame(9, 0, xid_body(1, b"gg", b""))))
write("RequestFrame", "negative-gtrid", segments(frame(7, 0, b"\x0e" + struct.pack("<ibb", 1, -1, 9) + b"x" * 8)))
write("RequestFrame", "header-split", segments(start[:2], start[2:]))
write("RequestFrame", "longest-xid", segments(frame(2, 0, xid_body(1, b"g" * 64, b"b" * 64))))

# --- the handshake
write("Handshake", "value", b"Morvalen/XA/2.08")
write("Handshake", "value-and-request", b"Morvalen/XA/2.08" + start)
write("Handshake", "old-version", b"Morvalen/XA/2.07")
write("Handshake", "short", b"Morvalen/XA")

# --- recover encoding: even first byte = round trip of up to 7 XIDs
def rec_xid(fmt, g, b):
    return struct.pack("<ibb", fmt, len(g), len(b)) + (g + b).ljust(128, b"\0")


write("RecoverEncode", "one", b"\x00\x01" + rec_xid(0x4D56, b"order-17", b"db1"))
write("RecoverEncode", "seven-longest", b"\x00\x07" + rec_xid(1, b"g" * 64, b"b" * 64) * 7)
write("RecoverEncode", "raw-reply", b"\x01" + struct.pack("<ii", 1, 9) + struct.pack("<iBB", 1, 2, 1) + b"abc")
write("RecoverEncode", "raw-cookie", b"\x01" + struct.pack("<ii", 0, 4) + b"abcd")

# --- morvalenctl XID text: first byte picks the format identifier
write("XidText", "text", b"\x05order-17:db1")
write("XidText", "hex", b"\x05" + b"0x0102:0x03")
write("XidText", "gtrid-only", b"\x05gtrid")
write("XidText", "empty-bqual", b"\x05g:")
write("XidText", "recover-form", b"\x05" + b"19798:0x6f72:0x01")
write("XidText", "dtcctl-form", b"\x05" + b"19798:6f72:01")
write("XidText", "hex-longest", b"\x05" + b"0x" + b"ab" * 64 + b":0x" + b"cd" * 64)

# --- dtcd: request frames  u32 length | u32 id | u16 op | u16 0 | body
GUID = b"6F1E8C52-0B7A-4C1D-9E2F-3A4B5C6D7E8F"


def req(rid, op, body=b""):
    return struct.pack("<IIHH", 8 + len(body), rid, op, 0) + body


def dxid(fmt, g, b):
    return struct.pack("<iii", fmt, len(g), len(b)) + (g + b).ljust(128, b"\0")


X = dxid(42, b"gtrid", b"b")
opn = req(1, 2, GUID + struct.pack("<I", 0))
st = req(2, 3, X + struct.pack("<ii", 0, 0))
en = req(3, 4, X + struct.pack("<ii", 0x04000000, 1))
pr = req(4, 5, X + struct.pack("<i", 0))
cm = req(5, 6, X + struct.pack("<i", 0))
rb = req(5, 7, X + struct.pack("<i", 0))
rc = req(6, 9, b"\x00" + b"\0" * 140 + struct.pack("<I", 100))
write("DtcdRequest", "hello", req(1, 1))
write("DtcdRequest", "two-phase-commit", opn + st + en + pr + rc + cm)
write("DtcdRequest", "prepare-rollback", opn + st + en + pr + rb)
write("DtcdRequest", "one-phase", opn + st + en + req(5, 6, X + struct.pack("<i", 0x40000000)))
write("DtcdRequest", "suspend-resume", opn + st + req(3, 4, X + struct.pack("<ii", 0x02000000, 1))
      + req(7, 3, X + struct.pack("<ii", 0x08000000, 2)) + en)
write("DtcdRequest", "prepared-left", opn + st + en + pr + req(8, 14) + req(9, 16))
write("DtcdRequest", "resolve", opn + st + en + pr + req(9, 15, b"\x01" + GUID + X + struct.pack("<i", 1))
      + req(10, 8, X + struct.pack("<i", 0)))
write("DtcdRequest", "timeout", req(1, 2, GUID + struct.pack("<I", 1)) + st + en + pr)
write("DtcdRequest", "import-garbage", opn + st + req(11, 12, struct.pack("<I", 52) + b"DTCK" + b"\0" * 48))
write("DtcdRequest", "resume-without-suspend", opn + st + req(7, 3, X + struct.pack("<ii", 0x08000000, 2)))
write("DtcdRequest", "txinfo", opn + st + req(12, 10, b"\0" * 32) + req(13, 13, b"\0" * 32))

# --- dtcd cookie: data[0] bit 0 op, bit 1 lying length, bit 2 cut; then mask
write("DtcdCookie", "genuine-import", b"\x00" + b"\0" * 52)
write("DtcdCookie", "genuine-cookie-op", b"\x01" + b"\0" * 52)
write("DtcdCookie", "token-bit", b"\x00" + b"\0" * 51 + b"\x01")
write("DtcdCookie", "lying-length", b"\x02" + struct.pack("<I", 0xFFFFFFF0) + b"\0" * 52)
write("DtcdCookie", "cut", b"\x04" + b"\0" * 20)
write("DtcdCookie", "longer", b"\x00" + b"\0" * 52 + b"extra")

# --- dtc-pg-enlist: arguments cut at NUL bytes; the same text is also read as
# a cookie and as a global id
UOW = "00112233445566778899aabbccddeeff"
RM = "0f1e2d3c4b5a69788796a5b4c3d2e1f0"
write("PgEnlistArgs", "enlist", b"\0".join([b"--cookie", b"44544b4300ff", b"--conninfo", b"dbname=app",
                                             b"--sql", b"INSERT INTO t VALUES (1)", b"--sql", b"SELECT 1"]))
write("PgEnlistArgs", "recover", b"--recover\0--conninfo\0host=/run/postgresql dbname=app")
write("PgEnlistArgs", "option-without-value", b"--conninfo\0dbname=app\0--cookie")
write("PgEnlistArgs", "cookie-hex", b"44544B43" + b"00" * 48)
write("PgEnlistArgs", "gid", ("dtc_" + UOW + "_" + RM + "_0a0b0c0d").encode())
write("PgEnlistArgs", "gid-earlier", ("dtc_" + UOW + "_" + RM).encode())

# --- dtcd participants: frames as for DtcdRequest, the u16 after the op says
# which connection (bits 0-1), no wait for writes (bit 2), or an event (bit
# 15: op 1 close, 2 time passes, 3 writes finish). A uow of 15 zero bytes and
# an index names a transaction started before (a zero token its token).
RMGUID = b"0F1E2D3C-4B5A-6978-8796-A5B4C3D2E1F0"
RMGUID2 = b"11111111-2222-3333-4444-555555555555"


def pf(slot, op, body=b"", defer=False):
    return struct.pack("<IIHH", 8 + len(body), 0, op, slot | (4 if defer else 0)) + body


def ev(slot, op, body=b""):
    return struct.pack("<IIHH", 8 + len(body), 0, op, 0x8000 | slot) + body


def ref(i):
    return b"\0" * 15 + bytes([i])


S_OK, E_FAIL, RDONLY = 0, -2147467259, 0x0004D002
p_open = pf(0, 2, GUID + struct.pack("<I", 0))
p_start = pf(0, 3, X + struct.pack("<ii", 0, 0))
p_end = pf(0, 4, X + struct.pack("<ii", 0x04000000, 1))
p_prep = pf(0, 5, X + struct.pack("<i", 0))
p_commit = pf(0, 6, X + struct.pack("<i", 0))
rm1 = pf(1, 18, RMGUID + b"pg app@:5432")
enl1 = pf(1, 19, ref(0) + b"\0" * 16)
vote = lambda slot, e, hr: pf(slot, 20, struct.pack("<Qi", e, hr))
done = lambda slot, e, c: pf(slot, 21, struct.pack("<QB", e, c))
base = p_open + p_start + rm1 + enl1 + p_end
write("DtcdParticipant", "two-phase-commit", base + p_prep + vote(1, 1, S_OK) + p_commit + done(1, 1, 1))
write("DtcdParticipant", "vote-no", base + p_prep + vote(1, 1, E_FAIL) + p_commit)
write("DtcdParticipant", "gone-before-vote", base + ev(1, 1) + p_prep)
write("DtcdParticipant", "reenlist-after-crash", base + p_prep + vote(1, 1, S_OK) + ev(1, 1)
      + pf(2, 18, RMGUID) + pf(2, 22, ref(0) + struct.pack("<I", 0)) + p_commit + pf(2, 23))
write("DtcdParticipant", "one-phase-two-rms", p_open + p_start + rm1 + enl1 + pf(2, 18, RMGUID2)
      + pf(2, 19, ref(0) + b"\0" * 16) + p_end + pf(0, 6, X + struct.pack("<i", 0x40000000))
      + vote(1, 1, RDONLY) + vote(2, 2, S_OK) + done(2, 2, 1))
write("DtcdParticipant", "phase-one-timeout", base + p_prep + ev(0, 2, b"\x01"))
write("DtcdParticipant", "deferred-commit", base + p_prep + vote(1, 1, S_OK) + pf(0, 6, X + struct.pack("<i", 0), True)
      + done(1, 1, 1) + ev(0, 3) + done(1, 1, 1) + ev(0, 2, b"\x00"))
write("DtcdParticipant", "resolve-forget", base + p_prep + vote(1, 1, S_OK)
      + pf(3, 15, b"\x01" + GUID + X + struct.pack("<i", 1)) + pf(0, 8, X + struct.pack("<i", 0)) + done(1, 1, 1))
# A Reenlist left waiting by a connection that closed.
write("DtcdParticipant", "reenlist-waiter-gone", base + p_prep + vote(1, 1, S_OK) + ev(1, 1) + pf(2, 18, RMGUID)
      + pf(2, 22, ref(0) + struct.pack("<I", 0)) + ev(2, 1) + p_commit)
# An abort acknowledged by a prepared participant before any decision.
write("DtcdParticipant", "abort-ack-undecided", base + p_prep + vote(1, 1, S_OK) + done(1, 1, 0) + p_commit)
# A no while another participant has not voted yet.
write("DtcdParticipant", "no-before-other-vote", p_open + p_start + rm1 + enl1 + pf(2, 18, RMGUID2)
      + pf(2, 19, ref(0) + b"\0" * 16) + p_end + p_prep + vote(2, 2, E_FAIL) + vote(1, 1, S_OK))
