#!/usr/bin/python3
"""NTLM-checking HTTP origin server for Tachyload's tests (loopback only).

Run with Debian's /usr/bin/python3 (python3-ntlm-auth lives in its dist-packages).
Prints "READY <port>" on stdout once it listens. Stop it with SIGTERM to its PID.
"""
import argparse, base64, hashlib, hmac, os, struct, sys, tempfile, urllib.parse

# MD4 is in OpenSSL 3's legacy provider, which Debian 12 ships but does not load.
try:
    hashlib.new("md4")
    if os.environ.pop("NTLMSRV_REEXEC", None):      # re-executed: the config has been read
        os.remove(os.environ["OPENSSL_CONF"]); os.rmdir(os.path.dirname(os.environ["OPENSSL_CONF"]))
except ValueError:
    if os.environ.get("NTLMSRV_REEXEC"):
        sys.exit("md4 unavailable even with the legacy provider")
    cnf = os.path.join(tempfile.mkdtemp(prefix="ntlmsrv"), "openssl.cnf")
    with open(cnf, "w") as f:
        f.write("openssl_conf = init\n[init]\nproviders = prov\n[prov]\n"
                "default = dflt\nlegacy = lgcy\n[dflt]\nactivate = 1\n[lgcy]\nactivate = 1\n")
    os.environ.update(OPENSSL_CONF=cnf, NTLMSRV_REEXEC="1")
    os.execv(sys.executable, [sys.executable] + sys.argv)

from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from ntlm_auth.compute_hash import _ntowfv2
from ntlm_auth.compute_response import ComputeResponse as CR

# Self-check with the published NTLMv1 vector ([MS-NLMP] 4.2.2): password "Password".
_VCH = bytes.fromhex("0123456789abcdef")
assert CR._get_LMv1_response("Password", _VCH).hex() == "98def7b87f88aa5dafe2df779688a172def11c7d5ccdef13"
assert CR._get_NTLMv1_response("Password", _VCH)[0].hex() == "67c43011f30298a2ad35ece64f16331c44bdbed927841f94"

NEG_UNICODE, NEG_OEM, REQ_TARGET, NEG_NTLM = 0x1, 0x2, 0x4, 0x200
NEG_ALWAYS_SIGN, TARGET_DOMAIN, NEG_ESS, NEG_TARGET_INFO = 0x8000, 0x10000, 0x80000, 0x800000


def field(msg, off):
    """Security buffer (length, offset) at off -> bytes, clipped to the message."""
    ln, _, start = struct.unpack_from("<HHI", msg, off)
    return msg[start:start + ln]


def type2(challenge, with_target_info, ess):
    name = "TESTDOM".encode("utf-16-le")
    info = b""
    if with_target_info:
        for t, v in ((2, "TESTDOM"), (1, "TESTSRV")):
            v = v.encode("utf-16-le")
            info += struct.pack("<HH", t, len(v)) + v
        info += b"\0\0\0\0"
    flags = NEG_UNICODE | REQ_TARGET | NEG_NTLM | NEG_ALWAYS_SIGN | TARGET_DOMAIN
    if with_target_info:
        flags |= NEG_TARGET_INFO
    if ess:
        flags |= NEG_ESS
    hdr = 48
    msg = b"NTLMSSP\0" + struct.pack("<I", 2)
    msg += struct.pack("<HHI", len(name), len(name), hdr) + struct.pack("<I", flags)
    msg += challenge + b"\0" * 8
    msg += struct.pack("<HHI", len(info), len(info), hdr + len(name))
    return msg + name + info


def verify(msg, cfg):
    """Check a type-3 message; returns (ok, description)."""
    if len(msg) < 64 or msg[:8] != b"NTLMSSP\0" or struct.unpack_from("<I", msg, 8)[0] != 3:
        return False, "not a type-3 message"
    flags = struct.unpack_from("<I", msg, 60)[0]
    lm, nt = field(msg, 12), field(msg, 20)
    enc = "utf-16-le" if flags & NEG_UNICODE else "latin-1"
    dom, user, ws = (field(msg, o).decode(enc, "replace") for o in (28, 36, 44))
    who = "user=%s domain=%s ws=%s flags=0x%08x lm=%s nt=%s" % (user, dom, ws, flags, lm.hex(), nt.hex())
    if user.lower() != cfg.user.lower():
        return False, "wrong user; " + who
    ch, pw = cfg.challenge, cfg.password
    if len(nt) == 24:
        if lm[8:] == b"\0" * 16 and nt == CR._get_NTLM2_response(pw, ch, lm[:8])[0]:
            return True, "mode=ntlm2-session " + who
        nt_ok = nt == CR._get_NTLMv1_response(pw, ch)[0]
        lm_ok = lm == CR._get_LMv1_response(pw, ch)
        return nt_ok and lm_ok, "mode=v1 nt_ok=%s lm_ok=%s %s" % (nt_ok, lm_ok, who)
    if len(nt) > 24:
        key = _ntowfv2(user, pw, dom)
        ok = hmac.new(key, ch + nt[16:], hashlib.md5).digest() == nt[:16]
        return ok, "mode=v2 ok=%s %s" % (ok, who)
    return False, "NT response of %d bytes; %s" % (len(nt), who)


class Handler(BaseHTTPRequestHandler):
    def log_message(self, fmt, *args):
        sys.stderr.write("%s conn=%d %s\n" % (self.log_date_time_string(), id(self.connection), fmt % args))

    def reply(self, code, body, challenges=(), extra=()):
        body = body.encode()
        self.send_response(code)
        for c in challenges:
            self.send_header("WWW-Authenticate", c)
        for line in extra:
            self.send_header(*line.split(": ", 1))
        self.send_header("Content-Type", "text/plain")
        self.send_header("Content-Length", str(len(body)))
        if self.close_connection and self.request_version == "HTTP/1.1":
            self.send_header("Connection", "close")
        if self.request_version == "HTTP/1.0" and not self.close_connection:
            self.send_header("Connection", "keep-alive")   # an HTTP/1.0 client closes otherwise
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def page(self, what):
        """The document once authenticated: /r?to=URL[&close=1] relocates to URL."""
        url = urllib.parse.urlsplit(self.path)
        query = urllib.parse.parse_qs(url.query)
        if url.path == "/r" and "to" in query:
            if "close" in query:
                self.close_connection = True
            extra = ["Location: " + query["to"][0]]
            return self.reply(302, "moved\n", extra=extra)
        return self.reply(200, "NTLM OK %s\n" % what)

    def handle_any(self):
        n = int(self.headers.get("Content-Length") or 0)
        if n:
            self.rfile.read(n)
        cfg = self.server.cfg
        # With --bind the handshake belongs to its connection (one handler per
        # connection): a fresh challenge for each type 1, a type 3 checked against
        # the challenge this connection was sent, and a connection that passed
        # needs no more credentials.
        auth = self.headers.get("Authorization", "")
        if cfg.bind and getattr(self, "authed", None) and not auth:
            return self.page(self.authed + " (connection authenticated)")
        offer = ["NTLM"] + (['Basic realm="ntlm-test"'] if cfg.basic else [])
        if not auth.upper().startswith("NTLM "):
            return self.reply(401, "need NTLM\n", offer)
        b64 = auth[5:].strip()
        msg = base64.b64decode(b64 + "=" * (-len(b64) % 4))
        kind = struct.unpack_from("<I", msg, 8)[0] if len(msg) >= 12 else 0
        if kind == 1:
            self.log_message("type1 %s", msg.hex())
            self.challenge = os.urandom(8) if cfg.bind else cfg.challenge
            t2 = base64.b64encode(type2(self.challenge, cfg.target_info, cfg.ess)).decode()
            return self.reply(401, "challenge\n", ["NTLM " + t2])
        if cfg.bind and getattr(self, "challenge", None) is None:
            ok, what = False, "no challenge on this connection"
        else:
            ok, what = verify(msg, argparse.Namespace(**{**vars(cfg), "challenge": self.challenge})
                              if cfg.bind else cfg)
        self.challenge = None
        self.log_message("type3 %s %s", "OK" if ok else "REFUSED", what)
        if ok:
            self.authed = what
            return self.page(what)
        return self.reply(401, "NTLM refused %s\n" % what, offer)

    do_GET = do_POST = do_PUT = do_HEAD = handle_any


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--port", type=int, default=0)          # 0: the kernel picks; see READY line
    ap.add_argument("--user", default="user")
    ap.add_argument("--password", default="pass")
    ap.add_argument("--challenge", default="0123456789abcdef")
    ap.add_argument("--target-info", action="store_true")   # add target info (AV pairs) to type 2
    ap.add_argument("--ess", action="store_true")           # flag 0x80000 in type 2: curl then sends NTLMv2
    ap.add_argument("--basic", action="store_true")         # also offer Basic in the 401
    ap.add_argument("--http10", action="store_true")        # HTTP/1.0: close after every response
    ap.add_argument("--bind", action="store_true")          # the handshake belongs to its connection
    ap.add_argument("--print-v1", action="store_true")      # print LM and NT responses for --password
    cfg = ap.parse_args()
    cfg.challenge = bytes.fromhex(cfg.challenge)
    if cfg.print_v1:                                        # independent values for unit tests
        print("LM", CR._get_LMv1_response(cfg.password, cfg.challenge).hex())
        print("NT", CR._get_NTLMv1_response(cfg.password, cfg.challenge)[0].hex())
        return
    Handler.protocol_version = "HTTP/1.0" if cfg.http10 else "HTTP/1.1"
    srv = ThreadingHTTPServer(("127.0.0.1", cfg.port), Handler)
    srv.daemon_threads = True
    srv.cfg = cfg
    print("READY %d" % srv.server_address[1], flush=True)
    srv.serve_forever()


if __name__ == "__main__":
    main()
