// The application object: how waiting code lets the program process its pending
// messages. The console implementation pumps the calling thread's queue; the window
// program installs one that also runs the GUI toolkit's events (SetApplication).
//
// Threads: ProcessMessages and WaitMessage work on the calling thread's queue.
// Terminated and Terminate may be used from any thread. The installed object is not
// owned: it must outlive its installation.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>

namespace core {

class IApplication {
 public:
  virtual ~IApplication() = default;
  // Lets the application process every message now pending, then returns.
  virtual void ProcessMessages() = 0;
  // Like ProcessMessages, but asks stop() before each of the thread's messages and
  // returns as soon as it holds, so a stream of messages cannot keep a waiting caller
  // past its deadline. The default drains everything, as ProcessMessages does.
  virtual void ProcessMessagesUntil(const std::function<bool()>& stop) {
    if (!stop()) ProcessMessages();
  }
  // Waits up to timeoutMs for new work; true when something is pending.
  virtual bool WaitMessage(uint32_t timeoutMs) = 0;
  // True once the application is terminating (a quit message was met, or Terminate).
  virtual bool Terminated() const = 0;
  // Marks the application as terminating.
  virtual void Terminate() = 0;
};

// Pumps the calling thread's queue; a quit message marks it terminated. Once this
// object or the installed application is terminating, ProcessMessages returns
// after the message at hand, even when more are pending.
class TConsoleApplication : public IApplication {
 public:
  void ProcessMessages() override;
  void ProcessMessagesUntil(const std::function<bool()>& stop) override;
  bool WaitMessage(uint32_t timeoutMs) override;
  bool Terminated() const override { return FTerminated.load(); }
  void Terminate() override { FTerminated.store(true); }

 private:
  std::atomic<bool> FTerminated{false};
};

// The installed application object, the console one unless another was installed.
IApplication& Application();
// Installs app; nullptr restores the console application.
void SetApplication(IApplication* app);

}  // namespace core
