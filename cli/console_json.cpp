// The console's JSON form: one object per line, each with its type and time.

#include <cmath>

#include "cli/console.h"
#include "cli/safe_text.h"

namespace tamblet::cli {
namespace {

class JsonConsole final : public Console {
 public:
  JsonConsole(int out_fd, int err_fd, Clock clock)
      : Console(out_fd, err_fd), clock_(std::move(clock)) {}

  size_t AddOnlySlot(std::string label) override { return AddSlot(std::move(label)); }

  void Status(size_t slot, const std::string& text, const Overall&) override {
    Object(slot, "status", {{"status", text}});
  }

  void Field(size_t slot, const char*, const char* key, const std::string& value) override {
    Object(slot, "field", {{key, value}});
  }

  void Progress(size_t slot, const ProgressState& progress, const Overall& overall) override {
    Object(slot, "progress",
           {{"min", progress.min},
            {"max", progress.max},
            {"position", progress.position},
            {"step", overall.step},
            {"steps", overall.steps},
            {"percent", overall.percent}});
  }

  void Message(size_t slot, const std::string& text) override {
    Console::Message(slot, text);
    Object(slot, "message", {{"message", text}});
  }

  void Heading(const std::string&) override {}

  void Port(const char* direction, const PortEntry& port, bool window) override {
    Object(kNoSlot, "port",
           {{"direction", direction},
            {"index", port.index},
            {"name", port.name},
            {"accepted", port.accepted},
            {"window", window}});
  }

  void ListInstrument(size_t number, const Instrument& instrument, const CardIdentity& identity,
                      bool window) override {
    Json fields = {{"instrument", number},
                   {"output", instrument.output.index},
                   {"input", instrument.input.index},
                   {"output_name", instrument.output.name},
                   {"input_name", instrument.input.name},
                   {"window", window}};
    if (!identity.path.empty()) {
      fields["serial"] = identity.serial;
      fields["usb_path"] = identity.usb_path();
    }
    Object(kNoSlot, "instrument", fields);
  }

  void NoInstrument() override {}

  void ListChoice(size_t number, const Instrument& instrument, const CardIdentity& identity,
                  bool window) override {
    ListInstrument(number, instrument, identity, window);
  }

  void Final(size_t slot, const Outcome& outcome) override {
    // One that never ran took no time at all: 0, not 0.0.
    const Json seconds =
        outcome.seconds < 0 ? Json(0) : Json(std::round(outcome.seconds * 1000) / 1000);
    Object(slot, "final",
           {{"final", outcome.final_text}, {"exit", outcome.exit}, {"seconds", seconds}});
  }

  void Summary(const std::vector<Outcome>&) override {}

  void Plugged(size_t slot, const CardIdentity& identity, const std::string& card) override {
    Object(slot, "plugged",
           {{"instrument", identity.key()},
            {"serial", identity.serial},
            {"usb_path", identity.usb_path()},
            {"card", card}});
  }

  void Ended(size_t, const Outcome&) override {}

  void Planned(size_t slot, const std::string& instrument, bool update, bool dry_run) override {
    Object(
        slot, "plan",
        {{"instrument", instrument}, {"action", update ? "update" : "skip"}, {"dry_run", dry_run}});
  }

  void Exit(int status) override { Object(kNoSlot, "exit", {{"exit", status}}); }

 private:
  // An object of `type` with "t", the slot's "port" (none for kNoSlot) and `fields`.
  void Object(size_t slot, const char* type, const Json& fields) {
    Json object;
    object["type"] = type;
    object["t"] = std::round(clock_() * 1000) / 1000;
    if (slot != kNoSlot) {
      const std::string port = label(slot);
      if (!port.empty()) object["port"] = ValidUtf8(port);
    }
    for (const auto& [key, value] : fields.items())
      object[key] = value.is_string() ? Json(ValidUtf8(value.get<std::string>())) : value;
    EmitLine(out_fd_, object.dump(-1, ' ', false, Json::error_handler_t::replace));
  }

  const Clock clock_;
};

}  // namespace

std::unique_ptr<Console> MakeJsonConsole(int out_fd, int err_fd, Clock clock) {
  return std::make_unique<JsonConsole>(out_fd, err_fd, std::move(clock));
}

}  // namespace tamblet::cli
