#include "testsupport/TestCa.h"

namespace testsupport {

namespace {

const char* BaseName(TestCert which) {
  switch (which) {
    case TestCert::kGood:
      return "good";
    case TestCert::kExpired:
      return "expired";
    case TestCert::kOtherHost:
      return "other";
    case TestCert::kSelfSigned:
      return "self";
    case TestCert::kWildcards:
      return "wild";
  }
  return "good";
}

// One shell script, so a failure shows in one place with openssl's own words.
// "openssl ca" is used for the leaves because it alone sets arbitrary dates.
const char* kScript = R"SH(
set -e
cd "$1"
O=/usr/bin/openssl
key() { $O genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out "$1" 2>/dev/null; }
key ca.key
$O req -x509 -new -key ca.key -subj "/CN=Tachyload Test CA" -days 3650 -out ca.pem \
  -addext "basicConstraints=critical,CA:TRUE" -addext "keyUsage=critical,keyCertSign,cRLSign"
: > index.txt
echo 1000 > serial
cat > ca.cnf <<CNF
[ca]
default_ca = tl
[tl]
database = index.txt
new_certs_dir = .
serial = serial
default_md = sha256
policy = pol
unique_subject = no
[pol]
commonName = supplied
[local]
subjectAltName = DNS:localhost,IP:127.0.0.1,IP:127.0.0.2,IP:::1
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
[other]
subjectAltName = DNS:other.example
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
[wild]
subjectAltName = DNS:w*.partial.example,DNS:*.full.example
basicConstraints = CA:FALSE
extendedKeyUsage = serverAuth
CNF
leaf() {  # name cn extensions start end
  key "$1.key"
  $O req -new -key "$1.key" -subj "/CN=$2" -out "$1.csr"
  $O ca -batch -config ca.cnf -cert ca.pem -keyfile ca.key -extensions "$3" -startdate "$4" \
    -enddate "$5" -notext -in "$1.csr" -out "$1.pem" 2>&1
}
leaf good localhost local 20200101000000Z 20491231000000Z
leaf expired localhost local 20200101000000Z 20200201000000Z
leaf other other.example other 20200101000000Z 20491231000000Z
leaf wild wild.example wild 20200101000000Z 20491231000000Z
key self.key
$O req -x509 -new -key self.key -subj "/CN=localhost" -days 3650 -out self.pem \
  -addext "subjectAltName=DNS:localhost,IP:127.0.0.1"
)SH";

}  // namespace

TestCa::TestCa() {
  const auto [status, out] = RunAndCapture({"/bin/sh", "-c", kScript, "sh", dir_.Path()}, Millis(30000));
  ok_ = status == 0;
  if (!ok_) error_ = "openssl failed (status " + std::to_string(status) + "): " + out;
}

std::string TestCa::CertFile(TestCert which) const {
  return dir_.File(std::string(BaseName(which)) + ".pem");
}

std::string TestCa::KeyFile(TestCert which) const {
  return dir_.File(std::string(BaseName(which)) + ".key");
}

std::string TestCa::NginxServerBlock(uint16_t port, TestCert which, const std::string& root,
                                     const std::string& protocols, const std::string& extra) const {
  const std::string p = std::to_string(port);
  const std::string v6 = IPv6LoopbackAvailable() ? "        listen [::1]:" + p + " ssl;\n" : std::string();
  return "    server {\n        listen 127.0.0.1:" + p + " ssl;\n        listen 127.0.0.2:" + p + " ssl;\n" +
         v6 + "        server_name localhost;\n        root " + root + ";\n        ssl_certificate " +
         CertFile(which) + ";\n        ssl_certificate_key " + KeyFile(which) + ";\n        ssl_protocols " +
         protocols + ";\n" + extra + "    }\n";
}

}  // namespace testsupport
