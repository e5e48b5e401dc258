// Writing JSON text and reading numbers the one way every part of the relay does.
#include "JsonText.hpp"

#include <cmath>

namespace tnlrelay::detail {

std::string jsonText(const nlohmann::json& value) {
    try {
        return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    } catch (const std::exception&) {
        // Unreachable with replacement of invalid UTF-8; an empty document is the safe answer.
        return {};
    }
}

std::optional<std::uint32_t> low32Bits(const nlohmann::json& value) {
    switch (value.type()) {
    case nlohmann::json::value_t::boolean:
        return value.get<bool>() ? 1u : 0u;
    case nlohmann::json::value_t::number_integer:
        return static_cast<std::uint32_t>(static_cast<std::uint64_t>(value.get<std::int64_t>()));
    case nlohmann::json::value_t::number_unsigned:
        return static_cast<std::uint32_t>(value.get<std::uint64_t>());
    case nlohmann::json::value_t::number_float: {
        const double number = value.get<double>();
        if (!std::isfinite(number)) return std::nullopt;
        // fmod of a whole number is exact, so huge values keep their true low 32 bits without a
        // cast that could overflow.
        constexpr double kTwoTo32 = 4294967296.0;
        double low = std::fmod(std::trunc(number), kTwoTo32);
        if (low < 0) low += kTwoTo32;
        return static_cast<std::uint32_t>(low);
    }
    default:
        return std::nullopt;
    }
}

} // namespace tnlrelay::detail
