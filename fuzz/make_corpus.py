"""Writes the seed corpora of the fuzzers, one folder each: small inputs,
valid and not. The minisign seeds need the minisign program."""
import gzip
import os
import struct
import subprocess
import tempfile

HERE = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def write(target, seeds):
    folder = os.path.join(HERE, target)
    os.makedirs(folder, exist_ok=True)
    for name, blob in seeds.items():
        with open(os.path.join(folder, name), "wb") as f:
            f.write(blob)


def pack(members, count=None, data=b""):
    block = bytearray(89 * 101)
    struct.pack_into("<i", block, 0, len(members) if count is None else count)
    for i, (start, end, name) in enumerate(members, 1):
        struct.pack_into("<iiB", block, 89 * i, start, end, len(name))
        block[89 * i + 9:89 * i + 9 + len(name)] = name
    return data + bytes(block)


write("pack", {
    "empty": pack([]),
    "two": pack([(0, 3, b"a.txt"), (3, 6, b"d\\e\\f.bin")], data=b"abcdef"),
    "overlap": pack([(0, 4, b"x"), (2, 6, b"x")], data=b"abcdef"),
    "escape": pack([(0, 1, b"..\\up"), (0, 1, b"\\abs"), (0, 1, b"C:\\d")], data=b"z"),
    "own": pack([(0, 1, b"a.txt"), (0, 1, b".\\update.pub")], data=b"z"),
    "bad_count": pack([], count=1000),
    "bad_range": pack([(5, 1, b"r")], data=b"zz"),
    "short": b"tiny",
})

sha = "ab" * 32
write("entry", {
    "release": b"skiff-release 7 codepage=950\r\nE a.exe.0123456789abcdef.gz a.exe 7 10 " + sha.encode() +
               b" 0755 " + sha.encode() + b"\r\nO r.txt r.txt 7 3 - 0644\r\nC d.pack.gz d.pack 7 99 " +
               sha.encode() + b" 0644,0600 " + (sha + "," + sha).encode() + b"\r\nD - old.dll 6 4 " +
               sha.encode() + b"\r\n\0KOVRAN\r\na.exe 6\r\nr.txt 7\r\n\r\n",
    "odd": b"h\r\nU 1 E x y 1 1\r\n  O  a\tb  c 2 x\r\nE\r\nC a b 1 99999999999999999999\r\n\0KOVRAN\r\nA 1\r\na 2\r\n",
    "header": b"skiff-release 1 codepage= codepage=936 codepage=99999\r\n",
})

# The first byte picks the names' code page (0: the system's, 1: Big5).
write("names", {
    "own": b"\0.\\skiff\n./update.pub\nUPDATE2.DAT\nupimg\\0c.jpg\n.skiff-lock\nupdate.log.1\nisp0.dat/\n",
    "other": b"\0data\\maps\\a.bin\nportal.exe\nskiff2\nupdate.pub.old\na/./b\n\\skiff\n..\\app\\skiff\n",
    "big5": b"\1\xa4\\skiff\n\xb3\\update.pub\nupimg\\\xa4\xa4.jpg\n",
})

raw = b"hello, gzip " * 50
whole = gzip.compress(raw)
write("gzip", {
    "whole": whole,
    "cut": whole[:len(whole) // 2],
    "two_members": whole + gzip.compress(b"second"),
    "trailing": whole + b"junk after the member",
    "plain": b"not gzip at all",
    "empty": b"",
})

write("ftp_reply", {
    "pasv": b"227 Entering Passive Mode (127,0,0,1,4,51)\r\n",
    "pasv_five": b"227 Entering Passive Mode (127,0,0,1,4,)\r\n",
    "pasv_big": b"227 (300,1,1,1,1,1)",
    "bytes": b"150 Opening BINARY mode data connection for f (2241 bytes)",
    "kbytes": b"150 91566.2 kbytes to download",
    "multi": b"220-Welcome\r\n",
    "http": b"HTTP/1.1 200 OK",
})

# http_reply: four bytes of piece sizes, then a response.
write("http_reply", {
    "whole": b"\x05\x01\x40\x07HTTP/1.1 200 OK\r\nContent-Length: 5\r\nETag: \"abc\"\r\n\r\nhello",
    "range": b"\x03\x11\x02\xffHTTP/1.1 206 Partial Content\r\nContent-Range: bytes 10-19/100\r\n"
             b"Content-Length: 10\r\n\r\n0123456789",
    "chunked": b"\x01\x02\x03\x04HTTP/1.1 200 OK\r\nTransfer-Encoding: gzip, chunked\r\n\r\n"
               b"5;ext=1\r\nhello\r\n0\r\nX-Trailer: y\r\n\r\n",
    "redirect": b"\x09\x09\x09\x09HTTP/1.0 302 Found\nLocation: //other.example:8080/x/y?z#f\nConnection: close\n\n",
    "unsatisfiable": b"\x20\x20\x20\x20HTTP/1.1 416 Range Not Satisfiable\r\nContent-Range: bytes */42\r\n"
                     b"Last-Modified: Tue, 01 Dec 2026 10:00:00 GMT\r\n\r\n",
})


def pieces(mode, chunks, drop=()):
    """http_session: a mode byte, then pieces of at most 127 bytes; the high
    bit of a piece's length byte drops the server's connection first."""
    out = bytes([mode])
    for i, c in enumerate(chunks):
        for j in range(0, len(c), 127):
            part = c[j:j + 127]
            out += bytes([len(part) | (0x80 if i in drop and j == 0 else 0)]) + part
    return out


write("http_session", {
    "whole": pieces(0, [b"HTTP/1.1 200 OK\r\nContent-Length: 5\r\n\r\nhello"]),
    "range": pieces(3, [b"HTTP/1.1 206 Partial\r\nContent-Range: bytes 10-109/200\r\nContent-Length: 100\r\n\r\n",
                        b"x" * 100]),
    "chunked": pieces(0, [b"HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n", b"5\r\nhel", b"lo\r\n0\r\n\r\n"]),
    "redirect": pieces(0, [b"HTTP/1.1 302 Found\r\nLocation: /b\r\nContent-Length: 0\r\n\r\n",
                           b"HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok"]),
    "reconnect": pieces(0, [b"HTTP/1.1 301 Moved\r\nLocation: https://other.invalid/x\r\n\r\n",
                            b"HTTP/1.1 200 Connection established\r\n\r\n"], drop=(1,)),
    "overflow": pieces(4, [b"HTTP/1.1 200 OK\r\n\r\n", b"y" * 1200]),
    "tunnel": pieces(8, [b"HTTP/1.1 407 Proxy Authentication Required\r\n\r\n"]),
})

if subprocess.run(["which", "minisign"], capture_output=True).returncode == 0:
    with tempfile.TemporaryDirectory() as d:
        pub, sec, msg = (os.path.join(d, n) for n in ("k.pub", "k.key", "update3.dat"))
        subprocess.run(["minisign", "-G", "-W", "-p", pub, "-s", sec], check=True, capture_output=True)
        with open(msg, "wb") as f:
            f.write(b"skiff-release 7 codepage=950\r\nO a a 7 1\r\n")
        subprocess.run(["minisign", "-S", "-s", sec, "-m", msg, "-t", "serial:5\tcodepage:950"], check=True,
                       capture_output=True)
        key, signature, listed = (open(p, "rb").read() for p in (pub, msg + ".minisig", msg))
        write("minisign", {
            "signed": key + b"\0" + signature + b"\0" + listed,
            "empty_line": key + b"\0" + signature.replace(signature.split(b"\n")[1], b"") + b"\0" + listed,
            "legacy": b"untrusted comment: x\nRWQ=\n\0untrusted comment: s\nEd\n",
        })
