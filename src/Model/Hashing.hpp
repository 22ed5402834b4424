#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

namespace osterveil {

// Field-by-field hashing consistent with defaulted equality: -0 and +0 hash alike.
namespace hashing {

inline std::size_t mix(std::size_t seed, std::size_t v) {
    return seed ^ (v + 0x9E3779B97F4A7C15ULL + (seed << 6) + (seed >> 2));
}

template <class T> std::size_t one(const std::optional<T>& v);
template <class T> std::size_t one(const std::vector<T>& v);

inline std::size_t one(double v) { return std::hash<double>{}(v == 0.0 ? 0.0 : v); }
inline std::size_t one(bool v) { return v ? 1u : 2u; }
inline std::size_t one(const std::string& v) { return std::hash<std::string>{}(v); }

template <class T>
    requires std::is_integral_v<T>
std::size_t one(T v) {
    return std::hash<T>{}(v);
}

template <class T>
    requires std::is_enum_v<T>
std::size_t one(T v) {
    return std::hash<std::underlying_type_t<T>>{}(static_cast<std::underlying_type_t<T>>(v));
}

// Records, ids and lists provide `hashValue()`.
template <class T>
    requires requires(const T& t) { t.hashValue(); }
std::size_t one(const T& v) {
    return v.hashValue();
}

template <class T> std::size_t one(const std::optional<T>& v) { return v ? mix(0x51u, one(*v)) : 0x7Fu; }

template <class T> std::size_t one(const std::vector<T>& v) {
    std::size_t seed = v.size();
    for (const auto& e : v) seed = mix(seed, one(e));
    return seed;
}

template <class... Ts> std::size_t fields(const Ts&... fs) {
    std::size_t seed = 0;
    ((seed = mix(seed, one(fs))), ...);
    return seed;
}

} // namespace hashing
} // namespace osterveil

// Declares std::hash for a record type that provides `std::size_t hashValue() const`.
#define OSTERVEIL_STD_HASH(Type)                                                                             \
    template <> struct std::hash<Type> {                                                                     \
        std::size_t operator()(const Type& v) const noexcept { return v.hashValue(); }                       \
    };
