#include "versioninfo.h"

namespace {
const std::string kEmpty;
}

const std::string &VersionInfo::versionString(const std::string &channelName) const
{
    const auto it = channelVersions.find(channelName);
    return it == channelVersions.end() ? kEmpty : it->second.version_string;
}

int32_t VersionInfo::versionNumber(const std::string &channelName) const
{
    const auto it = channelVersions.find(channelName);
    return it == channelVersions.end() ? 0 : it->second.version_number;
}
