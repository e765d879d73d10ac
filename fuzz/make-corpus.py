#!/usr/bin/env python3
"""Makes the seed corpus of every fuzz target (corpus/<target>/) and the test root that the
signature targets trust (data/test-root.pem) from the tree's own fixtures and tools. Run it again
only to renew the seeds: it replaces the files it makes, and keeps inputs that were added by hand
or found by fuzzing. Needs openssl and osslsigncode.
"""
import atexit
import json
import os
import shutil
import struct
import subprocess
import tempfile

tree = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
work = tempfile.mkdtemp()
atexit.register(shutil.rmtree, work, ignore_errors=True)
corpus = os.path.join(tree, "fuzz", "corpus")

def seed(target, name, data):
    folder = os.path.join(corpus, target)
    os.makedirs(folder, exist_ok=True)
    if isinstance(data, str):
        data = data.encode("utf-8", "surrogateescape")
    with open(os.path.join(folder, name), "wb") as stream:
        stream.write(data)

def run(*arguments):
    subprocess.run(arguments, check=True, capture_output=True)

# FourPartVersion
for name, text in {"dots": "12.7.1093.0", "commas": "12,7,1093,0", "spaces": " 1 . 2 .3",
                   "largest": "65535.65535.65535.65535", "too-large": "65536.1.2.3",
                   "short": "12.7.1093", "letters": "abc"}.items():
    seed("fuzz_four_part_version", name, text)

# update.txt
with open(os.path.join(tree, "ThreatScannerEngine", "Plugins", "update.txt"), "rb") as stream:
    shipped = stream.read()
seed("fuzz_update_txt", "shipped", shipped)
seed("fuzz_update_txt", "windows-lines", shipped.replace(b"\n", b"\r\n"))
seed("fuzz_update_txt", "odd-values",
     "Version: 4294967296\nVersion: 7x\nRelease time: 2024-02-30T25:61:61Z\n")

# config.ini
seed("fuzz_settings", "both-keys", "read_only=1\nengines_folder=/opt/corvane/engines\n")
seed("fuzz_settings", "section", "; installation\nread_only=false\n[scanner]\nkey=value\n")
seed("fuzz_settings", "bytes", b"read_only=true\nengines_folder=/srv/e\xff\xfe ngines\n")

# UpdateServer.txt
seed("fuzz_deploy_platform", "beta", '{"platform": "beta"}')
seed("fuzz_deploy_platform", "number", '{"platform": 1}')
seed("fuzz_deploy_platform", "array", '["platform"]')
seed("fuzz_deploy_platform", "nested",
     '{"other": {"a": [1, 2.5e3, {"b": null}]}, "platform": "b\\u00e9ta\\u0000x"}')

# Command lines: NUL-separated arguments.
for name, tokens in {
        "custom": [b"--custom", b"/srv/a b; /c", b"--scan-archives", b"--quarantine"],
        "prefixes": [b"--qui", b"--scan-result=/tmp/r.xml", b"--delete"],
        "bytes": [b"--custom=/srv/a\xffb", b"--scan-result", b"out\xfe.xml"],
        "ambiguous": [b"--qu", b"--help"],
        "jobs": [b"--product-info", b"--updatedefs", b"--updateapp", b"--definitions-info"]}.items():
    seed("fuzz_command_line", name, b"\0".join(tokens))

# Scan result records (see fuzz_scan_result.cpp for the layout).
def record(path, containers=b"", inner=b"", status=1, threat=b"Corvane.Test.EICAR", depth=0):
    number = lambda value: struct.pack("<I", value & 0xFFFFFFFF)
    return (number(1) + path + b"\0" + containers + b"\0" + inner + b"\0" + number(3) +
            number(0) + number(status) + number(0) + number(2) + number(4242) + number(0) +
            threat + b"\0" + b"\0" + b"\0" + b"/tmp/x\0" + number(depth) + number(7))
seed("fuzz_scan_result", "plain",
     b"\x02\x01/srv/samples\0" + record(b"/srv/samples/eicar.com"))
seed("fuzz_scan_result", "archive",
     b"\x02\x02/srv\0/home/b\xc3\xa9\0" +
     record(b"/srv/nested.zip", b"nested.zip=>eicar.zip", b"eicar.com", depth=2) +
     record(b"/srv/x", status=2))
def raw(unit):
    digits = b""
    for _ in range(4):
        digits += bytes([unit % 255 + 1])
        unit //= 255
    return b"\xff" + digits
seed("fuzz_scan_result", "controls",
     b"\x02\x01/srv/a\nb\0" + record(b"/srv/\x1b]0;title\x07" + raw(0xD800)) +
     record(b"\xed\xa0\x80/" + raw(0x110000) + raw(0xFFFE)))

# Publisher keys and release indexes, made with the publishing tool.
tool = os.path.join(tree, "tools", "publish-definitions")
keys = os.path.join(work, "keys")
run(tool, "genkey", "--private", os.path.join(keys, "private.pem"),
    "--public", os.path.join(keys, "public.pem"))
with open(os.path.join(keys, "public.pem"), "rb") as stream:
    seed("fuzz_publisher_key", "ed25519", stream.read())
run("openssl", "genpkey", "-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256",
    "-out", os.path.join(keys, "ec.pem"))
run("openssl", "pkey", "-in", os.path.join(keys, "ec.pem"), "-pubout",
    "-out", os.path.join(keys, "ec.pub"))
with open(os.path.join(keys, "ec.pub"), "rb") as stream:
    seed("fuzz_publisher_key", "not-ed25519", stream.read())
with open(os.path.join(keys, "private.pem"), "rb") as stream:
    seed("fuzz_publisher_key", "private-half", stream.read())

signatures = os.path.join(work, "signatures")
os.makedirs(signatures)
for name in ("main.ndb", "daily.hdb"):
    with open(os.path.join(signatures, name), "w") as stream:
        stream.write("Corvane.Test.Sample:0:*:434f5256414e45\n")
release = os.path.join(work, "release")
run(tool, "release", "--key", os.path.join(keys, "private.pem"), "--version", "2024.06.1",
    "--sequence", "17", signatures, release)
with open(os.path.join(release, "index.json"), "rb") as stream:
    index = stream.read()
with open(os.path.join(release, "index.json.sig"), "rb") as stream:
    signature = stream.read()
seed("fuzz_release_index", "genuine", b"\x01" + index)
seed("fuzz_release_index", "other-key", b"\x00" + bytes([len(signature)]) + signature + index)
bad = json.loads(index)
bad["files"].append(dict(bad["files"][0], name="../evil.ndb"))
seed("fuzz_release_index", "unsafe-name", b"\x01" + json.dumps(bad).encode())
bad["files"] = [dict(bad["files"][0], name="CON.ndb", size=-1, sha256="ABC")]
seed("fuzz_release_index", "bad-entry", b"\x01" + json.dumps(bad).encode())

# Authenticode: a test root, a code-signing publisher, and the test program signed by it.
pki = os.path.join(work, "pki")
os.makedirs(pki)
p = lambda name: os.path.join(pki, name)
with open(p("root.cnf"), "w") as stream:
    stream.write("[req]\ndistinguished_name=dn\n[dn]\n[ca]\nbasicConstraints=critical,CA:true\n"
                 "keyUsage=critical,keyCertSign,cRLSign\n[publisher]\nbasicConstraints=CA:false\n"
                 "keyUsage=critical,digitalSignature\nextendedKeyUsage=codeSigning\n")
run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", p("root.key"),
    "-out", p("root.pem"), "-days", "36500", "-subj", "/CN=Corvane Fuzz Test Root",
    "-config", p("root.cnf"), "-extensions", "ca")
run("openssl", "req", "-newkey", "rsa:2048", "-nodes", "-keyout", p("publisher.key"),
    "-out", p("publisher.csr"), "-subj", "/CN=Corvane Fuzz Publisher/O=Corvane",
    "-config", p("root.cnf"))
run("openssl", "x509", "-req", "-in", p("publisher.csr"), "-CA", p("root.pem"),
    "-CAkey", p("root.key"), "-CAcreateserial", "-days", "36500", "-out", p("publisher.pem"),
    "-extfile", p("root.cnf"), "-extensions", "publisher")
os.makedirs(os.path.join(tree, "fuzz", "data"), exist_ok=True)
with open(p("root.pem"), "rb") as stream, \
        open(os.path.join(tree, "fuzz", "data", "test-root.pem"), "wb") as out:
    out.write(stream.read())
unsigned = os.path.join(tree, "tests", "Fixtures", "unsigned-console.exe")
run("osslsigncode", "sign", "-certs", p("publisher.pem"), "-key", p("publisher.key"),
    "-h", "sha256", "-in", unsigned, "-out", p("signed.exe"))
with open(unsigned, "rb") as stream:
    seed("fuzz_pe_image", "unsigned", stream.read())
with open(p("signed.exe"), "rb") as stream:
    signed = stream.read()
seed("fuzz_pe_image", "signed", signed)
pe = struct.unpack_from("<I", signed, 0x3C)[0]
offset, size = struct.unpack_from("<II", signed, pe + 24 + 144)
length = struct.unpack_from("<I", signed, offset)[0]
seed("fuzz_pe_signature", "signed", signed[offset + 8:offset + length])
seed("fuzz_pe_signature", "bytes-after-signature",
     signed[offset + 8:offset + length] + b"appended payload")

# Components-service replies: the first byte chooses the size of the pieces the reply arrives in.
namespace = "http://services.corvane.test/"
def envelope(body, soap11=False):
    uri = ("http://schemas.xmlsoap.org/soap/envelope/" if soap11
           else "http://www.w3.org/2003/05/soap-envelope")
    return ('<?xml version="1.0" encoding="utf-8"?><soap:Envelope xmlns:soap="' + uri +
            '" xmlns:xsi="http://www.w3.org/2001/XMLSchema-instance" '
            'xmlns:xsd="http://www.w3.org/2001/XMLSchema"><soap:Body>' + body +
            "</soap:Body></soap:Envelope>")
def http(body, status="200 OK", content_type="application/soap+xml; charset=utf-8"):
    return ("HTTP/1.1 " + status + "\r\nContent-Type: " + content_type + "\r\nContent-Length: " +
            str(len(body.encode())) + "\r\nConnection: close\r\n\r\n" + body)
def component(fields):
    return ('<GetComponentResponse xmlns="' + namespace + '"><GetComponentResult>' +
            "".join(f"<{k}>{v}</{k}>" for k, v in fields) +
            "</GetComponentResult></GetComponentResponse>")
fields = [("Id", "CorvaneCommandLineScanner"), ("Notes", "Fixes &amp; more"),
          ("Version", "12.8.2000.0"), ("DownloadUrl", "https://former.corvane.test/get?x=1")]
seed("fuzz_components_reply", "newer", b"\x00" + http(envelope(component(fields))).encode())
seed("fuzz_components_reply", "soap11-pieces",
     b"\x03" + http(envelope(component(fields[:3]), soap11=True),
                    content_type="text/xml; charset=utf-8").encode())
body = envelope(component([("Id", "&#x41;&#65;"), ("Version", "<![CDATA[1.2.3.4]]>"),
                           ("Notes", "\u00e9\u4e2d\U0001f600")]))
chunks = "".join(f"{len(part.encode()):x}\r\n{part}\r\n" for part in (body[:50], body[50:]))
seed("fuzz_components_reply", "chunked",
     b"\x00" + ("HTTP/1.1 200 OK\r\nContent-Type: application/soap+xml\r\n"
                "Transfer-Encoding: chunked\r\n\r\n" + chunks + "0\r\n\r\n").encode())
seed("fuzz_components_reply", "fault",
     b"\x00" + http(envelope('<soap:Fault><soap:Code><soap:Value>soap:Receiver</soap:Value>'
                             '</soap:Code><soap:Reason><soap:Text xml:lang="en">Server was '
                             'unable</soap:Text></soap:Reason></soap:Fault>'),
                    status="500 Internal Server Error").encode())
seed("fuzz_components_reply", "no-result",
     b"\x00" + http(envelope('<GetComponentResponse xmlns="' + namespace + '"/>')).encode())
# Frames on the engine service's named pipe: a handle value (all ones for none), a length, a body
# (a type byte, then the fields).
def pipe_frame(body, handle=0xFFFFFFFFFFFFFFFF):
    return struct.pack("<QI", handle, len(body)) + body
hello = b"\x01" + struct.pack("<I", 1)
seed("fuzz_scan_protocol", "pipe-hello-scan-folder",
     pipe_frame(hello) + pipe_frame(b"\x04\x01", 0x1A4) + pipe_frame(b"\x0c", 0x1A8))
seed("fuzz_scan_protocol", "pipe-handle-with-hello", pipe_frame(hello, 0x10))
print("Seeds written under " + corpus)
