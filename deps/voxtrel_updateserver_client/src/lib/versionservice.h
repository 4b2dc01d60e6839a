#pragma once
// Client side of the version service: its address and the parse of its reply, a serialized
// `com::voxtrel::update::Versions` message.

#include "versioninfo.h"

#include <string>

namespace com { namespace voxtrel { namespace update { class Versions; } } }

// Assigns the address of the version service (plain HTTP, path "/vx3-client").
void getVersionServiceUrl(std::string &url);

// Results of parseVersions.
enum ParseVersionsResult {
    ParseVersionsOk = 0,
    ParseVersionsNullData = 1,
    ParseVersionsBadMessage = 2,
};

// Parses `length` bytes at `data` as a Versions message and appends it to `info`.
// Returns 0 on success, 1 for a null pointer, 2 when the bytes are not a complete message
// (malformed, or a required field missing); on 1 and 2 `info` is left as it was.
int parseVersions(const unsigned char *data, unsigned length, VersionInfo &info);

// Copies a parsed message into `info`: the licence id, every channel name in order, and the
// version of each name's first occurrence.
void fillVersionInfo(VersionInfo &info, const com::voxtrel::update::Versions &versions);
