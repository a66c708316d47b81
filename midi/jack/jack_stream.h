#pragma once
// Our client's two JACK ports as byte streams, so that the port engine serves
// them as it serves rawmidi ports. JACK carries whole events: a send is one
// event, and the end of a received event that leaves a SysEx open breaks it.

#include <functional>
#include <memory>

#include "midi/jack/jack_session.h"
#include "midi/stream/byte_stream.h"

namespace tamblet::midi::jack {

// `closed` runs when the stream goes, once its direction is off.
std::unique_ptr<stream::ByteStream> MakeOutputStream(Session& session,
                                                     std::function<void()> closed);
std::unique_ptr<stream::ByteStream> MakeInputStream(Session& session, std::function<void()> closed);

}  // namespace tamblet::midi::jack
