#!/usr/bin/env python3
"""Writes the generated seeds of the fuzz targets into fuzz/corpus/.

Run again after changing it; the output is the same every time (no time stamps,
no randomness), so a run with no change leaves git clean. The compressed seeds
come from the coders' own command-line tools (gzip, brotli, zstd; zlib for the
deflate formats), so they are streams a real server sends.
  - NTLM type 2 messages built from known fields: the two worked examples of the
    protocol's documentation (NTLM v1 and v2 challenges, "Server" in "Domain"),
    an OEM one, one laid out as a current server sends it, the old 32-byte form,
    and one with its payload in the other order; each raw and as header text.
  - Base64 texts as they arrive in headers, and some that bend the alphabet.
  - For each coding, streams of about 100 B, 4 KiB, 64 KiB and 300 KiB decoded
    (text that compresses well, so they stay small here) and odd framings. None
    reaches the decoders' 4 MiB output limit: such a seed and its mutants slow
    a target down more than tenfold.
"""
import base64
import pathlib
import struct
import subprocess
import tempfile
import zlib

ROOT = pathlib.Path(__file__).resolve().parent.parent
CORPUS = ROOT / "fuzz" / "corpus"


def write(target, name, data):
    d = CORPUS / target
    d.mkdir(parents=True, exist_ok=True)
    (d / name).write_bytes(data)


# --- NTLM type 2 -------------------------------------------------------------

NEG_UNICODE, NEG_OEM, REQ_TARGET, NEG_NTLM = 0x1, 0x2, 0x4, 0x200
NEG_ALWAYS_SIGN, TARGET_DOMAIN, TARGET_SERVER = 0x8000, 0x10000, 0x20000
NEG_EXT_SEC, NEG_TARGET_INFO, NEG_VERSION = 0x80000, 0x800000, 0x2000000
NEG_128, NEG_KEY_EXCH, NEG_56 = 0x20000000, 0x40000000, 0x80000000
NEG_SIGN, NEG_SEAL = 0x10, 0x20
CHALLENGE = bytes.fromhex("0123456789abcdef")


def utf16(s):
    return s.encode("utf-16-le")


def av(pairs):
    out = b""
    for item, value in pairs:
        out += struct.pack("<HH", item, len(value)) + value
    return out + struct.pack("<HH", 0, 0)


def msg2(flags, name, info=None, version=b"", info_first=False, challenge=CHALLENGE):
    """The challenge message; info None gives the old form without target info."""
    head = 32 if info is None else 48 + len(version)
    if info is None:
        fixed = b""
        payload_name_at = head
        payload = name
    else:
        first, second = (info, name) if info_first else (name, info)
        name_at = head + (len(info) if info_first else 0)
        info_at = head + (0 if info_first else len(name))
        fixed = b"\0" * 8 + struct.pack("<HHI", len(info), len(info), info_at) + version
        payload_name_at = name_at
        payload = first + second
    name_buf = struct.pack("<HHI", len(name), len(name), payload_name_at if name else 0)
    return b"NTLMSSP\0" + struct.pack("<I", 2) + name_buf + struct.pack("<I", flags) + challenge + fixed + payload


def ntlm_seeds():
    v2_flags = (NEG_UNICODE | NEG_OEM | NEG_SIGN | NEG_SEAL | NEG_NTLM | NEG_ALWAYS_SIGN | TARGET_SERVER
                | NEG_EXT_SEC | NEG_TARGET_INFO | NEG_VERSION | NEG_128 | NEG_KEY_EXCH | NEG_56)
    win_version = bytes.fromhex("060070170000000f")  # 6.0 build 6000, revision 15
    examples = {
        # The v2 worked example: "Server", target info with "Domain" and "Server".
        "documented_v2": msg2(v2_flags, utf16("Server"),
                              av([(2, utf16("Domain")), (1, utf16("Server"))]), win_version),
        # The v1 worked example has no target information item.
        "documented_v1": msg2(v2_flags & ~(NEG_TARGET_INFO | NEG_EXT_SEC), utf16("Server"),
                              b"", win_version),
        "oem_domain": msg2(NEG_OEM | REQ_TARGET | NEG_NTLM | TARGET_DOMAIN | NEG_TARGET_INFO, b"DOMAIN",
                           av([(2, utf16("DOMAIN")), (1, utf16("SERVER")), (4, utf16("domain.com")),
                               (3, utf16("server.domain.com"))])),
        "current_server": msg2(
            v2_flags, utf16("CORP"),
            av([(2, utf16("CORP")), (1, utf16("WEB01")), (4, utf16("corp.example.org")),
                (3, utf16("web01.corp.example.org")), (5, utf16("example.org")),
                (7, struct.pack("<Q", 133_000_000_000_000_000)), (6, struct.pack("<I", 2)),
                (9, utf16("HTTP/web01.corp.example.org"))]),
            bytes([10, 0]) + struct.pack("<H", 19041) + b"\0\0\0\x0f",
            challenge=bytes.fromhex("8e1c6b0f4a2d7391")),
        "old_form_no_name": msg2(NEG_OEM | NEG_NTLM, b""),
        "info_before_name": msg2(v2_flags, utf16("Server"),
                                 av([(1, utf16("Server")), (2, utf16("Domain"))]), win_version, info_first=True),
    }
    for name, m in examples.items():
        write("ntlm_msg2_fuzz", name, b"\x01" + m)
    for name in ("documented_v2", "current_server"):
        write("ntlm_msg2_fuzz", name + "_text", b"\x00" + base64.b64encode(examples[name]))


# --- Base64 ------------------------------------------------------------------

def base64_seeds():
    seeds = {
        "basic_credentials": base64.b64encode(b"Aladdin:open sesame"),
        "pad_one": base64.b64encode(b"ab"),
        "pad_two": base64.b64encode(b"a"),
        "no_pad": base64.b64encode(b"abc"),
        "ntlm_type1": base64.b64encode(b"NTLMSSP\0\x01\0\0\0\x07\x82\x08\xa2" + b"\0" * 16),
        "all_bytes": base64.b64encode(bytes(range(256))),
        "wrapped_lines": base64.encodebytes(bytes(range(256)) * 2).replace(b"\n", b"\r\n"),
        "url_alphabet": base64.urlsafe_b64encode(bytes(range(200, 256))),
        "pad_inside": b"QQ==QkM=",
        "stray_bytes": b"TlR MTV\tNTUAA*CAAA\x00AAA",
        "raw_binary": bytes(range(0, 256, 7)),
    }
    for name, data in seeds.items():
        write("base64_fuzz", name, data)


# --- Compressed codings ------------------------------------------------------

def page_text(size):
    """HTML-like text: a few paragraphs repeated with a running number."""
    words = ("speed", "page", "download", "header", "chunk", "server", "proxy", "socket", "bytes", "time")
    out, n = [b"<html><head><title>Load test</title></head><body>\n"], 0
    length = len(out[0])
    while length < size:
        line = b"<p>%s %s %s, %d ms.</p>\n" % (
            words[n % 10].encode(), words[(n * 3) % 10].encode(), words[(n * 7) % 10].encode(), (n % 7) * 10 + n % 3)
        out.append(line)
        length += len(line)
        n += 1
    return b"".join(out)[:size]


SIZES = {"100b": 100, "4k": 4096, "64k": 65536, "300k": 300 * 1024}
# Bytes 0-3 of a decoder seed choose how it is cut: whole against pieces of up to
# 4 KiB (even) or 64 bytes (odd).
CUTS = [b"\x00\x00\x00\x00", b"\x07\x00\x00\x00", b"\x2a\x9e\x31\x5c", b"\x01\x00\x01\x00"]


def tool(cmd, data):
    """Runs a coder on a file, not a pipe: knowing the size, zstd and brotli choose a
    window to fit it instead of their largest, which the decoder would allocate on
    every run of the fuzz target."""
    with tempfile.TemporaryDirectory() as d:
        path = pathlib.Path(d) / "page"
        path.write_bytes(data)
        return subprocess.run(cmd + [str(path)], stdout=subprocess.PIPE, check=True).stdout


def deflate(data, wbits, level=9):
    c = zlib.compressobj(level, zlib.DEFLATED, wbits)
    return c.compress(data) + c.flush()


def gzip_member(data, flags, fields):
    """A gzip member written field by field, for the header flags gzip -n never sets."""
    head = b"\x1f\x8b\x08" + bytes([flags]) + b"\0\0\0\0\x00\x03" + fields
    if flags & 0x02:
        head += struct.pack("<H", zlib.crc32(head) & 0xFFFF)
    return head + deflate(data, -15, 1) + struct.pack("<II", zlib.crc32(data), len(data))


def coder_seeds():
    codings = {
        "gzip_fuzz": lambda d: tool(["gzip", "-9", "-n", "-c"], d),
        "deflate_fuzz": lambda d: deflate(d, 15),
        "brotli_fuzz": lambda d: tool(["brotli", "-q", "11", "-c"], d),
        "zstd_fuzz": lambda d: tool(["zstd", "-q", "-19", "-c"], d),
    }
    for target, code in codings.items():
        for i, (name, size) in enumerate(SIZES.items()):
            write(target, "text_" + name, CUTS[i % len(CUTS)] + code(page_text(size)))
    text = page_text(SIZES["4k"])
    odd = {
        "gzip_fuzz": {
            "named_fast": gzip_member(text, 0x08, b"page.html\0"),
            "all_header_fields": gzip_member(text, 0x1E, struct.pack("<H", 6) + b"TL\x02\x00ab" + b"page.html\0"
                                             + b"a comment\0"),
            "two_members": tool(["gzip", "-n", "-c"], text[:1000]) + tool(["gzip", "-n", "-c"], text[1000:]),
            "stored": tool(["gzip", "-n", "-c", "-1"], bytes(range(256)) * 4),
        },
        "deflate_fuzz": {
            "raw_fast": deflate(text, -15, 1),
            "zlib_small_window": deflate(text, 9),
            "raw_stored": deflate(bytes(range(256)) * 4, -15, 0),
        },
        "brotli_fuzz": {
            "fast_small_window": tool(["brotli", "-q", "1", "-w", "10", "-c"], text),
            "incompressible": tool(["brotli", "-q", "5", "-c"], bytes((i * 131 + 7) % 251 for i in range(3000))),
        },
        "zstd_fuzz": {
            "no_check": tool(["zstd", "-q", "-3", "--no-check", "-c"], text),
            "two_frames": tool(["zstd", "-q", "-c"], text[:1000]) + tool(["zstd", "-q", "-c"], text[1000:]),
            "raw_blocks": tool(["zstd", "-q", "-1", "-c"], bytes((i * 131 + 7) % 251 for i in range(3000))),
        },
    }
    for target, seeds in odd.items():
        for i, (name, data) in enumerate(seeds.items()):
            write(target, name, CUTS[(i + 2) % len(CUTS)] + data)


# --- HTTP/2 responses ----------------------------------------------------------
# What a server sends after the client's first request (stream 1): byte 0 seeds
# the piece sizes, byte 1 asks for HEAD (low bit), then the frames.


def h2_frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + struct.pack(">I", stream) + payload


def h2_literal(name, value):
    # Literal field without indexing, new name; lengths below 127.
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def h2_headers(status_index, fields, end_stream):
    block = bytes([0x80 | status_index]) + b"".join(h2_literal(n, v) for n, v in fields)
    return h2_frame(1, 4 | (1 if end_stream else 0), 1, block)


def http2_seeds():
    settings = h2_frame(4, 0, 0, struct.pack(">HI", 4, 65535))
    ack = h2_frame(4, 1, 0)
    body = b"hello world\n" * 40
    length = [(b"content-length", str(len(body)).encode())]
    seeds = {
        "length": settings + h2_headers(8, length, False) + h2_frame(0, 1, 1, body),
        "chunks": settings + ack + h2_headers(8, [(b"content-type", b"text/plain")], False)
        + h2_frame(0, 0, 1, body[:100]) + h2_frame(0, 8, 1, b"\x03" + body[100:200] + b"pad")
        + h2_frame(0, 1, 1, body[200:]),
        "no_body_404": settings + h2_headers(13, [], True),
        "head": settings + h2_headers(8, length, True),
        "trailers": settings + h2_headers(8, [], False) + h2_frame(0, 0, 1, body)
        + h2_frame(1, 5, 1, h2_literal(b"x-trailer", b"1")),
        "continuation": settings + h2_frame(1, 0, 1, b"\x88" + h2_literal(b"x-a", b"a" * 100))
        + h2_frame(9, 4, 1, h2_literal(b"content-length", b"0")) + h2_frame(0, 1, 1),
        "informational": settings + h2_frame(1, 4, 1, b"\x08\x03103") + h2_headers(8, length, False)
        + h2_frame(0, 1, 1, body),
        "rst_stream": settings + h2_headers(8, length, False) + h2_frame(0, 0, 1, body[:10])
        + h2_frame(3, 0, 1, struct.pack(">I", 2)),
        "goaway": settings + h2_frame(6, 0, 0, b"12345678") + h2_frame(7, 0, 0, struct.pack(">II", 0, 0)),
        "short_body": settings + h2_headers(8, length, False) + h2_frame(0, 1, 1, body[:5]),
        "window_update": settings + h2_frame(8, 0, 0, struct.pack(">I", 1 << 20)) + h2_headers(8, length, False)
        + h2_frame(0, 1, 1, body),
    }
    for i, (name, frames) in enumerate(seeds.items()):
        write("http2_response_fuzz", name, bytes([i * 37 % 256, 1 if name == "head" else 0]) + frames)


if __name__ == "__main__":
    http2_seeds()
    ntlm_seeds()
    base64_seeds()
    coder_seeds()
