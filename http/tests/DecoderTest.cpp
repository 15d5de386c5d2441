// The compression decoders on their own: every coding split at every position,
// cut short, corrupted, followed by more data, and expanding past the limit.
#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "http/HttpCCodecs.h"
#include "http/HttpException.h"
#include "http/tests/Encoders.h"

namespace http::testing {
namespace {

struct Coding {
  const char* name;  // as failure texts name it
  const THttpContentCodingClass& (*type)();
  std::string (*encode)(const std::string&);
};

const Coding kCodings[] = {{"gzip", GzipCodingClass, Gzip},
                           {"gzip", XGzipCodingClass, Gzip},
                           {"deflate", DeflateCodingClass, ZlibDeflate},
                           {"deflate", DeflateCodingClass, RawDeflate},
                           {"br", BrotliCodingClass, Brotli},
                           {"zstd", ZstdCodingClass, Zstd}};

struct Result {
  std::string out;
  std::string error;  // the exception's text; empty when decoding succeeded
  size_t largestWrite = 0;
};

// Decodes the input cut at the given positions, then completes.
Result Decode(const Coding& c, const std::string& input, const std::vector<size_t>& cuts = {},
              int64_t limit = INT64_MAX) {
  Result r;
  auto decoder = c.type().Create([&r](const char* b, int64_t n) {
    r.out.append(b, static_cast<size_t>(n));
    r.largestWrite = std::max(r.largestWrite, static_cast<size_t>(n));
  });
  decoder->SetOutputLimit(limit);
  try {
    size_t from = 0;
    for (size_t cut : cuts) {
      decoder->DecodeBytes(input.data() + from, static_cast<int64_t>(cut - from));
      from = cut;
    }
    decoder->DecodeBytes(input.data() + from, static_cast<int64_t>(input.size() - from));
    decoder->Complete();
  } catch (const EHttpContentCodingException& e) {
    r.error = e.Message();
  }
  return r;
}

std::string Label(const Coding& c, const std::string& input) {
  return std::string(c.type().GetCoding()) + " (" + c.name + ", starts " +
         std::to_string(static_cast<unsigned char>(input[0])) + ")";
}

TEST(Decoder, AnySplitGivesTheText) {
  const std::string text = SampleText(300);
  for (const Coding& c : kCodings) {
    const std::string coded = c.encode(text);
    SCOPED_TRACE(Label(c, coded));
    ASSERT_LT(coded.size(), text.size() / 2);
    for (size_t cut = 0; cut <= coded.size(); ++cut) {
      const Result r = Decode(c, coded, {cut});
      ASSERT_EQ(r.error, "") << "cut at " << cut;
      ASSERT_TRUE(r.out == text) << "cut at " << cut;
    }
    std::vector<size_t> everyByte;
    for (size_t i = 1; i < coded.size(); ++i) everyByte.push_back(i);
    const Result bytes = Decode(c, coded, everyByte);
    EXPECT_EQ(bytes.error, "");
    EXPECT_TRUE(bytes.out == text);
  }
}

TEST(Decoder, EveryShortenedStreamFails) {
  const std::string text = SampleText(40);
  for (const Coding& c : kCodings) {
    const std::string coded = c.encode(text);
    SCOPED_TRACE(Label(c, coded));
    for (size_t size = 1; size < coded.size(); ++size) {
      const Result r = Decode(c, coded.substr(0, size));
      ASSERT_NE(r.error, "") << "size " << size;
    }
    EXPECT_EQ(Decode(c, coded.substr(0, coded.size() - 1)).error,
              std::string("Truncated ") + c.name + " content");
    // No byte at all is an empty document, not a broken one.
    const Result empty = Decode(c, "");
    EXPECT_EQ(empty.error, "");
    EXPECT_EQ(empty.out, "");
  }
}

TEST(Decoder, CorruptInputFails) {
  for (const Coding& c : kCodings) {
    const std::string coded = c.encode(SampleText(40));
    SCOPED_TRACE(Label(c, coded));
    const Result garbage = Decode(c, "this was never compressed, not even once");
    EXPECT_EQ(garbage.error.rfind(std::string("Corrupt ") + c.name + " content", 0), 0u) << garbage.error;
    // A checksum guards the data of the gzip and zlib forms (not the gzip
    // header's flags, time and system bytes) wherever the damage is.
    if (coded[0] == '\x1f' || coded[0] == '\x78') {
      for (size_t at = coded[0] == '\x1f' ? 10 : 2; at < coded.size(); ++at) {
        std::string damaged = coded;
        damaged[at] = static_cast<char>(damaged[at] ^ 0x01);
        ASSERT_NE(Decode(c, damaged).error, "") << "byte " << at;
      }
    }
  }
  EXPECT_EQ(Decode(kCodings[0], Gzip("x").substr(0, 10) + "\xff\xff").error,
            "Corrupt gzip content: invalid block type");

  // A zstd frame whose header declares 256 bytes but whose one block holds 32:
  // refused whole and in pieces alike.
  const std::string lying =
      std::string("\x28\xb5\x2f\xfd\x60\x00\x00\x01\x01\x00", 10) + std::string(32, 'x');
  // Frames asking for a window of 16 MiB are refused; 8 MiB is the most a
  // sender may use.
  const std::string block("\x09\x00\x00x", 4);  // the last block, raw: "x"
  EXPECT_EQ(Decode(kCodings[5], std::string("\x28\xb5\x2f\xfd\x00\x68", 6) + block).out, "x");
  EXPECT_EQ(Decode(kCodings[5], std::string("\x28\xb5\x2f\xfd\x00\x70", 6) + block).error,
            "Corrupt zstd content: Frame requires too much memory for decoding");
  // The library's early formats are no HTTP content.
  for (size_t cut = 0; cut <= 9; ++cut) {
    const Result r = Decode(kCodings[5], std::string("\x27\xb5\x2f\xfd\0\0\0\0\0", 9), {cut});
    EXPECT_EQ(r.error.rfind("Corrupt zstd content: ", 0), 0u) << "cut at " << cut;
  }
  for (size_t cut = 0; cut <= lying.size(); ++cut) {
    EXPECT_EQ(Decode(kCodings[5], lying, {cut}).error.rfind("Corrupt zstd content", 0), 0u)
        << "cut at " << cut;
  }
}

// gzip members and zstd frames may follow one another; deflate and br data end
// with their stream, so anything after it is damage.
TEST(Decoder, DataAfterTheEnd) {
  for (const Coding& c : kCodings) {
    const std::string coded = c.encode("first;");
    SCOPED_TRACE(Label(c, coded));
    const std::string two = coded + c.encode("second");
    for (size_t cut : {coded.size() - 1, coded.size(), coded.size() + 1}) {
      const Result r = Decode(c, two, {cut});
      if (std::string(c.name) == "gzip" || std::string(c.name) == "zstd") {
        EXPECT_EQ(r.error, "");
        EXPECT_EQ(r.out, "first;second");
      } else {
        EXPECT_EQ(r.error, std::string("Corrupt ") + c.name + " content: data after the end");
      }
    }
  }
}

TEST(Decoder, ExpansionStopsAtTheLimit) {
  const std::string zeros(16 << 20, '\0');
  for (const Coding& c : kCodings) {
    const std::string bomb = c.encode(zeros);
    SCOPED_TRACE(Label(c, bomb));
    ASSERT_LT(bomb.size(), 40000u);
    // Without a limit every byte comes out, even where a little input fills the
    // output buffer many times over.
    const Result all = Decode(c, bomb);
    EXPECT_EQ(all.error, "");
    EXPECT_TRUE(all.out == zeros);
    const Result r = Decode(c, bomb, {}, 1 << 20);
    EXPECT_EQ(r.error, "Decoded content larger than 1048576 bytes");
    EXPECT_LE(r.out.size(), 1u << 20);
    EXPECT_LE(r.largestWrite, kDecodeBufferSize);
    // Exactly the limit is allowed.
    EXPECT_EQ(Decode(c, c.encode(std::string(5000, 'a')), {}, 5000).error, "");
  }
}

}  // namespace
}  // namespace http::testing
