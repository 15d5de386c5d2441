#!/usr/bin/python3
"""squid's NTLM authentication helper for Tachyload's tests: one account, checked.

    squid_ntlm_auth.py USER PASSWORD

It answers every negotiation with the fixed challenge of ntlm_server.py and checks
the client's type-3 message with the same code (python3-ntlm-auth computes the
expected responses). Run it with Debian's /usr/bin/python3. squid's stateful
helper protocol, one line per message: "YR <type 1>" -> "TT <type 2>";
"KK <type 3>" -> "AF <user>" when it checks out, "NA <reason>" when not.
"""
import base64, os, sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
# squid starts its helpers with an environment in which Python cannot find itself;
# the re-execution below needs the interpreter's path.
if not sys.executable:
    sys.executable = "/usr/bin/python3"
import ntlm_server  # noqa: E402  (may re-execute this script once to load MD4)


class Account:
    def __init__(self, user, password):
        self.user, self.password = user, password
        self.challenge = bytes.fromhex("0123456789abcdef")


def decode(text):
    return base64.b64decode(text + "=" * (-len(text) % 4))


def main():
    account = Account(sys.argv[1], sys.argv[2])
    challenge = base64.b64encode(ntlm_server.type2(account.challenge, False, False)).decode()
    for line in sys.stdin:
        parts = line.split()
        if len(parts) >= 1 and parts[0] == "YR":
            answer = "TT " + challenge
        elif len(parts) >= 2 and parts[0] == "KK":
            ok, what = ntlm_server.verify(decode(parts[1]), account)
            sys.stderr.write("squid_ntlm_auth: type3 %s %s\n" % ("OK" if ok else "REFUSED", what))
            answer = ("AF " + account.user) if ok else "NA wrong user or password"
        else:
            answer = "BH unexpected request"
        sys.stdout.write(answer + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
