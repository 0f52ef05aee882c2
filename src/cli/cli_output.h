#pragma once
// How the tool prints a status, a code table and the bus: plain text for
// people, JSON for scripts.
#include "cli/cli_device.h"
#include "codetable/usage_codes.h"
#include "link/encoder_commands.h"

#include <iosfwd>
#include <string>
#include <string_view>
#include <vector>

namespace vardo::cli {

// A JSON string literal; bytes outside printable ASCII become \u00XX.
[[nodiscard]] std::string jsonString(std::string_view text);

void printStatusText(std::ostream& out, const link::DeviceStatus& status, const BusDevice& device);
void printStatusJson(std::ostream& out, const link::DeviceStatus& status, const BusDevice& device);

// The keys of the layout, one a line: "Key  1:  Left Shift   0x04    a".
void printTableText(std::ostream& out, int layout, const link::CodeTable& table);
void printTableJson(std::ostream& out, int layout, const link::CodeTable& table);

void printBusText(std::ostream& out, const std::vector<BusDevice>& encoders,
                  const std::vector<BusDevice>& loaders);
void printBusJson(std::ostream& out, const std::vector<BusDevice>& encoders,
                  const std::vector<BusDevice>& loaders);

// A failure for scripts: {"error":TEXT,"exit":CODE,"port":PORT,"did_you_mean":WORD},
// port null when "", did_you_mean the word the text suggests (null for none).
void printFailureJson(std::ostream& out, const std::string& text, int code, const std::string& port);

// What a command that changes something did: {"port":PORT,"changed":BOOL,"sent":[TEXT...]}.
void printChangeJson(std::ostream& out, const std::string& port, bool changed,
                     const std::vector<std::string>& sent);
// A list of texts as a JSON array.
[[nodiscard]] std::string jsonStrings(const std::vector<std::string>& texts);

} // namespace vardo::cli
