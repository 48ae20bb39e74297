#!/usr/bin/python3
"""Hostile peers against one `dicomtk serve`, case after case.

Usage: hostile_peer.py DICOMTK [CASE...]

Starts `dicomtk serve` on a free port of 127.0.0.1 (with a message cap of
1 MiB) in a scratch folder and plays, over raw sockets, peers that send what
no sound peer sends: malformed PDUs and items of each kind before and after
the negotiation, floods of connections, stalls, endless messages, deeply
nested and oversized data sets, and SOP Instance UIDs that are no file
names. After each case a fresh association must get its C-ECHO answered
within a second. At the end the server's resident memory must be within
MEMORY_MARGIN of what it was after warming up, no file may exist outside
its store folder, and SIGTERM must end it with status 0 (under
AddressSanitizer that includes no leak). Every socket wait is bounded.
"""

import os
import re
import select
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time

VERIFICATION = b"1.2.840.10008.1.1"
CT_IMAGE = b"1.2.840.10008.5.1.4.1.1.2"
PATIENT_ROOT_FIND = b"1.2.840.10008.5.1.4.1.2.1.1"
PATIENT_ROOT_MOVE = b"1.2.840.10008.5.1.4.1.2.1.2"
IMPLICIT = b"1.2.840.10008.1.2"
APPLICATION_CONTEXT = b"1.2.840.10008.3.1.1.1"
MESSAGE_CAP = 1 << 20
# The server's own PDUs announce this maximum; ours keep to it.
LARGEST_PDV_PAYLOAD = 16384 - 6
# Resident memory after all cases may exceed the warmed-up figure by this
# much: room for the allocator's caches and, under AddressSanitizer, its
# quarantine (limited to 16 MiB below).
MEMORY_MARGIN = 48 << 20
ECHO_SECONDS = 1.0
# The server's store folder, set once it runs.
STORE = None
# What a case saw that is worth printing beside its name.
NOTES = []
CASE_SECONDS = 30


# --- encodings ---------------------------------------------------------------

def even(value, pad=b"\0"):
    return value + pad if len(value) % 2 else value


def element(group, number, value, length=None):
    """An element in implicit VR little endian; length overrides the true one."""
    return struct.pack("<HHI", group, number, len(value) if length is None else length) + value


def command_set(*elements):
    body = b"".join(elements)
    return element(0x0000, 0x0000, struct.pack("<I", len(body))) + body


def u16(number, value):
    return element(0x0000, number, struct.pack("<H", value))


def echo_command(message_id=1):
    return command_set(element(0x0000, 0x0002, even(VERIFICATION)), u16(0x0100, 0x0030),
                       u16(0x0110, message_id), u16(0x0800, 0x0101))


def store_command(instance_uid, sop_class=CT_IMAGE, message_id=7):
    return command_set(element(0x0000, 0x0002, even(sop_class)), u16(0x0100, 0x0001),
                       u16(0x0110, message_id), u16(0x0700, 0),
                       element(0x0000, 0x1000, even(instance_uid)), u16(0x0800, 0x0000))


def find_command(message_id=9):
    return command_set(element(0x0000, 0x0002, even(PATIENT_ROOT_FIND)), u16(0x0100, 0x0020),
                       u16(0x0110, message_id), u16(0x0700, 0), u16(0x0800, 0x0000))


def move_command(destination, message_id=11):
    return command_set(element(0x0000, 0x0002, even(PATIENT_ROOT_MOVE)), u16(0x0100, 0x0021),
                       u16(0x0110, message_id), u16(0x0700, 0), element(0x0000, 0x0600, even(destination, b" ")),
                       u16(0x0800, 0x0000))


def ct_data_set(instance_uid, extra=b""):
    return (element(0x0008, 0x0016, even(CT_IMAGE)) + element(0x0008, 0x0018, even(instance_uid)) + extra +
            element(0x0010, 0x0010, b"HOSTILE^PEER"))


def item(type_, body, length=None):
    return struct.pack(">BBH", type_, 0, len(body) if length is None else length) + body


def presentation_context(context_id, abstract, transfers, length=None):
    body = struct.pack(">BBBB", context_id, 0, 0, 0) + item(0x30, abstract)
    body += b"".join(item(0x40, transfer) for transfer in transfers)
    return item(0x20, body, length)


def user_information(maximum=16384, class_uid=b"1.2.826.0.1.3680043.9.7133.99", sub_items=None):
    if sub_items is None:
        sub_items = item(0x51, struct.pack(">I", maximum)) + item(0x52, class_uid)
    return item(0x50, sub_items)


def associate_request(contexts=((1, VERIFICATION, (IMPLICIT,)),), called=b"DICOMTK", calling=b"HOSTILE",
                      application=APPLICATION_CONTEXT, user=None, raw_items=None, length=None, type_=0x01):
    fixed = struct.pack(">HH", 1, 0) + called.ljust(16)[:16] + calling.ljust(16)[:16] + bytes(32)
    if raw_items is None:
        raw_items = item(0x10, application) + b"".join(presentation_context(*context) for context in contexts)
        raw_items += user_information() if user is None else user
    body = fixed + raw_items
    return struct.pack(">BBI", type_, 0, len(body) if length is None else length) + body


def pdata(context_id, control, payload, pdv_length=None, pdu_length=None):
    pdv = struct.pack(">IBB", len(payload) + 2 if pdv_length is None else pdv_length, context_id, control) + payload
    return struct.pack(">BBI", 0x04, 0, len(pdv) if pdu_length is None else pdu_length) + pdv


def message(context_id, payload, command):
    """The PDUs of one message, cut to the largest PDV the server takes."""
    pieces = [payload[at:at + LARGEST_PDV_PAYLOAD] for at in range(0, len(payload), LARGEST_PDV_PAYLOAD)] or [b""]
    out = b""
    for index, piece in enumerate(pieces):
        control = (1 if command else 0) | (2 if index == len(pieces) - 1 else 0)
        out += pdata(context_id, control, piece)
    return out


RELEASE_REQUEST = bytes.fromhex("05000000000400000000")


# --- a peer on a raw socket --------------------------------------------------

class Peer:
    def __init__(self, port, timeout=5.0):
        self.deadline_seconds = timeout
        self.sock = socket.create_connection(("127.0.0.1", port), timeout=timeout)
        self.pending = b""

    def send(self, data):
        self.sock.sendall(data)

    def receive_exactly(self, count, timeout):
        end = time.monotonic() + timeout
        while len(self.pending) < count:
            left = end - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise TimeoutError("no answer from the server")
            chunk = self.sock.recv(65536)
            if not chunk:
                raise ConnectionError("closed by the server")
            self.pending += chunk
        data, self.pending = self.pending[:count], self.pending[count:]
        return data

    def pdu(self, timeout=None):
        timeout = self.deadline_seconds if timeout is None else timeout
        header = self.receive_exactly(6, timeout)
        type_, _, length = struct.unpack(">BBI", header)
        return type_, self.receive_exactly(length, timeout)

    def associate(self, request, timeout=None):
        """Sends the request; the accepted context IDs, or raises."""
        self.send(request)
        type_, body = self.pdu(timeout)
        if type_ != 0x02:
            raise ConnectionError("answered with PDU type 0x%02X" % type_)
        accepted, at = [], 68
        while at + 4 <= len(body):
            item_type, _, length = struct.unpack(">BBH", body[at:at + 4])
            if item_type == 0x21 and body[at + 6] == 0:
                accepted.append(body[at + 4])
            at += 4 + length
        return accepted

    def read_command(self, timeout=None):
        """The next command set the server sends, as a dict of element number to value."""
        payload = b""
        while True:
            type_, body = self.pdu(timeout)
            if type_ != 0x04:
                raise ConnectionError("PDU type 0x%02X instead of a response" % type_)
            at, last = 0, False
            while at < len(body):
                length, _, control = struct.unpack(">IBB", body[at:at + 6])
                payload += body[at + 6:at + 4 + length]
                last = last or control & 2
                at += 4 + length
            if last:
                break
        fields, at = {}, 0
        while at + 8 <= len(payload):
            _, number, length = struct.unpack("<HHI", payload[at:at + 8])
            fields[number] = payload[at + 8:at + 8 + length]
            at += 8 + length
        return fields

    def closed_by_server(self, timeout):
        """True when the server ends the connection (A-ABORT or a close) within timeout."""
        end = time.monotonic() + timeout
        try:
            while time.monotonic() < end:
                type_, _ = self.pdu(end - time.monotonic())
                if type_ in (0x03, 0x07):
                    return True
        except ConnectionError:
            return True
        except (TimeoutError, OSError):
            return False
        return False

    def close(self):
        try:
            self.sock.close()
        except OSError:
            pass


def status_of(fields):
    return struct.unpack("<H", fields[0x0900])[0] if 0x0900 in fields else None


# --- the server --------------------------------------------------------------

class Server:
    def __init__(self, dicomtk, scratch):
        self.store = os.path.join(scratch, "store")
        self.cwd = os.path.join(scratch, "cwd")
        os.mkdir(self.cwd)
        environment = dict(os.environ)
        # A bounded quarantine, so that freed memory shows as freed.
        environment["ASAN_OPTIONS"] = (environment.get("ASAN_OPTIONS", "") + ":quarantine_size_mb=16").lstrip(":")
        for _ in range(5):
            probe = socket.socket()
            probe.bind(("127.0.0.1", 0))
            self.port = probe.getsockname()[1]
            probe.close()
            self.process = subprocess.Popen(
                [dicomtk, "serve", "--port", str(self.port), "--store-dir", self.store, "--request-timeout", "2",
                 "--max-associations", "64", "--max-message-size", str(MESSAGE_CAP), "--no-fsync"],
                cwd=self.cwd, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, env=environment)
            line = self.process.stdout.readline().decode(errors="replace")
            if "listening on port" in line:
                # The server's lines are read as they come: a full pipe
                # would stop every thread of it that has something to say.
                self.lines = []
                self.reader = threading.Thread(target=self.read_lines, daemon=True)
                self.reader.start()
                return
            self.process.wait(timeout=CASE_SECONDS)
        raise RuntimeError("dicomtk serve did not start: " + line)

    def read_lines(self):
        for line in self.process.stdout:
            self.lines.append(line.decode(errors="replace"))

    def resident_bytes(self):
        with open("/proc/%d/status" % self.process.pid) as status:
            match = re.search(r"^VmRSS:\s+(\d+) kB", status.read(), re.M)
        return int(match.group(1)) * 1024

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        self.process.send_signal(signal.SIGTERM)
        try:
            status = self.process.wait(timeout=CASE_SECONDS)
        except subprocess.TimeoutExpired:
            self.process.kill()
            status = self.process.wait()
            self.lines.append("(did not end within %d s of SIGTERM)\n" % CASE_SECONDS)
        self.reader.join(CASE_SECONDS)
        return status, "".join(self.lines)


def echo_within(port, seconds=ECHO_SECONDS):
    """None when a fresh association's C-ECHO is answered with success in time, else the problem."""
    start = time.monotonic()
    try:
        peer = Peer(port, seconds)
        try:
            accepted = peer.associate(associate_request(), seconds)
            if 1 not in accepted:
                return "verification not accepted"
            peer.send(message(1, echo_command(), True))
            status = status_of(peer.read_command(seconds - (time.monotonic() - start)))
            if status != 0:
                return "C-ECHO status %r" % status
            peer.send(RELEASE_REQUEST)
            peer.pdu(seconds)
        finally:
            peer.close()
    except (OSError, ConnectionError, TimeoutError) as problem:
        return "no C-ECHO within %.1f s: %s" % (seconds, problem)
    elapsed = time.monotonic() - start
    return None if elapsed <= seconds else "C-ECHO took %.2f s" % elapsed


# --- the cases ---------------------------------------------------------------
# Each takes the port and returns None when the server behaved, else the problem.

def expect_closed(port, script, what="the server kept the connection", timeout=10.0):
    peer = Peer(port)
    try:
        try:
            peer.send(script)
        except OSError:
            return None  # closed while we were still sending
        return None if peer.closed_by_server(timeout) else what
    finally:
        peer.close()


def established(port, contexts=((1, VERIFICATION, (IMPLICIT,)),)):
    peer = Peer(port)
    accepted = peer.associate(associate_request(contexts))
    if not accepted:
        raise ConnectionError("no context accepted")
    return peer


def after_association(script, contexts=((1, CT_IMAGE, (IMPLICIT,)),)):
    """Sends script on an established association; the server must end it."""
    def run(port):
        peer = established(port, contexts)
        try:
            try:
                peer.send(script)
            except OSError:
                return None
            return None if peer.closed_by_server(10.0) else "the association went on"
        finally:
            peer.close()
    return run


def before_association(script):
    return lambda port: expect_closed(port, script)


def long_uid(count):
    return (b"1.2." * count)[:count]


def request_with_item_length(length):
    """A request whose presentation-context item claims length bytes."""
    return associate_request(raw_items=item(0x10, APPLICATION_CONTEXT) +
                             presentation_context(1, VERIFICATION, (IMPLICIT,), length=length) + user_information())


def answered_or_aborted(payloads, contexts=((1, CT_IMAGE, (IMPLICIT,)),), seconds=20.0):
    """Sends the messages (command, then data set if any); the server must
    answer with a response or end the association, either in time."""
    def run(port):
        peer = established(port, contexts)
        try:
            try:
                for payload, command in payloads:
                    peer.send(message(1, payload, command))
                fields = peer.read_command(seconds)
            except (ConnectionError, OSError):
                NOTES.append("aborted")
                return None
            except TimeoutError:
                return "neither answered nor aborted within %d s" % seconds
            status = status_of(fields)
            if status is None:
                return "a response without status"
            NOTES.append("status 0x%04X" % status)
            return None
        finally:
            peer.close()
    return run


def stored_safely(instance_uid):
    """A C-STORE of an unsafe UID is refused, or what it stores has a name of
    digits and dots in the store folder (a trailing blank may be trimmed)."""
    def run(port):
        peer = established(port, ((1, CT_IMAGE, (IMPLICIT,)),))
        try:
            try:
                peer.send(message(1, store_command(instance_uid), True) + message(1, ct_data_set(instance_uid), False))
                status = status_of(peer.read_command(10.0))
            except ConnectionError:
                return None
        finally:
            peer.close()
        unsafe = [name for name in os.listdir(STORE)
                  if not re.fullmatch(r"[0-9]+(\.[0-9]+)*\.dcm|index\.sqlite.*", name)]
        if unsafe:
            return "the store holds %r" % unsafe
        if status == 0 and not re.fullmatch(rb"[0-9]+(\.[0-9]+)* ?", instance_uid):
            return "stored with status 0"
        return None
    return run


def connection_flood(count=3000):
    def run(port):
        for index in range(count):
            connection = socket.create_connection(("127.0.0.1", port), timeout=5)
            if index % 3 == 1:
                connection.sendall(associate_request()[:40])
            elif index % 3 == 2:
                # Reset rather than closed.
                connection.setsockopt(socket.SOL_SOCKET, socket.SO_LINGER, struct.pack("ii", 1, 0))
            connection.close()
        return None
    return run


def stalled_peers(port):
    """Connections stopped in the middle of a PDU, before and after the
    negotiation, stay open while a fresh association is served."""
    stalled = []
    try:
        for _ in range(5):
            peer = Peer(port)
            peer.send(associate_request()[:3])
            stalled.append(peer)
        for _ in range(5):
            peer = established(port, ((1, CT_IMAGE, (IMPLICIT,)),))
            whole = message(1, store_command(b"1.2.3"), True)
            peer.send(whole[:len(whole) // 2])
            stalled.append(peer)
        problem = echo_within(port)
        if problem:
            return "while 10 peers stall: " + problem
        # The ones that never finished their request are dropped after the
        # request time-out.
        for peer in stalled[:5]:
            if not peer.closed_by_server(10.0):
                return "a peer stalled inside its request was not dropped"
        return None
    finally:
        for peer in stalled:
            peer.close()


def endless_message(command):
    """PDVs without a last fragment, sent until the server ends the association."""
    def run(port):
        peer = established(port, ((1, CT_IMAGE, (IMPLICIT,)),))
        try:
            prefix = b"" if command else message(1, store_command(b"1.2.826.0.1.3680043.9.7133.14.9"), True)
            peer.send(prefix)
            chunk = pdata(1, 1 if command else 0, bytes(LARGEST_PDV_PAYLOAD))
            sent, limit = 0, 64 * MESSAGE_CAP
            peer.sock.setblocking(False)
            while sent < limit:
                readable, writable, _ = select.select([peer.sock], [peer.sock], [], 10.0)
                if readable:
                    break
                if not writable:
                    return "the server neither reads nor ends the association"
                try:
                    sent += peer.sock.send(chunk)
                except (BlockingIOError, InterruptedError):
                    continue
                except OSError:
                    break
            peer.sock.setblocking(True)
            if sent < MESSAGE_CAP:
                return "ended after %d bytes, before the cap" % sent
            if sent >= limit or not peer.closed_by_server(10.0):
                return "still reading after %d bytes" % sent
            NOTES.append("ended after %.2f MiB sent" % (sent / 2**20))
            return None
        finally:
            peer.close()
    return run


def nested_sequences(depth, undefined):
    """A data set whose sequences nest depth deep, with undefined or exact lengths."""
    if undefined:
        opening = (struct.pack("<HHI", 0x0040, 0xA730, 0xFFFFFFFF) + struct.pack("<HHI", 0xFFFE, 0xE000, 0xFFFFFFFF))
        closing = struct.pack("<HHI", 0xFFFE, 0xE00D, 0) + struct.pack("<HHI", 0xFFFE, 0xE0DD, 0)
        return opening * depth + closing * depth
    inner = element(0x0040, 0xA010, b"CONTAINS")
    for _ in range(depth):
        inner = element(0x0040, 0xA730, struct.pack("<HHI", 0xFFFE, 0xE000, len(inner)) + inner)
    return inner


def absurd_identifier():
    """Every element of the identifier claims 0xFFFFFFF0 bytes and holds four."""
    return b"".join(struct.pack("<HHI", group, number, 0xFFFFFFF0) + b"ABCD"
                    for group, number in ((0x0008, 0x0052), (0x0010, 0x0010), (0x0010, 0x0020), (0x0020, 0x000D)))


def huge_identifier():
    """Every element of the identifier really is 200,000 bytes long."""
    return b"".join(element(group, number, b"*" * 200000)
                    for group, number in ((0x0008, 0x0052), (0x0010, 0x0010), (0x0010, 0x0020), (0x0020, 0x000D)))


UNSAFE_UIDS = [b"../../hostile-escape", b"/tmp/hostile-absolute", b"1.2/../../x", b"..", b".", b"",
               b"1.2.3\\..\\..\\x", b"1.2.3\0/../x", b"1." + b"2" * 70, b"1.2.3 ", b"1..2", b"1.2.3.dcm.tmp"]

def store_succeeds(instance_uid):
    def run(port):
        peer = established(port, ((1, CT_IMAGE, (IMPLICIT,)),))
        try:
            peer.send(message(1, store_command(instance_uid), True) + message(1, ct_data_set(instance_uid), False))
            status = status_of(peer.read_command(10.0))
            return None if status == 0 else "C-STORE status %r" % status
        finally:
            peer.close()
    return run


def sixteen_byte_title(port):
    """Titles that fill their 16 bytes with no blank: the server answers and goes on."""
    peer = Peer(port)
    try:
        peer.send(associate_request(called=b"C" * 16, calling=b"\x01" * 16))
        try:
            peer.pdu()
        except ConnectionError:
            pass
        return None
    finally:
        peer.close()


FIND = ((1, PATIENT_ROOT_FIND, (IMPLICIT,)),)
MOVE = ((1, PATIENT_ROOT_MOVE, (IMPLICIT,)),)

CASES = [
    # Not DICOM, or the wrong first PDU.
    ("an HTTP request", before_association(b"GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n")),
    ("a P-DATA-TF as first PDU", before_association(message(1, echo_command(), True))),
    ("an A-RELEASE-RQ as first PDU", before_association(RELEASE_REQUEST)),
    ("an A-ASSOCIATE-AC as first PDU", before_association(associate_request(type_=0x02))),
    ("a PDU of unknown type 0xFF", before_association(b"\xff\x00\x00\x00\x00\x04abcd")),
    # Lengths of the request.
    ("a request claiming 0xFFFFFFFF bytes", before_association(associate_request(length=0xFFFFFFFF))),
    ("a request claiming 10 bytes (less than its fixed part)", before_association(associate_request(length=10))),
    ("a request claiming 0 bytes", before_association(associate_request(length=0))),
    ("a context item claiming 0xFFFF bytes", before_association(request_with_item_length(0xFFFF))),
    ("a context item claiming 2 bytes (less than its own fields)", before_association(request_with_item_length(2))),
    ("a context item claiming 0 bytes", before_association(request_with_item_length(0))),
    ("a user-information sub-item past its item", before_association(associate_request(
        user=item(0x50, item(0x51, struct.pack(">I", 16384)) + struct.pack(">BBH", 0x52, 0, 0xFFF0) + b"1.2")))),
    ("a maximum-length sub-item of 2 bytes", before_association(associate_request(
        user=item(0x50, item(0x51, b"\x40\x00") + item(0x52, b"1.2.3"))))),
    ("an item of unknown type 0x99", before_association(associate_request(
        raw_items=item(0x10, APPLICATION_CONTEXT) + item(0x99, b"x" * 40) + user_information()))),
    # UIDs longer than 64 and AE titles that fill or overfill their field.
    ("an abstract syntax of 65 characters", before_association(
        associate_request(contexts=((1, long_uid(65), (IMPLICIT,)),)))),
    ("a transfer syntax of 300 characters", before_association(
        associate_request(contexts=((1, VERIFICATION, (long_uid(300),)),)))),
    ("an application context of 65 characters", before_association(associate_request(application=long_uid(65)))),
    ("an implementation class UID of 65 characters", before_association(
        associate_request(user=user_information(class_uid=long_uid(65))))),
    ("AE titles of 16 non-blank bytes and no end", sixteen_byte_title),
    ("a C-MOVE to an AE title of 200 characters", answered_or_aborted(
        [(move_command(b"D" * 200), True), (element(0x0008, 0x0052, b"PATIENT "), False)], MOVE)),
    # Lengths inside the association.
    ("a P-DATA-TF claiming 0xFFFFFFFF bytes", after_association(pdata(1, 3, b"abcd", pdu_length=0xFFFFFFFF))),
    ("a PDV claiming 0xFFFFFFFF bytes (wraps when 4 is added)",
     after_association(pdata(1, 3, b"abcd", pdv_length=0xFFFFFFFF))),
    ("a PDV claiming 0xFFFFFFFE bytes", after_association(pdata(1, 3, b"abcd", pdv_length=0xFFFFFFFE))),
    ("a PDV claiming 1 byte (no room for its header)", after_association(pdata(1, 3, b"abcd", pdv_length=1))),
    ("a PDV claiming 0 bytes", after_association(pdata(1, 3, b"abcd", pdv_length=0))),
    ("a P-DATA-TF of 2 bytes (shorter than a PDV header)", after_association(b"\x04\x00\x00\x00\x00\x02\x00\x00")),
    ("a P-DATA-TF longer than the announced maximum",
     after_association(pdata(1, 1, bytes(20000)))),
    ("a command whose element claims 0xFFFFFFF0 bytes", after_association(message(
        1, element(0x0000, 0x0100, b"\x01\x00") + struct.pack("<HHI", 0, 0x1000, 0xFFFFFFF0) + b"1.2", True))),
    ("a C-STORE command whose group length claims 0xFFFFFFF0 bytes", answered_or_aborted(
        [(element(0x0000, 0x0000, struct.pack("<I", 0xFFFFFFF0)) + store_command(b"1.2.826.0.1.3680043.9.7133.14.4")[12:],
          True), (ct_data_set(b"1.2.826.0.1.3680043.9.7133.14.4"), False)])),
    ("an A-ASSOCIATE-RQ inside the association", after_association(associate_request())),
    # Storage with hostile data sets.
    ("a C-STORE whose data set nests sequences 10,000 deep (undefined lengths)", answered_or_aborted(
        [(store_command(b"1.2.826.0.1.3680043.9.7133.14.1"), True),
         (ct_data_set(b"1.2.826.0.1.3680043.9.7133.14.1", nested_sequences(10000, True)), False)])),
    ("a C-STORE whose data set nests sequences 10,000 deep (exact lengths)", answered_or_aborted(
        [(store_command(b"1.2.826.0.1.3680043.9.7133.14.2"), True),
         (ct_data_set(b"1.2.826.0.1.3680043.9.7133.14.2", nested_sequences(10000, False)), False)])),
    ("a C-STORE whose data set claims an element of 2 GiB", answered_or_aborted(
        [(store_command(b"1.2.826.0.1.3680043.9.7133.14.3"), True),
         (ct_data_set(b"1.2.826.0.1.3680043.9.7133.14.3", struct.pack("<HHI", 0x0010, 0x0020, 0x80000000)), False)])),
    ("a C-FIND identifier whose every element claims 0xFFFFFFF0 bytes",
     answered_or_aborted([(find_command(), True), (absurd_identifier(), False)], FIND)),
    ("a C-FIND identifier whose every element is 200,000 bytes",
     answered_or_aborted([(find_command(), True), (huge_identifier(), False)], FIND)),
] + [("a C-STORE of SOP Instance UID %r" % uid, stored_safely(uid)) for uid in UNSAFE_UIDS] + [
    ("3,000 connections that connect and close at once", connection_flood()),
    ("10 peers stalled in the middle of a PDU", stalled_peers),
    ("command PDVs that never end", endless_message(True)),
    ("data-set PDVs that never end", endless_message(False)),
]


def files_outside(scratch, store):
    found = []
    for folder, _, names in os.walk(scratch):
        if os.path.commonpath([folder, store]) == store:
            continue
        found += [os.path.join(folder, name) for name in names]
    for name in ("/tmp/hostile-absolute", "/tmp/hostile-absolute.dcm"):
        if os.path.exists(name):
            found.append(name)
    return found


def main():
    dicomtk = os.path.abspath(sys.argv[1])
    chosen = sys.argv[2:]
    failures = []
    with tempfile.TemporaryDirectory(prefix="hostile-") as scratch:
        server = Server(dicomtk, scratch)
        global STORE
        STORE = server.store
        # Warm up: an echo, a stored object and a query, so that the
        # allocator, the index and the threads have been through it once.
        for problem in (echo_within(server.port, 5.0),
                        store_succeeds(b"1.2.826.0.1.3680043.9.7133.14.0")(server.port),
                        answered_or_aborted([(find_command(), True), (element(0x0008, 0x0052, b"PATIENT "), False)],
                                            FIND)(server.port)):
            if problem:
                failures.append("warm-up: " + problem)
        start = server.resident_bytes()
        for name, run in CASES:
            if not server.alive():
                break
            if chosen and not any(part in name for part in chosen):
                continue
            began = time.monotonic()
            del NOTES[:]
            try:
                problem = run(server.port)
            except (OSError, ConnectionError, TimeoutError) as error:
                problem = "the case itself failed: %r" % error
            if not server.alive():
                failures.append("%s: the server died (status %s)" % (name, server.process.returncode))
                break
            echo = echo_within(server.port)
            line = "%-75s %5.1f s" % (name, time.monotonic() - began)
            if NOTES:
                line += "  (" + ", ".join(NOTES) + ")"
            if problem:
                failures.append("%s: %s" % (name, problem))
                line += "  FAILED: " + problem
            if echo:
                failures.append("%s, then: %s" % (name, echo))
                line += "  then " + echo
            print(line, flush=True)
        if server.alive():
            end = server.resident_bytes()
            print("resident memory: %.1f MiB after warming up, %.1f MiB at the end (margin %.0f MiB)" %
                  (start / 2**20, end / 2**20, MEMORY_MARGIN / 2**20))
            if end > start + MEMORY_MARGIN:
                failures.append("resident memory grew from %d to %d bytes" % (start, end))
            status, output = server.stop()
            if status != 0:
                failures.append("SIGTERM ended the server with status %d:\n%s" % (status, output[-4000:]))
        outside = files_outside(scratch, server.store)
        if outside:
            failures.append("files outside the store folder: %s" % outside)
    for failure in failures:
        print("FAILED: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
