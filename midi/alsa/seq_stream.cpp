#include "midi/alsa/seq_stream.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <optional>
#include <thread>
#include <vector>

#include "midi/alsa/rawmidi_proc.h"
#include "midi/alsa/seq_events.h"
#include "midi/stream/poll_slices.h"

namespace tamblet::midi::alsa {
namespace {

struct SeqCloser {
  void operator()(snd_seq_t* seq) const { snd_seq_close(seq); }
};
using Seq = std::unique_ptr<snd_seq_t, SeqCloser>;

struct DecoderFree {
  void operator()(snd_midi_event_t* decoder) const { snd_midi_event_free(decoder); }
};

// The kernel's rawmidi client numbers a card's ports device * 32 + subdevice.
constexpr int kPortsPerDevice = 32;

// The port of the card's kernel client that stands for the rawmidi substream.
std::optional<snd_seq_addr_t> FindCardPort(snd_seq_t* seq, const RawmidiAddress& address,
                                           unsigned needed_caps) {
  snd_seq_client_info_t* client = nullptr;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_t* port = nullptr;
  snd_seq_port_info_alloca(&port);
  const int number = address.device * kPortsPerDevice + address.subdevice;
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    const int id = snd_seq_client_info_get_client(client);
    if (snd_seq_client_info_get_type(client) != SND_SEQ_KERNEL_CLIENT ||
        snd_seq_client_info_get_card(client) != address.card ||
        snd_seq_get_any_port_info(seq, id, number, port) < 0 ||
        (snd_seq_port_info_get_capability(port) & needed_caps) != needed_caps) {
      continue;
    }
    return snd_seq_addr_t{static_cast<unsigned char>(id), static_cast<unsigned char>(number)};
  }
  return std::nullopt;
}

// A client of ours with one private port, connected to the card's port.
struct Connection {
  Seq seq;
  snd_seq_addr_t ours{};
  snd_seq_addr_t device{};
};

std::optional<Connection> Connect(const RawmidiAddress& address, PortDirection direction) {
  const bool output = direction == PortDirection::kOutput;
  snd_seq_t* raw = nullptr;
  if (snd_seq_open(&raw, "default", output ? SND_SEQ_OPEN_OUTPUT : SND_SEQ_OPEN_INPUT,
                   SND_SEQ_NONBLOCK) < 0) {
    return std::nullopt;
  }
  Connection link{Seq(raw)};
  snd_seq_set_client_name(raw, "Tamblet");
  const auto device = FindCardPort(raw, address,
                                   output ? SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE
                                          : SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
  // No other program may connect to our port: what we send is for the device only.
  const int port = snd_seq_create_simple_port(
      raw, "Tamblet",
      (output ? SND_SEQ_PORT_CAP_READ : SND_SEQ_PORT_CAP_WRITE) | SND_SEQ_PORT_CAP_NO_EXPORT,
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  if (!device || port < 0) return std::nullopt;
  link.device = *device;
  link.ours = {static_cast<unsigned char>(snd_seq_client_id(raw)),
               static_cast<unsigned char>(port)};

  snd_seq_port_subscribe_t* subscription = nullptr;
  snd_seq_port_subscribe_alloca(&subscription);
  snd_seq_port_subscribe_set_sender(subscription, output ? &link.ours : &link.device);
  snd_seq_port_subscribe_set_dest(subscription, output ? &link.device : &link.ours);
  // Subscribing makes the kernel open the raw substream; it fails like the raw
  // open when a program holds that itself.
  if (snd_seq_subscribe_port(raw, subscription) < 0) return std::nullopt;
  return link;
}

// The client's descriptors to poll for `events`.
std::vector<pollfd> PollFds(snd_seq_t* seq, short events) {
  const int count = snd_seq_poll_descriptors_count(seq, events);
  std::vector<pollfd> fds(count > 0 ? static_cast<size_t>(count) : 0);
  if (!fds.empty()) {
    snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(fds.size()), events);
  }
  return fds;
}

stream::IoStatus Wait(std::vector<pollfd>& fds, int timeout_ms) {
  if (fds.empty()) return stream::IoStatus::kGone;
  const int ready = poll(fds.data(), fds.size(), timeout_ms);
  if (ready < 0) return errno == EINTR ? stream::IoStatus::kTimeout : stream::IoStatus::kGone;
  if (ready == 0) return stream::IoStatus::kTimeout;
  for (const pollfd& fd : fds) {
    if (fd.revents & (POLLERR | POLLHUP | POLLNVAL)) return stream::IoStatus::kGone;
  }
  return stream::IoStatus::kOk;
}

class SeqOutputStream : public stream::ByteStream {
 public:
  SeqOutputStream(Connection link, const RawmidiAddress& address)
      : link_(std::move(link)), address_(address), fds_(PollFds(link_.seq.get(), POLLOUT)) {}

  stream::ReadResult Read(uint8_t*, size_t, int) override { return {stream::IoStatus::kGone, 0}; }

  // One request, one event; nothing of it is sent unless all of it fits.
  stream::IoStatus WriteAll(const uint8_t* data, size_t length, int stall_ms,
                            const std::atomic<bool>& abandon) override {
    const std::span<const uint8_t> request(data, length);
    SeqSend verdict = CheckSeqRequest(request, ReadRawmidiState(address_, PortDirection::kOutput));
    if (verdict == SeqSend::kNotOneSysEx || verdict == SeqSend::kLongerThanBuffer) {
      return stream::IoStatus::kRefused;
    }
    return stream::WriteInSlices(length, stall_ms, abandon, [&](size_t) -> stream::WriteStep {
      if (verdict == SeqSend::kNoRoomYet) {
        std::this_thread::sleep_for(std::chrono::milliseconds(stream::kPollSliceMs));
        verdict = CheckSeqRequest(request, ReadRawmidiState(address_, PortDirection::kOutput));
        return {stream::WriteStep::kWouldBlock, 0};
      }
      snd_seq_event_t event;
      snd_seq_ev_clear(&event);
      snd_seq_ev_set_source(&event, link_.ours.port);
      snd_seq_ev_set_dest(&event, link_.device.client, link_.device.port);
      snd_seq_ev_set_direct(&event);
      snd_seq_ev_set_sysex(&event, static_cast<unsigned>(length), const_cast<uint8_t*>(data));
      const int result = snd_seq_event_output_direct(link_.seq.get(), &event);
      if (result >= 0) return {stream::WriteStep::kWrote, length};
      if (result == -EAGAIN || result == -EINTR) {
        return Wait(fds_, stream::kPollSliceMs) == stream::IoStatus::kGone
                   ? stream::WriteStep{stream::WriteStep::kFailed, 0}
                   : stream::WriteStep{stream::WriteStep::kWouldBlock, 0};
      }
      return {stream::WriteStep::kFailed, 0};  // -ENOENT once the device has gone
    });
  }

  // The kernel has copied the event into the device's buffer when the write returns.
  stream::IoStatus Drain() override { return stream::IoStatus::kOk; }

 private:
  const Connection link_;
  const RawmidiAddress address_;
  std::vector<pollfd> fds_;
};

class SeqInputStream : public stream::ByteStream {
 public:
  SeqInputStream(Connection link, snd_midi_event_t* decoder)
      : link_(std::move(link)), decoder_(decoder), fds_(PollFds(link_.seq.get(), POLLIN)) {
    snd_midi_event_no_status(decoder_.get(), 1);  // every short message with its status
  }

  stream::ReadResult Read(uint8_t* buffer, size_t capacity, int timeout_ms) override {
    if (pending_.empty()) {
      if (snd_seq_event_input_pending(link_.seq.get(), 0) == 0) {
        const stream::IoStatus ready = Wait(fds_, timeout_ms);
        if (ready != stream::IoStatus::kOk) return {ready, 0};
      }
      if (!Collect()) return {stream::IoStatus::kGone, 0};
      if (pending_.empty()) return {stream::IoStatus::kTimeout, 0};
    }
    const size_t count = std::min(capacity, pending_.size());
    std::memcpy(buffer, pending_.data(), count);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(count));
    return {stream::IoStatus::kOk, count};
  }

  stream::IoStatus WriteAll(const uint8_t*, size_t, int, const std::atomic<bool>&) override {
    return stream::IoStatus::kGone;
  }
  stream::IoStatus Drain() override { return stream::IoStatus::kOk; }

 private:
  // Takes the events that have arrived, enough of them to fill a receive
  // buffer at most; false once the client is unusable.
  bool Collect() {
    while (pending_.size() < kCollectBytes) {
      snd_seq_event_t* event = nullptr;
      const int result = snd_seq_event_input(link_.seq.get(), &event);
      if (result == -EAGAIN) break;
      if (result == -ENOSPC) {  // the kernel dropped events for want of room
        pending_.push_back(kLostBytesMark);
        continue;
      }
      if (result < 0) return false;
      if (event->source.client == link_.device.client && event->source.port == link_.device.port) {
        AppendEventBytes(*event, decoder_.get(), &pending_);
      }
    }
    return true;
  }

  static constexpr size_t kCollectBytes = 4096;
  const Connection link_;
  const std::unique_ptr<snd_midi_event_t, DecoderFree> decoder_;
  std::vector<pollfd> fds_;
  std::vector<uint8_t> pending_;  // bytes taken from events, not yet read
};

}  // namespace

MMRESULT OpenSequencerOutput(const RawmidiAddress& address,
                             std::unique_ptr<stream::ByteStream>* stream) {
  auto link = Connect(address, PortDirection::kOutput);
  if (!link) return MMSYSERR_ALLOCATED;
  *stream = std::make_unique<SeqOutputStream>(std::move(*link), address);
  return MMSYSERR_NOERROR;
}

MMRESULT OpenSequencerInput(const RawmidiAddress& address,
                            std::unique_ptr<stream::ByteStream>* stream) {
  snd_midi_event_t* decoder = nullptr;
  if (snd_midi_event_new(16, &decoder) < 0) return MMSYSERR_NOMEM;
  auto link = Connect(address, PortDirection::kInput);
  if (!link) {
    snd_midi_event_free(decoder);
    return MMSYSERR_ALLOCATED;
  }
  *stream = std::make_unique<SeqInputStream>(std::move(*link), decoder);
  return MMSYSERR_NOERROR;
}

}  // namespace tamblet::midi::alsa
