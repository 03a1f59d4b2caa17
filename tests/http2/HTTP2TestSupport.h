#pragma once
// Shared helpers of the HTTP/2 tests: hex conversion and the Python peer.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "http2/zalHTTP2_Types.h"

namespace zal::test {

// Runs aAction and checks that it raises TzalHTTP2Exception with aCode and aMessage
// as a connection error (GOAWAY, stream 0).
template <typename Action>
void ExpectHTTP2Error(Action aAction, Th2ErrorCodes aCode, const std::string& aMessage) {
  try {
    aAction();
    ADD_FAILURE() << "no exception, expected: " << aMessage;
  } catch (const TzalHTTP2Exception& e) {
    EXPECT_EQ(e.ErrorCode(), aCode) << e.what();
    EXPECT_EQ(e.what(), aMessage);
    EXPECT_EQ(e.ErrorResponse(), h2errGO_AWAY);
    EXPECT_EQ(e.StreamIdentifier(), 0);
  }
}

std::vector<uint8_t> FromHex(std::string_view aHex);  // blanks are ignored
std::string ToHex(const std::vector<uint8_t>& aBytes);

// True when /usr/bin/python3 can import every module named.
bool PythonHasModules(const std::vector<std::string>& aModules);
// Runs aScript with /usr/bin/python3 (60 s time bound), feeding aInput on standard
// input; the standard output, or nothing when the script failed.
std::optional<std::string> RunPython(const std::string& aScript, const std::string& aInput);

}  // namespace zal::test
