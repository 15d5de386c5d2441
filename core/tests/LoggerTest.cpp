// The logger's destinations, stamps, file handling and concurrent writers.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <mutex>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "core/Logger.h"
#include "platform/WinMsg.h"

using namespace core;
namespace fs = std::filesystem;

namespace {

std::vector<std::string>& DebugLines() {
  static std::vector<std::string> lines;
  return lines;
}
void CaptureDebug(const char* s) {
  DebugLines().push_back(s);
}

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

void WriteAll(const fs::path& p, const std::string& s) {
  std::ofstream out(p, std::ios::binary | std::ios::trunc);
  out << s;
}

struct TEventLine {
  TComponent* Sender;
  TLogOption Option;
  std::string Msg;
};

class LoggerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir = fs::temp_directory_path() / ("tl_logger_" + std::to_string(::getpid()) + "_" +
                                       ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir);
    fs::create_directories(dir);
    DebugLines().clear();
    winapi::SetDebugSinkForTesting(CaptureDebug);
    logger = MakeComponent<TLogger>(nullptr);
  }
  void TearDown() override {
    logger.reset();
    winapi::SetDebugSinkForTesting(nullptr);
    fs::remove_all(dir);
  }
  void CollectEvents() {
    logger->SetOnLogEvent([this](TComponent* s, TLogOption o, const std::string& m) {
      events.push_back({s, o, m});
    });
  }

  fs::path dir;
  ComponentPtr<TLogger> logger;
  std::vector<TEventLine> events;
};

const std::regex kStamped("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d (.*)");

}  // namespace

TEST_F(LoggerTest, CategoriesWithoutDestinationDeliverNothing) {
  CollectEvents();
  logger->SetLogFileName((dir / "log.txt").string());
  logger->SetLogOptions({loWsockErr, loWsockInfo, loProtSpecDump});
  logger->DoDebugLog(logger.get(), loWsockErr, "nothing");
  EXPECT_TRUE(events.empty());
  EXPECT_TRUE(DebugLines().empty());
  EXPECT_FALSE(fs::exists(dir / "log.txt"));
}

TEST_F(LoggerTest, EachDestinationGetsTheLineItsWay) {
  CollectEvents();
  logger->SetLogFileName((dir / "log.txt").string());
  logger->SetLogOptions({loDestEvent, loDestOutDebug, loDestFile, loWsockInfo});
  TLogger sender(nullptr);
  logger->DoDebugLog(&sender, loProtSpecInfo, "first");  // categories are the caller's business
  logger->DoDebugLog(&sender, loWsockDump, "second");
  ASSERT_EQ(events.size(), 2u);
  EXPECT_EQ(events[0].Sender, &sender);
  EXPECT_EQ(events[0].Option, loProtSpecInfo);
  EXPECT_EQ(events[0].Msg, "first");
  EXPECT_EQ(events[1].Msg, "second");
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"first", "second"}));
  EXPECT_EQ(ReadAll(dir / "log.txt"), "first\r\nsecond\r\n");
}

TEST_F(LoggerTest, EventDestinationWithoutHandlerIsSkipped) {
  logger->SetLogOptions({loDestEvent, loDestOutDebug});
  logger->DoDebugLog(logger.get(), loWsockErr, "only debug");
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"only debug"}));
}

TEST_F(LoggerTest, StampPrefixesEveryDestination) {
  CollectEvents();
  logger->SetLogFileName((dir / "log.txt").string());
  logger->SetLogOptions({loDestEvent, loDestOutDebug, loDestFile, loAddStamp});
  logger->DoDebugLog(logger.get(), loWsockErr, "stamped line");
  std::smatch m;
  ASSERT_EQ(events.size(), 1u);
  ASSERT_TRUE(std::regex_match(events[0].Msg, m, kStamped)) << events[0].Msg;
  EXPECT_EQ(m[1], "stamped line");
  ASSERT_EQ(DebugLines().size(), 1u);
  EXPECT_TRUE(std::regex_match(DebugLines()[0], kStamped)) << DebugLines()[0];
  std::string file = ReadAll(dir / "log.txt");
  EXPECT_TRUE(std::regex_match(file, std::regex("\\d\\d:[0-5]\\d:[0-5]\\d:\\d\\d\\d stamped line\r\n")))
      << file;
  int hours = std::stoi(file.substr(0, 2));
  EXPECT_LT(hours, 24);
}

TEST_F(LoggerTest, AppendKeepsOverwriteEmptiesMissingIsCreated) {
  fs::path existing = dir / "existing.txt";
  WriteAll(existing, "old\r\n");
  logger->SetLogOptions({loDestFile});
  logger->SetLogFileName(existing.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "new");
  EXPECT_EQ(ReadAll(existing), "old\r\nnew\r\n");

  fs::path other = dir / "other.txt";
  WriteAll(other, "old\r\n");
  logger->SetLogFileOption(lfoOverwrite);
  logger->SetLogFileName(other.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "fresh");
  EXPECT_EQ(ReadAll(other), "fresh\r\n");

  for (TLogFileOption option : {lfoAppend, lfoOverwrite}) {
    fs::path missing = dir / ("missing" + std::to_string(option) + ".txt");
    logger->SetLogFileOption(option);
    logger->SetLogFileName(missing.string());
    logger->DoDebugLog(logger.get(), loWsockErr, "created");
    EXPECT_EQ(ReadAll(missing), "created\r\n");
  }
}

TEST_F(LoggerTest, OverwriteStartsAgainOnlyWhenTheFileIsReopened) {
  fs::path a = dir / "a.txt", b = dir / "b.txt";
  logger->SetLogOptions({loDestFile});
  logger->SetLogFileOption(lfoOverwrite);
  logger->SetLogFileName(a.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "one");
  logger->SetLogFileName(a.string());  // same name: the file stays open
  logger->DoDebugLog(logger.get(), loWsockErr, "two");
  EXPECT_EQ(ReadAll(a), "one\r\ntwo\r\n");
  logger->SetLogFileName(b.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "elsewhere");
  logger->SetLogFileName(a.string());  // away and back: a fresh file
  logger->DoDebugLog(logger.get(), loWsockErr, "three");
  EXPECT_EQ(ReadAll(a), "three\r\n");
}

TEST_F(LoggerTest, NameDifferingOnlyInCaseIsAnotherFile) {
  fs::path lower = dir / "log.txt", upper = dir / "LOG.txt";
  logger->SetLogOptions({loDestFile});
  logger->SetLogFileName(lower.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "lower");
  logger->SetLogFileName(upper.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "upper");
  EXPECT_EQ(ReadAll(lower), "lower\r\n");
  EXPECT_EQ(ReadAll(upper), "upper\r\n");
}

TEST_F(LoggerTest, EmptyFileNameFailsAfterTheOtherDestinations) {
  CollectEvents();
  logger->SetLogOptions({loDestEvent, loDestOutDebug, loDestFile});
  try {
    logger->DoDebugLog(logger.get(), loWsockErr, "line");
    FAIL() << "no exception";
  } catch (const ELoggerException& e) {
    EXPECT_EQ(e.Message(), "File name empty");
  }
  EXPECT_EQ(events.size(), 1u);
  EXPECT_EQ(DebugLines().size(), 1u);
}

TEST_F(LoggerTest, UnopenableFileReportsTheUnderlyingFailureAndRetriesLater) {
  fs::path blocked = dir / "no_such_dir" / "log.txt";
  logger->SetLogOptions({loDestFile});
  logger->SetLogFileName(blocked.string());
  EXPECT_THROW(
      {
        try {
          logger->DoDebugLog(logger.get(), loWsockErr, "lost");
        } catch (const ELoggerException& e) {
          EXPECT_FALSE(e.Message().empty());
          EXPECT_NE(e.Message(), "File name empty");
          throw;
        }
      },
      ELoggerException);
  fs::create_directories(blocked.parent_path());
  logger->DoDebugLog(logger.get(), loWsockErr, "kept");
  EXPECT_EQ(ReadAll(blocked), "kept\r\n");
}

TEST_F(LoggerTest, OpenFileCanBeReadButNotOpenedByAnotherWriter) {
  fs::path p = dir / "log.txt";
  logger->SetLogOptions({loDestFile});
  logger->SetLogFileName(p.string());
  logger->DoDebugLog(logger.get(), loWsockErr, "held");
  EXPECT_THROW(TFileStream(p.string(), fmOpenReadWrite | fmShareDenyWrite), EStreamError);
  TFileStream reader(p.string(), fmOpenRead);
  char buf[16] = {};
  EXPECT_EQ(reader.Read(buf, sizeof buf), 6);
  // A second logger on the same file is refused the same way.
  auto second = MakeComponent<TLogger>(nullptr);
  second->SetLogOptions({loDestFile});
  second->SetLogFileName(p.string());
  EXPECT_THROW(second->DoDebugLog(second.get(), loWsockErr, "refused"), ELoggerException);
  logger.reset();  // closing releases the lock
  EXPECT_NO_THROW(second->DoDebugLog(second.get(), loWsockErr, "now mine"));
  EXPECT_EQ(ReadAll(p), "held\r\nnow mine\r\n");
}

TEST_F(LoggerTest, EventHandlerMayLogAgainOnItsThread) {
  logger->SetLogOptions({loDestEvent, loDestOutDebug});
  int depth = 0;
  logger->SetOnLogEvent([&](TComponent*, TLogOption, const std::string& m) {
    if (depth++ == 0) logger->DoDebugLog(logger.get(), loWsockInfo, "nested after " + m);
  });
  logger->DoDebugLog(logger.get(), loWsockInfo, "outer");
  EXPECT_EQ(DebugLines(), (std::vector<std::string>{"nested after outer", "outer"}));
}

TEST_F(LoggerTest, ConcurrentWritersProduceWholeLinesInPerThreadOrder) {
  fs::path p = dir / "log.txt";
  logger->SetLogOptions({loDestFile, loAddStamp});
  logger->SetLogFileName(p.string());
  constexpr int kThreads = 4, kLines = 300;
  std::vector<std::thread> writers;
  for (int t = 0; t < kThreads; ++t) {
    writers.emplace_back([&, t] {
      std::string pad(40 + t * 13, static_cast<char>('a' + t));
      for (int i = 0; i < kLines; ++i) {
        logger->DoDebugLog(logger.get(), loWsockDump,
                           "T" + std::to_string(t) + " " + std::to_string(i) + " " + pad);
      }
    });
  }
  for (auto& w : writers) w.join();
  std::string all = ReadAll(p);
  std::regex line("\\d\\d:\\d\\d:\\d\\d:\\d\\d\\d T(\\d) (\\d+) ([a-d]+)");
  std::vector<int> next(kThreads, 0);
  size_t start = 0, count = 0;
  while (start < all.size()) {
    size_t end = all.find("\r\n", start);
    ASSERT_NE(end, std::string::npos);
    std::string text = all.substr(start, end - start);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    int t = std::stoi(m[1]);
    EXPECT_EQ(std::stoi(m[2]), next[t]++);
    EXPECT_EQ(m[3].length(), static_cast<size_t>(40 + t * 13));
    start = end + 2;
    ++count;
  }
  EXPECT_EQ(count, static_cast<size_t>(kThreads * kLines));
}
