// TLogger: delivers diagnostic lines of the network components to up to three
// destinations chosen in LogOptions: the OnLogEvent event, a text file and the
// debugger output channel (standard error here).
//
// Callers filter first: they test LogOptions().Contains(category) and only then
// build the line and call DoDebugLog, which does not filter by category.
//
// Threads. One logger may serve components on several threads. Its recursive lock
// serialises DoDebugLog, the setters and the closing of the file, so lines are
// written whole and in the order they took the lock. OnLogEvent runs inside the
// lock on the logging thread: it may log again on that thread. LogOptions() may be
// read from any thread without the lock.
//
// The log file is opened by the first line that goes to it and stays open until the
// name changes or the logger is destroyed. It is held with an advisory write lock,
// the stand-in for a share mode: others may read it, another writer that asks for
// the lock is refused.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>

#include "core/Classes.h"
#include "core/SysUtils.h"

namespace core {

TL_DECLARE_EXCEPTION(ELoggerException, Exception);

enum TLogOption : uint8_t {
  loDestEvent,     // deliver lines to OnLogEvent
  loDestFile,      // append lines to LogFileName
  loDestOutDebug,  // send lines to the debugger output
  loAddStamp,      // prefix each delivered line with the time of day
  loWsockErr,
  loWsockInfo,
  loWsockDump,
  loSslErr,
  loSslInfo,
  loSslDump,
  loProtSpecErr,
  loProtSpecInfo,
  loProtSpecDump,
};

// A set of TLogOption, bit n standing for ordinal n.
struct TLogOptions {
  uint16_t Bits = 0;

  constexpr TLogOptions() = default;
  constexpr TLogOptions(std::initializer_list<TLogOption> options) {
    for (TLogOption o : options) Include(o);
  }
  static constexpr TLogOptions FromBits(uint16_t bits) {
    TLogOptions s;
    s.Bits = bits;
    return s;
  }
  constexpr bool Contains(TLogOption o) const { return (Bits & Bit(o)) != 0; }
  constexpr TLogOptions& Include(TLogOption o) {
    Bits = static_cast<uint16_t>(Bits | Bit(o));
    return *this;
  }
  constexpr TLogOptions& Exclude(TLogOption o) {
    Bits = static_cast<uint16_t>(Bits & ~Bit(o));
    return *this;
  }
  constexpr bool Empty() const { return Bits == 0; }
  friend constexpr bool operator==(TLogOptions a, TLogOptions b) { return a.Bits == b.Bits; }

 private:
  static constexpr uint16_t Bit(TLogOption o) { return static_cast<uint16_t>(1u << o); }
};

enum TLogFileOption : uint8_t { lfoAppend, lfoOverwrite };

using TLogEvent = std::function<void(TComponent* sender, TLogOption logOption, const std::string& msg)>;

// The time of day as "hh:nn:ss:zzz".
std::string TimeStamp();

class TLogger : public TComponent {
 public:
  explicit TLogger(TComponent* owner);
  ~TLogger() override;

  // Delivers one line to the selected destinations. Raises ELoggerException when the
  // file cannot be opened (the other destinations were served already).
  void DoDebugLog(TComponent* sender, TLogOption logOption, const std::string& msg);

  TLogFileOption LogFileOption() const;
  void SetLogFileOption(TLogFileOption value);
  std::string LogFileName() const;
  // A different name (case-sensitive) closes the open file; the next line opens the new one.
  void SetLogFileName(const std::string& value);
  TLogOptions LogOptions() const { return TLogOptions::FromBits(FLogOptions.load()); }
  void SetLogOptions(TLogOptions value);
  TLogEvent OnLogEvent() const;
  void SetOnLogEvent(TLogEvent value);

 protected:
  void OpenLogFile();
  void CloseLogFile();
  void WriteToLogFile(const std::string& s);

 private:
  std::atomic<uint16_t> FLogOptions{0};
  TLogEvent FOnLogEvent;
  std::string FLogFileName;
  std::unique_ptr<TFileStream> FLogFile;
  TLogFileOption FLogFileOption = lfoAppend;
  bool FClosing = false;  // the destructor has started: lines are dropped
  mutable std::recursive_mutex FLock;
};

}  // namespace core
