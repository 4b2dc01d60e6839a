#pragma once
// The version-service reply as plain data: the licence-agreement id, the channel names in reply
// order (a repeated name is listed each time) and, per name, the version of its first occurrence.

#include "channelversion.h"

#include <cstdint>
#include <map>
#include <string>
#include <vector>

struct VersionInfo {
    int32_t licenseAgreementId = 0;
    std::vector<std::string> channelNames;
    std::map<std::string, ChannelVersion> channelVersions;

    // The display text of a channel's version; empty for a channel the reply does not name.
    const std::string &versionString(const std::string &channelName) const;
    // The version number of a channel; 0 for a channel the reply does not name.
    int32_t versionNumber(const std::string &channelName) const;
};
