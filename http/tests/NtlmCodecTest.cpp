// The authentication codecs against published vectors (RFC 1320 for MD4, the
// DES validation pairs, RFC 4648 for Base64) and against an independent NTLM
// implementation (python3-ntlm-auth) for the LM and NT responses.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "http/DES.h"
#include "http/MD4.h"
#include "http/MimeUtils.h"
#include "http/NtlmMsgs.h"
#include "testsupport/NtlmServer.h"
#include "testsupport/Process.h"

namespace http {
namespace {

std::string Hex(std::string_view bytes) {
  static const char* const digits = "0123456789abcdef";
  std::string out;
  for (char c : bytes) {
    out += digits[static_cast<uint8_t>(c) >> 4];
    out += digits[static_cast<uint8_t>(c) & 15];
  }
  return out;
}

template <size_t N>
std::string Hex(const std::array<uint8_t, N>& a) {
  return Hex(std::string_view(reinterpret_cast<const char*>(a.data()), N));
}

std::string Unhex(std::string_view hex) {
  std::string out;
  for (size_t i = 0; i + 1 < hex.size(); i += 2)
    out += static_cast<char>(std::stoi(std::string(hex.substr(i, 2)), nullptr, 16));
  return out;
}

TDesBlock Block(std::string_view hex) {
  const std::string b = Unhex(hex);
  TDesBlock out{};
  std::copy(b.begin(), b.end(), out.begin());
  return out;
}

// --- MD4 ---

struct Md4Vector {
  std::string message;
  const char* digest;
};

std::string Alphabet(size_t length) {
  std::string s;
  for (size_t i = 0; i < length; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}

const std::vector<Md4Vector>& Rfc1320Suite() {
  static const std::vector<Md4Vector> suite = {
      {"", "31d6cfe0d16ae931b73c59d7e0c089c0"},
      {"a", "bde52cb31de33e46245e05fbdbd6fb24"},
      {"abc", "a448017aaf21d8525fc10ae87aa6729d"},
      {"message digest", "d9130a8164549fe818874806e1c7014b"},
      {"abcdefghijklmnopqrstuvwxyz", "d79e1c308aa5bbcdeea8ed63df412da9"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789", "043f8582f241db351ce627e153e7f0e4"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "e33b4ddc9c38f2199c3e7b164fcc0536"},
      // Around the padding boundaries (55 and 56 bytes: the length fits the last
      // block or not; 63, 64, 119, 120: one block more): "abc...zabc..." cut to
      // the length, digests from OpenSSL's MD4. The NT hash of a 28-character
      // password is 56 bytes.
      {Alphabet(55), "dd3d4546abbd95d12059090017f36605"},
      {Alphabet(56), "e72e93b48028e33f5cf0fa49017436c5"},
      {Alphabet(63), "4f58683635e5c54a102b623ac768a8d0"},
      {Alphabet(64), "0e15e9469255749a626ab50d260ca5de"},
      {Alphabet(119), "1ac68952bb71cb863e7fab2ba18e0298"},
      {Alphabet(120), "e787de409d1ad1c3094d67f980811c53"}};
  return suite;
}

TEST(Md4, Rfc1320SuiteWholeByteByByteAndSplitEverywhere) {
  for (const auto& [message, digest] : Rfc1320Suite()) {
    SCOPED_TRACE(message);
    EXPECT_EQ(Hex(Md4Digest(message)), digest);
    TMD4Context ctx;
    Md4Init(ctx);
    for (char c : message) Md4Update(ctx, std::string_view(&c, 1));
    EXPECT_EQ(Hex(Md4Final(ctx)), digest);
    for (size_t split = 0; split <= message.size(); ++split) {
      Md4Init(ctx);
      Md4Update(ctx, std::string_view(message).substr(0, split));
      Md4Update(ctx, std::string_view(message).substr(split));
      ASSERT_EQ(Hex(Md4Final(ctx)), digest) << "split at " << split;
    }
  }
}

TEST(Md4, ContextMustBeInitialisedForEveryDigest) {
  TMD4Context never;
  EXPECT_THROW(Md4Update(never, "x"), MD4Exception);
  EXPECT_THROW(Md4Final(never), MD4Exception);
  TMD4Context ctx;
  Md4Init(ctx);
  Md4Final(ctx);
  try {
    Md4Update(ctx, "x");
    ADD_FAILURE() << "no exception after Md4Final";
  } catch (const MD4Exception& e) {
    EXPECT_EQ(e.Message(), "MD4 not initialized");
  }
  EXPECT_THROW(Md4Final(ctx), MD4Exception);
}

// --- DES ---

TEST(Des, KnownAnswerPairs) {
  struct Pair {
    const char *key, *plain, *cipher;
  } pairs[] = {
      // The worked example found in most DES tutorials, and the FIPS 81 example.
      {"133457799bbcdff1", "0123456789abcdef", "85e813540f0ab405"},
      {"0123456789abcdef", "4e6f772069732074", "3fa40e8a984d4815"},
      // NBS validation: single-bit plaintexts under the zero key (parity bits set) ...
      {"0101010101010101", "8000000000000000", "95f8a5e5dd31d900"},
      {"0101010101010101", "4000000000000000", "dd7f121ca5015619"},
      {"0101010101010101", "0000000000000001", "166b40b44aba4bd6"},
      // ... and single-bit keys on the zero block.
      {"8001010101010101", "0000000000000000", "95a8d72813daa94d"},
      {"4001010101010101", "0000000000000000", "0eec1487dd8c26d5"},
      {"0101010101010180", "0000000000000000", "9cc62df43b6eed74"},
  };
  for (const auto& p : pairs) {
    SCOPED_TRACE(p.key);
    EXPECT_EQ(Hex(DesEncryptBlock(Block(p.key), Block(p.plain))), p.cipher);
  }
  // Parity bits do not matter.
  EXPECT_EQ(DesEncryptBlock(Block("0000000000000000"), Block("8000000000000000")),
            DesEncryptBlock(Block("0101010101010101"), Block("8000000000000000")));
}

TEST(Des, KeyFrom7SpreadsSevenBitsPerByte) {
  const std::string all = Unhex("ffffffffffffff");
  EXPECT_EQ(Hex(DesKeyFrom7(reinterpret_cast<const uint8_t*>(all.data()))), "fefefefefefefefe");
  const std::string seq = Unhex("0123456789abcd");
  // 0000000 1001000 1101000 1010110 0111100 0100110 1010111 1001101
  EXPECT_EQ(Hex(DesKeyFrom7(reinterpret_cast<const uint8_t*>(seq.data()))), "0090d0ac784cae9a");
}

// --- Base64 ---

TEST(Base64, Rfc4648VectorsBothWays) {
  const std::pair<std::string, std::string> vectors[] = {{"", ""},
                                                         {"f", "Zg=="},
                                                         {"fo", "Zm8="},
                                                         {"foo", "Zm9v"},
                                                         {"foob", "Zm9vYg=="},
                                                         {"fooba", "Zm9vYmE="},
                                                         {"foobar", "Zm9vYmFy"},
                                                         {"abc", "YWJj"},
                                                         {"A", "QQ=="},
                                                         {"AB", "QUI="},
                                                         {std::string("\0\xff\xfe", 3), "AP/+"}};
  for (const auto& [bytes, text] : vectors) {
    EXPECT_EQ(EncodeBase64(bytes), text);
    EXPECT_EQ(DecodeBase64(text), bytes);
  }
  std::string all;
  for (int i = 0; i < 256; ++i) all += static_cast<char>(i);
  EXPECT_EQ(DecodeBase64(EncodeBase64(all)), all);
  EXPECT_EQ(EncodeBase64(all).find_first_of("\r\n"), std::string::npos);
}

TEST(Base64, MalformedTextDecodesByTheGroupRules) {
  // A short last group is padded; "=" in the third place ends the group after one byte.
  EXPECT_EQ(DecodeBase64("QQ"), "A");
  EXPECT_EQ(DecodeBase64("QUI"), "AB");
  EXPECT_EQ(DecodeBase64("Q"), std::string(1, static_cast<char>(0x40)));
  EXPECT_EQ(DecodeBase64("QQ==QUI="), "AAB");
  // A character outside the alphabet (also one above 127) is 255, not skipped.
  EXPECT_EQ(Hex(DecodeBase64("!!!!")), "ffffff");
  EXPECT_EQ(Hex(DecodeBase64("\xc3\xa9QQ")), "fff410");
  EXPECT_EQ(Hex(DecodeBase64("QQ\nQ")), "410fd0");
  EXPECT_EQ(DecodeBase64("Zm9v\r\nYmFy").size(), 7u);  // line breaks count as characters
}

// --- NTLM messages ---

TEST(NtlmMessages, Message1) {
  EXPECT_EQ(BuildNtlmMessage1("", ""), "TlRMTVNTUAABAAAAB4IAAAAAAAAAAAAAAAAAAAAAAAA=");
  const std::string m = DecodeBase64(BuildNtlmMessage1("ws", "dom"));
  EXPECT_EQ(m.size(), 37u);
  EXPECT_EQ(Hex(m.substr(8, 24)),
            "01000000"  // type
            "07b20000"  // flags 0x0000B207
            "0300"
            "0300"
            "22000000"  // domain: 3 bytes at 34
            "0200"
            "0200"
            "20000000");  // workstation: 2 bytes at 32
  EXPECT_EQ(m.substr(32), "WSDOM");
}

// A challenge message as servers build it: target name, challenge, target info.
std::string Message2(const std::string& target, const std::string& challenge, const std::string& info,
                     bool withInfo = true) {
  auto le16 = [](size_t v) { return std::string{static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; };
  auto le32 = [&](size_t v) { return le16(v & 0xFFFF) + le16(v >> 16); };
  std::string m = std::string("NTLMSSP\0", 8) + le32(2) + le16(target.size()) + le16(target.size()) +
                  le32(48) + le32(0x00018205) + challenge + std::string(8, '\0') + le16(info.size()) +
                  le16(info.size()) + le32(withInfo ? 48 + target.size() : 0);
  return m + target + info;
}

std::string Item(uint16_t type, const std::string& value) {
  return std::string{static_cast<char>(type), 0, static_cast<char>(value.size()), 0} + value;
}

TEST(NtlmMessages, Message2FieldsTargetInfoAndTruncation) {
  const std::string ch = Unhex("0123456789abcdef");
  const std::string wideDom = std::string("D\0O\0M\0", 6);
  const std::string full = Message2(wideDom, ch, Item(2, "DOM") + Item(1, "SRV") + Item(0, ""));
  TNTLM_Msg2_Info info = ParseNtlmMessage2(EncodeBase64(full));
  EXPECT_TRUE(info.Valid);
  EXPECT_EQ(info.TargetName, std::u16string(u"D\0O\0M\0", 6));  // one character per byte
  EXPECT_EQ(info.DomainName, u"DOM");
  EXPECT_EQ(info.ServerName, u"SRV");
  EXPECT_EQ(Hex(info.Challenge), "0123456789abcdef");

  // No terminating item: the walk ends at the end of the message; an item running
  // past the end ends it too.
  info = ParseNtlmMessage2(EncodeBase64(Message2("", ch, Item(1, "SRV"))));
  EXPECT_EQ(info.ServerName, u"SRV");
  info = ParseNtlmMessage2(EncodeBase64(Message2("", ch, Item(2, "DOM") + Item(1, "SRV").substr(0, 5))));
  EXPECT_EQ(info.DomainName, u"DOM");
  EXPECT_EQ(info.ServerName, u"");

  // A message cut anywhere parses; missing bytes read as zero.
  for (size_t cut = 0; cut <= full.size(); ++cut) {
    info = ParseNtlmMessage2(EncodeBase64(full.substr(0, cut)));
    ASSERT_EQ(info.TargetName.size(), cut >= 13 ? wideDom.size() : 0u) << cut;
    ASSERT_EQ(info.Challenge[7], cut >= 32 ? 0xef : 0) << cut;
  }
  // Offsets and lengths far beyond the message are harmless.
  std::string hostile = full;
  hostile.replace(12, 2, "\xff\xff");
  hostile.replace(16, 4, "\xf0\xff\xff\xff");
  hostile.replace(44, 4, "\xfc\xff\xff\xff");
  info = ParseNtlmMessage2(EncodeBase64(hostile));
  EXPECT_EQ(info.TargetName, std::u16string(0xFFFF, u'\0'));
  EXPECT_EQ(info.ServerName, u"");

  info = ParseNtlmMessage2("");
  EXPECT_FALSE(info.Valid);
  EXPECT_EQ(Hex(info.Challenge), "0000000000000000");
}

TEST(NtlmMessages, Message3Layout) {
  const TNtlmChallenge ch = {1, 2, 3, 4, 5, 6, 7, 8};
  const std::string m = DecodeBase64(BuildNtlmMessage3("Dom", "Ws", "user", "pw", ch));
  ASSERT_EQ(m.size(), 64u + 6 + 8 + 4 + 48);
  EXPECT_EQ(m.substr(0, 8), std::string("NTLMSSP\0", 8));
  EXPECT_EQ(Hex(m.substr(8, 56)),
            "03000000"
            "1800180052000000"                                                  // LM: 24 at 82
            "180018006a000000"                                                  // NT: 24 at 106
            "0600060040000000"                                                  // domain: 6 at 64
            "0800080046000000"                                                  // user: 8 at 70
            "040004004e000000"                                                  // workstation: 4 at 78
            "0000000000000000"                                                  // no session key
            "05820000");                                                        // flags 0x00008205
  EXPECT_EQ(m.substr(64, 18), std::string("D\0o\0m\0u\0s\0e\0r\0W\0s\0", 18));  // no upper-casing
  EXPECT_EQ(m.substr(82, 24), LmResponse("pw", ch));
  EXPECT_EQ(m.substr(106, 24), NtResponse("pw", ch));

  EXPECT_TRUE(NtlmMessage3Fits("", "", std::string(32767, 'u')));
  EXPECT_FALSE(NtlmMessage3Fits("", "", std::string(32768, 'u')));
  EXPECT_EQ(BuildNtlmMessage3("", "", std::string(32768, 'u'), "pw", ch), "");
}

// NTLMv2 for user "User", domain "Domain", password "Password", challenge
// 0123456789abcdef, client challenge aaaaaaaaaaaaaaaa, time 0x01d4b2c3d4e5f607 and
// the target information of TESTDOM / TESTSRV: the response python3-ntlm-auth
// computes (ComputeResponse._get_NTLMv2_response) for the same values.
TEST(NtlmResponses, Version2MatchesAnIndependentImplementation) {
  const std::string info =
      Unhex("02000e00540045005300540044004f004d0001000e00540045005300540053005200560000000000");
  const TNtlmChallenge ch = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  TNtlmChallenge ours;
  ours.fill(0xaa);
  const uint64_t time = 0x01d4b2c3d4e5f607;
  const std::string expected =
      "4a8e25d27de3de44ca65a9ebc1c382fc010100000000000007f6e5d4c3b2d401aaaaaaaaaaaaaaaa0000000002000e00540045"
      "005300540044004f004d0001000e0054004500530054005300520056000000000000000000";
  EXPECT_EQ(Hex(NtlmV2Response("User", "Domain", "Password", ch, ours, time, info)), expected);

  // In message 3: no LM response, the NT response after the names, the target
  // information as message 2 carried it, and the server's time when it names one.
  TNTLM_Msg2_Info received = ParseNtlmMessage2(EncodeBase64(Message2("", Unhex("0123456789abcdef"), info)));
  EXPECT_EQ(received.TargetInfo, info);
  std::string m = DecodeBase64(BuildNtlmMessage3V2("", "Ws", "user", "pw", received, ours, time));
  const std::string nt = NtlmV2Response("user", "", "pw", ch, ours, time, info);
  EXPECT_EQ(Hex(m.substr(12, 8)), "000000004c000000");  // LM: none, at 64 + 8 + 4
  const std::string ntLength{static_cast<char>(nt.size()), 0, static_cast<char>(nt.size()), 0};
  EXPECT_EQ(m.substr(20, 4), ntLength);
  EXPECT_EQ(m.substr(76), nt);
  const std::string timed = Item(7, Unhex("0807060504030201")) + Item(0, "");
  received = ParseNtlmMessage2(EncodeBase64(Message2("", Unhex("0123456789abcdef"), timed)));
  m = DecodeBase64(BuildNtlmMessage3V2("", "", "user", "pw", received, ours, time));
  EXPECT_EQ(m.substr(64 + 8 + 16 + 8, 8), Unhex("0807060504030201"));

  // The response is 48 bytes longer than the target information it carries: at
  // most 65,487 bytes of it fit the response's 16-bit length.
  for (const auto& [infoLength, fits] : {std::pair{size_t{65487}, true}, std::pair{size_t{65488}, false}}) {
    TNTLM_Msg2_Info huge = received;
    huge.TargetInfo = std::string(infoLength, '\0');
    EXPECT_EQ(BuildNtlmMessage3V2("", "", "user", "pw", huge, ours, time).empty(), !fits) << infoLength;
  }
}

TEST(NtlmResponses, PublishedHashesOfTheEmptyPassword) {
  // Against the zero challenge the first response block is the hash's first 7
  // bytes as a key, which pins the hashes themselves: LM aad3b435b51404ee... and the
  // MD4 of nothing.
  const TNtlmChallenge zero{};
  const std::string lmHash = Unhex("aad3b435b51404eeaad3b435b51404ee") + std::string(5, '\0');
  const std::string ntHash = Unhex("31d6cfe0d16ae931b73c59d7e0c089c0") + std::string(5, '\0');
  for (size_t k = 0; k < 3; ++k) {
    const auto* lm = reinterpret_cast<const uint8_t*>(lmHash.data()) + 7 * k;
    const auto* nt = reinterpret_cast<const uint8_t*>(ntHash.data()) + 7 * k;
    EXPECT_EQ(Hex(LmResponse("", zero).substr(8 * k, 8)), Hex(DesEncryptBlock(DesKeyFrom7(lm), zero)));
    EXPECT_EQ(Hex(NtResponse("", zero).substr(8 * k, 8)), Hex(DesEncryptBlock(DesKeyFrom7(nt), zero)));
  }
}

TEST(NtlmResponses, MatchAnIndependentImplementation) {
  TL_SKIP_UNLESS(testsupport::NtlmServer::Available(), "python3 with ntlm_auth");
  const std::string challengeHex = "0123456789abcdef";
  const TNtlmChallenge ch = {0x01, 0x23, 0x45, 0x67, 0x89, 0xab, 0xcd, 0xef};
  for (const std::string pw : {"", "Password", "pass", "secret", "SeCrEt-14chars", "fifteen-chars-x",
                               "a much longer password 123"}) {
    SCOPED_TRACE(pw);
    const auto expected = testsupport::NtlmServer::ComputeV1(pw, challengeHex);
    ASSERT_TRUE(expected);
    EXPECT_EQ(Hex(LmResponse(pw, ch)), expected->first);
    EXPECT_EQ(Hex(NtResponse(pw, ch)), expected->second);
  }
  // Beyond 14 characters only the NT response sees the rest.
  EXPECT_EQ(LmResponse("fifteen-chars-x", ch), LmResponse("fifteen-chars-y", ch));
  EXPECT_NE(NtResponse("fifteen-chars-x", ch), NtResponse("fifteen-chars-y", ch));
}

}  // namespace
}  // namespace http
