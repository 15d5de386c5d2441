// Cost of routing a message to its component: the window procedure alone (slot read,
// table index, virtual WndProc), and a whole post plus dispatch through a
// component's own number on the thread queue.
#include <benchmark/benchmark.h>

#include <cstdint>

#include "core/WndControl.h"
#include "platform/WinMsg.h"

namespace {

using core::TMessage;

// Counts the messages of its one extra number; everything else goes to the base.
class TCountingControl : public core::TWndControl {
 public:
  TCountingControl() : TWndControl(nullptr) {}
  int MsgHandlersCount() override { return TWndControl::MsgHandlersCount() + 1; }
  void AllocateMsgHandlers() override {
    TWndControl::AllocateMsgHandlers();
    FMsgCount = FWndHandler->RegisterMessage(this);
  }
  void FreeMsgHandlers() override {
    if (FWndHandler) FWndHandler->UnregisterMessage(FMsgCount);
    TWndControl::FreeMsgHandlers();
  }
  void WndProc(TMessage& m) override {
    if (m.Msg == FMsgCount) {
      Count += m.WParam;
      m.Result = 1;
      return;
    }
    TWndControl::WndProc(m);
  }
  uint32_t Number() const { return FMsgCount; }
  uint64_t Count = 0;

 private:
  uint32_t FMsgCount = 0;
};

void BM_WindowProcRouting(benchmark::State& state) {
  auto c = core::MakeComponent<TCountingControl>();
  winapi::HWND wnd = c->Handle();
  uint32_t number = c->Number();
  for (auto _ : state) {
    benchmark::DoNotOptimize(core::WndControlWindowProc(wnd, number, 1, 0));
  }
  benchmark::DoNotOptimize(c->Count);
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowProcRouting);

// A free number of the block: the handler's default processing path.
void BM_WindowProcDefault(benchmark::State& state) {
  auto c = core::MakeComponent<TCountingControl>();
  winapi::HWND wnd = c->Handle();
  for (auto _ : state) {
    benchmark::DoNotOptimize(core::WndControlWindowProc(wnd, 1100, 1, 0));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_WindowProcDefault);

void BM_PostAndDispatch(benchmark::State& state) {
  auto c = core::MakeComponent<TCountingControl>();
  winapi::HWND wnd = c->Handle();
  uint32_t number = c->Number();
  for (auto _ : state) {
    winapi::PostMessage(wnd, number, 1, 0);
    c->PumpOneMessage();
  }
  if (c->Count != static_cast<uint64_t>(state.iterations())) state.SkipWithError("a message was lost");
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PostAndDispatch);

// A burst of posts, then one PumpMessages that empties the queue.
void BM_PostBurstThenPump(benchmark::State& state) {
  auto c = core::MakeComponent<TCountingControl>();
  winapi::HWND wnd = c->Handle();
  uint32_t number = c->Number();
  const auto burst = state.range(0);
  for (auto _ : state) {
    for (int64_t i = 0; i < burst; ++i) winapi::PostMessage(wnd, number, 1, 0);
    c->PumpMessages();
  }
  if (c->Count != static_cast<uint64_t>(state.iterations() * burst))
    state.SkipWithError("a message was lost");
  state.SetItemsProcessed(state.iterations() * burst);
}
BENCHMARK(BM_PostBurstThenPump)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
