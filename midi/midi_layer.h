#pragma once
// The MIDI layer: the calls that the port pair and port discovery make, shaped
// after the driver interface the program was designed for. One interface, with
// thin backends behind it (ALSA rawmidi, JACK, an in-process simulated driver).

#include <cstdint>
#include <optional>
#include <string>

namespace tamblet::midi {

using MMRESULT = uint32_t;
inline constexpr MMRESULT MMSYSERR_NOERROR = 0;
inline constexpr MMRESULT MMSYSERR_ERROR = 1;
inline constexpr MMRESULT MMSYSERR_BADDEVICEID = 2;
inline constexpr MMRESULT MMSYSERR_ALLOCATED = 4;  // held by another program
inline constexpr MMRESULT MMSYSERR_INVALHANDLE = 5;
inline constexpr MMRESULT MMSYSERR_NODRIVER = 6;
inline constexpr MMRESULT MMSYSERR_NOMEM = 7;
inline constexpr MMRESULT MMSYSERR_INVALPARAM = 11;
inline constexpr MMRESULT MIDIERR_UNPREPARED = 64;
inline constexpr MMRESULT MIDIERR_STILLPLAYING = 65;
inline constexpr MMRESULT MIDIERR_NOTREADY = 67;
// Ours alone: no safe place for the lock that keeps a second update off the
// device (see DeviceLockProblem), so the port was not opened.
inline constexpr MMRESULT TAMBLET_ERR_NOLOCK = 0x1000;
// Ours alone: the device's lock is held by another open of it, which is
// another update (see DeviceLockHolder for who).
inline constexpr MMRESULT TAMBLET_ERR_LOCKED = 0x1001;

// Callback messages keep their numbers.
inline constexpr uint32_t MIM_OPEN = 961;
inline constexpr uint32_t MIM_CLOSE = 962;
inline constexpr uint32_t MIM_DATA = 963;
inline constexpr uint32_t MIM_LONGDATA = 964;
inline constexpr uint32_t MIM_ERROR = 965;
inline constexpr uint32_t MIM_LONGERROR = 966;
inline constexpr uint32_t MOM_OPEN = 967;
inline constexpr uint32_t MOM_CLOSE = 968;
inline constexpr uint32_t MOM_DONE = 969;
inline constexpr uint32_t MIM_MOREDATA = 972;

inline constexpr uint32_t MHDR_DONE = 0x1;
inline constexpr uint32_t MHDR_PREPARED = 0x2;
inline constexpr uint32_t MHDR_INQUEUE = 0x4;

// One buffer handed between the program and the driver.
struct MIDIHDR {
  uint8_t* lpData = nullptr;
  uint32_t dwBufferLength = 0;
  uint32_t dwBytesRecorded = 0;
  uintptr_t dwUser = 0;
  uint32_t dwFlags = 0;
};

// What discovery reads of a port: manufacturer id, product id, and a name of up
// to 32 bytes that may lack a terminating NUL.
struct MidiCaps {
  uint16_t wMid = 0;
  uint16_t wPid = 0;
  char szPname[32] = {};
};

// The program that holds a port another program cannot open.
struct PortHolder {
  uint32_t pid = 0;
  std::string name;  // its process name
  bool operator==(const PortHolder&) const = default;
};

struct MidiPort;  // never defined: each backend hands out its own port object as this
using PortHandle = MidiPort*;

// Runs on the driver's thread. For MIM_LONGDATA / MIM_LONGERROR param1 is the
// MIDIHDR*; for MOM_DONE it is the MIDIHDR* that was sent; for MIM_DATA it is
// the short message (status | data1 << 8 | data2 << 16).
using MidiCallback = void (*)(PortHandle port, uint32_t msg, uintptr_t instance, uintptr_t param1,
                              uintptr_t param2);

// Contract every backend keeps, and the port pair relies on:
// - Callbacks run on a thread of the backend's, never inside the caller's call,
//   except that InReset/OutReset may hand buffers back before they return.
// - OutLongMsg sends the header's bytes as one message and reports MOM_DONE with
//   that header once it no longer reads them; a non-zero result means no MOM_DONE
//   will come. OutReset abandons a send in progress and reports its MOM_DONE
//   before it returns.
// - A queued input buffer receives one whole SysEx message (F0..F7) and comes
//   back as MIM_LONGDATA with dwBytesRecorded set; a broken or oversized one comes
//   back as MIM_LONGERROR. InReset hands every queued buffer back (MIM_LONGDATA
//   with dwBytesRecorded 0) before it returns.
// - InClose/OutClose return only when no callback of that port is running and
//   none will run any more.
class MidiLayer {
 public:
  virtual ~MidiLayer() = default;

  virtual uint32_t OutGetNumDevs() = 0;
  virtual MMRESULT OutGetDevCaps(uint32_t index, MidiCaps* caps) = 0;
  virtual uint32_t InGetNumDevs() = 0;
  virtual MMRESULT InGetDevCaps(uint32_t index, MidiCaps* caps) = 0;

  virtual MMRESULT OutOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                           uintptr_t instance) = 0;
  virtual MMRESULT OutPrepareHeader(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT OutUnprepareHeader(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT OutLongMsg(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT OutReset(PortHandle port) = 0;
  virtual MMRESULT OutClose(PortHandle port) = 0;

  virtual MMRESULT InOpen(PortHandle* port, uint32_t index, MidiCallback callback,
                          uintptr_t instance) = 0;
  virtual MMRESULT InPrepareHeader(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT InUnprepareHeader(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT InAddBuffer(PortHandle port, MIDIHDR* header) = 0;
  virtual MMRESULT InStart(PortHandle port) = 0;
  virtual MMRESULT InStop(PortHandle port) = 0;
  virtual MMRESULT InReset(PortHandle port) = 0;
  virtual MMRESULT InClose(PortHandle port) = 0;

  // Who holds a port whose open failed with MMSYSERR_ALLOCATED, asked at once
  // after the failure; nothing when the backend cannot name a program. Pure,
  // so that a layer that wraps another cannot leave them out and lose the name.
  virtual std::optional<PortHolder> OutGetHolder(uint32_t index) = 0;
  virtual std::optional<PortHolder> InGetHolder(uint32_t index) = 0;

  // The server that carries the port, named for people, when it runs without
  // real-time scheduling: a busy machine then makes it miss cycles and lose
  // messages. Nothing where no server stands between or it runs in real time.
  virtual std::optional<std::string> OutGetNonRealTimeServer(uint32_t index) = 0;
  virtual std::optional<std::string> InGetNonRealTimeServer(uint32_t index) = 0;
};

}  // namespace tamblet::midi
