#include "Uuid.hpp"

#include <cstring>
#include <random>

namespace osterveil {

namespace {

std::mt19937_64& generator() {
    thread_local std::mt19937_64 gen = [] {
        std::random_device rd;
        std::seed_seq seq{rd(), rd(), rd(), rd(), rd(), rd(), rd(), rd()};
        return std::mt19937_64(seq);
    }();
    return gen;
}

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

bool isHyphenPosition(std::size_t i) { return i == 8 || i == 13 || i == 18 || i == 23; }

} // namespace

Uuid Uuid::make() {
    std::array<std::uint8_t, 16> b{};
    auto& gen = generator();
    for (int half = 0; half < 2; ++half) {
        std::uint64_t v = gen();
        for (int i = 0; i < 8; ++i) b[half * 8 + i] = static_cast<std::uint8_t>(v >> (8 * i));
    }
    b[6] = static_cast<std::uint8_t>((b[6] & 0x0F) | 0x40); // version 4
    b[8] = static_cast<std::uint8_t>((b[8] & 0x3F) | 0x80); // RFC 4122 variant
    return Uuid(b);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36) return std::nullopt;
    std::array<std::uint8_t, 16> b{};
    std::size_t nibble = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-') return std::nullopt;
            continue;
        }
        int v = hexValue(text[i]);
        if (v < 0) return std::nullopt;
        b[nibble / 2] = static_cast<std::uint8_t>(b[nibble / 2] | (nibble % 2 == 0 ? v << 4 : v));
        ++nibble;
    }
    return Uuid(b);
}

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string s;
    s.reserve(36);
    for (std::size_t i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) s.push_back('-');
        s.push_back(digits[bytes_[i] >> 4]);
        s.push_back(digits[bytes_[i] & 0x0F]);
    }
    return s;
}

bool Uuid::isNil() const {
    for (auto v : bytes_)
        if (v != 0) return false;
    return true;
}

std::size_t Uuid::hash() const {
    std::uint64_t hi = 0, lo = 0;
    std::memcpy(&hi, bytes_.data(), 8);
    std::memcpy(&lo, bytes_.data() + 8, 8);
    // Random UUIDs are already well mixed; the multiplier spreads ids that differ in few bits.
    return static_cast<std::size_t>((hi * 0x9E3779B97F4A7C15ULL) ^ lo);
}

} // namespace osterveil
