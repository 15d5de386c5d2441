#include "http/HttpContCod.h"

#include <gtest/gtest.h>

#include <clocale>
#include <memory>
#include <string>
#include <vector>

#include "core/Classes.h"
#include "http/HttpException.h"

namespace http {
namespace {

using Names = std::vector<std::string>;

// A decoder that holds its input back until Complete, then writes
// "<tag>(<input>)", and records each call in a shared log.
class THoldCoding : public THttpContentCoding {
 public:
  THoldCoding(TWriteProc out, std::string tag, std::vector<std::string>* log)
      : THttpContentCoding(std::move(out)), FTag(std::move(tag)), FLog(log) {}
  void DecodeBytes(const char* buffer, int64_t count) override {
    FHeld.append(buffer, static_cast<size_t>(count));
    FLog->push_back("decode " + FTag);
  }
  void Complete() override {
    FLog->push_back("complete " + FTag);
    const std::string out = FTag + "(" + FHeld + ")";
    WriteOutput(out.data(), static_cast<int64_t>(out.size()));
  }

 private:
  std::string FTag;
  std::string FHeld;
  std::vector<std::string>* FLog;
};

THttpContentCodingClass HoldClass(const std::string& tag, std::vector<std::string>* log, bool active = true) {
  return THttpContentCodingClass(
      "THold_" + tag,
      [tag, log](TWriteProc out) { return std::make_unique<THoldCoding>(std::move(out), tag, log); }, tag,
      active);
}

// A stream that accepts nothing.
class TFullStream : public core::TMemoryStream {
 public:
  int64_t Write(const void*, int64_t) override { return 0; }
};

// A handler over a private registry with two test codings, "a" and "b"; the
// decoded bytes land in FStream and, through the output, in FOutput.
class ContentCodingTest : public testing::Test {
 protected:
  ContentCodingTest() {
    FCodings.RegisterCoding(FClassA, 0.5f);
    FCodings.RegisterCoding(FClassB, 0.125f);
    FHandler = std::make_unique<THttpContCodHandler>(
        [this] { return FTarget; },
        [this](const char* b, int64_t n) { FOutput.append(b, static_cast<size_t>(n)); }, FCodings);
    FHandler->SetEnabled(true);
  }

  void Feed(const std::string& body) {
    FHandler->DecoderInput()(body.data(), static_cast<int64_t>(body.size()));
  }

  std::vector<std::string> FLog;
  THttpContentCodingClass FClassA = HoldClass("a", &FLog);
  THttpContentCodingClass FClassB = HoldClass("b", &FLog);
  TContCodingsList FCodings;
  core::TMemoryStream FStream;
  core::TStream* FTarget = &FStream;
  std::string FOutput;
  std::unique_ptr<THttpContCodHandler> FHandler;
};

TEST(FormatQuality, PatternWithPointWhateverTheLocale) {
  const char* const commaLocales[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "de_DE", "C.UTF-8"};
  const std::string saved = std::setlocale(LC_ALL, nullptr);
  for (const char* name : commaLocales) {
    if (std::setlocale(LC_ALL, name)) break;
  }
  SCOPED_TRACE(std::string("locale ") + std::setlocale(LC_NUMERIC, nullptr));
  EXPECT_EQ(FormatQuality(0.5f), "0.5");
  EXPECT_EQ(FormatQuality(1.0f), "1");
  EXPECT_EQ(FormatQuality(0.125f), "0.125");
  EXPECT_EQ(FormatQuality(0.0f), "0");
  EXPECT_EQ(FormatQuality(0.1f), "0.1");
  EXPECT_EQ(FormatQuality(0.3333f), "0.333");
  EXPECT_EQ(FormatQuality(0.0005f), "0.001");
  EXPECT_EQ(FormatQuality(0.0004f), "0");
  EXPECT_EQ(FormatQuality(0.9996f), "1");
  EXPECT_EQ(FormatQuality(99.9999f), "100");
  EXPECT_EQ(FormatQuality(2.5f), "2.5");
  EXPECT_EQ(FormatQuality(-0.5f), "-0.5");
  EXPECT_EQ(FormatQuality(-0.0001f), "0");
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(ContentCodingClass, CodingNames) {
  EXPECT_EQ(THttpCCodIdentity::ClassRef().GetCoding(), "identity");
  EXPECT_EQ(THttpCCodStar::ClassRef().GetCoding(), "*");
  const auto named = MakeCodingClass<THttpCCodIdentity>("THttpContentCodingGzip");
  EXPECT_EQ(named.GetCoding(), "Gzip");
  const auto unnamed = MakeCodingClass<THttpCCodIdentity>("TMyCoding");
  try {
    unnamed.GetCoding();
    FAIL() << "no exception";
  } catch (const EHttpContentCodingException& e) {
    EXPECT_EQ(e.Message(), "GetCoding must be overriden in TMyCoding");
    EXPECT_EQ(e.ClassName(), "EHttpContentCodingException");
  }
  TContCodingsList codings;
  EXPECT_THROW(codings.RegisterCoding(unnamed, 1), EHttpContentCodingException);
}

TEST(ContentCodingRegistry, StartsWithTheBuiltInsAndLaterRegistrationsWin) {
  TContCodingsList fresh;
  for (const TContCodingsList* codings : {&ContCodings(), &fresh}) {
    const auto entries = codings->Entries();
    ASSERT_GE(entries.size(), 2u);
    EXPECT_EQ(entries[0].CodingType, &THttpCCodIdentity::ClassRef());
    EXPECT_EQ(entries[1].CodingType, &THttpCCodStar::ClassRef());
    EXPECT_EQ(entries[0].Quality, 0.0f);
    EXPECT_EQ(entries[1].Quality, 0.0f);
  }
  std::vector<std::string> log;
  const auto first = HoldClass("dup", &log);
  const auto second = HoldClass("DUP", &log);
  TContCodingsList codings;
  codings.RegisterCoding(first, 1);
  codings.RegisterCoding(second, 1);
  EXPECT_EQ(codings.FindCoding("Dup"), &second);
  EXPECT_EQ(codings.FindCoding("IDENTITY"), &THttpCCodIdentity::ClassRef());
  EXPECT_EQ(codings.FindCoding("gzip"), nullptr);
}

TEST(SplitCodingNames, Separators) {
  EXPECT_EQ(SplitCodingNames("gzip"), Names({"gzip"}));
  EXPECT_EQ(SplitCodingNames("gzip, deflate"), Names({"gzip", "deflate"}));
  EXPECT_EQ(SplitCodingNames(" a b\tc\r\n"), Names({"a", "b", "c"}));
  EXPECT_EQ(SplitCodingNames("a,,b"), Names({"a", "", "b"}));
  EXPECT_EQ(SplitCodingNames("a, ,b"), Names({"a", "", "b"}));
  EXPECT_EQ(SplitCodingNames("a,"), Names({"a", ""}));
  EXPECT_EQ(SplitCodingNames("a, "), Names({"a"}));
  EXPECT_EQ(SplitCodingNames(","), Names({"", ""}));
  EXPECT_EQ(SplitCodingNames("\"x, y\",z"), Names({"x, y", "z"}));
  EXPECT_EQ(SplitCodingNames("\"a\"\"b\""), Names({"a\"b"}));
  EXPECT_EQ(SplitCodingNames("\"open"), Names({"open"}));
  EXPECT_EQ(SplitCodingNames(std::string("x\0y", 3)), Names({"x", "y"}));
  EXPECT_EQ(SplitCodingNames("\xC3\xA9t\xC3\xA9"), Names({"\xC3\xA9t\xC3\xA9"}));
  EXPECT_EQ(SplitCodingNames(""), Names({}));
}

TEST_F(ContentCodingTest, HeaderTextWithAndWithoutQualities) {
  FHandler->SetEnabled(false);
  EXPECT_EQ(FHandler->GetHeaderText(), "");
  FHandler->SetEnabled(true);
  EXPECT_EQ(FHandler->GetHeaderText(), "a, b");  // the built-ins have quality 0
  FHandler->SetUseQuality(true);
  EXPECT_EQ(FHandler->GetHeaderText(), "identity;q=0, *;q=0, a;q=0.5, b;q=0.125");
  FHandler->SetItemQuality(3, 1.0f);
  EXPECT_EQ(FHandler->GetHeaderText(), "identity;q=0, *;q=0, a;q=0.5, b;q=1");
  for (int64_t i : {0, 1, 2}) FHandler->SetItemEnabled(i, false);
  EXPECT_EQ(FHandler->GetHeaderText(), "b");  // one coding needs no weight
  FHandler->SetItemEnabled(3, false);
  EXPECT_EQ(FHandler->GetHeaderText(), "");
}

TEST(ContentCodingHandler, BuiltInsOnlyAndInactiveOrLateCodings) {
  std::vector<std::string> log;
  const auto inactive = HoldClass("off", &log, false);
  const auto late = HoldClass("late", &log);
  TContCodingsList codings;
  codings.RegisterCoding(inactive, 1);
  THttpContCodHandler handler(nullptr, nullptr, codings);
  codings.RegisterCoding(late, 1);  // made after the handler: not announced
  handler.SetEnabled(true);
  EXPECT_EQ(handler.GetHeaderText(), "");
  handler.SetUseQuality(true);
  EXPECT_EQ(handler.GetHeaderText(), "identity;q=0, *;q=0");
  EXPECT_EQ(handler.Count(), 3);
  EXPECT_FALSE(handler.Items(2).Enabled());
}

TEST_F(ContentCodingTest, DisabledOrUncodedBodiesPassUnchanged) {
  FHandler->SetEnabled(false);
  EXPECT_TRUE(FHandler->Prepare("a"));
  EXPECT_TRUE(FHandler->CodingEntries().empty());
  Feed("raw");
  FHandler->SetEnabled(true);
  EXPECT_TRUE(FHandler->Prepare(""));
  Feed("-more");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "raw-more");
  EXPECT_EQ(FOutput, "raw-more");
}

TEST_F(ContentCodingTest, IdentityDecodesToTheSameBytes) {
  EXPECT_TRUE(FHandler->Prepare("Identity"));
  EXPECT_EQ(FHandler->CodingEntries().size(), 1u);
  Feed("body");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "body");
}

TEST_F(ContentCodingTest, UnregisteredCodingStoresTheBodyAsReceived) {
  for (const char* value : {"gzip", "a, gzip", "a,", "gzip, a"}) {
    SCOPED_TRACE(value);
    EXPECT_FALSE(FHandler->Prepare(value));
    EXPECT_TRUE(FHandler->CodingEntries().empty());
  }
  Feed("\x1f\x8b");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "\x1f\x8b");
  EXPECT_TRUE(FLog.empty());
}

// "a, b" was applied a first: b is decoded first, and completing from the
// input end lets b's held bytes reach a before a flushes.
TEST_F(ContentCodingTest, ChainDecodesInReverseAndCompletesFromTheInputEnd) {
  EXPECT_TRUE(FHandler->Prepare("a, \"b\""));
  Feed("xy");
  Feed("z");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "a(b(xyz))");
  EXPECT_EQ(FOutput, "a(b(xyz))");
  EXPECT_EQ(FLog, Names({"decode b", "decode b", "complete b", "decode a", "complete a"}));
}

TEST_F(ContentCodingTest, MoreThanFiveCodingsAreRefused) {
  EXPECT_TRUE(FHandler->Prepare("a,a,a,a,a"));
  EXPECT_EQ(FHandler->CodingEntries().size(), 5u);
  EXPECT_FALSE(FHandler->Prepare("a,a,a,a,a,a"));
  EXPECT_TRUE(FHandler->CodingEntries().empty());
  Feed("q");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "q");
}

TEST_F(ContentCodingTest, NextPrepareDropsTheOldChain) {
  EXPECT_TRUE(FHandler->Prepare("a"));
  Feed("lost");
  EXPECT_TRUE(FHandler->Prepare("identity"));
  Feed("kept");
  FHandler->Complete();
  EXPECT_EQ(FStream.DataString(), "kept");
}

TEST_F(ContentCodingTest, FinalWriteFollowsTheCurrentStream) {
  core::TMemoryStream second;
  Feed("one");
  FTarget = &second;
  Feed("two");
  FTarget = nullptr;
  Feed("three");
  EXPECT_EQ(FStream.DataString(), "one");
  EXPECT_EQ(second.DataString(), "two");
  EXPECT_EQ(FOutput, "onetwothree");

  TFullStream full;
  FTarget = &full;
  EXPECT_THROW(Feed("x"), core::EStreamError);
  EXPECT_EQ(FOutput, "onetwothree");  // a failed write is not reported as data
}

}  // namespace
}  // namespace http
