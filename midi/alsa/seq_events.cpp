#include "midi/alsa/seq_events.h"

#include <algorithm>

#include "midi/midi_header.h"

namespace tamblet::midi::alsa {

SeqSend CheckSeqRequest(std::span<const uint8_t> request,
                        const std::optional<SubstreamState>& output) {
  if (!IsWholeSysEx(request) ||
      std::any_of(request.begin() + 1, request.end() - 1, [](uint8_t b) { return b & 0x80; })) {
    return SeqSend::kNotOneSysEx;
  }
  if (!output || !output->buffer_size || !output->avail) return SeqSend::kOk;
  if (request.size() > *output->buffer_size) return SeqSend::kLongerThanBuffer;
  return request.size() > *output->avail ? SeqSend::kNoRoomYet : SeqSend::kOk;
}

void AppendEventBytes(const snd_seq_event_t& event, snd_midi_event_t* decoder,
                      std::vector<uint8_t>* bytes) {
  if (event.type == SND_SEQ_EVENT_SYSEX) {
    const auto* data = static_cast<const uint8_t*>(event.data.ext.ptr);
    bytes->insert(bytes->end(), data, data + event.data.ext.len);
    return;
  }
  unsigned char decoded[16];
  const long count = snd_midi_event_decode(decoder, decoded, sizeof decoded, &event);
  if (count > 0) bytes->insert(bytes->end(), decoded, decoded + count);
}

}  // namespace tamblet::midi::alsa
