#pragma once

#include <array>
#include <compare>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>

namespace osterveil {

// A 128-bit identifier. Default-constructed it is the nil UUID; `make()` draws a random version-4 one.
class Uuid {
public:
    constexpr Uuid() = default;
    explicit constexpr Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    static Uuid make();
    // Canonical 8-4-4-4-12 text, hexadecimal digits in either case; anything else is rejected.
    static std::optional<Uuid> parse(std::string_view text);

    // Canonical text in upper case.
    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }
    bool isNil() const;
    std::size_t hash() const;
    std::size_t hashValue() const { return hash(); }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

} // namespace osterveil

template <> struct std::hash<osterveil::Uuid> {
    std::size_t operator()(const osterveil::Uuid& u) const noexcept { return u.hash(); }
};

namespace osterveil {
using UuidSet = std::unordered_set<Uuid>;
}
