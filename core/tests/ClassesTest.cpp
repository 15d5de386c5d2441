// Component ownership and the second construction/destruction phase; streams; the
// strict integer conversion and the clamping text helpers; the byte buffer.
#include <gtest/gtest.h>

#include <unistd.h>

#include <string>
#include <vector>

#include "core/ByteBuffer.h"
#include "core/Classes.h"

namespace {

using core::TComponent;

std::vector<std::string> gLog;

class Base : public TComponent {
 public:
  using TComponent::TComponent;
  void AfterConstruction() override { Setup(); }
  void BeforeDestruction() override {
    Teardown();
    TComponent::BeforeDestruction();
  }
  virtual void Setup() { gLog.push_back("Base::Setup"); }
  virtual void Teardown() { gLog.push_back("Base::Teardown"); }
};

class Derived : public Base {
 public:
  using Base::Base;
  ~Derived() override { gLog.push_back("~Derived " + Name()); }
  void Setup() override { gLog.push_back("Derived::Setup"); }
  void Teardown() override { gLog.push_back("Derived::Teardown " + Name()); }
};

class Watcher : public TComponent {
 public:
  using TComponent::TComponent;
  TComponent* watched = nullptr;

 protected:
  void Notification(TComponent* c, core::TOperation op) override {
    if (op == core::TOperation::opRemove && c == watched) watched = nullptr;
  }
};

TEST(ComponentTest, SecondPhaseReachesMostDerivedOverrides) {
  gLog.clear();
  auto* d = core::Create<Derived>(nullptr);
  d->SetName("d");
  core::Free(d);
  EXPECT_EQ(d, nullptr);
  EXPECT_EQ(gLog, (std::vector<std::string>{"Derived::Setup", "Derived::Teardown d", "~Derived d"}));
}

TEST(ComponentTest, OwnerFreesOwnedThroughSecondPhase) {
  gLog.clear();
  auto* owner = core::Create<Derived>(nullptr);
  owner->SetName("owner");
  auto* child = core::Create<Derived>(owner);
  child->SetName("child");
  EXPECT_EQ(owner->ComponentCount(), 1);
  EXPECT_EQ(child->Owner(), owner);
  core::Free(owner);
  EXPECT_EQ(gLog, (std::vector<std::string>{"Derived::Setup", "Derived::Setup", "Derived::Teardown owner",
                                            "~Derived owner", "Derived::Teardown child", "~Derived child"}));
}

TEST(ComponentTest, FreeNotificationClearsReference) {
  auto watcher = core::MakeComponent<Watcher>(nullptr);
  auto* target = core::Create<TComponent>(nullptr);
  watcher->watched = target;
  target->FreeNotification(watcher.get());
  core::Free(target);
  EXPECT_EQ(watcher->watched, nullptr);
}

TEST(MemoryStreamTest, KeepsCapacityWhenTruncatedAndReadsBack) {
  core::TMemoryStream s;
  EXPECT_EQ(s.Memory(), nullptr);
  s.WriteBuffer("hello world", 11);
  EXPECT_EQ(s.Size(), 11);
  const int64_t cap = s.Capacity();
  s.SetSize(5);
  EXPECT_EQ(s.Capacity(), cap);
  EXPECT_EQ(s.Position(), 5);
  s.SetPosition(0);
  char buf[16] = {};
  EXPECT_EQ(s.Read(buf, sizeof buf), 5);
  EXPECT_EQ(std::string(buf), "hello");
  s.Seek(-2, core::TSeekOrigin::soEnd);
  EXPECT_EQ(s.Position(), 3);
}

TEST(MemoryStreamTest, WritingPastTheEndClearsTheGap) {
  core::TMemoryStream s;
  s.WriteBuffer("ab", 2);
  s.SetSize(1);  // the block keeps its old bytes beyond the size
  s.SetPosition(4);
  s.WriteBuffer("z", 1);
  EXPECT_EQ(s.DataString(), std::string("a\0\0\0z", 5));
  s.SetSize(8);
  EXPECT_EQ(s.DataString(), std::string("a\0\0\0z\0\0\0", 8));
}

// Growing keeps every byte, also across many growth steps; a reservation made up
// front takes the writes that follow without moving the block again.
TEST(MemoryStreamTest, GrowthKeepsTheBytesAndAReservationHoldsTheBlock) {
  core::TMemoryStream s;
  std::string expected;
  for (int i = 0; i < 5000; ++i) {
    const std::string piece = std::to_string(i) + ",";
    s.WriteBuffer(piece.data(), static_cast<int64_t>(piece.size()));
    expected += piece;
  }
  ASSERT_EQ(s.DataString(), expected);
  s.Reserve(s.Size() + 1000000);
  ASSERT_GE(s.Capacity(), s.Size() + 1000000);
  const char* block = s.Memory();
  const std::string filler(1000, 'x');
  for (int i = 0; i < 1000; ++i) s.WriteBuffer(filler.data(), 1000);
  EXPECT_EQ(s.Memory(), block);
  EXPECT_EQ(s.DataString().substr(0, expected.size()), expected);
}

TEST(FileStreamTest, CreateWriteReopenAndDenyWriters) {
  char tmpl[] = "/tmp/tl_fs_XXXXXX";
  const int fd = mkstemp(tmpl);
  ASSERT_GE(fd, 0);
  close(fd);
  {
    core::TFileStream f(tmpl, core::fmCreate);
    f.WriteBuffer("abc", 3);
  }
  core::TFileStream a(tmpl, core::fmOpenReadWrite | core::fmShareDenyWrite);
  EXPECT_EQ(a.Size(), 3);
  EXPECT_THROW(core::TFileStream(tmpl, core::fmOpenReadWrite | core::fmShareDenyWrite), core::EFOpenError);
  core::TFileStream reader(tmpl, core::fmOpenRead);  // readers are not refused
  EXPECT_EQ(reader.Size(), 3);
  EXPECT_THROW(core::TFileStream("/nonexistent/dir/x", core::fmCreate), core::EFCreateError);
  unlink(tmpl);
}

TEST(SysUtilsTest, StrictIntegerConversion) {
  EXPECT_EQ(core::TryStrToInt("-2147483648"), INT32_MIN);
  EXPECT_FALSE(core::TryStrToInt("2147483648"));
  EXPECT_FALSE(core::TryStrToInt64("99999999999999999999"));
  EXPECT_EQ(core::TryStrToInt64("9223372036854775807"), INT64_MAX);
  EXPECT_EQ(core::TryStrToInt64("-9223372036854775808"), INT64_MIN);
  EXPECT_FALSE(core::TryStrToInt64("9223372036854775808"));
  EXPECT_FALSE(core::TryStrToInt64("-9223372036854775809"));
  EXPECT_FALSE(core::TryStrToInt64(" 1"));
  EXPECT_FALSE(core::TryStrToInt64("1 "));
  EXPECT_FALSE(core::TryStrToInt64("-"));
  EXPECT_EQ(core::StrToInt("  42"), 42);
  EXPECT_EQ(core::StrToInt("$1F"), 31);
  EXPECT_EQ(core::StrToInt("-0x10"), -16);
  try {
    core::StrToInt("abc");
    FAIL();
  } catch (const core::EConvertError& e) {
    EXPECT_EQ(e.Message(), "'abc' is not a valid integer value");
  }
}

TEST(SysUtilsTest, OneBasedHelpersClamp) {
  EXPECT_EQ(core::Copy("abcdef", 2, 3), "bcd");
  EXPECT_EQ(core::Copy("abc", 0, 2), "ab");
  EXPECT_EQ(core::Copy("abc", 3, 100), "c");
  EXPECT_EQ(core::Copy("abc", 4, 1), "");
  EXPECT_EQ(core::Copy("abc", 1, -1), "");
  EXPECT_EQ(core::Pos("cd", "abcdcd"), 3);
  EXPECT_EQ(core::LastPos("cd", "abcdcd"), 5);
  EXPECT_EQ(core::Pos("", "abc"), 0);
  EXPECT_EQ(core::Trim(" \t x \r\n"), "x");
  EXPECT_TRUE(core::SameText("Keep-Alive", "keep-alive"));
  EXPECT_EQ(core::IntToHex(0xABC, 8), "00000ABC");
}

// A receive buffer fed a byte at a time grows a byte at a time: it must keep
// what it held and move only a logarithmic number of times, or a long line fed
// byte by byte costs a copy of the whole line per byte.
TEST(ByteBuffer, GrowingByOneKeepsTheBytesAndMovesRarely) {
  core::TByteBuffer b;
  int moves = 0;
  for (size_t n = 1; n <= 100000; ++n) {
    const size_t room = b.capacity();
    b.resize(n);
    moves += b.capacity() != room;
    b[n - 1] = static_cast<char>(n % 251);
  }
  EXPECT_LE(moves, 20);
  for (size_t i = 0; i < b.size(); ++i)
    if (b[i] != static_cast<char>((i + 1) % 251)) FAIL() << "byte " << i << " changed";
  b.resize(10);  // shrinking keeps the block
  EXPECT_EQ(b.size(), 10u);
  EXPECT_EQ(b[9], static_cast<char>(10));
}

}  // namespace
