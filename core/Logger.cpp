#include "core/Logger.h"

#include <chrono>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <system_error>

#include "platform/WinMsg.h"

namespace core {

namespace {

using Guard = std::lock_guard<std::recursive_mutex>;

bool FileExists(const std::string& name) {
  std::error_code ec;
  return std::filesystem::exists(name, ec);
}

}  // namespace

std::string TimeStamp() {
  auto now = std::chrono::system_clock::now();
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm local{};
  localtime_r(&t, &local);
  char text[16];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d:%03d", local.tm_hour, local.tm_min, local.tm_sec,
                static_cast<int>(ms));
  return text;
}

TLogger::TLogger(TComponent* owner) : TComponent(owner) {}

TLogger::~TLogger() {
  Guard lock(FLock);
  FClosing = true;
  CloseLogFile();
}

void TLogger::DoDebugLog(TComponent* sender, TLogOption logOption, const std::string& msg) {
  Guard lock(FLock);
  if (FClosing || Destroying()) return;
  TLogOptions options = LogOptions();
  // Each destination gets its own stamp, taken when it is written.
  auto line = [&] { return options.Contains(loAddStamp) ? TimeStamp() + " " + msg : msg; };
  if (options.Contains(loDestEvent)) {
    TLogEvent handler = FOnLogEvent;
    if (handler) handler(sender, logOption, line());
  }
  if (options.Contains(loDestOutDebug)) winapi::OutputDebugString(line().c_str());
  if (options.Contains(loDestFile)) WriteToLogFile(line() + "\r\n");
}

void TLogger::WriteToLogFile(const std::string& s) {
  Guard lock(FLock);
  if (!FLogFile) OpenLogFile();
  FLogFile->WriteBuffer(s.data(), static_cast<int64_t>(s.size()));
}

void TLogger::OpenLogFile() {
  Guard lock(FLock);
  CloseLogFile();
  if (FLogFileName.empty()) throw ELoggerException("File name empty");
  try {
    if (!FileExists(FLogFileName)) {
      TFileStream created(FLogFileName, fmCreate);  // an empty file, closed again at once
    }
    // Read/write under an advisory lock: other writers that ask are refused, readers
    // are not affected (the Linux stand-in for "share deny write").
    auto file = std::make_unique<TFileStream>(FLogFileName, fmOpenReadWrite | fmShareDenyWrite);
    if (FLogFileOption == lfoAppend) {
      file->Seek(0, TSeekOrigin::soEnd);
    } else {
      file->SetSize(0);
      file->Seek(0, TSeekOrigin::soBeginning);
    }
    FLogFile = std::move(file);
  } catch (const std::exception& e) {
    throw ELoggerException(ExceptionMessage(e));
  }
}

void TLogger::CloseLogFile() {
  Guard lock(FLock);
  FLogFile.reset();
}

TLogFileOption TLogger::LogFileOption() const {
  Guard lock(FLock);
  return FLogFileOption;
}

void TLogger::SetLogFileOption(TLogFileOption value) {
  Guard lock(FLock);
  FLogFileOption = value;  // takes effect at the next opening
}

std::string TLogger::LogFileName() const {
  Guard lock(FLock);
  return FLogFileName;
}

void TLogger::SetLogFileName(const std::string& value) {
  Guard lock(FLock);
  if (value == FLogFileName) return;
  FLogFileName = value;
  CloseLogFile();
}

void TLogger::SetLogOptions(TLogOptions value) {
  Guard lock(FLock);
  FLogOptions.store(value.Bits);
}

TLogEvent TLogger::OnLogEvent() const {
  Guard lock(FLock);
  return FOnLogEvent;
}

void TLogger::SetOnLogEvent(TLogEvent value) {
  Guard lock(FLock);
  FOnLogEvent = std::move(value);
}

}  // namespace core
