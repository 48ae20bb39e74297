#!/usr/bin/python3
"""Captures the association PDUs that DCMTK's tools send, for CapturedPdus.h.

Usage: capture_pdus.py [OUTPUT_DIRECTORY]

Runs on 127.0.0.1 only, on ports found free by binding port 0:

  echoscu     its A-ASSOCIATE-RQ, caught by a listener of this script (which
              answers with an A-ASSOCIATE-RJ so the tool stops at once);
  storescu    the same, proposing the contexts of three sample files of
              pydicom (-R: only the contexts the files need);
  storescu    the same with a user identity sub-item (--user, --password);
  storescu    the same with SCP/SCU role selection sub-items, from a
              negotiation profile of its own (-xf) that also proposes a
              context with JPEG baseline only and one with an unknown
              abstract syntax;
  storescp    its A-ASSOCIATE-AC to the second and to the fourth request,
              each sent to it as captured; the association is then released.

Prints CapturedPdus.h (each PDU a commented C++ byte array) and saves each
PDU raw in OUTPUT_DIRECTORY when one is given:

  /usr/bin/python3 tests/network/capture_pdus.py > tests/network/CapturedPdus.h
 storescp is started under strace so that
the script learns from its listen() call, not from a delay, when it can
connect. Every wait is bounded.
"""

import os
import signal
import socket
import subprocess
import sys
import tempfile

SAMPLES = "/usr/lib/python3/dist-packages/pydicom/data/test_files"
SAMPLE_FILES = ["CT_small.dcm", "MR_small.dcm", "JPEG2000.dcm"]
TIMEOUT = 20
RELEASE_RQ = bytes([0x05, 0x00, 0, 0, 0, 4, 0, 0, 0, 0])
REJECT = bytes([0x03, 0x00, 0, 0, 0, 4, 0, 1, 1, 7])

ROLE_PROFILE = r"""
[[TransferSyntaxes]]
[Uncompressed]
TransferSyntax1 = LittleEndianExplicit
TransferSyntax2 = LittleEndianImplicit

[Baseline]
TransferSyntax1 = JPEGBaseline

[[PresentationContexts]]
[Storage]
PresentationContext1 = CTImageStorage\Uncompressed
PresentationContext2 = MRImageStorage\Baseline
PresentationContext3 = 1.2.3.4.5.6.7\Uncompressed

[[SCPSCURoleSelection]]
[Roles]
Role1 = CTImageStorage\SCU
Role2 = MRImageStorage\BOTH

[[Profiles]]
[WithRoles]
PresentationContexts = Storage
SCPSCURoleSelection = Roles
"""


def read_exactly(sock, count):
    data = b""
    while len(data) < count:
        part = sock.recv(count - len(data))
        if not part:
            raise RuntimeError(f"connection closed after {len(data)} of {count} bytes")
        data += part
    return data


def read_pdu(sock):
    header = read_exactly(sock, 6)
    length = int.from_bytes(header[2:6], "big")
    return header + read_exactly(sock, length)


def capture_request(command):
    """Runs command (with {port}) against a listener; returns its first PDU."""
    with socket.socket() as listener:
        listener.bind(("127.0.0.1", 0))
        listener.listen(1)
        listener.settimeout(TIMEOUT)
        port = listener.getsockname()[1]
        tool = subprocess.Popen([part.format(port=port) for part in command],
                                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            connection, _ = listener.accept()
            with connection:
                connection.settimeout(TIMEOUT)
                pdu = read_pdu(connection)
                connection.sendall(REJECT)
        finally:
            tool.wait(timeout=TIMEOUT)
    return pdu


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def answer_from_storescp(request, directory):
    port = free_port()
    read_end, write_end = os.pipe()
    command = ["strace", "-q", "-f", "-e", "trace=listen", "-o", f"/dev/fd/{write_end}",
               "storescp", "-od", directory, str(port)]
    server = subprocess.Popen(command, pass_fds=[write_end], start_new_session=True,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    os.close(write_end)
    try:
        with os.fdopen(read_end, "r") as trace:
            # Wait for the listen() call; strace writes it when it returns.
            for line in trace:
                if "listen(" in line:
                    break
            else:
                raise RuntimeError("storescp never listened")
            with socket.create_connection(("127.0.0.1", port), timeout=TIMEOUT) as connection:
                connection.sendall(request)
                answer = read_pdu(connection)
                connection.sendall(RELEASE_RQ)
                read_pdu(connection)
    finally:
        os.killpg(server.pid, signal.SIGTERM)
        server.wait(timeout=TIMEOUT)
    return answer


def text(data):
    return "".join(chr(b) if 32 <= b < 127 else "\\0" if b == 0 else f"\\x{b:02X}" for b in data)


def hex_line(data):
    return " ".join(f"0x{b:02X}," for b in data)


class Printer:
    """Prints a PDU as a C++ initializer, one comment per field."""

    def __init__(self):
        self.lines = []

    def field(self, data, comment):
        self.lines.append(f"    {hex_line(data):<24} // {comment}")

    def characters(self, data, label):
        for start in range(0, len(data), 12):
            chunk = data[start:start + 12]
            if label.strip():
                prefix = label + " " if start == 0 else " " * (len(label) + 1)
            else:
                prefix = label
            self.field(chunk, f'{prefix}"{text(chunk)}"')

    def uid_item(self, data, at, label, indent=""):
        length = int.from_bytes(data[at + 2:at + 4], "big")
        self.field(data[at:at + 4], f"{indent}item 0x{data[at]:02X} {label}, length {length}")
        self.characters(data[at + 4:at + 4 + length], indent + "  ")
        return at + 4 + length

    def user_information(self, data, at, end):
        while at < end:
            kind = data[at]
            length = int.from_bytes(data[at + 2:at + 4], "big")
            body = at + 4
            if kind == 0x51:
                self.field(data[at:at + 4], "  sub-item 0x51 maximum length, length 4")
                self.field(data[body:body + 4], f"    {int.from_bytes(data[body:body + 4], 'big')}")
            elif kind in (0x52, 0x55):
                name = "implementation class UID" if kind == 0x52 else "implementation version name"
                self.field(data[at:at + 4], f"  sub-item 0x{kind:02X} {name}, length {length}")
                self.characters(data[body:body + length], "    ")
            elif kind == 0x54:
                uid_length = int.from_bytes(data[body:body + 2], "big")
                self.field(data[at:at + 4], f"  sub-item 0x54 role selection, length {length}")
                self.field(data[body:body + 2], f"    UID length {uid_length}")
                self.characters(data[body + 2:body + 2 + uid_length], "    ")
                roles = data[body + 2 + uid_length:body + 4 + uid_length]
                self.field(roles, f"    SCU role {roles[0]}, SCP role {roles[1]}")
            elif kind == 0x58:
                self.field(data[at:at + 4], f"  sub-item 0x58 user identity, length {length}")
                self.field(data[body:body + 2], f"    identity type {data[body]}, response requested {data[body + 1]}")
                field = body + 2
                for label in ("primary field", "secondary field"):
                    size = int.from_bytes(data[field:field + 2], "big")
                    self.field(data[field:field + 2], f"    {label} length {size}")
                    self.characters(data[field + 2:field + 2 + size], "      ")
                    field += 2 + size
            else:
                self.field(data[at:at + 4], f"  sub-item 0x{kind:02X}, length {length}")
                for start in range(body, body + length, 8):
                    chunk = data[start:min(start + 8, body + length)]
                    self.field(chunk, f'    "{text(chunk)}"')
            at = body + length
        return at

    def context(self, data, at, accept):
        length = int.from_bytes(data[at + 2:at + 4], "big")
        end = at + 4 + length
        self.field(data[at:at + 4], f"item 0x{data[at]:02X} presentation context, length {length}")
        head = data[at + 4:at + 8]
        if accept:
            self.field(head, f"  ID {head[0]}, reserved, result {head[2]}, reserved")
        else:
            self.field(head, f"  ID {head[0]}, reserved, result/reason 0x{head[2]:02X}, reserved")
        at += 8
        while at < end:
            label = {0x30: "abstract syntax", 0x40: "transfer syntax"}.get(data[at], "sub-item")
            at = self.uid_item(data, at, label, "  ")
        return at

    def pdu(self, data):
        names = {1: "A-ASSOCIATE-RQ", 2: "A-ASSOCIATE-AC"}
        self.field(data[0:2], f"PDU type {names[data[0]]}, reserved")
        self.field(data[2:6], f"PDU length {int.from_bytes(data[2:6], 'big')}")
        self.field(data[6:10], "protocol version 1, reserved")
        self.characters(data[10:26], "called AE title")
        self.characters(data[26:42], "calling AE title")
        for start in range(42, 74, 12):
            self.field(data[start:min(start + 12, 74)], "reserved")
        at = 74
        while at < len(data):
            kind = data[at]
            if kind == 0x10:
                at = self.uid_item(data, at, "application context")
            elif kind in (0x20, 0x21):
                at = self.context(data, at, kind == 0x21)
            elif kind == 0x50:
                length = int.from_bytes(data[at + 2:at + 4], "big")
                self.field(data[at:at + 4], f"item 0x50 user information, length {length}")
                at = self.user_information(data, at + 4, at + 4 + length)
            else:
                raise RuntimeError(f"unexpected item 0x{kind:02X} at {at}")
        return "\n".join(self.lines)


def version(tool):
    first = subprocess.run([tool, "--version"], capture_output=True, text=True).stdout.splitlines()[0]
    return first.strip("$ ").replace("dcmtk: ", "")


# name in CapturedPdus.h, what it is, the command (PORT: the listener's port)
REQUESTS = [
    ("echoscuRequest", "the A-ASSOCIATE-RQ of echoscu", ["echoscu", "127.0.0.1", "PORT"]),
    ("storescuRequest", "the A-ASSOCIATE-RQ of storescu for three sample files",
     ["storescu", "-R", "127.0.0.1", "PORT"] + SAMPLE_FILES),
    ("storescuUserIdentityRequest", "the same with a user identity (user name and password)",
     ["storescu", "-R", "--user", "reader", "--password", "secret", "127.0.0.1", "PORT", SAMPLE_FILES[0]]),
    ("storescuRoleSelectionRequest", "the A-ASSOCIATE-RQ of storescu with the profile of capture_pdus.py",
     ["storescu", "-xf", "roles.cfg", "WithRoles", "127.0.0.1", "PORT", SAMPLE_FILES[0]]),
]
# name, what it is, the request it answers
ACCEPTS = [
    ("storescpAccept", "the A-ASSOCIATE-AC of `storescp -od DIRECTORY PORT` to storescuRequest",
     "storescuRequest"),
    ("storescpMixedAccept", "its A-ASSOCIATE-AC to storescuRoleSelectionRequest", "storescuRoleSelectionRequest"),
]


def command_line(command):
    return " ".join(os.path.basename(part) for part in command)


def main():
    output = sys.argv[1] if len(sys.argv) > 1 else None
    samples = {name: os.path.join(SAMPLES, name) for name in SAMPLE_FILES}
    captures = {}
    with tempfile.TemporaryDirectory() as scratch:
        profile = os.path.join(scratch, "roles.cfg")
        with open(profile, "w") as stream:
            stream.write(ROLE_PROFILE)
        for name, _, command in REQUESTS:
            actual = [samples.get(part, profile if part == "roles.cfg" else part) for part in command]
            captures[name] = capture_request(["{port}" if part == "PORT" else part for part in actual])
        for name, _, request in ACCEPTS:
            captures[name] = answer_from_storescp(captures[request], scratch)
    print("#ifndef TESTS_NETWORK_CAPTUREDPDUS_H\n#define TESTS_NETWORK_CAPTUREDPDUS_H\n")
    print("// Association PDUs captured from DCMTK's tools on 127.0.0.1 by")
    print("// tests/network/capture_pdus.py (" + ", ".join(version(tool) for tool in ("echoscu", "storescu")) + ",")
    print(f"// {version('storescp')}).")
    print("// Sample files are pydicom's test files; PORT is the capturing listener's.")
    for name, what, command in REQUESTS:
        print(f"//   {name}: {what}:\n//     {command_line(command)}")
    for name, what, _ in ACCEPTS:
        print(f"//   {name}: {what}")
    print("\n#include <cstdint>\n\nnamespace captured {")
    for name, pdu in captures.items():
        if output:
            with open(os.path.join(output, name + ".pdu"), "wb") as stream:
                stream.write(pdu)
        print(f"\n// {len(pdu)} bytes\nconst uint8_t {name}[] = {{\n{Printer().pdu(pdu)}\n}};")
    print("\n}  // namespace captured\n\n#endif")


if __name__ == "__main__":
    main()
