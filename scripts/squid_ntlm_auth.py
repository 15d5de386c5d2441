#!/usr/bin/python3
"""squid's NTLM authentication helper for Tachyload's tests: one account, checked.

    squid_ntlm_auth.py USER PASSWORD

It answers every negotiation with a fresh random challenge and checks the client's
type-3 message against it with ntlm_server.py's code (python3-ntlm-auth computes
the expected responses); a type 3 that answers no outstanding challenge fails. Run it with Debian's /usr/bin/python3. squid's stateful
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
        self.challenge = None  # issued by each negotiation, good for one answer


def decode(text):
    return base64.b64decode(text + "=" * (-len(text) % 4))


def main():
    account = Account(sys.argv[1], sys.argv[2])
    for line in sys.stdin:
        parts = line.split()
        if len(parts) >= 1 and parts[0] == "YR":
            # squid keeps a stateful helper for the connection between its two
            # messages: a fresh challenge that is good for one answer ties the
            # handshake to that connection.
            account.challenge = os.urandom(8)
            answer = "TT " + base64.b64encode(ntlm_server.type2(account.challenge, False, False)).decode()
        elif len(parts) >= 2 and parts[0] == "KK":
            if account.challenge is None:
                ok, what = False, "no challenge outstanding"
            else:
                ok, what = ntlm_server.verify(decode(parts[1]), account)
            account.challenge = None
            sys.stderr.write("squid_ntlm_auth: type3 %s %s\n" % ("OK" if ok else "REFUSED", what))
            answer = ("AF " + account.user) if ok else "NA wrong user or password"
        else:
            answer = "BH unexpected request"
        sys.stdout.write(answer + "\n")
        sys.stdout.flush()


if __name__ == "__main__":
    main()
