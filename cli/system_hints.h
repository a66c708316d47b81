#pragma once
// What the system itself says when the terminal program finds nothing or
// cannot read a file: the diagnostics that tell a user what to fix.

#include <string>
#include <vector>

namespace tamblet::cli {

// Why ALSA shows no sound card, as "no ALSA sound card (...)"; "" when it
// lists one.
std::string NoSoundCard(const std::string& proc_asound);

// Why no MIDI port may be seen: no ALSA card in `proc_asound` (/proc/asound),
// MIDI devices in `dev_snd` (/dev/snd) this user cannot open, no JACK server.
std::vector<std::string> WhyNoPorts(const std::string& proc_asound, const std::string& dev_snd,
                                    bool jack_server);

// The system's reason why `path` cannot be read as an update file ("" when it
// can be opened as a regular file).
std::string WhyUnreadable(const std::string& path);

}  // namespace tamblet::cli
