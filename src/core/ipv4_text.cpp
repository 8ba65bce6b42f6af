#include "core/ipv4_text.h"

#include <charconv>

std::optional<platform::Ipv4Address> parseIpv4(std::string_view text) {
    platform::Ipv4Address address{};
    for (std::size_t part = 0; part < address.size(); ++part) {
        const std::size_t dot = text.find('.');
        const bool last = part + 1 == address.size();
        if (last != (dot == std::string_view::npos)) {
            return std::nullopt;
        }
        const std::string_view field = last ? text : text.substr(0, dot);
        unsigned value = 0;
        const auto [stop, error] =
            std::from_chars(field.data(), field.data() + field.size(), value);
        if (field.empty() || field.size() > 3 || error != std::errc{} ||
            stop != field.data() + field.size() || value > 255) {
            return std::nullopt;
        }
        address[part] = static_cast<std::uint8_t>(value);
        text = last ? std::string_view{} : text.substr(dot + 1);
    }
    return address;
}

std::string ipv4Text(const platform::Ipv4Address &address) {
    return std::to_string(address[0]) + "." + std::to_string(address[1]) + "." +
           std::to_string(address[2]) + "." + std::to_string(address[3]);
}
