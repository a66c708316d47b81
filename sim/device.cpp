#include "sim/device.h"

#include <algorithm>

#include "protocol/frame.h"

namespace tamblet::sim {
namespace {

constexpr uint8_t kAcknowledge = 0x40;
constexpr uint8_t kProgress = 0x20;
constexpr uint8_t kSuccess = 0x01;
constexpr uint8_t kFailure = 0x00;
constexpr uint8_t kOversizeFiller = 0x2E;  // '.': visible in a name, harmless elsewhere
constexpr char kLongNameFiller = 'X';

std::vector<uint8_t> Head(uint8_t cmd, uint8_t sub) {
  return {0xF0, 0x43, 0x50, 0x03, 0x00, cmd, sub};
}

std::vector<uint8_t> Status(uint8_t cmd, uint8_t sub, uint8_t status) {
  auto bytes = Head(cmd, sub);
  bytes.push_back(status);
  bytes.push_back(0xF7);
  return bytes;
}

std::vector<uint8_t> NameReply(const std::string& name) {
  auto bytes = Head(0x00, 0x42);
  bytes.insert(bytes.end(), name.begin(), name.end());
  bytes.push_back(0xF7);
  return bytes;
}

}  // namespace

Device::Device(DeviceConfig config)
    : config_(std::move(config)), flash_(config_.flash_size, config_.fill) {
  const size_t n = std::min(config_.initial_contents.size(), flash_.size());
  std::copy_n(config_.initial_contents.begin(), n, flash_.begin());
}

bool Device::InjectFault(Command command, int occurrence, Fault fault) {
  if (!IsValidFault(command, occurrence, fault)) return false;
  std::lock_guard<std::mutex> lock(mutex_);
  faults_[{command, occurrence}] = fault;
  return true;
}

bool Device::InjectFault(const FaultRule& rule) {
  return InjectFault(rule.command, rule.occurrence, rule.fault);
}

std::vector<Reply> Device::OnRequest(std::span<const uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  ++stats_.requests;
  const Request request = DecodeRequest(bytes, config_.max_write_bytes);
  RequestRecord record;
  record.command = request.command;
  record.problem = request.problem;
  if (request.command == Command::kUnknown) {
    ++stats_.ignored;
    log_.push_back(record);
    return {};
  }
  const int occurrence = ++received_[request.command];

  Answer answer = Handle(request, record);
  if (record.refused) ++stats_.refusals;
  log_.push_back(record);

  Reply reply;
  reply.delay_ms = config_.reply_delay_ms;
  auto fault = faults_.find({request.command, occurrence});
  if (fault != faults_.end()) {
    ++stats_.faults_applied;
    if (fault->second.kind == FaultKind::kNoReply) return {};
    ApplyFault(fault->second, request.command, answer, reply);
  }
  reply.bytes = std::move(answer.bytes);
  return {std::move(reply)};
}

Device::Answer Device::Handle(const Request& request, RequestRecord& record) {
  // Anything but a Continue abandons a running operation.
  if (operation_ && request.command != Command::kContinue) operation_.reset();
  if (!request.well_formed()) return Refuse(request, record);

  switch (request.command) {
    case Command::kGetModelName:
      return {NameReply(config_.model_name)};
    case Command::kModeOff:
      return {Status(0x00, 0x41, kSuccess)};
    case Command::kSelectDevice:
      record.target = request.target;
      target_ = request.target;
      return {Status(0x01, 0x41, kSuccess)};
    case Command::kSetRange:
      record.address = request.address;
      record.count = request.count;
      if (!InFlash(request.address, request.count)) {
        record.problem = "range outside the flash";
        return Refuse(request, record);
      }
      range_ = {request.address, request.count};
      return {Status(0x01, 0x42, kSuccess)};
    case Command::kCopy:
    case Command::kUninstall:
    case Command::kInstall:
      return StartOperation(request, record);
    case Command::kContinue:
      if (!operation_) {
        record.problem = "Continue with no operation running";
        return Refuse(request, record);
      }
      record.address = operation_->start;
      record.count = operation_->count;
      return NextOperationReply();
    case Command::kVerifySum:
      return VerifySum(request, record);
    case Command::kWriteData:
      return WriteData(request, record);
    case Command::kUnknown:
      break;
  }
  return {};
}

Device::Answer Device::Refuse(const Request& request, RequestRecord& record) {
  record.refused = true;
  // A broken Continue ends the running operation with a failed final reply.
  if (request.command == Command::kContinue && operation_) return FailOperation();
  const uint8_t cmd = CommandByte(request.command);
  const uint8_t sub = SubCommandByte(request.command);
  return {Status(cmd, static_cast<uint8_t>(sub | kAcknowledge), kFailure)};
}

Device::Answer Device::StartOperation(const Request& request, RequestRecord& record) {
  // Each operation takes the range set just before it.
  if (!range_) {
    record.problem = "operation with no range set";
    return Refuse(request, record);
  }
  const auto [start, count] = *range_;
  range_.reset();
  record.address = start;
  record.count = count;
  operations_.push_back({request.command, start, count, 0, false});
  operation_ = RunningOperation{request.command, start, count, 0, operations_.size() - 1};
  return NextOperationReply();
}

Device::Answer Device::NextOperationReply() {
  RunningOperation& op = *operation_;
  const uint8_t cmd = CommandByte(op.command);
  const uint8_t sub = SubCommandByte(op.command);
  ++op.steps;
  const uint64_t address = op.start + static_cast<uint64_t>(op.steps) * config_.progress_step;
  if (config_.progress_step != 0 && address < static_cast<uint64_t>(op.start) + op.count) {
    auto bytes = Head(cmd, static_cast<uint8_t>(sub | kProgress));
    bytes.resize(bytes.size() + 8);
    PutHex8(bytes.data(), 7, static_cast<uint32_t>(address));
    bytes.push_back(0xF7);
    ++operations_[op.record].progress_replies;
    return {std::move(bytes), true};
  }
  operations_[op.record].completed = true;
  operation_.reset();
  return {Status(cmd, static_cast<uint8_t>(sub | kAcknowledge), kSuccess)};
}

Device::Answer Device::FailOperation() {
  const uint8_t cmd = CommandByte(operation_->command);
  const uint8_t sub = SubCommandByte(operation_->command);
  operation_.reset();
  return {Status(cmd, static_cast<uint8_t>(sub | kAcknowledge), kFailure)};
}

Device::Answer Device::WriteData(const Request& request, RequestRecord& record) {
  record.address = request.address;
  record.count = request.count;
  if (!InFlash(request.address, request.count)) {
    record.problem = "WriteData outside the flash";
    return Refuse(request, record);
  }
  std::copy(request.data.begin(), request.data.end(), flash_.begin() + request.address);
  stats_.bytes_written += request.data.size();
  return {Status(0x03, 0x40, kSuccess)};
}

Device::Answer Device::VerifySum(const Request& request, RequestRecord& record) {
  record.address = request.address;
  record.count = request.count;
  record.sum = request.sum;
  if (!InFlash(request.address, request.count)) {
    record.problem = "VerifySum outside the flash";
    return Refuse(request, record);
  }
  uint16_t sum = 0;
  for (uint32_t i = 0; i < request.count; ++i) {
    sum = static_cast<uint16_t>(sum + flash_[request.address + i]);
  }
  if (sum != request.sum) ++stats_.sum_mismatches;
  return {Status(0x04, 0x42, sum == request.sum ? kSuccess : kFailure)};
}

void Device::ApplyFault(const Fault& fault, Command command, Answer& answer, Reply& reply) {
  std::vector<uint8_t>& bytes = answer.bytes;
  switch (fault.kind) {
    case FaultKind::kNoReply:
      break;
    case FaultKind::kFailStatus:
      if (answer.progress) {
        // A progress reply carries no status: the operation fails instead.
        bytes = FailOperation().bytes;
      } else if (bytes.size() == 8) {
        bytes.insert(bytes.begin() + 7, kFailure);  // a reply with no byte 7 (empty name)
      } else {
        bytes[7] = kFailure;
      }
      break;
    case FaultKind::kWrongCommand:
      // The answer to a poll echoing the poll's own command byte is the likely mistake.
      if (command == Command::kContinue && bytes[5] != 0x05) {
        bytes[5] = 0x05;
      } else {
        bytes[5] ^= 0x01;
      }
      break;
    case FaultKind::kLongError:
      reply.kind = Reply::Kind::kLongError;
      break;
    case FaultKind::kOversize: {
      const size_t length = fault.value != 0 ? fault.value : kDefaultOversizeLength;
      if (bytes.size() < length)
        bytes.insert(bytes.end() - 1, length - bytes.size(), kOversizeFiller);
      break;
    }
    case FaultKind::kNoEnd:
      bytes.pop_back();
      break;
    case FaultKind::kLongName: {
      const size_t length = fault.value != 0 ? fault.value : kDefaultLongNameLength;
      std::string name = config_.model_name.substr(0, length);
      name.resize(length, kLongNameFiller);
      bytes = NameReply(name);
      break;
    }
    case FaultKind::kDelay:
      reply.delay_ms = fault.value;
      break;
    case FaultKind::kLate:
      reply.delay_ms = kLateDelayMs;
      break;
  }
}

bool Device::InFlash(uint32_t address, uint32_t count) const {
  return static_cast<uint64_t>(address) + count <= flash_.size();
}

std::vector<uint8_t> Device::flash() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return flash_;
}

std::vector<uint8_t> Device::FlashRange(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!InFlash(address, count)) return {};
  return {flash_.begin() + address, flash_.begin() + address + count};
}

std::optional<uint8_t> Device::selected_target() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return target_;
}

std::vector<RequestRecord> Device::log() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return log_;
}

std::vector<OperationRecord> Device::operations() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return operations_;
}

DeviceStats Device::stats() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return stats_;
}

}  // namespace tamblet::sim
