#!/usr/bin/python3
"""End-to-end suite of Zemir RPC Service: each case installs and starts the real service in a
temporary prefix on a free loopback port, drives it over TCP with impacket (and raw PDUs where
impacket cannot send what the case needs), checks the answers, the key drive or token and the
diagnostic log, and stops and removes the service whatever happens.

usage: service_e2e.py BUILD_BIN [CASE...]     (exit status 0 when every check passes)"""
import os
import signal
import socket
import struct
import subprocess
import sys
import threading
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "service", "keyrpc", "tests"))
sys.path.insert(0, HERE)

from impacket.dcerpc.v5.rpcrt import DCERPCException  # noqa: E402

from keyrpc_client import (DATA, FAULT_BAD_STUB, FAULT_OP_RNG, PTYPE_FAULT, PTYPE_RESPONSE,  # noqa: E402
                           ChangePIN, DeleteData, GetReaderSerialNumber, IsAnyReaderConnected2, IsReaderInserted,
                           Raw, ReadData, VerifyPIN, WriteData, bad_stub_cases, block, close_library, cstr,
                           fragmented_request, hostile_cases, impacket_client, init_library, mk, ndr_str,
                           raw_bound, read_data_stub, request_pdu, run_hostile_case, small)
from service_fixture import (DEFAULT_PIN, TEST_READER, TRANSPORT_PASS, Service, decrypt_aes,  # noqa: E402
                             encrypt_aes, library_block, sanitizer_report)

failures = []


def check(cond, what):
    if not cond:
        failures.append(what)
        print("  FAIL:", what, flush=True)
    return cond


def logged(svc, line, since=0):
    return line in svc.log_since(since)


# ---------------------------------------------------------------- calls
def verify_pin(dce, reader, pin):
    return small(dce.request(mk(VerifyPIN, reader=cstr(reader), pin=cstr(pin)), checkError=False)["ret"])


def change_pin(dce, reader, pin, new_pin):
    return small(dce.request(mk(ChangePIN, reader=cstr(reader), pin=cstr(pin), newPin=cstr(new_pin)),
                             checkError=False)["ret"])


def reader_text(dce):
    r = dce.request(mk(IsAnyReaderConnected2), checkError=False)
    return block(r["text"])


def data_call(dce, cls, reader, slot, data=bytes(DATA), length=DATA):
    """ReadData or WriteData: (result, data block, length)."""
    data = data + bytes(DATA - len(data))
    r = dce.request(mk(cls, reader=cstr(reader), slot=slot, data=data, length=length), checkError=False)
    return small(r["ret"]), block(r["data"]), r["length"]


def write_data(dce, reader, slot, cipher):
    return data_call(dce, WriteData, reader, slot, cipher, len(cipher))


def delete_data(dce, reader, slot):
    return small(dce.request(mk(DeleteData, reader=cstr(reader), slot=slot), checkError=False)["ret"])


def serial_number(dce, reader):
    return dce.request(mk(GetReaderSerialNumber, reader=cstr(reader)), checkError=False)["ret"]


def inserted(dce, reader):
    return small(dce.request(mk(IsReaderInserted, reader=cstr(reader)), checkError=False)["ret"])


def raw_read_data(port, reader, slot, max_frag):
    """ReadData over a raw connection with the given fragment size: (ptype, fragment flags, stub)."""
    r = raw_bound(port, max_frag=max_frag)
    try:
        return r.call(fragmented_request(2, 0, 5, read_data_stub(reader, slot), size=max_frag - 24))
    finally:
        r.close()


def key_file_header(folder, pin):
    """Slot 0 of the key data file on a drive folder, decrypted with the PIN (None if it does not)."""
    path = os.path.join(folder, "_zemir", "zem.zem")
    with open(path, "rb") as f:
        raw = f.read()
    n = struct.unpack("<I", raw[:4])[0]
    return decrypt_aes(pin, raw[4:4 + n])


# ---------------------------------------------------------------- cases
def case_flash_drive(svc):
    """Every operation on a key flash drive E: (FAT32 image, host folder, removable, USB)."""
    folder = svc.make_stick("E")
    port = svc.start()
    dce = impacket_client(port)
    new_pin = "Qz7-flash"

    check(close_library(dce) == b"", "CloseLibrary answers an empty stub")
    check(logged(svc, "-------CloseLibrary()"), "CloseLibrary log line")
    check(init_library(dce) == b"\0", "InitLibrary gives one NUL")
    check(logged(svc, "-------InitLibrary(...)"), "InitLibrary log line")
    text = reader_text(dce)
    check(len(text) == 20 and text[:4] == b"E:\\\0", "first discovery reports E:\\ (%r)" % text)
    check(logged(svc, "-------IsAnyReaderConnected2() ret: E:\\"), "discovery log line")
    check(reader_text(dce)[0] == 0, "second discovery reports nothing")
    check(reader_text(dce)[0] == 0, "third discovery reports nothing")
    init_library(dce)
    check(reader_text(dce)[:4] == b"E:\\\0", "discovery after InitLibrary reports E:\\ again")
    # A drive reported gone is reported again when it comes back, without InitLibrary.
    os.rename(folder, folder + ".out")
    check(inserted(dce, "E:\\") == 0, "IsReaderInserted of a pulled drive")
    os.rename(folder + ".out", folder)
    check(reader_text(dce)[:4] == b"E:\\\0", "discovery reports the drive put back")

    # A new drive is set up with the default PIN on its first verification.
    check(verify_pin(dce, "E:\\", DEFAULT_PIN) == 1, "VerifyPIN default PIN on a new drive")
    check(os.path.exists(os.path.join(folder, "_zemir", "zem.zem")), "key data file written")
    check(logged(svc, "-----VerifyPIN(...)reader_name=(E:\\), pin=(4)"), "VerifyPIN log line with the length")
    check(logged(svc, "-----VerifyPIN(...) ok"), "VerifyPIN ok line")
    check(verify_pin(dce, "E:\\", DEFAULT_PIN) == 1, "VerifyPIN default PIN on the set-up drive")
    check(verify_pin(dce, "E:\\", "1111") == 0, "VerifyPIN wrong PIN")
    check(verify_pin(dce, "E:\\", DEFAULT_PIN) == 1, "VerifyPIN right PIN after a wrong one")

    # ChangePIN re-encrypts the key data file with the new PIN.
    check(change_pin(dce, "E:\\", DEFAULT_PIN, new_pin) == 1, "ChangePIN")
    check(logged(svc, "----ChangePIN(...); reader_name=(E:\\), pin=(4), newpin=(%d); " % len(new_pin)),
          "ChangePIN log line with the lengths")
    header = key_file_header(folder, new_pin)
    check(header is not None and header.startswith(b"ZEMIR_"), "key header opens with the new PIN")
    check(verify_pin(dce, "E:\\", DEFAULT_PIN) == 0, "old PIN refused after ChangePIN")
    check(verify_pin(dce, "E:\\", new_pin) == 1, "new PIN accepted")

    # The serial is DSN4 of the drive's disk interface, the one the key header carries.
    serial = serial_number(dce, "E:\\")
    check(serial != 0, "GetReaderSerialNumber gives a serial")
    check(logged(svc, "---------GetReaderSerialNumber(...)reader_name=(E:\\)"), "serial log line")
    check(logged(svc, "serial=%d" % serial), "serial=%d logged" % serial)
    if header is not None:
        want = b"ZEMIR_%X" % (serial & 0xFFFFFFFF)
        check(header[:len(want) + 1] == want + b"\0", "key header names the serial (%r, %r)" % (header[:20], want))

    # WriteData: a block made with the transport pass; slot 1 keeps its fixed size.
    payload = bytes((i * 7 + 3) & 0xFF for i in range(3000))
    ok, _, _ = write_data(dce, "E:\\", 1, library_block(payload))
    check(ok == 1, "WriteData slot 1")
    check(logged(svc, "Len2 3000"), "WriteData hands on the payload length")
    check(logged(svc, "WriteData returned:1"), "WriteData result line")
    ok, data, length = data_call(dce, ReadData, "E:\\", 1)
    check(ok == 1 and length == 8984, "ReadData slot 1 (%r, %r)" % (ok, length))
    check(data[:3000] == payload and data[3000:8984] == bytes(5984), "ReadData gives back what was written")
    check(logged(svc, "---------ReadData(...)reader_name=(E:\\), appid=(1), len=(9900)"), "ReadData log line")
    check(logged(svc, "ReadData returned:1 len=8984"), "ReadData result line")

    # A block that was not made with the transport pass changes nothing.
    mark = svc.log_size()
    ok, _, _ = write_data(dce, "E:\\", 1, encrypt_aes("not the pass", struct.pack("<IIIII", 20, 0, 0, 0, 0) + b"x" * 99))
    check(ok == 0, "WriteData with another pass fails")
    check(logged(svc, "Wrong pass to decrypt.", mark), "Wrong pass to decrypt. logged")
    ok, _, _ = write_data(dce, "E:\\", 1, os.urandom(4096))
    check(ok == 0, "WriteData with random bytes fails")
    ok, data, length = data_call(dce, ReadData, "E:\\", 1)
    check(ok == 1 and data[:3000] == payload, "slot 1 intact after refused writes")

    # IsReaderInserted does not need the key data file.
    check(inserted(dce, "E:\\") == 1, "IsReaderInserted E:\\")
    check(inserted(dce, "F:\\") == 0, "IsReaderInserted F:\\ (no drive)")
    check(logged(svc, "---------IsReaderInserted(...)reader_name=(F:\\)"), "IsReaderInserted log line")

    check(delete_data(dce, "E:\\", 1) == 1, "DeleteData")
    check(logged(svc, "---------DeleteData(...)reader_name=(E:\\), appid=(1)"), "DeleteData log line")
    check(not os.path.exists(os.path.join(folder, "_zemir", "zem.zem")), "DeleteData removed the key data file")
    ok, _, length = data_call(dce, ReadData, "E:\\", 1)
    check(ok == 1 and length == 0, "ReadData after DeleteData: empty")
    check(delete_data(dce, "E:\\", 2) == 1, "DeleteData with nothing to delete")
    dce.disconnect()

    log = svc.log()
    check(new_pin not in log, "the new PIN is never logged")


def case_library(svc):
    """Every operation through the test key library, the multi-fragment answers and bad blocks."""
    token = svc.make_token(serial="5EED5")
    with open(os.path.join(token, "slot1.bin"), "wb") as f:
        f.write(b"one")
    with open(os.path.join(token, "slot2.bin"), "wb") as f:
        f.write(b"two")
    port = svc.start()
    dce = impacket_client(port)
    new_pin = "73914"

    check(init_library(dce) == b"\0", "InitLibrary gives one NUL")
    text = reader_text(dce)
    check(text[:4] == TEST_READER[:3].encode() + b"\0" and text[4:] == bytes(16),
          "discovery gives the reader's first three characters (%r)" % text)
    check(verify_pin(dce, TEST_READER, DEFAULT_PIN) == 1, "VerifyPIN default PIN")
    check(verify_pin(dce, TEST_READER, "0000") == 0, "VerifyPIN wrong PIN")
    check(verify_pin(dce, "Another Reader", DEFAULT_PIN) == 0, "VerifyPIN unknown reader")
    check(logged(svc, "-----VerifyPIN(...)reader_name=(%s), pin=(4)" % TEST_READER), "VerifyPIN log line")
    check(verify_pin(dce, TEST_READER, DEFAULT_PIN) == 1, "VerifyPIN right PIN again")
    check(change_pin(dce, TEST_READER, DEFAULT_PIN, new_pin) == 1, "ChangePIN")
    with open(os.path.join(token, "pin")) as f:
        check(f.read() == new_pin, "the token holds the new PIN")
    check(change_pin(dce, TEST_READER, DEFAULT_PIN, "1") == 0, "ChangePIN with the old PIN fails")
    check(verify_pin(dce, TEST_READER, new_pin) == 1, "VerifyPIN new PIN")
    check(serial_number(dce, TEST_READER) == 0x5EED5, "GetReaderSerialNumber from the library")
    check(logged(svc, "serial=%d" % 0x5EED5), "serial logged")

    # WriteData: the block is decrypted with the transport pass, the payload handed to the key
    # layer, which stores it for the library under its own header and encryption.
    payload = os.urandom(8000)
    ok, _, length = write_data(dce, TEST_READER, 3, library_block(payload, serial=0x5EED5))
    check(ok == 1, "WriteData slot 3")
    check(logged(svc, "Len2 8000") and logged(svc, "WriteData returned:1"), "WriteData log lines")
    with open(os.path.join(token, "slot3.bin"), "rb") as f:
        stored = decrypt_aes(TRANSPORT_PASS, f.read())
    check(stored is not None and stored[20:] == payload and struct.unpack("<I", stored[:4])[0] == 20,
          "the library got the payload under a 20-byte header, under the transport pass")
    check(length == len(library_block(payload)), "WriteData length is what the library took (%r)" % length)
    ok, data, length = data_call(dce, ReadData, TEST_READER, 3)
    check(ok == 1 and length == 8000 and data[:8000] == payload, "ReadData slot 3 round trip (%r, %r)" % (ok, length))
    check(logged(svc, "ReadData returned:1 len=8000"), "ReadData result line")

    # The 9,905-byte answer of ReadData travels in several fragments, whatever size the client takes.
    for max_frag in (4280, 1432):
        ptype, flags, stub = raw_read_data(port, TEST_READER, 3, max_frag)
        want = -(-(DATA + 5) // (max_frag - 24))
        check(ptype == PTYPE_RESPONSE and len(flags) == want and flags[0] & 1 and flags[-1] & 2
              and not any(f & 3 for f in flags[1:-1]),
              "ReadData answer in %d fragments of %d (%r, %r)" % (want, max_frag, ptype, flags))
        check(stub is not None and len(stub) == DATA + 5 and stub[:8000] == payload
              and struct.unpack("<i", stub[DATA:DATA + 4])[0] == 8000 and stub[-1] == 1,
              "fragmented ReadData answer reassembles to the data (max_frag %d)" % max_frag)

    # A block not made with the transport pass: 0, the log line, the token untouched.
    before = open(os.path.join(token, "slot3.bin"), "rb").read()
    mark = svc.log_size()
    bad = encrypt_aes("8406152938", struct.pack("<IIIII", 20, 0, 0, 0, 0) + b"y" * 500)
    ok, data, length = write_data(dce, TEST_READER, 3, bad)
    check(ok == 0, "WriteData with another pass fails")
    check(logged(svc, "Wrong pass to decrypt.", mark), "Wrong pass to decrypt. logged")
    ok, _, _ = write_data(dce, TEST_READER, 3, bad[:100])
    check(ok == 0, "WriteData with a length that is not whole blocks fails")
    check(open(os.path.join(token, "slot3.bin"), "rb").read() == before, "slot 3 untouched by refused writes")

    check(inserted(dce, TEST_READER) == 1, "IsReaderInserted")
    check(delete_data(dce, TEST_READER, 9) == 1, "DeleteData")
    check(not os.path.exists(os.path.join(token, "slot1.bin")) and not os.path.exists(os.path.join(token, "slot2.bin")),
          "DeleteData erased slots 1 and 2")
    os.remove(os.path.join(token, "present"))
    check(inserted(dce, TEST_READER) == 0, "IsReaderInserted after removal")
    check(reader_text(dce)[0] == 0, "discovery after removal reports nothing")
    check(delete_data(dce, TEST_READER, 1) == 1, "DeleteData answers 1 even when the library fails")
    mark = len(svc.token_calls())
    check(close_library(dce) == b"", "CloseLibrary answers an empty stub")
    check("CloseLibrary" not in svc.token_calls()[mark:], "CloseLibrary leaves the key library loaded")
    svc.token_file("present", "")
    check(verify_pin(dce, TEST_READER, new_pin) == 1, "the library still serves after CloseLibrary")

    # An unknown operation number is refused by the runtime.
    dce.call(10, b"")
    try:
        dce.recv()
        check(False, "operation 10 answered")
    except DCERPCException as ex:
        check("op_rng" in str(ex), "operation 10 faults nca_op_rng_error (%s)" % ex)
    dce.disconnect()
    check(new_pin not in svc.log(), "the PIN is never logged")


def case_one_time_password(svc):
    """Slot 1001: the one-time-password check over the embedded directory and the key library."""
    svc.product("ZemirADmode", 1)
    svc.product("USB_Only_login", 2)
    svc.product("EnableSubAuth", 0)
    svc.run("ldiftool", "install", "-user=admin", "-password=secret")
    code = subprocess.run(["oathtool", "--totp", "-b", "JBSWY3DPEHPK3PXP"], capture_output=True, text=True,
                          check=True).stdout.strip()
    # The library verifies the one-time password as the PIN of the reader named after the user.
    svc.make_token(reader="alice", pin=code)
    svc.run("zemir_e2e_dirseed", "key", "alice", "K-ALICE", "00A11CE0", "testkey")
    svc.run("zemir_e2e_dirseed", "otp", "alice", "K-ALICE", code)
    svc.run("zemir_e2e_dirseed", "key", "carol", "K-CAROL", "00CA1201", "testkey")
    svc.run("zemir_e2e_dirseed", "otp", "carol", "K-CAROL", "999999")
    port = svc.start()
    check(logged(svc, "load_APLib(). OK"), "the service binds the directory adapter")
    dce = impacket_client(port)
    pattern = bytes((i * 13 + 1) & 0xFF for i in range(DATA))

    ok, data, length = data_call(dce, ReadData, "alice", 1001, pattern, 77)
    check(ok == 0 and data == pattern and length == 77, "sub-authentication off: 0, block untouched")
    check(logged(svc, "EnableSubAuth is turned off. Exit"), "EnableSubAuth off logged")
    svc.product("EnableSubAuth", 1)

    mark = svc.log_size()
    ok, data, length = data_call(dce, ReadData, "alice", 1001, pattern, 77)
    check(ok == 1, "one-time password of alice verified")
    check(data[:9] == b"00A11CE0\0" and length == 30, "the key serial comes back (%r, %r)" % (data[:12], length))
    since = svc.log_since(mark)
    check("---------ReadData(...)reader_name=(alice), appid=(1001), len=(77)" in since, "ReadData log line")
    check("_zemirAP_getAttrsMap() OK . Key: K-ALICE, 00A11CE0 (testkey)" in since, "key record line")
    check("_zemirAP_findSelfEnrolls() OK. OTP:%s" % code in since, "pending request line")
    check("VerifyPIN (OTP %s) 1 " % code in since, "verification line")
    check(svc.run("zemir_e2e_dirseed", "has-otp", "alice", check=False).returncode == 3,
          "the pending request is deleted after use")

    # Within 10 seconds the same user is answered from memory, without the directory.
    mark = svc.log_size()
    calls = len(svc.token_calls())
    ok, data, length = data_call(dce, ReadData, "alice", 1001, pattern, 77)
    check(ok == 1 and data[:6] == b"Cache\0" and data[6:] == pattern[6:] and length == 30,
          "second check within 10 s: Cache (%r, %r)" % (data[:8], length))
    since = svc.log_since(mark)
    check("Last User OK" in since, "Last User OK logged")
    check("_zemirAP_" not in since and "isUserAllowedToLoginByPassw" not in since, "the cached answer skips the directory")
    check(len(svc.token_calls()) == calls, "the cached answer skips the key library")
    # The cache is for the exact user name only.
    ok, data, length = data_call(dce, ReadData, "Alice", 1001, pattern, 77)
    check(not data.startswith(b"Cache"), "another spelling of the user is not answered from the cache")

    # A user without a key record may log on with the password alone: 1, block untouched.
    mark = svc.log_size()
    ok, data, length = data_call(dce, ReadData, "bob", 1001, pattern, 77)
    check(ok == 1 and data == pattern and length == 77, "no key record: 1 with the block untouched")
    check("isUserAllowedToLoginByPassw usbonly:2" in svc.log_since(mark), "the login policy was asked")

    # A wrong one-time password: 0, and the request is used up all the same.
    svc.token_file("reader", "carol")
    svc.token_file("pin", "123456")
    ok, data, length = data_call(dce, ReadData, "carol", 1001, pattern, 77)
    check(ok == 0 and data[:9] == b"00CA1201\0", "wrong one-time password: 0 (%r)" % ok)
    check(logged(svc, "VerifyPIN (OTP 999999) 0 "), "failed verification line")
    check(svc.run("zemir_e2e_dirseed", "has-otp", "carol", check=False).returncode == 3,
          "the pending request is deleted after a failed check")
    ok, data, length = data_call(dce, ReadData, "carol", 1001, pattern, 77)
    check(ok == 0, "no pending request: 0")
    # A user name built to widen the directory filter matches nothing.
    ok, data, length = data_call(dce, ReadData, "*)(zmUserName=*", 1001, pattern, 77)
    check(ok == 1 and data == pattern, "filter characters in the user name are taken literally")
    dce.disconnect()


def case_hostile(svc):
    """Hostile bytes from unauthenticated callers: faults or closed connections, and the
    service goes on serving."""
    svc.make_stick("E")
    port = svc.start()

    def good_client(what):
        try:
            dce = impacket_client(port)
            ok = inserted(dce, "E:\\") == 1
            dce.disconnect()
        except Exception as ex:  # noqa: BLE001
            ok = False
            print("  good client after %s: %r" % (what, ex))
        check(ok, "a good client is served after: " + what)

    for what, data, expect in hostile_cases():
        check(run_hostile_case(port, data, expect), "%s: %s" % (what, expect))
        good_client(what)

    mark = svc.log_size()
    r = raw_bound(port)
    for what, data in bad_stub_cases():
        ptype, _, status = r.call(data)
        check(ptype == PTYPE_FAULT and status == FAULT_BAD_STUB, "%s: bad stub data fault (%r %r)" % (what, ptype, status))
    ptype, flags, status = r.call(request_pdu(20, 0, 42, b""))
    check(ptype == PTYPE_FAULT and status == FAULT_OP_RNG and flags[0] & 0x20, "operation 42: op range, did not execute")
    ptype, _, stub = r.call(request_pdu(21, 0, 9, ndr_str("E:\\")))
    check(ptype == PTYPE_RESPONSE and stub == b"\1", "the connection serves after the faults")
    r.close()
    check("reader_name=(r)" not in svc.log_since(mark), "refused calls never reach the operations")

    # A length argument above the block, however the call is framed, never reaches the key layer.
    for length in (9901, 0x7FFFFFFF, -9900):
        r = raw_bound(port)
        ptype, _, status = r.call(fragmented_request(3, 0, 6, read_data_stub("E:\\", 1, length=length)))
        check(ptype == PTYPE_FAULT and status == FAULT_BAD_STUB, "WriteData length %d refused" % length)
        r.close()

    # Stalled, half-open and idle clients hold nothing up.
    stalled = raw_bound(port)
    stalled.send(request_pdu(2, 0, 9, ndr_str("E:\\"))[:30])
    half = raw_bound(port)
    half.send(fragmented_request(4, 0, 5, read_data_stub("E:\\", 1))[:5000])
    idle = [Raw(port) for _ in range(20)]
    good_client("a stalled client, a half-sent call and 20 idle connections")
    for c in [stalled, half] + idle:
        c.close()

    # Many clients at once, each with a full ReadData: all answered.
    results = []

    def reader():
        try:
            dce = impacket_client(port)
            results.append(data_call(dce, ReadData, "E:\\", 1)[0])
            dce.disconnect()
        except Exception as ex:  # noqa: BLE001
            results.append(ex)

    threads = [threading.Thread(target=reader) for _ in range(12)]
    for t in threads:
        t.start()
    for t in threads:
        t.join(60)
    check(len(results) == 12 and all(x == 1 for x in results), "twelve concurrent ReadData calls answered: %r" % results)
    check(svc.running(), "the service still runs")


CASES = [
    ("flash_drive", case_flash_drive),
    ("library", case_library),
    ("one_time_password", case_one_time_password),
    ("hostile", case_hostile),
]


def stop_on_signal(signum, frame):
    # Unwinds through the cases' clean-up, so no service is left running.
    raise KeyboardInterrupt("signal %d" % signum)


def main():
    signal.signal(signal.SIGTERM, stop_on_signal)
    # No call may hang the suite: a service that stops answering fails the case instead.
    socket.setdefaulttimeout(30)
    if len(sys.argv) < 2:
        print(__doc__)
        return 2
    bin_dir = os.path.abspath(sys.argv[1])
    wanted = sys.argv[2:]
    started = time.time()
    for name, case in CASES:
        if wanted and name not in wanted:
            continue
        print("--", name, flush=True)
        t0 = time.time()
        before = len(failures)
        with Service(bin_dir, name) as svc:
            try:
                case(svc)
            except Exception:  # noqa: BLE001
                check(False, "%s raised:\n%s" % (name, traceback.format_exc()))
            out = svc.stop()
            report = sanitizer_report(out)
            check(report is None, "%s: no sanitizer report from the service:\n%s" % (name, report))
            if len(failures) > before:
                print("  log tail:\n" + "\n".join(svc.log().splitlines()[-40:]))
        print("   %.1f s" % (time.time() - t0), flush=True)
    print("total %.1f s" % (time.time() - started))
    if failures:
        print("%d check(s) failed" % len(failures))
        return 1
    print("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
