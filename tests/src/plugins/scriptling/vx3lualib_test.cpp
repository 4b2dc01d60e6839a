// Tests of the vx3 Lua table: every binding runs in an interpreter of its
// own against the stand-in client's function table, which records what
// reaches each slot at the slot's declared widths and tracks every text and
// list it hands out.

#include "outputcapture.h"
#include "plugin.h"
#include "standinclient.h"
#include "vx3lualib.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

// The code the stand-in answers on the error runs.
const unsigned kFailure = 1282;

SlotAnswer none()
{
    return SlotAnswer();
}
SlotAnswer number(uint64_t value)
{
    SlotAnswer answer;
    answer.number = value;
    return answer;
}
SlotAnswer real(double value)
{
    SlotAnswer answer;
    answer.real = value;
    return answer;
}
SlotAnswer text(const char* value)
{
    SlotAnswer answer;
    answer.text = value;
    return answer;
}
SlotAnswer list(std::vector<uint64_t> elements)
{
    SlotAnswer answer;
    answer.list = std::move(elements);
    return answer;
}

const uint64_t kMinusOne = ~uint64_t(0);

struct BindingCase {
    const char* name;
    // One letter per Lua argument: c connection id, i integer, n number,
    // s string, t list table (other values give 1541), T table (checked).
    const char* kinds;
    const char* args;    // the Lua arguments of the call
    SlotAnswer answer;   // what the client answers (err 0)
    const char* call;    // what reaches the client
    const char* results; // the Lua results
    const char* failed;  // the results when the client answers kFailure; null: no error code
    const char* message; // printed then (with the code); null: nothing
};

// Connection 4294967298 and the ids 1099511627783 and 9223372036854777856
// (2^63 + 2048) only arrive whole; client id 70000 arrives as 4464, 4294967294
// cut to 32 bits as -2.
const BindingCase kBindings[] = {
    {"getClientLibVersion", "", "", text("3.1"), "0 getClientLibVersion(out-text)", "'3.1', 0", "'', 1282", "Lua: Error querying client lib version: %d\n"},
    {"getClientLibVersionNumber", "", "", number(9223372036854777856ull), "1 getClientLibVersionNumber(out)", "9223372036854777856, 0", "0, 1282", "Lua: Error querying client lib version number: %d\n"},
    {"getErrorMessage", "i", "-1", text("ok"), "4 getErrorMessage(u32:4294967295, out-text)", "'ok', 0", "'', 1282", "Lua: Error getting error message: %d\n"},
    {"logMessage", "sisi", "'hello', 4294967294, 'chan', -1", none(), "6 logMessage(text:'hello', i32:-2, text:'chan', u64:18446744073709551615)", "0", "1282", "Lua: Error logging message: %d\n"},
    {"getPreProcessorInfoValueFloat", "cs", "4294967298, 'decay'", real(0.5), "33 getPreProcessorInfoValueFloat(u64:4294967298, text:'decay', out)", "0.5, 0", "0, 1282", "Lua: Error getting preprocessor info value: %d\n"},
    {"getPreProcessorConfigValue", "cs", "4294967298, 'agc'", text("true"), "34 getPreProcessorConfigValue(u64:4294967298, text:'agc', out-text)", "'true', 0", "'', 1282", "Lua: Error getting preprocessor config value: %d\n"},
    {"setPreProcessorConfigValue", "css", "4294967298, 'agc', 42", none(), "35 setPreProcessorConfigValue(u64:4294967298, text:'agc', text:'42')", "0", "1282", "Lua: Error setting preprocessor config value: %d\n"},
    {"getEncodeConfigValue", "cs", "4294967298, 'name'", text("opus"), "36 getEncodeConfigValue(u64:4294967298, text:'name', out-text)", "'opus', 0", "'', 1282", "Lua: Error getting encode config value: %d\n"},
    {"getPlaybackConfigValueAsFloat", "cs", "4294967298, 'volume'", real(-3.25), "37 getPlaybackConfigValueAsFloat(u64:4294967298, text:'volume', out)", "-3.25, 0", "0, 1282", "Lua: Error getting playback config value: %d\n"},
    {"setPlaybackConfigValue", "css", "4294967298, 'volume', '-3'", none(), "38 setPlaybackConfigValue(u64:4294967298, text:'volume', text:'-3')", "0", "1282", nullptr},
    {"setClientVolumeModifier", "cin", "4294967298, 70000, 1.5", none(), "39 setClientVolumeModifier(u64:4294967298, u16:4464, f32:1.5)", "0", "1282", "Lua: Error setting client volume modifier: %d\n"},
    {"requestClientMove", "ciis", "4294967298, 70000, 9223372036854777856, 'pw'", none(), "48 requestClientMove(u64:4294967298, u16:4464, u64:9223372036854777856, text:'pw', null)", "0", "1282", "Lua: Error requesting client move: %d\n"},
    {"requestClientVariables", "ci", "4294967298, 7", none(), "49 requestClientVariables(u64:4294967298, u16:7, null)", "0", "1282", "Lua: Error requesting client variables: %d\n"},
    {"requestClientKickFromChannel", "cis", "4294967298, 7, 'bye'", none(), "50 requestClientKickFromChannel(u64:4294967298, u16:7, text:'bye', null)", "0", "1282", "Lua: Error kicking client from channel: %d\n"},
    {"requestClientKickFromServer", "cis", "4294967298, 7, 'bye'", none(), "51 requestClientKickFromServer(u64:4294967298, u16:7, text:'bye', null)", "0", "1282", "Lua: Error kicking client from server: %d\n"},
    {"requestChannelDelete", "cii", "4294967298, 1099511627783, 65537", none(), "52 requestChannelDelete(u64:4294967298, u64:1099511627783, u16:1, null)", "0", "1282", "Lua: Error deleting channel: %d\n"},
    {"requestChannelMove", "cii", "4294967298, 1099511627783, 9223372036854777856", none(), "53 requestChannelMove(u64:4294967298, u64:1099511627783, u64:9223372036854777856, u64:0, null)", "0", "1282", "Lua: Error moving channel: %d\n"},
    {"requestSendPrivateTextMsg", "csi", "4294967298, 'hi', 70000", none(), "54 requestSendPrivateTextMsg(u64:4294967298, text:'hi', u16:4464, null)", "0", "1282", "Lua: Error sending private text message: %d\n"},
    {"requestSendChannelTextMsg", "csi", "4294967298, 'hi', 65538", none(), "55 requestSendChannelTextMsg(u64:4294967298, text:'hi', u16:2, null)", "0", "1282", "Lua: Error sending channel text message: %d\n"},
    {"requestSendServerTextMsg", "cs", "4294967298, 'all'", none(), "56 requestSendServerTextMsg(u64:4294967298, text:'all', null)", "0", "1282", "Lua: Error sending server text message: %d\n"},
    {"requestConnectionInfo", "ci", "1, 7", none(), "57 requestConnectionInfo(u64:1, u16:7, null)", "0", "1282", "Lua: Error requesting client connection info: %d\n"},
    {"requestChannelSubscribe", "ct", "4294967298, {5, 9223372036854777856}", none(), "59 requestChannelSubscribe(u64:4294967298, list[5,9223372036854777856,0], null)", "0", "1282", "Lua: Error subscribing to channel: %d\n"},
    {"requestChannelUnsubscribe", "ct", "4294967298, {6, '7'}", none(), "61 requestChannelUnsubscribe(u64:4294967298, list[6,7,0], null)", "0", "1282", "Lua: Error unsubscribing from channel: %d\n"},
    {"requestChannelSubscribeAll", "c", "4294967298", none(), "60 requestChannelSubscribeAll(u64:4294967298, null)", "0", "1282", "Lua: Error subscribing to all channels: %d\n"},
    {"requestChannelUnsubscribeAll", "c", "4294967298", none(), "62 requestChannelUnsubscribeAll(u64:4294967298, null)", "0", "1282", "Lua: Error unsubscribing from all channels: %d\n"},
    {"requestChannelDescription", "ci", "4294967298, 1099511627783", none(), "63 requestChannelDescription(u64:4294967298, u64:1099511627783, null)", "0", "1282", "Lua: Error requesting channel description: %d\n"},
    {"requestMuteClients", "ct", "4294967298, {70000, 7}", none(), "64 requestMuteClients(u64:4294967298, list[4464,7,0], null)", "0", "1282", "Lua: Error requesting mute clients: %d\n"},
    {"requestUnmuteClients", "ct", "4294967298, {8}", none(), "65 requestUnmuteClients(u64:4294967298, list[8,0], null)", "0", "1282", "Lua: Error requesting unmute clients: %d\n"},
    {"getClientID", "c", "1", number(65535), "73 getClientID(u64:1, out)", "65535, 0", "0, 1282", "Lua: Error getting client ID: %d\n"},
    {"getClientSelfVariableAsInt", "ci", "4294967298, -1", number(kMinusOne - 4), "74 getClientSelfVariableAsInt(u64:4294967298, u64:18446744073709551615, out)", "-5, 0", "0, 1282", "Lua: Error getting client self variable: %d\n"},
    {"getClientSelfVariableAsString", "ci", "4294967298, 1", text("Nick"), "75 getClientSelfVariableAsString(u64:4294967298, u64:1, out-text)", "'Nick', 0", "'', 1282", "Lua: Error getting client self variable: %d\n"},
    {"setClientSelfVariableAsInt", "cii", "4294967298, 2, 4294967294", none(), "76 setClientSelfVariableAsInt(u64:4294967298, u64:2, i32:-2)", "0", "1282", "Lua: Error setting client self variable: %d\n"},
    {"setClientSelfVariableAsString", "cis", "4294967298, 2, 'away'", none(), "77 setClientSelfVariableAsString(u64:4294967298, u64:2, text:'away')", "0", "1282", "Lua: Error setting client self variable: %d\n"},
    {"flushClientSelfUpdates", "c", "4294967298", none(), "78 flushClientSelfUpdates(u64:4294967298, null)", "0", "1282", "Lua: Error flushing client self variables: %d\n"},
    {"getClientVariableAsInt", "cii", "4294967298, 70000, 9", number(kMinusOne - 6), "79 getClientVariableAsInt(u64:4294967298, u16:4464, u64:9, out)", "-7, 0", "0, 1282", "Lua: Error getting client variable: %d\n"},
    {"getClientVariableAsUInt64", "cii", "4294967298, 7, 9", number(9223372036854777856ull), "80 getClientVariableAsUInt64(u64:4294967298, u16:7, u64:9, out)", "9223372036854777856, 0", "0, 1282", "Lua: Error getting client variable: %d\n"},
    {"getClientVariableAsString", "cii", "4294967298, 7, 9", text("desc"), "81 getClientVariableAsString(u64:4294967298, u16:7, u64:9, out-text)", "'desc', 0", "'', 1282", "Lua: Error getting client variable: %d\n"},
    {"getClientList", "c", "4294967298", list({3, 9, 65535}), "82 getClientList(u64:4294967298, out-list)", "{3,9,65535}, 0", "nil, 1282", "Lua: Error getting client list: %d\n"},
    {"getChannelOfClient", "ci", "4294967298, 70000", number(9223372036854777856ull), "83 getChannelOfClient(u64:4294967298, u16:4464, out)", "9223372036854777856, 0", "0, 1282", "Lua: Error getting channel of client: %d\n"},
    {"getConnectionStatus", "c", "4294967298", number(kMinusOne), "101 getConnectionStatus(u64:4294967298, out)", "-1, 0", "0, 1282", "Lua: Error getting connection status: %d\n"},
    {"getConnectionVariableAsUInt64", "cii", "4294967298, 7, 4294967294", number(1099511627783ull), "102 getConnectionVariableAsUInt64(u64:4294967298, u16:7, u64:18446744073709551614, out)", "1099511627783, 0", "0, 1282", "Lua: Error getting connection variable as UInt64: %d\n"},
    {"getConnectionVariableAsDouble", "cii", "4294967298, 7, -3", real(0.125), "103 getConnectionVariableAsDouble(u64:4294967298, u16:7, u64:18446744073709551613, out)", "0.125, 0", "0, 1282", "Lua: Error getting connection variable as Double: %d\n"},
    {"getConnectionVariableAsString", "cii", "4294967298, 7, 2", text("127.0.0.1"), "104 getConnectionVariableAsString(u64:4294967298, u16:7, u64:2, out-text)", "'127.0.0.1', 0", "nil, 1282", "Lua: Error getting connection variable as String: %d\n"},
    {"cleanUpConnectionInfo", "ci", "4294967298, 70000", none(), "105 cleanUpConnectionInfo(u64:4294967298, u16:4464)", "0", "1282", "Lua: Error cleaning up connection info: %d\n"},
    {"getChannelVariableAsInt", "cii", "4294967298, 1099511627783, 3", number(kMinusOne - 8), "84 getChannelVariableAsInt(u64:4294967298, u64:1099511627783, u64:3, out)", "-9, 0", "0, 1282", "Lua: Error getting channel variable: %d\n"},
    {"getChannelVariableAsString", "cii", "4294967298, 1099511627783, 3", text("Lobby"), "86 getChannelVariableAsString(u64:4294967298, u64:1099511627783, u64:3, out-text)", "'Lobby', 0", "'', 1282", "Lua: Error getting channel variable: %d\n"},
    {"getChannelIDFromChannelNames", "cT", "4294967298, {'Lobby', 12}", number(1099511627783ull), "87 getChannelIDFromChannelNames(u64:4294967298, names['Lobby','12',''], out)", "1099511627783, 0", "0, 1282", "Error getting channel ID from names: %d\n"},
    {"setChannelVariableAsInt", "ciii", "4294967298, 1099511627783, 3, 4294967294", none(), "88 setChannelVariableAsInt(u64:4294967298, u64:1099511627783, u64:3, i32:-2)", "0", "1282", "Lua: Error setting channel variable: %d\n"},
    {"setChannelVariableAsString", "ciis", "4294967298, 1099511627783, 3, 'topic'", none(), "90 setChannelVariableAsString(u64:4294967298, u64:1099511627783, u64:3, text:'topic')", "0", "1282", "Lua: Error setting channel variable: %d\n"},
    {"flushChannelUpdates", "ci", "4294967298, 1099511627783", none(), "91 flushChannelUpdates(u64:4294967298, u64:1099511627783, null)", "0", "1282", "Lua: Error flushing channel updates: %d\n"},
    {"flushChannelCreation", "ci", "4294967298, 0", none(), "92 flushChannelCreation(u64:4294967298, u64:0, null)", "0", "1282", "Lua: Error flushing channel creation: %d\n"},
    {"getChannelList", "c", "4294967298", list({1099511627783ull, 9223372036854777856ull}), "93 getChannelList(u64:4294967298, out-list)", "{1099511627783,9223372036854777856}, 0", "nil, 1282", "Lua: Error getting channel list: %d\n"},
    {"getChannelClientList", "ci", "4294967298, 1099511627783", list({4, 5}), "94 getChannelClientList(u64:4294967298, u64:1099511627783, out-list)", "{4,5}, 0", "nil, 1282", "Lua: Error getting channel client list: %d\n"},
    {"getParentChannelOfChannel", "ci", "4294967298, 9223372036854777856", number(1099511627783ull), "95 getParentChannelOfChannel(u64:4294967298, u64:9223372036854777856, out)", "1099511627783, 0", "0, 1282", "Lua: Error getting parent channel: %d\n"},
    {"getServerConnectionHandlerList", "", "", list({1, 4294967298ull}), "96 getServerConnectionHandlerList(out-list)", "{1,4294967298}, 0", "nil, 1282", "Lua: Error getting server connection handler list: %d\n"},
    {"getServerVariableAsInt", "ci", "4294967298, 4", number(kMinusOne - 1), "97 getServerVariableAsInt(u64:4294967298, u64:4, out)", "-2, 0", "0, 1282", "Lua: Error getting server variable: %d\n"},
    {"getServerVariableAsUInt64", "ci", "4294967298, 4", number(9223372036854777856ull), "98 getServerVariableAsUInt64(u64:4294967298, u64:4, out)", "9223372036854777856, 0", "0, 1282", "Lua: Error getting server variable: %d\n"},
    {"getServerVariableAsString", "ci", "4294967298, 4", text("Server"), "99 getServerVariableAsString(u64:4294967298, u64:4, out-text)", "'Server', 0", "'', 1282", "Lua: Error getting server variable: %d\n"},
    {"requestServerVariables", "c", "4294967298", none(), "100 requestServerVariables(u64:4294967298)", "0", "1282", "Lua: Error requesting server variables: %d\n"},
    {"playWaveFile", "cs", "4294967298, '/s.wav'", none(), "28 playWaveFile(u64:4294967298, text:'/s.wav')", "0", "1282", "Lua: Error playing wave file: %d\n"},
    {"requestClientEditDescription", "cis", "4294967298, 7, 'd'", none(), "109 requestClientEditDescription(u64:4294967298, u16:7, text:'d', null)", "0", "1282", nullptr},
    {"requestClientPoke", "cis", "4294967298, 7, 'poke'", none(), "66 requestClientPoke(u64:4294967298, u16:7, text:'poke', null)", "0", "1282", "Lua: Error requesting client poke: %d\n"},
    {"requestServerTemporaryPasswordAdd", "cssiis", "4294967298, 'pw', 'desc', 3600, 1099511627783, 'cpw'", none(), "70 requestServerTemporaryPasswordAdd(u64:4294967298, text:'pw', text:'desc', u64:3600, u64:1099511627783, text:'cpw', null)", "0", "1282", "Lua: Error adding temporary server password: %d\n"},
    {"requestServerTemporaryPasswordDel", "cs", "4294967298, 'pw'", none(), "71 requestServerTemporaryPasswordDel(u64:4294967298, text:'pw', null)", "0", "1282", "Lua: Error deleting temporary server password: %d\n"},
    {"requestServerTemporaryPasswordList", "c", "4294967298", none(), "72 requestServerTemporaryPasswordList(u64:4294967298, null)", "0", "1282", "Lua: Error requesting temporary server password list: %d\n"},
    {"banclient", "ciis", "4294967298, 70000, -1, 'spam'", none(), "137 banclient(u64:4294967298, u16:4464, u64:18446744073709551615, text:'spam', null)", "0", "1282", "Lua: Error banning client: %d\n"},
    {"banclientdbid", "ciis", "4294967298, 1099511627783, 4294967294, 'spam'", none(), "139 banclientdbid(u64:4294967298, u64:1099511627783, u64:18446744073709551614, text:'spam', null)", "0", "1282", "Lua: Error banning clientdbid: %d\n"},
    {"banadd", "csssis", "4294967298, '10.*', 'bob', 'uid', 60, 'r'", none(), "138 banadd(u64:4294967298, text:'10.*', text:'bob', text:'uid', u64:60, text:'r', null)", "0", "1282", "Lua: Error adding ban: %d\n"},
    {"bandel", "ci", "4294967298, 9223372036854777856", none(), "140 bandel(u64:4294967298, u64:9223372036854777856, null)", "0", "1282", "Lua: Error deleting ban: %d\n"},
    {"bandelall", "c", "4294967298", none(), "141 bandelall(u64:4294967298, null)", "0", "1282", "Lua: Error deleting all bans: %d\n"},
    {"requestBanList", "c", "4294967298", none(), "142 requestBanList(u64:4294967298, null)", "0", "1282", "Lua: Error requesting ban list: %d\n"},
    {"requestComplainAdd", "cis", "4294967298, 1099511627783, 'rude'", none(), "143 requestComplainAdd(u64:4294967298, u64:1099511627783, text:'rude', null)", "0", "1282", "Lua: Error requesting complain add: %d\n"},
    {"requestComplainDel", "cii", "4294967298, 1099511627783, 9223372036854777856", none(), "144 requestComplainDel(u64:4294967298, u64:1099511627783, u64:9223372036854777856, null)", "0", "1282", "Lua: Error requesting complain del: %d\n"},
    {"requestComplainDelAll", "ci", "4294967298, 1099511627783", none(), "145 requestComplainDelAll(u64:4294967298, u64:1099511627783, null)", "0", "1282", "Lua: Error requesting complain del all: %d\n"},
    {"requestComplainList", "ci", "4294967298, 1099511627783", none(), "146 requestComplainList(u64:4294967298, u64:1099511627783, null)", "0", "1282", "Lua: Error requesting complain list: %d\n"},
    {"getAppPath", "", "", text("/app/"), "179 getAppPath(buffer, size:512)", "'/app/'", nullptr, nullptr},
    {"getResourcesPath", "", "", text("/res/"), "180 getResourcesPath(buffer, size:512)", "'/res/'", nullptr, nullptr},
    {"getConfigPath", "", "", text("/cfg/"), "181 getConfigPath(buffer, size:512)", "'/cfg/'", nullptr, nullptr},
    {"getPluginPath", "", "", text("/plg/"), "182 getPluginPath(buffer, size:512)", "'/plg/'", nullptr, nullptr},
    {"getCurrentServerConnectionHandlerID", "", "", number(9223372036854777856ull), "183 getCurrentServerConnectionHandlerID()", "9223372036854777856", nullptr, nullptr},
    {"printMessage", "csi", "4294967298, 'hi', 4294967294", none(), "184 printMessage(u64:4294967298, text:'hi', i32:-2)", "", nullptr, nullptr},
    {"printMessageToCurrentTab", "s", "'hi'", none(), "185 printMessageToCurrentTab(text:'hi')", "", nullptr, nullptr},
    {"urlsToBB", "s", "'see a.de'", text("see [URL]a.de[/URL]"), "186 urlsToBB(text:'see a.de', buffer, size:96)", "'see [URL]a.de[/URL]'", nullptr, nullptr},
    {"sendPluginCommand", "csit", "4294967298, 'cmd', 4294967296, {70000, 2}", none(), "187 sendPluginCommand(u64:4294967298, text:'vx3-test', text:'cmd', u64:4294967296, list[4464,2,0], null)", "0", "1282", nullptr},
    {"getDirectories", "s", "'/x'", text("a b"), "188 getDirectories(text:'/x', buffer, size:512)", "'a b'", nullptr, nullptr},
    {"setPluginMenuEnabled", "ii", "4294967297, 2", none(), "197 setPluginMenuEnabled(text:'vx3-test', i32:1, i32:2)", "", nullptr, nullptr},
    {"getClientDisplayName", "ci", "4294967298, 70000", text("Nick"), "201 getClientDisplayName(u64:4294967298, u16:4464, buffer, size:512)", "'Nick', 0", "'', 1282", nullptr},
    {"getPermissionIDByName", "cs", "4294967298, 'b_x'", number(0xFFFFFFFFu), "207 getPermissionIDByName(u64:4294967298, text:'b_x', out)", "4294967295, 0", "0, 1282", nullptr},
    {"getClientNeededPermission", "cs", "4294967298, 'b_x'", number(0xFFFFFFFFu), "208 getClientNeededPermission(u64:4294967298, text:'b_x', out)", "4294967295, 0", "0, 1282", nullptr},
    {"guiConnect", "isssssssssssss", "4294967296, 'l', 'a', 'p', 'n', 'c', 'cp', 'cap', 'pb', 'hk', 'snd', 'id', 'otk', 'ph'", number(9223372036854777856ull), "204 guiConnect(u64:4294967296, text:'l', text:'a', text:'p', text:'n', text:'c', text:'cp', text:'cap', text:'pb', text:'hk', text:'snd', text:'id', text:'otk', text:'ph', out)", "9223372036854777856, 0", "0, 1282", nullptr},
    {"createBookmark", "ssssssssssssss", "'u', 'l', 'a', 'p', 'n', 'c', 'cp', 'cap', 'pb', 'hk', 'snd', 'id', 'otk', 'ph'", none(), "206 createBookmark(text:'u', text:'l', text:'a', text:'p', text:'n', text:'c', text:'cp', text:'cap', text:'pb', text:'hk', text:'snd', text:'id', text:'otk', text:'ph')", "0", "1282", nullptr},
};

int slotOf(const BindingCase& row)
{
    return std::atoi(row.call);
}

bool handsOverBlock(const BindingCase& row)
{
    return std::strstr(row.call, "out-text") || std::strstr(row.call, "out-list");
}

// Allocator of the test interpreters: refuses blocks above a size on demand.
void* limitedAlloc(void* ud, void* ptr, size_t, size_t nsize)
{
    if (nsize == 0) {
        std::free(ptr);
        return nullptr;
    }
    if (nsize > *static_cast<size_t*>(ud))
        return nullptr;
    return std::realloc(ptr, nsize);
}

std::string describe(lua_State* state, int index)
{
    switch (lua_type(state, index)) {
    case LUA_TNUMBER: {
        const double n = lua_tonumber(state, index);
        char text[64];
        std::snprintf(text, sizeof text, n == std::floor(n) ? "%.0f" : "%.17g", n);
        return text;
    }
    case LUA_TSTRING:
        return std::string("'") + lua_tostring(state, index) + "'";
    case LUA_TTABLE: {
        std::string text = "{";
        const int count = static_cast<int>(lua_rawlen(state, index));
        for (int i = 1; i <= count; ++i) {
            lua_rawgeti(state, index, i);
            text += (i > 1 ? "," : "") + describe(state, lua_gettop(state));
            lua_pop(state, 1);
        }
        return text + "}";
    }
    default:
        return luaL_typename(state, index);
    }
}

class Vx3Library : public ::testing::Test {
protected:
    void SetUp() override
    {
        StandinClient& client = StandinClient::get();
        client.clearRecords();
        vx3plugin_setFunctionPointers(*reinterpret_cast<const VX3Functions*>(&client.table()));
        OutputCapture quiet;
        vx3plugin_registerPluginID("vx3-test");
        m_state = lua_newstate(limitedAlloc, &m_blockLimit);
        ASSERT_NE(m_state, nullptr);
        luaL_openlibs(m_state);
        registerVX3Lib(m_state);
    }

    void TearDown() override
    {
        lua_close(m_state);
        std::free(pluginID);
        pluginID = nullptr;
        StandinClient& client = StandinClient::get();
        EXPECT_EQ(client.unexpected, std::vector<std::string>());
        EXPECT_EQ(client.badReleases, std::vector<std::string>());
        EXPECT_EQ(client.outstanding(), 0u);
    }

    // Runs a chunk with a fresh record; returns its results, or "error: "
    // and the message. What it prints lands in m_out.
    std::string run(const std::string& code)
    {
        StandinClient& client = StandinClient::get();
        client.calls.clear();
        client.releases = 0;
        const int top = lua_gettop(m_state);
        OutputCapture capture;
        std::string result;
        if (luaL_loadstring(m_state, code.c_str()) != LUA_OK || lua_pcall(m_state, 0, LUA_MULTRET, 0) != LUA_OK) {
            // Without the chunk's position.
            const std::string message = lua_tostring(m_state, -1);
            const size_t chunkEnd = message.rfind("\"]:");
            const size_t position = chunkEnd == std::string::npos ? chunkEnd : message.find(": ", chunkEnd + 3);
            result = "error: " + (position == std::string::npos ? message : message.substr(position + 2));
        } else {
            for (int i = top + 1; i <= lua_gettop(m_state); ++i)
                result += (i > top + 1 ? ", " : "") + describe(m_state, i);
        }
        lua_settop(m_state, top);
        capture.stop();
        m_out = capture.out();
        return result;
    }

    // Calls vx3.<name> with the arguments 1 to count of `args`, in which
    // `changes` may replace some, and returns all its results.
    std::string callWith(const BindingCase& row, const std::string& changes, size_t count)
    {
        return run("local A = {" + std::string(row.args) + "}\n" + changes +
                   "\nlocal r = table.pack(vx3." + row.name + "(table.unpack(A, 1, " + std::to_string(count) +
                   ")))\nreturn table.unpack(r, 1, r.n)");
    }

    size_t m_blockLimit = SIZE_MAX;
    lua_State* m_state = nullptr;
    std::string m_out;
};

TEST_F(Vx3Library, TableHoldsEveryBinding)
{
    EXPECT_EQ(sizeof kBindings / sizeof kBindings[0], 91u);
    for (const BindingCase& row : kBindings) {
        EXPECT_STREQ(clientSlotName(slotOf(row)), row.name) << row.call;
        EXPECT_EQ(run(std::string("return type(vx3.") + row.name + ")"), "'function'") << row.name;
    }
    EXPECT_EQ(run("local n = 0 for _ in pairs(vx3) do n = n + 1 end return n"), "91");
    EXPECT_EQ(lua_gettop(m_state), 0);
}

TEST_F(Vx3Library, ArgumentsReachTheSlotAndResultsComeBack)
{
    StandinClient& client = StandinClient::get();
    for (const BindingCase& row : kBindings) {
        client.answers[slotOf(row)] = row.answer;
        EXPECT_EQ(run(std::string("return vx3.") + row.name + "(" + row.args + ")"), row.results) << row.name;
        std::vector<std::string> calls{row.call};
        if (handsOverBlock(row))
            calls.push_back("5 freeMemory(block)");
        EXPECT_EQ(client.calls, calls) << row.name;
        EXPECT_EQ(m_out, "") << row.name;
        EXPECT_EQ(client.releases, handsOverBlock(row) ? 1 : 0) << row.name;
        EXPECT_EQ(client.outstanding(), 0u) << row.name;
    }
}

TEST_F(Vx3Library, ClientErrorsComeBackWithTheirMessage)
{
    StandinClient& client = StandinClient::get();
    for (const BindingCase& row : kBindings) {
        if (!row.failed)
            continue;
        SlotAnswer answer = row.answer;
        answer.err = kFailure;
        client.answers[slotOf(row)] = answer;
        EXPECT_EQ(run(std::string("return vx3.") + row.name + "(" + row.args + ")"), row.failed) << row.name;
        EXPECT_EQ(client.calls, std::vector<std::string>{row.call}) << row.name;
        char message[128] = "";
        if (row.message)
            std::snprintf(message, sizeof message, row.message, static_cast<int>(kFailure));
        EXPECT_EQ(m_out, message) << row.name;
        EXPECT_EQ(client.releases, 0) << row.name; // the client handed nothing over
    }
    // The code is unsigned on the Lua side.
    client.answers[73].err = 0xFFFFFFFFu;
    EXPECT_EQ(run("return vx3.getClientID(1)"), "0, 4294967295");
}

TEST_F(Vx3Library, WrongArgumentsRaiseErrorsBeforeTheClient)
{
    StandinClient& client = StandinClient::get();
    for (const BindingCase& row : kBindings) {
        const std::string kinds = row.kinds;
        for (size_t k = 1; k <= kinds.size(); ++k) {
            const char kind = kinds[k - 1];
            if (kind == 't')
                continue; // other values give 1541 (ListArgumentsOtherThanTables)
            const std::string expected = kind == 's' ? "string" : kind == 'T' ? "table" : "number";
            const std::string prefix = "error: bad argument #" + std::to_string(k) + " to '" + row.name + "' (" +
                                       expected + " expected, got ";
            const std::string wrong = kind == 'T' ? "'names'" : "{}";
            EXPECT_EQ(callWith(row, "A[" + std::to_string(k) + "] = " + wrong, kinds.size()),
                      prefix + (kind == 'T' ? "string)" : "table)"))
                << row.name << " #" << k;
            EXPECT_EQ(callWith(row, "", k - 1), prefix + "no value)") << row.name << " #" << k;
            EXPECT_EQ(client.calls, std::vector<std::string>()) << row.name << " #" << k;
        }
    }
}

TEST_F(Vx3Library, ListArgumentsOtherThanTables)
{
    struct Case {
        const char* call;
        const char* line; // printed first
    };
    const Case cases[] = {
        {"vx3.requestChannelSubscribe(1, 5)", ""},
        {"vx3.requestChannelUnsubscribe(1)", ""},
        {"vx3.requestMuteClients(1, 'x')", "Invalid paramater in requestMuteClients, not a table\n"},
        {"vx3.requestUnmuteClients(1, nil)", "Invalid paramater in requestUnmuteClients, not a table\n"},
        {"vx3.sendPluginCommand(1, 'c', 0, 7)", "Invalid paramater in sendPluginCommand, not a table\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(run(std::string("return ") + c.call), "1541") << c.call;
        EXPECT_EQ(m_out, c.line) << c.call;
        EXPECT_TRUE(StandinClient::get().calls.empty()) << c.call;
    }
}

TEST_F(Vx3Library, EmptyAndBrokenLists)
{
    StandinClient& client = StandinClient::get();
    for (const char* name : {"requestChannelSubscribe", "requestChannelUnsubscribe", "requestMuteClients",
                             "requestUnmuteClients"}) {
        EXPECT_EQ(run(std::string("return vx3.") + name + "(1, {})"), "0") << name;
        EXPECT_TRUE(client.calls.empty()) << name;
        EXPECT_EQ(run(std::string("return vx3.") + name + "(1, {5, 'x', 6})"),
                  std::string("error: bad argument #2 to '") + name + "' (number expected at index 2, got string)");
        EXPECT_TRUE(client.calls.empty()) << name;
    }
    // An empty target list still reaches the client, as no list at all.
    EXPECT_EQ(run("return vx3.sendPluginCommand(3, 'c', 1, {})"), "0");
    EXPECT_EQ(client.calls, std::vector<std::string>{
                                "187 sendPluginCommand(u64:3, text:'vx3-test', text:'c', u64:1, null, null)"});
    EXPECT_EQ(run("return vx3.sendPluginCommand(3, 'c', 1, {{}})"),
              "error: bad argument #4 to 'sendPluginCommand' (number expected at index 1, got table)");
    EXPECT_TRUE(client.calls.empty());
}

TEST_F(Vx3Library, ChannelNamesAreCheckedBeforeAnythingIsTaken)
{
    StandinClient& client = StandinClient::get();
    // A failing element leaves through a Lua error; under AddressSanitizer a
    // name array taken before the check would show as a leak.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(run("return vx3.getChannelIDFromChannelNames(1, {'a', 'b', {}})"),
                  "error: bad argument #2 to 'getChannelIDFromChannelNames' (string expected at index 3, got table)");
        EXPECT_TRUE(client.calls.empty());
    }
    EXPECT_EQ(run("return vx3.getChannelIDFromChannelNames(1, {})"), "0, 0");
    EXPECT_EQ(client.calls, std::vector<std::string>{"87 getChannelIDFromChannelNames(u64:1, names[''], out)"});
    // Many names all stay alive until the client returns.
    EXPECT_EQ(run("local t = {} for i = 1, 5000 do t[i] = i end return vx3.getChannelIDFromChannelNames(1, t)"),
              "0, 0");
    ASSERT_EQ(client.calls.size(), 1u);
    EXPECT_NE(client.calls[0].find("'4999','5000','']"), std::string::npos);
    EXPECT_EQ(lua_gettop(m_state), 0);
}

TEST_F(Vx3Library, PluginIdMissingBeforeRegistration)
{
    std::free(pluginID);
    pluginID = nullptr;
    EXPECT_EQ(run("return vx3.sendPluginCommand(1, 'c', 0, {5})"), "1541");
    EXPECT_EQ(m_out, "No plugin ID registered yet in sendPluginCommand\n");
    EXPECT_EQ(run("return vx3.setPluginMenuEnabled(1, 1)"), "1541");
    EXPECT_EQ(m_out, "No plugin ID registered yet in setPluginMenuEnabled\n");
    EXPECT_TRUE(StandinClient::get().calls.empty());
}

// Fills a buffer to its last byte, without a terminator.
void fillWhole(char* buffer, size_t size)
{
    std::memset(buffer, 'x', size);
}
void fillWholeUrls(const char*, char* buffer, size_t size)
{
    fillWhole(buffer, size);
}
void fillWholeDirectories(const char*, char* buffer, size_t size)
{
    fillWhole(buffer, size);
}

TEST_F(Vx3Library, BufferTextsAreAlwaysTerminated)
{
    EXPECT_EQ(run("return vx3.urlsToBB('')"), "''");
    EXPECT_TRUE(StandinClient::get().calls.empty());

    vx3Functions.urlsToBB = fillWholeUrls;
    vx3Functions.getAppPath = fillWhole;
    vx3Functions.getDirectories = fillWholeDirectories;
    EXPECT_EQ(run("return #vx3.urlsToBB('a'), #vx3.getAppPath(), #vx3.getDirectories('/')"), "67, 511, 511");
}

TEST_F(Vx3Library, ClientBlocksGoBackWhenTheCopyFails)
{
    StandinClient& client = StandinClient::get();
    client.answers[81].text.assign(256 * 1024, 't');
    client.answers[82].list.assign(50000, 7);
    m_blockLimit = 64 * 1024;
    EXPECT_EQ(run("return vx3.getClientVariableAsString(1, 2, 3)"), "error: not enough memory");
    EXPECT_EQ(client.releases, 1);
    EXPECT_EQ(run("return vx3.getClientList(1)"), "error: not enough memory");
    EXPECT_EQ(client.releases, 1);
    EXPECT_EQ(client.outstanding(), 0u);

    m_blockLimit = SIZE_MAX;
    EXPECT_EQ(run("local text = vx3.getClientVariableAsString(1, 2, 3) return #text"), "262144");
    EXPECT_EQ(run("local list = vx3.getClientList(1) return #list, list[50000]"), "50000, 7");
    EXPECT_EQ(client.outstanding(), 0u);
}

} // namespace
