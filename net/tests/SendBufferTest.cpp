#include "net/SendBuffer.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <mutex>
#include <string>
#include <vector>

namespace net {
namespace {

// Bytes 0, 1, 2, ... (mod 251), so a reordered or shifted byte shows.
std::string Pattern(size_t n, size_t start = 0) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; ++i) s[i] = static_cast<char>((start + i) % 251);
  return s;
}

// Data counts of the chunks of a list, first to last.
std::vector<int32_t> Counts(const TBufferLinkedList& list) {
  std::vector<int32_t> counts;
  for (TBuffer* b = list.First(); b != nullptr; b = b->NextBuf()) counts.push_back(b->DataCount());
  return counts;
}

std::vector<int32_t> BlockSizes(const TBufferLinkedList& list) {
  std::vector<int32_t> sizes;
  for (TBuffer* b = list.First(); b != nullptr; b = b->NextBuf()) sizes.push_back(b->BlockSize());
  return sizes;
}

// Everything queued, drained the way the socket's send loop does it.
std::string Drain(TBufferHandler& h) {
  std::string out;
  const char* data = nullptr;
  while (int32_t n = h.Peek(data)) {
    out.append(data, static_cast<size_t>(n));
    h.Remove(n);
  }
  return out;
}

std::string RemoveMessage(TBufferHandler& h, int64_t count) {
  try {
    h.Remove(count);
  } catch (const core::Exception& e) {
    EXPECT_EQ(e.ClassName(), "Exception") << "the general class, not the socket's";
    return e.Message();
  }
  return "";
}

class SendBuffer : public ::testing::Test {
 protected:
  core::ComponentPtr<TBufferHandler> FHandler = core::MakeComponent<TBufferHandler>(nullptr);
  TBufferHandler& h = *FHandler;
};

TEST_F(SendBuffer, NewChainIsEmpty) {
  EXPECT_EQ(h.BufSize(), 1460);
  EXPECT_TRUE(h.IsEmpty());
  const char* data = nullptr;
  EXPECT_EQ(h.Peek(data), 0);
  EXPECT_EQ(data, nullptr);
}

TEST_F(SendBuffer, WriteFillsWholeChunksInOrder) {
  std::string bytes = Pattern(3000);
  h.Write(bytes.data(), 3000);
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{1460, 1460, 80}));
  const char* data = nullptr;
  ASSERT_EQ(h.Peek(data), 1460);
  EXPECT_EQ(std::string(data, 1460), bytes.substr(0, 1460));
  EXPECT_EQ(Drain(h), bytes);
  EXPECT_TRUE(h.IsEmpty());
}

TEST_F(SendBuffer, WriteTopsUpTheNewestChunkFirst) {
  std::string first = Pattern(1400);
  std::string second = Pattern(100, 1400);
  h.Write(first.data(), 1400);
  h.Write(second.data(), 100);
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{1460, 40}));
  EXPECT_EQ(Drain(h), first + second);
}

TEST_F(SendBuffer, RemoveConsumesTheFirstChunkOnly) {
  std::string bytes = Pattern(2000);
  h.Write(bytes.data(), 2000);
  h.Remove(500);
  TBuffer* first = h.UsedList().First();
  EXPECT_EQ(first->ReadPos(), 500);
  const char* data = nullptr;
  ASSERT_EQ(h.Peek(data), 960);
  EXPECT_EQ(std::string(data, 960), bytes.substr(500, 960));

  h.Remove(960);
  EXPECT_EQ(h.FreeList().First(), first) << "the emptied chunk is kept for reuse";
  EXPECT_EQ(first->ReadPos(), 0);
  EXPECT_EQ(first->WritePos(), 0);
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{540}));
  ASSERT_EQ(h.Peek(data), 540);
  EXPECT_EQ(std::string(data, 540), bytes.substr(1460));
}

TEST_F(SendBuffer, RemovingMoreThanTheFirstChunkDoesNotCarryOver) {
  std::string bytes = Pattern(2000);
  h.Write(bytes.data(), 2000);
  h.Remove(2000);
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{540}));
  EXPECT_FALSE(h.IsEmpty());
}

TEST_F(SendBuffer, RemoveErrors) {
  EXPECT_EQ(RemoveMessage(h, 1), "TBufferHandler.Remove: nothing to remove");
  h.Write("abc", 3);
  EXPECT_EQ(RemoveMessage(h, -5), "TBufferHandler.Remove: Invalid Len -5");
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{3})) << "nothing consumed";
  EXPECT_EQ(RemoveMessage(h, 0), "");
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{3}));
}

TEST_F(SendBuffer, DeleteAllDropsDataAndKeepsChunks) {
  std::string bytes = Pattern(3000);
  h.Write(bytes.data(), 3000);
  h.Remove(100);
  std::vector<TBuffer*> chunks;
  for (TBuffer* b = h.UsedList().First(); b != nullptr; b = b->NextBuf()) chunks.push_back(b);

  h.DeleteAll();
  EXPECT_TRUE(h.IsEmpty());
  EXPECT_EQ(h.UsedList().First(), nullptr);
  EXPECT_EQ(Counts(h.FreeList()), (std::vector<int32_t>{0, 0, 0}));
  EXPECT_EQ(h.FreeList().First(), chunks.back()) << "most recently freed first";

  h.Write("xyz", 3);
  EXPECT_EQ(h.UsedList().First(), chunks.back()) << "a free chunk is reused";
  EXPECT_EQ(Drain(h), "xyz");
}

TEST_F(SendBuffer, SteadyTrafficReusesItsChunks) {
  std::string bytes = Pattern(1000);
  h.Write(bytes.data(), 1000);
  TBuffer* chunk = h.UsedList().First();
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(Drain(h), bytes);
    h.Write(bytes.data(), 1000);
    EXPECT_EQ(h.UsedList().First(), chunk);
    EXPECT_EQ(h.FreeList().First(), nullptr);
  }
}

TEST_F(SendBuffer, NewBufSizeAppliesOnlyToChunksCreatedLater) {
  std::string bytes = Pattern(2920);
  h.Write(bytes.data(), 2920);
  h.DeleteAll();
  h.SetBufSize(512);
  std::string more = Pattern(3500);
  h.Write(more.data(), 3500);
  EXPECT_EQ(BlockSizes(h.UsedList()), (std::vector<int32_t>{1460, 1460, 512, 512}));
  EXPECT_EQ(Counts(h.UsedList()), (std::vector<int32_t>{1460, 1460, 512, 68}));
  EXPECT_EQ(Drain(h), more);
}

TEST_F(SendBuffer, NonPositiveBufSizeGivesDefaultChunks) {
  h.SetBufSize(0);
  h.Write("a", 1);
  h.SetBufSize(-7);
  std::string bytes = Pattern(1460);
  h.Write(bytes.data(), 1460);
  EXPECT_EQ(BlockSizes(h.UsedList()), (std::vector<int32_t>{1460, 1460}));
}

TEST_F(SendBuffer, NonPositiveWriteQueuesNothing) {
  h.Write("abc", 0);
  h.Write("abc", -3);
  EXPECT_TRUE(h.IsEmpty());
  h.Write("abc", 3);
  EXPECT_EQ(Drain(h), "abc");
}

TEST_F(SendBuffer, LockIsRecursiveAndUsableWithLockGuard) {
  std::lock_guard<TBufferHandler> outer(h);
  h.EnterLock();
  h.Write("a", 1);
  h.LeaveLock();
  EXPECT_FALSE(h.IsEmpty());
}

TEST(Buffer, AppendPeekConsume) {
  TBuffer b(8);
  EXPECT_EQ(b.Append("0123456789", 2, 10), 8);
  EXPECT_EQ(b.Append("x", 0, 1), 0) << "full";
  EXPECT_EQ(b.Consume(3), 3);
  const char* data = nullptr;
  ASSERT_EQ(b.Peek(data), 5);
  EXPECT_EQ(std::string(data, 5), "56789");
  EXPECT_EQ(b.Consume(-1), 0);
  EXPECT_EQ(b.Consume(100), 5);
  EXPECT_EQ(b.ReadPos(), 0);
  EXPECT_EQ(b.WritePos(), 0);
  EXPECT_EQ(b.Consume(1), 0);
  EXPECT_EQ(b.Append("ab", 0, 2), 2) << "an emptied chunk fills from its start";
}

TEST(Buffer, ResizeKeepsOnlyWhatTheNewBlockHolds) {
  TBuffer b(0);
  EXPECT_EQ(b.BlockSize(), 1460);
  std::string bytes = Pattern(1000);
  b.Append(bytes.data(), 0, 1000);
  b.Consume(100);

  b.Resize(2000);
  const char* data = nullptr;
  ASSERT_EQ(b.Peek(data), 900);
  EXPECT_EQ(std::string(data, 900), bytes.substr(100));

  b.Resize(300);
  EXPECT_EQ(b.BlockSize(), 300);
  EXPECT_EQ(b.WritePos(), 300);
  ASSERT_EQ(b.Peek(data), 200);
  EXPECT_EQ(std::string(data, 200), bytes.substr(100, 200));

  b.Resize(50);  // all data beyond the new block: nothing is left
  EXPECT_EQ(b.DataCount(), 0);
  EXPECT_EQ(b.Append(bytes.data(), 0, 100), 50);
}

TEST(BufferList, LinksAndTakeFirst) {
  TBufferLinkedList list;
  EXPECT_EQ(list.TakeFirst(), nullptr);
  auto* a = new TBuffer(1);
  auto* b = new TBuffer(1);
  auto* c = new TBuffer(1);
  list.AddLast(b);
  list.InsertFirst(a);
  list.AddLast(c);
  EXPECT_EQ(list.First(), a);
  EXPECT_EQ(list.Last(), c);
  EXPECT_EQ(a->PrevBuf(), nullptr);
  EXPECT_EQ(b->PrevBuf(), a);
  EXPECT_EQ(b->NextBuf(), c);
  EXPECT_EQ(c->NextBuf(), nullptr);

  TBuffer* taken = list.TakeFirst();
  EXPECT_EQ(taken, a);
  EXPECT_EQ(list.First(), b);
  EXPECT_EQ(b->PrevBuf(), nullptr);
  delete taken;
  delete list.TakeFirst();
  EXPECT_EQ(list.First(), c);
  EXPECT_EQ(list.Last(), c);
  // c is freed with the list.
}

}  // namespace
}  // namespace net
