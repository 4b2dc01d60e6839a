#include "versionservice.h"

#include "UpdateMessage.pb.h"

#include <climits>

namespace {
const std::string kVersionServiceUrl = "http://versions.voxtrel.net/vx3-client";
}

void getVersionServiceUrl(std::string &url)
{
    url = kVersionServiceUrl;
}

int parseVersions(const unsigned char *data, unsigned length, VersionInfo &info)
{
    if (!data)
        return ParseVersionsNullData;
    // The runtime takes a signed length; a larger buffer can not be one message anyway.
    if (length > static_cast<unsigned>(INT_MAX))
        return ParseVersionsBadMessage;
    com::voxtrel::update::Versions versions;
    if (!versions.ParseFromArray(data, static_cast<int>(length)))
        return ParseVersionsBadMessage;
    fillVersionInfo(info, versions);
    return ParseVersionsOk;
}

void fillVersionInfo(VersionInfo &info, const com::voxtrel::update::Versions &versions)
{
    info.licenseAgreementId = versions.licenseagreementid();
    for (const auto &channel : versions.channels()) {
        info.channelNames.push_back(channel.name());
        ChannelVersion version;
        version.version_number = channel.version_number();
        version.version_string = channel.version_string();
        // emplace keeps the entry of the first occurrence of a name.
        info.channelVersions.emplace(channel.name(), std::move(version));
    }
}
