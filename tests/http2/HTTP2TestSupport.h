#pragma once
// Shared helpers of the HTTP/2 tests: hex conversion and the Python peer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zal::test {

std::vector<uint8_t> FromHex(std::string_view aHex);  // blanks are ignored
std::string ToHex(const std::vector<uint8_t>& aBytes);

// True when /usr/bin/python3 can import every module named.
bool PythonHasModules(const std::vector<std::string>& aModules);
// Runs aScript with /usr/bin/python3 (60 s time bound), feeding aInput on standard
// input; the standard output, or nothing when the script failed.
std::optional<std::string> RunPython(const std::string& aScript, const std::string& aInput);

}  // namespace zal::test
