#pragma once
// The version of one update channel as the version service reports it.

#include <cstdint>
#include <string>

struct ChannelVersion {
    int32_t version_number = 0;
    std::string version_string;
};
