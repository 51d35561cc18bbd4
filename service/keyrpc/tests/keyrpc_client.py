"""Client side of the key interface for the Python end-to-end tests: the interface as impacket
NDR classes (an independent reading of service/zemir_key.idl), an impacket connection helper,
and raw PDU builders and a raw socket client for what impacket cannot send (other contexts,
big-endian data, hostile framing)."""
import socket
import struct
import uuid

from impacket.dcerpc.v5 import transport
from impacket.dcerpc.v5.dtypes import LONG, STR, CHAR
from impacket.dcerpc.v5.ndr import NDRCALL, NDRUniFixedArray
from impacket.uuid import uuidtup_to_bin

KEY_IF = "00000003-eaf3-4a7a-a0f2-bce4c30da78f"
NDR20 = ("8a885d04-1ceb-11c9-9fe8-08002b104860", 2)
NDR64 = ("71710533-beba-4937-8319-b5dbef9ccc36", 1)
FEATURES = ("6cb71c2c-9812-4540-0300-000000000000", 1)
DATA = 9900

# Packet types and fault statuses the tests look for.
PTYPE_RESPONSE = 2
PTYPE_FAULT = 3
PTYPE_BIND_ACK = 12
PTYPE_BIND_NAK = 13
FAULT_OP_RNG = 0x1C010002
FAULT_UNK_IF = 0x1C010003
FAULT_BAD_STUB = 0x6F7
FAULT_ACCESS_DENIED = 5


# ---------------------------------------------------------------- the interface
class DataBlock(NDRUniFixedArray):
    def getDataLen(self, data, offset=0):
        return DATA


class Text20(NDRUniFixedArray):
    def getDataLen(self, data, offset=0):
        return 20


def cstr(s):
    """A top-level [in, string] char* for impacket's STR: the caller appends the NUL."""
    return s + "\x00"


def mk(cls, **fields):
    req = cls()
    for k, v in fields.items():
        req[k] = v
    return req


def small(value):
    """A one-byte result as impacket hands it back (int or bytes) as an int."""
    if isinstance(value, (bytes, bytearray)):
        return value[0]
    return int(value)


def block(value):
    """A fixed array as impacket hands it back (bytes or a list of bytes) as bytes."""
    if isinstance(value, (bytes, bytearray)):
        return bytes(value)
    return b"".join(value)


class IsAnyReaderConnected2(NDRCALL):
    opnum = 2
    structure = ()


class IsAnyReaderConnected2Response(NDRCALL):
    structure = (("text", Text20),)


class VerifyPIN(NDRCALL):
    opnum = 3
    structure = (("reader", STR), ("pin", STR))


class VerifyPINResponse(NDRCALL):
    structure = (("ret", CHAR),)


class ChangePIN(NDRCALL):
    opnum = 4
    structure = (("reader", STR), ("pin", STR), ("newPin", STR))


class ChangePINResponse(NDRCALL):
    structure = (("ret", CHAR),)


class ReadData(NDRCALL):
    opnum = 5
    structure = (("reader", STR), ("slot", LONG), ("data", DataBlock), ("length", LONG))


class ReadDataResponse(NDRCALL):
    structure = (("data", DataBlock), ("length", LONG), ("ret", CHAR))


class WriteData(ReadData):
    opnum = 6


class WriteDataResponse(ReadDataResponse):
    pass


class DeleteData(NDRCALL):
    opnum = 7
    structure = (("reader", STR), ("slot", LONG))


class DeleteDataResponse(NDRCALL):
    structure = (("ret", CHAR),)


class GetReaderSerialNumber(NDRCALL):
    opnum = 8
    structure = (("reader", STR),)


class GetReaderSerialNumberResponse(NDRCALL):
    structure = (("ret", LONG),)


class IsReaderInserted(NDRCALL):
    opnum = 9
    structure = (("reader", STR),)


class IsReaderInsertedResponse(NDRCALL):
    structure = (("ret", CHAR),)


def impacket_client(port, host="127.0.0.1"):
    """A bound impacket connection to the key interface."""
    t = transport.DCERPCTransportFactory("ncacn_ip_tcp:%s[%d]" % (host, port))
    dce = t.get_dce_rpc()
    dce.connect()
    dce.bind(uuidtup_to_bin((KEY_IF, "1.0")))
    return dce


def init_library(dce):
    """Operation 1: the returned pointer's referent (None for a null pointer)."""
    dce.call(1, b"")
    ans = dce.recv()
    if len(ans) >= 4 and struct.unpack("<I", ans[:4])[0] == 0:
        return None
    return ans[4:]


def close_library(dce):
    """Operation 0: no result at all; returns the (empty) stub of the answer."""
    dce.call(0, b"")
    return dce.recv()


# ---------------------------------------------------------------- raw PDUs
def e(little):
    return "<" if little else ">"


def uuid_bytes(text, little=True):
    u = uuid.UUID(text)
    return u.bytes_le if little else u.bytes


def pdu(ptype, flags, call_id, body, little=True, frag_len=None, auth_len=0):
    hdr = struct.pack(e(little) + "BBBB4sHHI", 5, 0, ptype, flags, bytes([0x10 if little else 0, 0, 0, 0]),
                      16 + len(body) if frag_len is None else frag_len, auth_len, call_id)
    return hdr + body


def bind_pdu(call_id, contexts, little=True, ptype=11, max_frag=4280):
    b = struct.pack(e(little) + "HHIBBH", max_frag, max_frag, 0, len(contexts), 0, 0)
    for ctx_id, abstract, version, transfers in contexts:
        b += struct.pack(e(little) + "HBB", ctx_id, len(transfers), 0)
        b += uuid_bytes(abstract, little) + struct.pack(e(little) + "I", version)
        for t, v in transfers:
            b += uuid_bytes(t, little) + struct.pack(e(little) + "I", v)
    return pdu(ptype, 3, call_id, b, little)


def request_pdu(call_id, ctx, opnum, stub, little=True, flags=3, hint=None):
    body = struct.pack(e(little) + "IHH", len(stub) if hint is None else hint, ctx, opnum) + stub
    return pdu(0, flags, call_id, body, little)


def fragmented_request(call_id, ctx, opnum, stub, size=4000, little=True, hint=None):
    """A request split into fragments of `size` stub bytes, as a client with small fragments sends it."""
    parts = [stub[i:i + size] for i in range(0, len(stub), size)] or [b""]
    out = b""
    for i, p in enumerate(parts):
        flags = (1 if i == 0 else 0) | (2 if i == len(parts) - 1 else 0)
        out += request_pdu(call_id, ctx, opnum, p, little=little, flags=flags,
                           hint=len(stub) if hint is None else hint)
    return out


def ndr_str(s, little=True):
    raw = (s.encode("latin-1") if isinstance(s, str) else s) + b"\0"
    b = struct.pack(e(little) + "III", len(raw), 0, len(raw)) + raw
    return b + b"\0" * ((4 - len(b) % 4) % 4)


def read_data_stub(reader, slot, data=bytes(DATA), length=DATA, little=True):
    """The stub of ReadData/WriteData: reader string, slot, the whole block, length."""
    return ndr_str(reader, little) + struct.pack(e(little) + "i", slot) + data + struct.pack(e(little) + "i", length)


class Raw:
    """A plain socket client that reads whole PDUs."""

    def __init__(self, port, timeout=10, host="127.0.0.1"):
        self.s = socket.create_connection((host, port), timeout=timeout)

    def send(self, data):
        self.s.sendall(data)

    def recv_exact(self, n):
        buf = b""
        while len(buf) < n:
            try:
                chunk = self.s.recv(n - len(buf))
            except (ConnectionResetError, socket.timeout):
                return None
            if not chunk:
                return None
            buf += chunk
        return buf

    def pdu(self):
        hdr = self.recv_exact(16)
        if hdr is None:
            return None
        frag_len = struct.unpack("<H", hdr[8:10])[0]
        body = self.recv_exact(frag_len - 16)
        return None if body is None else hdr + body

    def call(self, data):
        """Sends a request and gathers the whole answer: (ptype, flags of each fragment, stub or status)."""
        self.send(data)
        stub, flags = b"", []
        while True:
            p = self.pdu()
            if p is None:
                return None, flags, None
            ptype, f = p[2], p[3]
            flags.append(f)
            if ptype == PTYPE_FAULT:
                return PTYPE_FAULT, flags, struct.unpack("<I", p[24:28])[0]
            stub += p[24:]
            if f & 2:
                return ptype, flags, stub

    def closed(self):
        try:
            return self.s.recv(1) == b""
        except (ConnectionResetError, socket.timeout):
            return True

    def close(self):
        self.s.close()


def bind_results(ack):
    """The (result, reason) pairs of a bind_ack or alter_context_resp."""
    addr_len = struct.unpack("<H", ack[24:26])[0]
    at = 26 + addr_len
    at += (4 - at % 4) % 4
    n = ack[at]
    return [struct.unpack("<HH", ack[at + 4 + 24 * i:at + 8 + 24 * i]) for i in range(n)]


def raw_bound(port, little=True, max_frag=4280):
    r = Raw(port)
    r.send(bind_pdu(1, [(0, KEY_IF, 1, [NDR20])], little, max_frag=max_frag))
    ack = r.pdu()
    assert ack is not None and ack[2] == PTYPE_BIND_ACK, "bind refused"
    return r


# ---------------------------------------------------------------- hostile inputs
def hostile_cases(reader="E:\\"):
    """Framing and stub abuse sent on a bound connection: (what, bytes, expected outcome), the
    outcome one of "hangup" (the client hangs up itself), "closed" (the server closes, perhaps
    after a fault), "fault" or "answer"."""
    full = request_pdu(2, 0, 9, ndr_str(reader))
    over = b"".join(request_pdu(5, 0, 5, b"\0" * 4000, flags=(1 if i == 0 else 0) | (2 if i == 3 else 0))
                    for i in range(4))
    return [
        ("truncated PDU then close", full[:20], "hangup"),
        ("frag_length below the header", pdu(0, 3, 2, b"\0" * 16, frag_len=10), "closed"),
        ("frag_length over the limit", pdu(0, 3, 2, b"\0" * 8, frag_len=60000), "closed"),
        ("huge alloc_hint", request_pdu(2, 0, 9, ndr_str(reader), hint=0xFFFFFFFF), "answer"),
        ("wrong context id", request_pdu(2, 77, 9, ndr_str(reader)), "fault"),
        ("two calls interleaved",
         request_pdu(2, 0, 9, b"\0" * 8, flags=1) + request_pdu(3, 0, 9, b"\0" * 8, flags=1), "closed"),
        ("fragment of no call", request_pdu(4, 0, 9, b"\0" * 8, flags=2), "closed"),
        ("garbage", b"\xff" * 64, "closed"),
        ("request with auth", pdu(0, 3, 2, struct.pack("<IHH", 0, 0, 9) + b"\0" * 16, auth_len=8), "closed"),
        ("request over 15,000 bytes", over, "fault"),
    ]


def bad_stub_cases():
    """Requests whose stub does not decode: each must get the bad-stub-data fault."""
    return [
        ("bad stub: short", request_pdu(3, 0, 3, b"\1\2\3")),
        ("string count disagrees", request_pdu(4, 0, 9, struct.pack("<III", 4, 0, 9) + b"E:\\\0")),
        ("string past the stub", request_pdu(5, 0, 9, struct.pack("<III", 400, 0, 400) + b"abc\0")),
        ("unterminated string", request_pdu(6, 0, 9, struct.pack("<III", 4, 0, 4) + b"abcd")),
        ("length above 9,900", fragmented_request(7, 0, 5, read_data_stub("r", 1, length=9901))),
        ("negative length", fragmented_request(8, 0, 6, read_data_stub("r", 1, length=-1))),
        ("block cut short", request_pdu(9, 0, 5, ndr_str("r") + struct.pack("<i", 1) + bytes(100))),
    ]


def run_hostile_case(port, data, expect):
    """Sends one hostile input on a fresh bound connection; True when the server behaved as expected."""
    r = raw_bound(port)
    try:
        r.send(data)
        if expect == "hangup":
            return True
        if expect == "closed":
            p = r.pdu()
            while p is not None and p[2] == PTYPE_FAULT:  # a fault may precede the close
                p = r.pdu()
            return p is None
        p = r.pdu()
        if expect == "fault":
            return p is not None and p[2] == PTYPE_FAULT
        return p is not None and p[2] == PTYPE_RESPONSE
    finally:
        r.close()
