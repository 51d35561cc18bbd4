"""A real ZemirRpcService in a temporary prefix for the end-to-end suite: registry set-up with
zemir-reg, key drives made from FAT32 images, the test key library's token, install and start
on a free loopback port, the diagnostic log, and a stop and removal that always run. Also the
key layer's encryption (AES-256-CBC, zero IV, key = SHA-1 of the pass with its NUL followed by
12 zero bytes, PKCS #7), which callers of WriteData use with the transport pass."""
import hashlib
import os
import shutil
import signal
import socket
import struct
import subprocess
import tempfile
import time

from cryptography.hazmat.primitives import padding
from cryptography.hazmat.primitives.ciphers import Cipher, algorithms, modes

PRODUCT = r"HKLM\SOFTWARE\Zemir"
DOS = r"HKLM\SYSTEM\DosDevices"
SERVICE = "Zemir RPC"
TRANSPORT_PASS = "8406152937"
DEFAULT_PIN = "2958"
STICK_INTERFACE = ("\\\\?\\usbstor#disk&ven_zemir&prod_flash_disk&rev_1.00#0019e06b9c7aa9b0e8c00013&0#"
                   "{53f56307-b6bf-11d0-94f2-00a0c91efb8b}")
TEST_READER = "Zemir Test Reader 0"


# ---------------------------------------------------------------- the key layer's encryption
def _key(pass_text):
    return hashlib.sha1(pass_text.encode("latin-1") + b"\0").digest() + bytes(12)


def encrypt_aes(pass_text, data):
    padder = padding.PKCS7(128).padder()
    padded = padder.update(data) + padder.finalize()
    enc = Cipher(algorithms.AES(_key(pass_text)), modes.CBC(bytes(16))).encryptor()
    return enc.update(padded) + enc.finalize()


def decrypt_aes(pass_text, data):
    """The plaintext, or None when the padding does not check out (a wrong pass)."""
    if not data or len(data) % 16:
        return None
    dec = Cipher(algorithms.AES(_key(pass_text)), modes.CBC(bytes(16))).decryptor()
    padded = dec.update(data) + dec.finalize()
    n = padded[-1]
    if n < 1 or n > 16 or padded[-n:] != bytes([n]) * n:
        return None
    return padded[:-n]


def library_block(payload, serial=0, flag=0):
    """What a caller hands WriteData: the 20-byte library data header (its own length first)
    and the payload, encrypted with the transport pass."""
    header = struct.pack("<IIIII", 20, serial, flag, 0, 0)
    return encrypt_aes(TRANSPORT_PASS, header + payload)


def free_port():
    s = socket.socket()
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


class ServiceError(Exception):
    pass


class Service:
    """One prefix and the service installed in it. Use as a context manager: the service is
    stopped and removed, and the prefix deleted, however the block ends."""

    def __init__(self, bin_dir, name):
        self.bin = bin_dir
        self.name = name
        self.prefix = tempfile.mkdtemp(prefix="zemir_e2e_%s_" % name)
        self.env = dict(os.environ)
        self.env.update({
            "ZEMIR_PREFIX": self.prefix,
            "ZEMIR_NO_HOST_MEDIA": "1",
            "ZEMIR_SESSION_DRYRUN": os.path.join(self.prefix, "session_actions.txt"),
            "ZEMIR_BUILD_BIN": bin_dir,
        })
        self.env.pop("NOTIFY_SOCKET", None)
        self.port = None
        self.installed = False
        self.log_path = os.path.join(self.prefix, "drive_c", "zemir_rpc_serv1.log")
        self.out_path = os.path.join(self.prefix, "services", SERVICE + ".out")

    # ------------------------------------------------------------ processes
    def run(self, prog, *args, check=True, timeout=60):
        p = subprocess.run([os.path.join(self.bin, prog)] + list(args), env=self.env, capture_output=True,
                           text=True, errors="replace", timeout=timeout)
        if check and p.returncode != 0:
            raise ServiceError("%s %s: exit %d\n%s%s" % (prog, " ".join(args), p.returncode, p.stdout, p.stderr))
        return p

    def reg(self, key, name, data, kind="REG_SZ"):
        self.run("zemir-reg", "add", key, "/v", name, "/t", kind, "/d", str(data), "/f")

    def product(self, name, data):
        """A value under SOFTWARE\\Zemir: integers as REG_DWORD, texts as REG_SZ."""
        if isinstance(data, int):
            self.reg(PRODUCT, name, data, "REG_DWORD")
        else:
            self.reg(PRODUCT, name, data)

    def make_stick(self, letter="E", serial="1A2B3C4D"):
        """A removable key drive: a FAT32 image for the boot sector, a host folder for the files."""
        img = os.path.join(self.prefix, "stick_%s.img" % letter)
        folder = os.path.join(self.prefix, "stick_%s" % letter)
        os.makedirs(folder, exist_ok=True)
        subprocess.run(["mkfs.vfat", "-C", "-F", "32", "-i", serial, img, "34000"], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.reg(DOS, letter + ":", folder)
        self.reg(DOS, letter + ":Image", img)
        self.reg(DOS, letter + ":Type", 2, "REG_DWORD")
        self.reg(DOS, letter + ":Interface", STICK_INTERFACE)
        return folder

    def make_token(self, reader=TEST_READER, pin=None, serial=None):
        """The test key library's token folder, inserted, and the library configured."""
        folder = os.path.join(self.prefix, "token")
        os.makedirs(folder, exist_ok=True)
        self.token_file("present", "")
        self.token_file("reader", reader)
        if pin is not None:
            self.token_file("pin", pin)
        if serial is not None:
            self.token_file("serial", serial)
        self.product("USBKeyDllName", "zemir_testkey.dll")
        self.product("TestKeyFolder", folder)
        return folder

    def token_file(self, name, text):
        with open(os.path.join(self.prefix, "token", name), "w") as f:
            f.write(text)

    def token_calls(self):
        try:
            with open(os.path.join(self.prefix, "token", "calls.log")) as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def start(self):
        """Installs and starts the service on a free loopback port; returns the port."""
        self.run("ZemirRpcService", "-i", check=False)
        self.installed = True
        for _attempt in range(3):
            self.port = free_port()
            self.product("RpcEndpoint", str(self.port))
            self.product("RpcAddress", "127.0.0.1")
            mark = self.log_size()
            p = self.run("ZemirRpcService", "-s", check=False)
            if p.returncode != 1:
                raise ServiceError("ZemirRpcService -s: exit %d\n%s%s" % (p.returncode, p.stdout, p.stderr))
            if self.wait_accepting(10):
                return self.port
            if "bind failed" not in self.log_since(mark):
                raise ServiceError("the service does not accept on port %d" % self.port)
            self.run("ZemirRpcService", "-e", check=False)  # the port was taken meanwhile: another
        raise ServiceError("no free port taken by the service")

    def wait_accepting(self, seconds):
        end = time.time() + seconds
        while time.time() < end:
            try:
                socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
                return True
            except OSError:
                time.sleep(0.05)
        return False

    def pid(self):
        p = self.run("zemir-reg", "query", r"HKLM\SYSTEM\CurrentControlSet\Services\%s\Status" % SERVICE, "/v",
                     "ProcessId", check=False)
        for line in p.stdout.splitlines():
            parts = line.split()
            if parts and parts[0] == "ProcessId":
                return int(parts[-1], 0)
        return 0

    def running(self):
        p = self.run("zemir-sc", "query", SERVICE, check=False)
        return "RUNNING" in p.stdout

    def stop(self):
        """Stops and removes the service; a process that does not stop is killed. Returns the
        text of the service's standard output and errors."""
        if not self.installed:
            return ""
        pid = self.pid()
        self.run("ZemirRpcService", "-e", check=False)
        if pid and _alive(pid):
            deadline = time.time() + 10
            while _alive(pid) and time.time() < deadline:
                time.sleep(0.1)
            if _alive(pid):
                os.kill(pid, signal.SIGKILL)
        self.run("ZemirRpcService", "-u", check=False)
        self.installed = False
        return self.output()

    def output(self):
        try:
            with open(self.out_path, errors="replace") as f:
                return f.read()
        except FileNotFoundError:
            return ""

    # ------------------------------------------------------------ the diagnostic log
    def log(self):
        try:
            with open(self.log_path, "rb") as f:
                return f.read().decode("latin-1")
        except FileNotFoundError:
            return ""

    def log_size(self):
        try:
            return os.path.getsize(self.log_path)
        except FileNotFoundError:
            return 0

    def log_since(self, mark):
        return self.log()[mark:]

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        try:
            self.stop()
        finally:
            if os.environ.get("ZEMIR_E2E_KEEP"):
                print("  kept prefix", self.prefix)
            else:
                shutil.rmtree(self.prefix, ignore_errors=True)
        return False


def _alive(pid):
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except PermissionError:
        return True
    # A zombie child of the supervisor counts as gone.
    try:
        with open("/proc/%d/stat" % pid) as f:
            return f.read().split(")")[-1].split()[0] != "Z"
    except OSError:
        return False


def sanitizer_report(text):
    for marker in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
        if marker in text:
            return text[text.index(marker) - 200 if text.index(marker) > 200 else 0:][:3000]
    return None
