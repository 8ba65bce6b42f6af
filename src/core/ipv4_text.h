// IPv4 addresses as people write them: four decimal numbers 0-255 with dots between.
#pragma once

#include "platform/platform.h"

#include <optional>
#include <string>
#include <string_view>

std::optional<platform::Ipv4Address> parseIpv4(std::string_view text);

std::string ipv4Text(const platform::Ipv4Address &address);
