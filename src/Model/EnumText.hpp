#pragma once

#include <array>
#include <optional>
#include <string_view>
#include <utility>

namespace osterveil {

// Each stored enumeration specialises this with its cases and their texts in the file.
template <class E> struct EnumText;

template <class E> std::string_view enumName(E value) {
    for (const auto& [e, text] : EnumText<E>::cases)
        if (e == value) return text;
    return {};
}

template <class E> std::optional<E> enumFromName(std::string_view text) {
    for (const auto& [e, t] : EnumText<E>::cases)
        if (t == text) return e;
    return std::nullopt;
}

} // namespace osterveil
