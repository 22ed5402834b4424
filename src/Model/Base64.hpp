#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace osterveil {

using Bytes = std::vector<std::uint8_t>;

// Standard RFC 4648 alphabet with padding.
std::string base64Encode(const Bytes& data);

// Strict: the standard alphabet, padded to a multiple of four characters, no whitespace, and
// the unused bits of the last group zero. Anything else is rejected.
std::optional<Bytes> base64Decode(std::string_view text);

} // namespace osterveil
