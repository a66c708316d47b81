#pragma once
// The sequencer path's rules, kept apart from the device calls: which requests
// can go out as one sysex event, and how incoming events become the bytes the
// device sent.

#include <alsa/asoundlib.h>

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "midi/alsa/rawmidi_proc.h"

namespace tamblet::midi::alsa {

enum class SeqSend {
  kOk,
  kNotOneSysEx,       // refused: only a whole F0 .. F7 message goes out as one event
  kLongerThanBuffer,  // refused: the device's output buffer could never hold it whole
  kNoRoomYet,         // the buffer holds other bytes still; it fits once they have left
};

// The kernel copies a sysex event into the device's output buffer and drops
// what does not fit, so a request goes out only when it fits whole. Without a
// readable state the kernel's word is all there is, and the request goes.
SeqSend CheckSeqRequest(std::span<const uint8_t> request,
                        const std::optional<SubstreamState>& output);

// An undefined status byte: it ends a message in progress as broken, as lost
// bytes would on the wire.
inline constexpr uint8_t kLostBytesMark = 0xF4;

// Appends what `event` carried on the wire: a sysex event's bytes as they
// are (the kernel hands a long message over in pieces of at most 256 bytes,
// and the pieces in a row rejoin to the whole), any other MIDI event decoded
// with its status byte. Events that carry no MIDI add nothing.
void AppendEventBytes(const snd_seq_event_t& event, snd_midi_event_t* decoder,
                      std::vector<uint8_t>* bytes);

}  // namespace tamblet::midi::alsa
