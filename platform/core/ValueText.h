#pragma once
// Renders values as the system's log and display texts always did, whatever the user's locale:
// whole doubles keep ".0" (44100.0), others print their shortest round-trip form, an absent
// value is "nil", arrays are "[2, 3]" and strings inside them are quoted.
#include <array>
#include <charconv>
#include <cmath>
#include <concepts>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace platform {

std::string describeDouble(double value);
std::string describeFloat(float value);

template <class T>
concept HasDescription = requires(const T& t) {
    { t.description() } -> std::convertible_to<std::string>;
};

template <class T> std::string describe(const T& value);

namespace detail {
template <class T> struct IsOptional : std::false_type {};
template <class T> struct IsOptional<std::optional<T>> : std::true_type {};
template <class T> struct IsVector : std::false_type {};
template <class T, class A> struct IsVector<std::vector<T, A>> : std::true_type {};

template <class T> std::string describeElement(const T& value) {
    if constexpr (std::is_convertible_v<const T&, std::string_view>) {
        std::string out = "\"";
        out += std::string_view(value);
        out += '"';
        return out;
    } else {
        return describe(value);
    }
}
} // namespace detail

template <class T> std::string describe(const T& value) {
    using U = std::remove_cvref_t<T>;
    if constexpr (std::is_same_v<U, std::nullopt_t> || std::is_same_v<U, std::nullptr_t>) {
        return "nil";
    } else if constexpr (std::is_same_v<U, bool>) {
        return value ? "true" : "false";
    } else if constexpr (std::is_same_v<U, char>) {
        return std::string(1, value);
    } else if constexpr (std::is_integral_v<U>) {
        std::array<char, 24> buf{};
        auto res = std::to_chars(buf.data(), buf.data() + buf.size(), value);
        return std::string(buf.data(), res.ptr);
    } else if constexpr (std::is_same_v<U, double>) {
        return describeDouble(value);
    } else if constexpr (std::is_same_v<U, float>) {
        return describeFloat(value);
    } else if constexpr (std::is_enum_v<U>) {
        return describe(static_cast<std::underlying_type_t<U>>(value));
    } else if constexpr (std::is_convertible_v<const U&, std::string_view>) {
        return std::string(std::string_view(value));
    } else if constexpr (detail::IsOptional<U>::value) {
        return value ? describe(*value) : std::string("nil");
    } else if constexpr (detail::IsVector<U>::value) {
        std::string out = "[";
        bool first = true;
        for (const auto& element : value) {
            if (!first) out += ", ";
            first = false;
            out += detail::describeElement(element);
        }
        out += "]";
        return out;
    } else if constexpr (HasDescription<U>) {
        return std::string(value.description());
    } else if constexpr (std::is_pointer_v<U>) {
        return value ? describe(*value) : std::string("nil");
    } else {
        static_assert(sizeof(U) == 0, "no textual description for this type");
    }
}

} // namespace platform
