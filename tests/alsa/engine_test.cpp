// The port engine through the MIDI layer's own calls, over sockets.

#include <gtest/gtest.h>
#include <poll.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "tests/alsa/socket_ports.h"

namespace tamblet::midi::alsa {
namespace {

using test::Bytes;
using test::SocketPorts;
using test::WriteBytes;

struct Record {
  uint32_t msg;
  uintptr_t param1;
  uint32_t recorded;
  Bytes data;
  uint32_t flags;
  std::thread::id thread;
};

class CallbackLog {
 public:
  static void Callback(PortHandle, uint32_t msg, uintptr_t instance, uintptr_t param1, uintptr_t) {
    reinterpret_cast<CallbackLog*>(instance)->Add(msg, param1);
  }
  uintptr_t instance() { return reinterpret_cast<uintptr_t>(this); }

  bool WaitForCount(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, std::chrono::seconds(5), [&] { return records_.size() >= count; });
  }
  std::vector<Record> records() {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
  }

 private:
  void Add(uint32_t msg, uintptr_t param1) {
    Record record{msg, param1, 0, {}, 0, std::this_thread::get_id()};
    if (msg == MIM_LONGDATA || msg == MIM_LONGERROR || msg == MOM_DONE) {
      const auto* header = reinterpret_cast<const MIDIHDR*>(param1);
      record.recorded = header->dwBytesRecorded;
      record.flags = header->dwFlags;
      if (msg != MOM_DONE) {
        record.data.assign(header->lpData, header->lpData + header->dwBytesRecorded);
      }
    }
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(std::move(record));
    cv_.notify_all();
  }

  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<Record> records_;
};

struct Buffer {
  explicit Buffer(uint32_t size) : bytes(size) {
    header.lpData = bytes.data();
    header.dwBufferLength = size;
  }
  Bytes bytes;
  MIDIHDR header;
};

class InputPort : public ::testing::Test {
 protected:
  void Open() {
    ASSERT_EQ(ports_.layer->InOpen(&in_, 0, &CallbackLog::Callback, log_.instance()),
              MMSYSERR_NOERROR);
  }
  // Buffers live as long as the fixture: the port may hand them back in TearDown.
  Buffer& NewBuffer(uint32_t size) { return buffers_.emplace_back(size); }
  void Queue(Buffer& buffer) {
    ASSERT_EQ(ports_.layer->InPrepareHeader(in_, &buffer.header), MMSYSERR_NOERROR);
    ASSERT_EQ(ports_.layer->InAddBuffer(in_, &buffer.header), MMSYSERR_NOERROR);
  }
  void TearDown() override {
    if (in_ != nullptr) {
      EXPECT_EQ(ports_.layer->InClose(in_), MMSYSERR_NOERROR);
    }
  }

  SocketPorts ports_;
  CallbackLog log_;
  std::deque<Buffer> buffers_;
  PortHandle in_ = nullptr;
};

TEST_F(InputPort, DeliversWholeMessagesIntoQueuedBuffersInOrder) {
  Open();
  Buffer& first = NewBuffer(4096);
  Buffer& second = NewBuffer(4096);
  Queue(first);
  Queue(second);
  ASSERT_EQ(ports_.layer->InStart(in_), MMSYSERR_NOERROR);
  WriteBytes(ports_.in_far, {0x05, 0xF0, 0x01});
  WriteBytes(ports_.in_far, {0xF8, 0x02, 0xF7, 0xF0});
  WriteBytes(ports_.in_far, {0x03, 0xF7});
  ASSERT_TRUE(log_.WaitForCount(2));
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].msg, MIM_LONGDATA);
  EXPECT_EQ(records[0].param1, reinterpret_cast<uintptr_t>(&first.header));
  EXPECT_EQ(records[0].data, (Bytes{0xF0, 0x01, 0x02, 0xF7}));
  EXPECT_EQ(records[0].flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_EQ(records[1].param1, reinterpret_cast<uintptr_t>(&second.header));
  EXPECT_EQ(records[1].data, (Bytes{0xF0, 0x03, 0xF7}));
  EXPECT_NE(records[0].thread, std::this_thread::get_id());
}

TEST_F(InputPort, ReportsShortMessagesBrokenAndOversizedOnes) {
  Open();
  Buffer& small = NewBuffer(8);
  Buffer& other = NewBuffer(4096);
  Queue(small);
  Queue(other);
  ASSERT_EQ(ports_.layer->InStart(in_), MMSYSERR_NOERROR);
  Bytes big(20, 0x11);
  big.front() = 0xF0;
  big.back() = 0xF7;
  WriteBytes(ports_.in_far, {0x90, 0x40, 0x7F});
  WriteBytes(ports_.in_far, big);
  WriteBytes(ports_.in_far, {0xF0, 0x01, 0x80, 0x40, 0x00});
  ASSERT_TRUE(log_.WaitForCount(4));
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 4u);
  EXPECT_EQ(records[0].msg, MIM_DATA);
  EXPECT_EQ(records[0].param1, 0x7F4090u);
  // Longer than its buffer: an error, the buffer filled as far as it goes.
  EXPECT_EQ(records[1].msg, MIM_LONGERROR);
  EXPECT_EQ(records[1].data, Bytes(big.begin(), big.begin() + 8));
  // Broken by a status byte.
  EXPECT_EQ(records[2].msg, MIM_LONGERROR);
  EXPECT_EQ(records[2].data, (Bytes{0xF0, 0x01}));
  EXPECT_EQ(records[3].msg, MIM_DATA);
  EXPECT_EQ(records[3].param1, 0x004080u);
}

TEST_F(InputPort, DropsAMessageThatFindsNoBuffer) {
  Open();
  ASSERT_EQ(ports_.layer->InStart(in_), MMSYSERR_NOERROR);
  // The short message marks the point where the first one has been handled.
  WriteBytes(ports_.in_far, {0xF0, 0x01, 0xF7, 0xB0, 0x07, 0x00});
  ASSERT_TRUE(log_.WaitForCount(1));
  Buffer& buffer = NewBuffer(4096);
  Queue(buffer);
  WriteBytes(ports_.in_far, {0xF0, 0x02, 0xF7});
  ASSERT_TRUE(log_.WaitForCount(2));
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].msg, MIM_DATA);
  EXPECT_EQ(records[1].msg, MIM_LONGDATA);
  EXPECT_EQ(records[1].data, (Bytes{0xF0, 0x02, 0xF7}));
}

TEST_F(InputPort, ResetHandsEveryQueuedBufferBackBeforeItReturns) {
  Open();
  Buffer& a = NewBuffer(4096);
  Buffer& b = NewBuffer(4096);
  Buffer& c = NewBuffer(4096);
  for (Buffer* buffer : {&a, &b, &c}) Queue(*buffer);
  ASSERT_EQ(ports_.layer->InStart(in_), MMSYSERR_NOERROR);
  ASSERT_EQ(ports_.layer->InReset(in_), MMSYSERR_NOERROR);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 3u);
  const MIDIHDR* expected[] = {&a.header, &b.header, &c.header};
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_EQ(records[i].msg, MIM_LONGDATA);
    EXPECT_EQ(records[i].param1, reinterpret_cast<uintptr_t>(expected[i]));
    EXPECT_EQ(records[i].recorded, 0u);
    EXPECT_EQ(records[i].flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  }
  // Handed back, they can be unprepared; a queued one could not.
  EXPECT_EQ(ports_.layer->InUnprepareHeader(in_, &a.header), MMSYSERR_NOERROR);
  Queue(b);
  EXPECT_EQ(ports_.layer->InUnprepareHeader(in_, &b.header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(ports_.layer->InAddBuffer(in_, &b.header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(ports_.layer->InAddBuffer(in_, &a.header), MIDIERR_UNPREPARED);
}

TEST_F(InputPort, FarEndGoneLeavesBuffersQueuedUntilReset) {
  Open();
  Queue(NewBuffer(4096));
  ASSERT_EQ(ports_.layer->InStart(in_), MMSYSERR_NOERROR);
  WriteBytes(ports_.in_far, {0xF0, 0x01});  // half a message, then unplugged
  ports_.ForgetNearEnds();
  ports_.HangUp();
  // Once the reader has seen the end, the port refuses to start again.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (ports_.layer->InStart(in_) == MMSYSERR_NOERROR &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(ports_.layer->InStart(in_), MMSYSERR_ERROR);
  EXPECT_TRUE(log_.records().empty());
  ASSERT_EQ(ports_.layer->InReset(in_), MMSYSERR_NOERROR);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].recorded, 0u);
}

// Messages keep arriving while the port closes: once InClose has returned no
// callback may run, so the log can go at once (a late callback would touch
// freed memory, which the sanitizers report).
TEST(InputPortClose, NoCallbackAfterCloseReturns) {
  SocketPorts ports;
  std::atomic<bool> stop{false};
  std::thread sender([&] {
    const Bytes message = {0xF0, 0x01, 0x02, 0xF7, 0x90, 0x40, 0x7F};
    while (!stop.load()) WriteBytes(ports.in_far, message);
  });
  for (int round = 0; round < 20; ++round) {
    auto log = std::make_unique<CallbackLog>();
    PortHandle in = nullptr;
    ASSERT_EQ(ports.layer->InOpen(&in, 0, &CallbackLog::Callback, log->instance()),
              MMSYSERR_NOERROR);
    std::vector<std::unique_ptr<Buffer>> buffers;
    for (int i = 0; i < 4; ++i) {
      buffers.push_back(std::make_unique<Buffer>(64));
      ports.layer->InPrepareHeader(in, &buffers.back()->header);
      ports.layer->InAddBuffer(in, &buffers.back()->header);
    }
    ports.layer->InStart(in);
    ASSERT_TRUE(log->WaitForCount(3));
    ASSERT_EQ(ports.layer->InClose(in), MMSYSERR_NOERROR);
    // Every buffer came back, none is left with the driver.
    for (auto& buffer : buffers) {
      EXPECT_EQ(buffer->header.dwFlags & MHDR_INQUEUE, 0u);
    }
    EXPECT_EQ(ports.layer->InStart(in), MMSYSERR_INVALHANDLE);
    log.reset();
  }
  stop.store(true);
  // Unblocks the sender should the socket be full.
  shutdown(ports.in_near, SHUT_RDWR);
  sender.join();
}

class OutputPort : public ::testing::Test {
 protected:
  explicit OutputPort(int write_stall_ms = kWriteStallMs) : ports_(write_stall_ms) {}
  void Open() {
    ASSERT_EQ(ports_.layer->OutOpen(&out_, 0, &CallbackLog::Callback, log_.instance()),
              MMSYSERR_NOERROR);
  }
  Buffer& NewBuffer(uint32_t size) { return buffers_.emplace_back(size); }
  void Send(Buffer& buffer) {
    ASSERT_EQ(ports_.layer->OutPrepareHeader(out_, &buffer.header), MMSYSERR_NOERROR);
    ASSERT_EQ(ports_.layer->OutLongMsg(out_, &buffer.header), MMSYSERR_NOERROR);
  }
  Bytes ReadFar(size_t count) {
    Bytes got;
    while (got.size() < count) {
      uint8_t chunk[4096];
      const ssize_t n = recv(ports_.out_far, chunk, sizeof(chunk), 0);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
    return got;
  }
  void TearDown() override {
    if (out_ != nullptr) {
      EXPECT_EQ(ports_.layer->OutClose(out_), MMSYSERR_NOERROR);
    }
  }

  SocketPorts ports_;
  CallbackLog log_;
  std::deque<Buffer> buffers_;
  PortHandle out_ = nullptr;
};

TEST_F(OutputPort, WritesTheMessageWholeThenReportsDoneFromItsOwnThread) {
  Open();
  Buffer& frame = NewBuffer(2362);
  for (size_t i = 0; i < frame.bytes.size(); ++i) frame.bytes[i] = static_cast<uint8_t>(i & 0x7F);
  frame.bytes.front() = 0xF0;
  frame.bytes.back() = 0xF7;
  Send(frame);
  EXPECT_EQ(ReadFar(frame.bytes.size()), frame.bytes);
  ASSERT_TRUE(log_.WaitForCount(1));
  const auto records = log_.records();
  EXPECT_EQ(records[0].msg, MOM_DONE);
  EXPECT_EQ(records[0].param1, reinterpret_cast<uintptr_t>(&frame.header));
  EXPECT_EQ(records[0].flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_NE(records[0].thread, std::this_thread::get_id());
  EXPECT_EQ(ports_.layer->OutUnprepareHeader(out_, &frame.header), MMSYSERR_NOERROR);
  EXPECT_EQ(ports_.layer->OutLongMsg(out_, &frame.header), MIDIERR_UNPREPARED);
}

TEST_F(OutputPort, ResetAbandonsAWriteTheFarEndDoesNotTake) {
  Open();
  // Far more than the socket holds, and the far end reads nothing.
  Buffer& huge = NewBuffer(8 << 20);
  Buffer& next = NewBuffer(16);
  Send(huge);
  Send(next);
  pollfd pfd{ports_.out_far, POLLIN, 0};
  ASSERT_EQ(poll(&pfd, 1, 5000), 1);  // the write is under way
  ASSERT_EQ(ports_.layer->OutReset(out_), MMSYSERR_NOERROR);
  const auto records = log_.records();
  ASSERT_EQ(records.size(), 2u);
  EXPECT_EQ(records[0].param1, reinterpret_cast<uintptr_t>(&huge.header));
  EXPECT_EQ(records[1].param1, reinterpret_cast<uintptr_t>(&next.header));
  for (const Record& record : records) EXPECT_EQ(record.msg, MOM_DONE);
}

TEST_F(OutputPort, FarEndGoneStillReportsDone) {
  Open();
  ports_.ForgetNearEnds();
  ports_.HangUp();
  Buffer& first = NewBuffer(100);
  Buffer& second = NewBuffer(100);
  first.bytes.front() = second.bytes.front() = 0xF0;
  Send(first);
  ASSERT_TRUE(log_.WaitForCount(1));
  Send(second);
  ASSERT_TRUE(log_.WaitForCount(2));
  for (const Record& record : log_.records()) EXPECT_EQ(record.msg, MOM_DONE);
}

class StalledOutputPort : public OutputPort {
 protected:
  StalledOutputPort() : OutputPort(/*write_stall_ms=*/50) {}
};

// A far end that takes nothing more is given up on: the message completes, and
// later ones complete without being written after the broken one.
TEST_F(StalledOutputPort, GivesUpOnAFarEndThatTakesNothing) {
  Open();
  Buffer& huge = NewBuffer(8 << 20);
  Buffer& next = NewBuffer(3);
  next.bytes[0] = 0xF0;
  next.bytes[1] = 0x01;
  next.bytes[2] = 0xF7;
  Send(huge);
  ASSERT_TRUE(log_.WaitForCount(1));
  Send(next);
  ASSERT_TRUE(log_.WaitForCount(2));
  // Everything the far end can still read is a prefix of the huge message.
  Bytes got;
  uint8_t chunk[65536];
  ssize_t n;
  while ((n = recv(ports_.out_far, chunk, sizeof(chunk), MSG_DONTWAIT)) > 0) {
    got.insert(got.end(), chunk, chunk + n);
  }
  ASSERT_LT(got.size(), huge.bytes.size());
  EXPECT_TRUE(std::equal(got.begin(), got.end(), huge.bytes.begin()));
}

TEST(StreamLayer, PortOpenTwiceIsAllocated) {
  SocketPorts ports;
  CallbackLog log;
  PortHandle a = nullptr, b = nullptr;
  ASSERT_EQ(ports.layer->OutOpen(&a, 0, &CallbackLog::Callback, log.instance()), MMSYSERR_NOERROR);
  EXPECT_EQ(ports.layer->OutOpen(&b, 0, &CallbackLog::Callback, log.instance()),
            MMSYSERR_ALLOCATED);
  EXPECT_EQ(ports.layer->OutOpen(&b, 1, &CallbackLog::Callback, log.instance()),
            MMSYSERR_BADDEVICEID);
  EXPECT_EQ(ports.layer->OutClose(a), MMSYSERR_NOERROR);
  EXPECT_EQ(ports.layer->OutClose(a), MMSYSERR_INVALHANDLE);
  ASSERT_EQ(ports.layer->OutOpen(&b, 0, &CallbackLog::Callback, log.instance()), MMSYSERR_NOERROR);
  EXPECT_EQ(ports.layer->OutClose(b), MMSYSERR_NOERROR);
}

}  // namespace
}  // namespace tamblet::midi::alsa
