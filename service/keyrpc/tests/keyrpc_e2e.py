#!/usr/bin/python3
"""End-to-end test of the RPC runtime and the key interface's stubs: starts the test server
(argv[1]) on a free loopback port and drives it with impacket as a standard DCE/RPC client,
then with raw bytes for what impacket cannot send (other contexts, big-endian data, hostile
framing). Exit status 0 when every check passes."""
import os
import signal
import struct
import subprocess
import sys
import tempfile
import threading
import time

from impacket.dcerpc.v5.rpcrt import DCERPCException
from impacket.uuid import uuidtup_to_bin

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from keyrpc_client import (DATA, FEATURES, KEY_IF, NDR20, NDR64, ChangePIN, DeleteData,  # noqa: E402
                           GetReaderSerialNumber, IsAnyReaderConnected2, IsReaderInserted, Raw, ReadData,
                           VerifyPIN, WriteData, bad_stub_cases, bind_pdu, bind_results, cstr, hostile_cases,
                           impacket_client, mk, ndr_str, raw_bound, request_pdu, run_hostile_case)

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("FAIL:", what, flush=True)


# ---------------------------------------------------------------- tests
def good_client_works(port, what):
    try:
        dce = impacket_client(port)
        r = dce.request(mk(IsReaderInserted, reader=cstr("E:\\")), checkError=False)
        ok = r["ret"] == b"\x01" or r["ret"] == 1
        dce.disconnect()
    except Exception as ex:  # noqa: BLE001
        ok = False
        print("  good client after %s: %r" % (what, ex))
    check(ok, "a good client is served after: " + what)


def test_every_operation(port):
    dce = impacket_client(port)
    # 0 CloseLibrary: no result at all.
    dce.call(0, b"")
    check(dce.recv() == b"", "CloseLibrary answers an empty stub")
    # 1 InitLibrary: a unique pointer to one NUL, then (the fake alternates) a null pointer.
    dce.call(1, b"")
    ans = dce.recv()
    check(len(ans) == 5 and struct.unpack("<I", ans[:4])[0] != 0 and ans[4:] == b"\0", "InitLibrary gives one NUL: %r" % ans)
    dce.call(1, b"")
    check(dce.recv() == b"\0\0\0\0", "InitLibrary null pointer")
    r = dce.request(mk(IsAnyReaderConnected2), checkError=False)
    text = b"".join(r["text"]) if isinstance(r["text"], list) else bytes(r["text"])
    check(len(text) == 20 and text[:4] == b"E:\\\0" and text[19:] == b"Z", "IsAnyReaderConnected2 text %r" % text)
    r = dce.request(mk(VerifyPIN, reader=cstr("Reader A"), pin=cstr("1234")), checkError=False)
    check(r["ret"] in (1, b"\x01"), "VerifyPIN right PIN")
    r = dce.request(mk(VerifyPIN, reader=cstr("Reader A"), pin=cstr("9999")), checkError=False)
    check(r["ret"] in (0, b"\x00"), "VerifyPIN wrong PIN")
    r = dce.request(mk(ChangePIN, reader=cstr("Reader A"), pin=cstr("1234"), newPin=cstr("5678")), checkError=False)
    check(r["ret"] in (1, b"\x01"), "ChangePIN")
    block = bytes((i * 31) & 0xFF for i in range(DATA))
    for cls, xor in ((ReadData, 0x5A), (WriteData, 0xA5)):
        r = dce.request(mk(cls, reader=cstr("Reader A"), slot=2, data=block, length=1234), checkError=False)
        back = r["data"] if isinstance(r["data"], bytes) else b"".join(r["data"])
        check(back == bytes(b ^ xor for b in block), "%s: the whole block went both ways" % cls.__name__)
        check(r["length"] == 1235, "%s length %r" % (cls.__name__, r["length"]))
    r = dce.request(mk(DeleteData, reader=cstr("Reader A"), slot=7), checkError=False)
    check(r["ret"] in (1, b"\x01"), "DeleteData")
    r = dce.request(mk(GetReaderSerialNumber, reader=cstr("Reader A")), checkError=False)
    check(r["ret"] == -123456789, "GetReaderSerialNumber %r" % r["ret"])
    r = dce.request(mk(IsReaderInserted, reader=cstr("Q:\\")), checkError=False)
    check(r["ret"] in (0, b"\x00"), "IsReaderInserted")

    # Unknown operation: impacket reports the fault by name.
    dce.call(10, b"")
    try:
        dce.recv()
        check(False, "unknown opnum answered")
    except DCERPCException as ex:
        check("op_rng" in str(ex), "unknown opnum fault: %s" % ex)
    # alter_context: a second context on the same connection.
    dce2 = dce.alter_ctx(uuidtup_to_bin((KEY_IF, "1.0")))
    r = dce2.request(mk(GetReaderSerialNumber, reader=cstr("other")), checkError=False)
    check(r["ret"] == 0x12345678, "call on the altered context")
    dce.disconnect()


def test_fragmented_response(port):
    # 9,905 stub bytes under impacket's 4,280-byte fragments: three response fragments.
    r = raw_bound(port)
    stub = ndr_str("Reader A") + struct.pack("<I", 3) + bytes(DATA) + struct.pack("<I", 10)
    parts = [stub[:4000], stub[4000:8000], stub[8000:]]
    data = b"".join(request_pdu(5, 0, 5, p, flags=(1 if i == 0 else 0) | (2 if i == 2 else 0), hint=len(stub))
                    for i, p in enumerate(parts))
    ptype, flags, answer = r.call(data)
    check(ptype == 2 and len(flags) == 3 and flags[0] & 1 and flags[-1] & 2 and len(answer) == DATA + 5,
          "ReadData answer in three fragments: %r %r %r" % (ptype, flags, None if answer is None else len(answer)))
    r.close()


def test_bind_contexts(port):
    r = Raw(port)
    r.send(bind_pdu(1, [(0, KEY_IF, 1, [NDR64]), (1, KEY_IF, 1, [NDR20]), (2, KEY_IF, 1, [FEATURES]),
                        (3, "12345678-1234-abcd-ef00-0123456789ab", 1, [NDR20]), (4, KEY_IF, 2, [NDR20])]))
    ack = r.pdu()
    check(ack is not None and ack[2] == 12, "bind_ack for several contexts")
    res = bind_results(ack)
    check(res == [(2, 2), (0, 0), (3, 3), (2, 1), (2, 1)], "per-context results %r" % res)
    check(ack[26:31] == b"%d\0" % port or ack[26:26 + struct.unpack("<H", ack[24:26])[0]] == b"%d\0" % port,
          "secondary address is the port")
    ptype, _, stub = r.call(request_pdu(2, 1, 9, ndr_str("E:\\")))
    check(ptype == 2 and stub == b"\1", "call on the accepted context")
    ptype, flags, status = r.call(request_pdu(3, 0, 9, ndr_str("E:\\")))
    check(ptype == 3 and status == 0x1C010003 and flags[0] & 0x20, "call on the NDR64 context faults unknown interface")
    r.close()


def test_faults(port):
    r = raw_bound(port)
    ptype, flags, status = r.call(request_pdu(2, 0, 42, b""))
    check(ptype == 3 and status == 0x1C010002 and flags[0] & 0x20, "op range fault with did-not-execute")
    for what, data in bad_stub_cases():
        ptype, flags, status = r.call(data)
        check(ptype == 3 and status == 0x6F7, "%s: bad stub data fault (%r %r)" % (what, ptype, status))
    # The connection still serves.
    ptype, _, stub = r.call(request_pdu(9, 0, 9, ndr_str("E:\\")))
    check(ptype == 2 and stub == b"\1", "connection serves after faults")
    r.close()


def test_big_endian(port):
    r = raw_bound(port, little=False)
    stub = ndr_str("Reader A", False) + struct.pack(">i", 1001) + bytes(DATA) + struct.pack(">i", 30)
    parts = [stub[:4000], stub[4000:8000], stub[8000:]]
    data = b"".join(request_pdu(2, 0, 5, p, little=False, flags=(1 if i == 0 else 0) | (2 if i == 2 else 0))
                    for i, p in enumerate(parts))
    ptype, _, answer = r.call(data)
    check(ptype == 2 and answer is not None and struct.unpack("<i", answer[DATA:DATA + 4])[0] == 31,
          "big-endian ReadData (answer in little-endian)")
    ptype, _, answer = r.call(request_pdu(3, 0, 8, ndr_str("Reader A", False), little=False))
    check(ptype == 2 and struct.unpack("<i", answer)[0] == -123456789, "big-endian GetReaderSerialNumber")
    r.close()


def test_hostile(port, read_timeout_s):
    for what, data, expect in hostile_cases():
        check(run_hostile_case(port, data, expect), "%s: %s" % (what, expect))
        good_client_works(port, what)
    # Bind with authentication: refused with bind_nak.
    r = Raw(port)
    b = bind_pdu(1, [(0, KEY_IF, 1, [NDR20])])
    b = b[:8] + struct.pack("<HH", len(b) + 16, 8) + b[12:] + b"\0" * 16
    r.send(b)
    p = r.pdu()
    check(p is not None and p[2] == 13, "bind with authentication gets bind_nak")
    r.close()
    # A silent client is dropped after the read timeout; others are served meanwhile.
    silent = raw_bound(port)
    silent.send(request_pdu(2, 0, 9, ndr_str("E:\\"))[:30])
    good_client_works(port, "a client stalls mid-PDU")
    start = time.time()
    silent.s.settimeout(read_timeout_s + 10)
    check(silent.closed() and time.time() - start < read_timeout_s + 5, "stalled client dropped after the read timeout")
    silent.close()


def test_concurrency(port):
    # Six slow calls at once: none dropped, at most four run together.
    results = []

    def one():
        try:
            dce = impacket_client(port)
            r = dce.request(mk(VerifyPIN, reader=cstr("slow"), pin=cstr("1")), checkError=False)
            results.append(r["ret"])
            dce.disconnect()
        except Exception as ex:  # noqa: BLE001
            results.append(ex)

    threads = [threading.Thread(target=one) for _ in range(6)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    check(len(results) == 6 and all(x in (0, b"\x00") for x in results), "six concurrent calls answered: %r" % results)
    dce = impacket_client(port)
    r = dce.request(mk(IsReaderInserted, reader=cstr("peak")), checkError=False)
    peak = r["ret"] if isinstance(r["ret"], int) else r["ret"][0]
    print("  peak concurrency %r" % peak)
    check(2 <= peak <= 4, "calls ran at most four at once (peak %r)" % peak)
    dce.disconnect()


def main():
    server = sys.argv[1]
    read_timeout_ms = 1500
    with tempfile.TemporaryDirectory() as tmp:
        calls_path = os.path.join(tmp, "calls.txt")
        proc = subprocess.Popen([server, "0", calls_path, str(read_timeout_ms)], stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, text=True)
        try:
            line = proc.stdout.readline()
            assert line.startswith("PORT "), "server did not start: %r" % line
            port = int(line.split()[1])
            for test in (test_every_operation, test_fragmented_response, test_bind_contexts, test_faults,
                         test_big_endian, test_concurrency):
                print("--", test.__name__, flush=True)
                test(port)
            print("-- test_hostile", flush=True)
            test_hostile(port, read_timeout_ms / 1000.0)
            check(proc.poll() is None, "server still running")
        finally:
            proc.send_signal(signal.SIGTERM)
            try:
                rc = proc.wait(timeout=20)
            except subprocess.TimeoutExpired:
                proc.kill()
                rc = "killed"
            check(rc == 0, "server stops cleanly on SIGTERM (rc %r)" % rc)
            err = proc.stderr.read()
            check("AddressSanitizer" not in err and "runtime error" not in err, "no sanitizer report:\n" + err[-3000:])
        with open(calls_path) as f:
            calls = f.read().splitlines()
        for want in ("CloseLibrary", "VerifyPIN Reader A 1234", "ChangePIN Reader A 1234 5678",
                     "ReadData Reader A 2 1234", "WriteData Reader A 2 1234", "DeleteData Reader A 7",
                     "GetReaderSerialNumber Reader A", "ReadData Reader A 1001 30", "IsReaderInserted Q:\\"):
            check(want in calls, "handler saw: " + want)
        check(not any(c.startswith("ReadData r ") for c in calls), "refused calls never reach the handler")
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
