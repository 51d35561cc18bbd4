#!/usr/bin/env python3
"""Writes the seed corpus of the fuzz targets: well-formed client streams (binds, every
operation of the key interface, fragmented calls, both byte orders) and each operation's
stub data. Run again after changing the interface; the files are committed."""
import os
import struct
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
# The raw PDU builders are shared with the end-to-end tests of the key interface.
sys.path.insert(0, os.path.join(HERE, "..", "service", "keyrpc", "tests"))
from keyrpc_client import bind_pdu, e, fragmented_request, pdu, request_pdu  # noqa: E402
KEY_IF = "00000003-eaf3-4a7a-a0f2-bce4c30da78f"
NDR20 = ("8a885d04-1ceb-11c9-9fe8-08002b104860", 2)
NDR64 = ("71710533-beba-4937-8319-b5dbef9ccc36", 1)
FEATURES = ("6cb71c2c-9812-4540-0300-000000000000", 1)
DATA = 9900


def bind(ptype, call_id, contexts, little=True):
    return bind_pdu(call_id, contexts, little, ptype)


def request(call_id, ctx, opnum, stub, little=True, flags=3, hint=None):
    """A request PDU; a stub over 4,000 bytes goes in several fragments (flags then ignored)."""
    if len(stub) > 4000:
        return fragmented_request(call_id, ctx, opnum, stub, 4000, little, hint)
    return request_pdu(call_id, ctx, opnum, stub, little, flags, hint)


class Stub:
    def __init__(self, little=True):
        self.b = b""
        self.little = little

    def align(self, n):
        self.b += b"\0" * ((n - len(self.b) % n) % n)
        return self

    def u32(self, v):
        self.align(4)
        self.b += struct.pack(e(self.little) + "i" if v < 0 else e(self.little) + "I", v)
        return self

    def string(self, s):
        raw = s.encode("latin-1") + b"\0"
        self.u32(len(raw)).u32(0).u32(len(raw))
        self.b += raw
        return self

    def raw(self, data):
        self.b += data
        return self


def op_stubs(little=True):
    S = lambda: Stub(little)
    block = bytes(range(256)) * (DATA // 256) + bytes(DATA % 256)
    return {
        0: b"",
        1: b"",
        2: b"",
        3: S().string("Reader A").string("1234").b,
        4: S().string("Reader A").string("1234").string("5678").b,
        5: S().string("Reader A").u32(2).raw(block).u32(30).b,
        6: S().string("E:\\").u32(1001).raw(block).u32(DATA).b,
        7: S().string("Reader A").u32(-1).b,
        8: S().string("Reader A").b,
        9: S().string("E:\\").b,
    }


def write(folder, name, data):
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, name), "wb") as f:
        f.write(data)


def main():
    pdu_dir = os.path.join(HERE, "corpus", "pdu")
    stub_dir = os.path.join(HERE, "corpus", "stub")
    for little in (True, False):
        tag = "le" if little else "be"
        stubs = op_stubs(little)
        for op, stub in stubs.items():
            write(stub_dir, "op%d_%s" % (op, tag), bytes([op | (0 if little else 0x80)]) + stub)
        b = bind(11, 1, [(0, KEY_IF, 1, [NDR20])], little)
        every = b + b"".join(request(2 + op, 0, op, stub, little) for op, stub in stubs.items())
        write(pdu_dir, "every_op_%s" % tag, b"\x40" + every)  # 448-byte reads: calls run as they complete
        write(pdu_dir, "every_op_small_reads_%s" % tag, b"\1" + every)
        # A ReadData call in three fragments, with an alloc_hint that claims far too much.
        stub = stubs[5]
        parts = [stub[:4000], stub[4000:8000], stub[8000:]]
        frags = b"".join(request(20, 0, 5, p, little, flags=(1 if i == 0 else 0) | (2 if i == 2 else 0),
                                 hint=0xFFFFFFF0) for i, p in enumerate(parts))
        write(pdu_dir, "fragmented_%s" % tag, b"\x20" + b + frags)
    contexts = [(0, KEY_IF, 1, [NDR64]), (1, KEY_IF, 1, [NDR20]), (2, KEY_IF, 1, [FEATURES]),
                (3, "12345678-1234-abcd-ef00-0123456789ab", 1, [NDR20]), (4, KEY_IF, 2, [NDR20])]
    write(pdu_dir, "contexts", b"\0" + bind(11, 1, contexts) + request(2, 1, 9, op_stubs()[9]) +
          request(3, 0, 9, op_stubs()[9]))
    alter = bind(11, 1, [(0, KEY_IF, 1, [NDR64])]) + bind(14, 2, [(5, KEY_IF, 1, [NDR20])])
    write(pdu_dir, "alter_context", b"\0" + alter + request(3, 5, 8, op_stubs()[8]))
    faults = (bind(11, 1, [(0, KEY_IF, 1, [NDR20])]) + request(2, 0, 10, b"") + request(3, 0, 3, b"\1\2\3") +
              request(4, 0, 5, Stub().string("r").u32(1).raw(bytes(DATA)).u32(9901).b))
    write(pdu_dir, "faults", b"\0" + faults)
    orphan = (bind(11, 1, [(0, KEY_IF, 1, [NDR20])]) + request(2, 0, 5, op_stubs()[5][:100], flags=1) +
              pdu(19, 3, 2, b"") + request(3, 0, 9, op_stubs()[9]) + pdu(18, 3, 3, b""))
    write(pdu_dir, "orphan_cancel", b"\0" + orphan)
    return 0


if __name__ == "__main__":
    sys.exit(main())
