#include "midi/sysex_port.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace tamblet {
namespace {

using midi::MIDIHDR;
using midi::MMRESULT;
using midi::MMSYSERR_NOERROR;

// How long Send lets the driver take over one request before it takes the
// frame back: the caller may free the frame as soon as Send returns.
constexpr uint32_t kSendTimeoutMs = 5000;

}  // namespace

void CSysExPort::Event::Set() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    set_ = true;
  }
  // Outside the lock, so the woken waiter does not block on it at once. The
  // event outlives this call: the pair is destroyed only after Close, and
  // Close returns only once no callback runs.
  cv_.notify_all();
}

void CSysExPort::Event::Reset() {
  std::lock_guard<std::mutex> lock(mutex_);
  set_ = false;
}

bool CSysExPort::Event::IsSet() {
  std::lock_guard<std::mutex> lock(mutex_);
  return set_;
}

bool CSysExPort::Event::Wait(WaitPolicy& waits, uint32_t ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return waits.WaitFor(cv_, lock, ms, [this] { return set_; });
}

CSysExPort::CSysExPort(midi::MidiLayer& layer, WaitPolicy& waits)
    : layer_(layer),
      waits_(waits),
      in_buffers(new (std::nothrow) uint8_t[kInputBuffers * kInputBufferSize]()) {
  // Without its receive buffers the pair cannot open; Open then reports false.
  if (in_buffers) {
    for (int i = 0; i < kInputBuffers; ++i) {
      in_headers[i].lpData = in_buffers.get() + i * kInputBufferSize;
      in_headers[i].dwBufferLength = kInputBufferSize;
    }
  }
}

CSysExPort::~CSysExPort() { Close(); }

bool CSysExPort::IsOpen() const { return out_handle != nullptr && in_handle != nullptr; }

bool CSysExPort::Open(uint32_t out_index, uint32_t in_index) {
  if (out_handle != nullptr && in_handle != nullptr) return true;
  if (!in_buffers) return false;

  open_failure_.reset();
  const MMRESULT out_error =
      layer_.OutOpen(&out_handle, out_index, &OutputCallback, reinterpret_cast<uintptr_t>(this));
  if (out_error != MMSYSERR_NOERROR) {
    out_handle = nullptr;
    open_failure_ = OpenFailure{PortDirection::kOutput, out_error};
    return false;
  }
  MMRESULT error =
      layer_.InOpen(&in_handle, in_index, &InputCallback, reinterpret_cast<uintptr_t>(this));
  if (error != MMSYSERR_NOERROR) {
    in_handle = nullptr;
  } else {
    // Drops whatever the driver collected before our buffers exist.
    error = layer_.InReset(in_handle);
  }

  // Before the first buffer is queued: a message that fills it must find the
  // pair open, or it would be neither delivered nor queued again.
  is_open.store(true, std::memory_order_release);

  for (int i = 0; i < kInputBuffers && error == MMSYSERR_NOERROR; ++i) {
    MIDIHDR& header = in_headers[i];
    header.lpData = in_buffers.get() + i * kInputBufferSize;
    header.dwBufferLength = kInputBufferSize;
    header.dwBytesRecorded = 0;
    header.dwFlags = 0;
    error = layer_.InPrepareHeader(in_handle, &header);
    if (error == MMSYSERR_NOERROR) error = layer_.InAddBuffer(in_handle, &header);
  }
  reply_event.Reset();
  if (error == MMSYSERR_NOERROR) error = layer_.InStart(in_handle);

  if (error != MMSYSERR_NOERROR) {
    open_failure_ = OpenFailure{PortDirection::kInput, error};
    Close();
    return false;
  }
  return true;
}

void CSysExPort::Close() {
  if (out_handle == nullptr && in_handle == nullptr) return;

  // Before any port call: buffers handed back by the resets below must be
  // neither copied nor queued again.
  is_open.store(false, std::memory_order_release);

  if (out_handle != nullptr) {
    layer_.OutReset(out_handle);
    layer_.OutUnprepareHeader(out_handle, &out_header);
    layer_.OutClose(out_handle);
    out_handle = nullptr;
  }
  if (in_handle != nullptr) {
    layer_.InStop(in_handle);
    layer_.InReset(in_handle);
    for (MIDIHDR& header : in_headers) layer_.InUnprepareHeader(in_handle, &header);
    layer_.InClose(in_handle);
    in_handle = nullptr;
  }
  reply_event.Reset();
}

void CSysExPort::Send(const uint8_t* frame, uint32_t length, std::span<uint8_t> slot) {
  sent_event.Reset();
  if (out_handle == nullptr) return;

  out_header.lpData = const_cast<uint8_t*>(frame);
  out_header.dwBufferLength = length;
  out_header.dwBytesRecorded = 0;
  out_header.dwFlags = 0;
  // A refused request gets no completion: return now, the reply wait times out.
  if (layer_.OutPrepareHeader(out_handle, &out_header) != MMSYSERR_NOERROR) return;

  const bool armed = !slot.empty();
  if (armed) {
    // Armed before the request leaves, so the reply cannot come first.
    std::lock_guard<std::mutex> lock(reply_mutex);
    reply_slot = slot;
    reply_awaited.store(true, std::memory_order_release);
  }
  if (layer_.OutLongMsg(out_handle, &out_header) != MMSYSERR_NOERROR) {
    if (armed) {
      // Nothing left, so nothing that arrives now answers it.
      std::lock_guard<std::mutex> lock(reply_mutex);
      reply_awaited.store(false, std::memory_order_release);
      reply_event.Reset();
    }
    return;
  }
  if (!sent_event.Wait(waits_, kSendTimeoutMs)) {
    // The driver still holds the frame; the reset makes it hand the header back
    // before the caller frees the frame.
    layer_.OutReset(out_handle);
  }
}

bool CSysExPort::AwaitReply(uint32_t timeout_ms) {
  bool delivered = reply_event.Wait(waits_, timeout_ms);
  if (!delivered) {
    // The caller releases its slot once we return false: disarm so that no late
    // reply is ever copied into it. A copy already under way finishes first,
    // and then counts as delivered.
    std::lock_guard<std::mutex> lock(reply_mutex);
    reply_awaited.store(false, std::memory_order_release);
    delivered = reply_event.IsSet();
  }
  reply_event.Reset();
  return delivered;
}

void CSysExPort::OutputCallback(midi::PortHandle /*port*/, uint32_t msg, uintptr_t instance,
                                uintptr_t /*param1*/, uintptr_t /*param2*/) {
  if (instance != 0) reinterpret_cast<CSysExPort*>(instance)->OnOutput(msg);
}

void CSysExPort::InputCallback(midi::PortHandle port, uint32_t msg, uintptr_t instance,
                               uintptr_t param1, uintptr_t /*param2*/) {
  if (instance != 0) reinterpret_cast<CSysExPort*>(instance)->OnInput(port, msg, param1);
}

void CSysExPort::OnOutput(uint32_t msg) {
  if (msg == midi::MOM_DONE) sent_event.Set();
}

int CSysExPort::HeaderIndex(const MIDIHDR* header) const {
  for (int i = 0; i < kInputBuffers; ++i) {
    if (header == &in_headers[i]) return i;
  }
  return -1;
}

void CSysExPort::OnInput(midi::PortHandle port, uint32_t msg, uintptr_t param1) {
  if (msg != midi::MIM_LONGDATA && msg != midi::MIM_LONGERROR) return;
  if (!is_open.load(std::memory_order_acquire)) return;

  MIDIHDR* header = reinterpret_cast<MIDIHDR*>(param1);
  const int index = HeaderIndex(header);
  if (index < 0) return;  // not one of our buffers: nothing of it is ours to read or queue

  // Our own buffer and size, not what the header claims; a count past the
  // buffer is a driver fault and the message is dropped.
  const uint8_t* buffer = in_buffers.get() + index * kInputBufferSize;
  const uint32_t recorded = header->dwBytesRecorded;
  const bool broken_count = msg == midi::MIM_LONGDATA && recorded > kInputBufferSize;

  if (!broken_count) {
    std::lock_guard<std::mutex> lock(reply_mutex);
    if (reply_awaited.load(std::memory_order_acquire)) {
      if (msg == midi::MIM_LONGDATA) {
        const size_t n = std::min<size_t>(recorded, reply_slot.size());
        if (n > 0) std::memcpy(reply_slot.data(), buffer, n);
      }
      reply_awaited.store(false, std::memory_order_release);
      reply_event.Set();
    }
    // Not awaited: dropped. There is one slot and no queue of messages.
  }

  layer_.InPrepareHeader(port, header);
  layer_.InAddBuffer(port, header);
}

}  // namespace tamblet
