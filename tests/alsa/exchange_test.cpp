// Request/reply exchanges through the port pair over the port engine, with a
// far device on sockets; and the far device going away mid-update.

#include <gtest/gtest.h>

#include <array>
#include <optional>
#include <vector>

#include "midi/sysex_port.h"
#include "tests/alsa/socket_ports.h"

namespace tamblet {
namespace {

using test::Bytes;
using test::FarDevice;
using test::ScaledWaits;
using test::SocketPorts;

constexpr uint32_t kReplyTimeoutMs = 5000;
constexpr uint32_t kRealTime = 1000;  // microseconds per millisecond
constexpr uint32_t kFast = 1;         // 5000 ms pass in 5 ms

Bytes Request(uint8_t command, size_t data_bytes) {
  Bytes frame = {0xF0, 0x43, 0x50, 0x03, 0x00, command, 0x00};
  for (size_t i = 0; i < data_bytes; ++i) frame.push_back(static_cast<uint8_t>((i * 7) & 0x7F));
  frame.push_back(0xF7);
  return frame;
}

// The reply names the request's command and its length.
std::optional<Bytes> Echo(const Bytes& request) {
  const uint32_t length = static_cast<uint32_t>(request.size());
  return Bytes{0xF0,
               0x43,
               0x50,
               0x03,
               0x00,
               request[5],
               static_cast<uint8_t>(length >> 7),
               static_cast<uint8_t>(length & 0x7F),
               0xF7};
}

std::optional<Bytes> Silent(const Bytes&) { return std::nullopt; }

std::optional<Bytes> Broken(const Bytes&) { return Bytes{0xF0, 0x43, 0x50, 0x90, 0x40, 0x00}; }

bool Exchange(CSysExPort& port, const Bytes& request, std::array<uint8_t, 512>& slot) {
  slot.fill(0);
  port.Send(request.data(), static_cast<uint32_t>(request.size()), slot);
  return port.AwaitReply(kReplyTimeoutMs);
}

struct Pattern {
  std::vector<size_t> pieces;
  bool real_time_between;
};

TEST(PortPairOverSockets, ExchangesWithRepliesInAnyPieces) {
  const Pattern patterns[] = {{{}, false}, {{1}, true}, {{2, 3, 5, 8}, false}, {{4, 1}, true}};
  for (const Pattern& pattern : patterns) {
    SocketPorts ports;
    FarDevice device(ports, &Echo, {pattern.pieces, pattern.real_time_between, 0});
    ScaledWaits waits(kRealTime);
    CSysExPort port(*ports.layer, waits);
    ASSERT_TRUE(port.Open(0, 0));
    std::array<uint8_t, 512> slot{};
    for (uint8_t command = 0; command < 12; ++command) {
      const size_t data_bytes = command == 11 ? 2362 - 8 : command * 37u;
      const Bytes request = Request(command, data_bytes);
      ASSERT_TRUE(Exchange(port, request, slot)) << int{command};
      const Bytes expected = *Echo(request);
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), slot.begin())) << int{command};
      EXPECT_EQ(slot[expected.size()], 0);
    }
    port.Close();
    EXPECT_EQ(waits.timeouts(), 0);
    EXPECT_EQ(device.requests().size(), 12u);
    EXPECT_EQ(device.requests().back(), Request(11, 2362 - 8));
  }
}

TEST(PortPairOverSockets, OpensAgainAfterClose) {
  SocketPorts ports;
  FarDevice device(ports, &Echo, {});
  ScaledWaits waits(kRealTime);
  CSysExPort port(*ports.layer, waits);
  std::array<uint8_t, 512> slot{};
  for (int cycle = 0; cycle < 5; ++cycle) {
    ASSERT_TRUE(port.Open(0, 0));
    ASSERT_TRUE(Exchange(port, Request(1, 4), slot));
    EXPECT_EQ(slot[5], 1);
    port.Close();
  }
}

TEST(PortPairOverSockets, SilentDeviceTimesOut) {
  SocketPorts ports;
  FarDevice device(ports, &Silent, {});
  ScaledWaits waits(kRealTime);
  CSysExPort port(*ports.layer, waits);
  ASSERT_TRUE(port.Open(0, 0));
  std::array<uint8_t, 512> slot{};
  slot.fill(0);
  const Bytes request = Request(2, 0);
  port.Send(request.data(), static_cast<uint32_t>(request.size()), slot);
  waits.set_scale_us(kFast);
  EXPECT_FALSE(port.AwaitReply(kReplyTimeoutMs));
  EXPECT_EQ(slot, (std::array<uint8_t, 512>{}));
  port.Close();
}

TEST(PortPairOverSockets, BrokenReplyIsDeliveredAsAnError) {
  SocketPorts ports;
  FarDevice device(ports, &Broken, {});
  ScaledWaits waits(kRealTime);
  CSysExPort port(*ports.layer, waits);
  ASSERT_TRUE(port.Open(0, 0));
  std::array<uint8_t, 512> slot{};
  EXPECT_TRUE(Exchange(port, Request(3, 0), slot));
  EXPECT_EQ(slot, (std::array<uint8_t, 512>{}));  // nothing copied
  port.Close();
}

// The device is unplugged after the first request of an update: every later
// exchange fails by time-out, nothing hangs, and the pair still closes.
TEST(PortPairOverSockets, DeviceGoneMidUpdateFailsTheExchange) {
  SocketPorts ports;
  FarDevice device(ports, &Echo, {{}, false, /*hang_up_after=*/2});
  ScaledWaits waits(kRealTime);
  CSysExPort port(*ports.layer, waits);
  ASSERT_TRUE(port.Open(0, 0));
  ports.ForgetNearEnds();  // the open ports are the only holders of their ends
  std::array<uint8_t, 512> slot{};
  ASSERT_TRUE(Exchange(port, Request(1, 10), slot));
  for (int i = 0; i < 3; ++i) {
    slot.fill(0);
    const Bytes request = Request(2, 2000);
    waits.set_scale_us(kRealTime);  // Send returns once the port is done with the frame
    port.Send(request.data(), static_cast<uint32_t>(request.size()), slot);
    EXPECT_EQ(waits.timeouts(), i) << "the port did not finish with the frame";
    waits.set_scale_us(kFast);
    EXPECT_FALSE(port.AwaitReply(kReplyTimeoutMs)) << i;
    EXPECT_EQ(waits.timeouts(), i + 1);
  }
  port.Close();
  EXPECT_FALSE(port.IsOpen());
}

TEST(PortPairOverSockets, PortHeldByAnotherPairDoesNotOpen) {
  SocketPorts ports;
  FarDevice device(ports, &Echo, {});
  ScaledWaits waits(kRealTime);
  CSysExPort first(*ports.layer, waits);
  CSysExPort second(*ports.layer, waits);
  ASSERT_TRUE(first.Open(0, 0));
  EXPECT_FALSE(second.Open(0, 0));
  EXPECT_FALSE(second.IsOpen());
  std::array<uint8_t, 512> slot{};
  EXPECT_TRUE(Exchange(first, Request(4, 0), slot));
  first.Close();
  EXPECT_TRUE(second.Open(0, 0));
  EXPECT_TRUE(Exchange(second, Request(5, 0), slot));
}

}  // namespace
}  // namespace tamblet
