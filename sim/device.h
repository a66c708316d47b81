#pragma once
// The simulated device: it speaks the update protocol byte for byte, keeps its
// own flash memory, and can be told to misbehave at a chosen request.
//
// Thread-safe: OnRequest may run on a driver's thread while a test reads the
// accessors, which return copies.

#include <cstdint>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "sim/fault.h"
#include "sim/reply.h"
#include "sim/request.h"

namespace tamblet::sim {

struct DeviceConfig {
  std::string model_name = "SIMULATED";  // any length; reported as it stands
  uint32_t flash_size = 0x100000;
  uint8_t fill = 0xFF;                    // flash content at start
  std::vector<uint8_t> initial_contents;  // placed from address 0 over the fill
  uint32_t progress_step = 0x1000;        // distance between progress addresses; 0: none
  uint32_t reply_delay_ms = 0;            // applied to every reply
  uint32_t max_write_bytes = kDefaultMaxWriteBytes;
};

// One request as the device understood it.
struct RequestRecord {
  Command command = Command::kUnknown;
  const char* problem = nullptr;  // why it was refused or ignored; nullptr if well formed
  bool refused = false;           // answered with a failure status
  uint8_t target = 0;             // SelectDevice
  uint32_t address = 0;           // SetRange start, VerifySum, WriteData; operations: range start
  uint32_t count = 0;             // SetRange, VerifySum, WriteData length; operations: range count
  uint16_t sum = 0;               // VerifySum
};

// One Copy, Uninstall or Install that the device started.
struct OperationRecord {
  Command command = Command::kUnknown;
  uint32_t start = 0;
  uint32_t count = 0;
  uint32_t progress_replies = 0;
  bool completed = false;  // its final success reply was sent
};

struct DeviceStats {
  uint64_t requests = 0;        // every message received
  uint64_t refusals = 0;        // known commands answered with a failure status
  uint64_t ignored = 0;         // messages that are no request of ours: no reply
  uint64_t sum_mismatches = 0;  // well-formed VerifySum whose sum differed
  uint64_t bytes_written = 0;   // data bytes stored by WriteData
  uint64_t faults_applied = 0;
};

class Device {
 public:
  explicit Device(DeviceConfig config);

  // The replies to one request: normally one, none for a request it ignores or
  // a no-reply fault.
  std::vector<Reply> OnRequest(std::span<const uint8_t> request);

  // Makes the `occurrence`-th (1-based) request of that command misbehave; the
  // other occurrences stay normal. False if the fault does not fit the command.
  // A fault changes only the reply: state changes (flash written, target
  // recorded, operation advanced) happen as for the good reply, as on a device
  // whose answer got lost or garbled on the way.
  bool InjectFault(Command command, int occurrence, Fault fault);
  bool InjectFault(const FaultRule& rule);

  std::vector<uint8_t> flash() const;
  std::vector<uint8_t> FlashRange(uint32_t address, uint32_t count) const;
  std::optional<uint8_t> selected_target() const;
  std::vector<RequestRecord> log() const;
  std::vector<OperationRecord> operations() const;
  DeviceStats stats() const;
  const DeviceConfig& config() const { return config_; }

 private:
  struct Answer {
    std::vector<uint8_t> bytes;
    bool progress = false;
  };
  struct RunningOperation {
    Command command;
    uint32_t start;
    uint32_t count;
    uint32_t steps = 0;
    size_t record;  // index in operations_
  };

  Answer Handle(const Request& request, RequestRecord& record);
  Answer Refuse(const Request& request, RequestRecord& record);
  Answer StartOperation(const Request& request, RequestRecord& record);
  Answer NextOperationReply();
  Answer FailOperation();
  Answer WriteData(const Request& request, RequestRecord& record);
  Answer VerifySum(const Request& request, RequestRecord& record);
  void ApplyFault(const Fault& fault, Command command, Answer& answer, Reply& reply);
  bool InFlash(uint32_t address, uint32_t count) const;

  const DeviceConfig config_;
  mutable std::mutex mutex_;
  std::vector<uint8_t> flash_;
  std::optional<uint8_t> target_;
  std::optional<std::pair<uint32_t, uint32_t>> range_;  // start, count
  std::optional<RunningOperation> operation_;
  std::map<Command, int> received_;
  std::map<std::pair<Command, int>, Fault> faults_;
  std::vector<RequestRecord> log_;
  std::vector<OperationRecord> operations_;
  DeviceStats stats_;
};

}  // namespace tamblet::sim
