#include "vx3lualib.h"

#include "plugin.h"
#include "pluginhelpercall.h"
#include "scriptclock.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

#include <cfloat>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

// Every binding checks its Lua arguments first, calls one slot of the
// client's function table and turns the answer into Lua results.
//
// Lua errors unwind with longjmp through the bindings (argument checks,
// pushes that run out of memory), so no object with a destructor may live in
// a binding's frame. Blocks of the binding's own are allocated only after the
// last check and released before anything is pushed; texts and lists that the
// client hands over are copied into Lua under a protected call, so that they
// go back to the client exactly once even when the copy fails.

namespace {

// The client's code for an invalid parameter (ERROR_parameter_invalid_size).
const unsigned kInvalidParameter = 1541;

// Size of the buffers the client fills with paths, listings and names.
const size_t kTextBufferSize = 512;

// --- arguments ----------------------------------------------------------

// A Lua number as the 64 bits a C caller would pass: whole numbers keep their
// value (negative ones in two's complement, ids up to 2^64 unsigned),
// fractions are cut toward zero, NaN and values beyond 64 bits give 0.
uint64_t numberBits(lua_Number n)
{
    if (n >= 0)
        return n < 18446744073709551616.0 ? static_cast<uint64_t>(n) : 0;
    return n >= -9223372036854775808.0 ? static_cast<uint64_t>(static_cast<int64_t>(n)) : 0;
}

// An integer argument (Lua's standard argument error for anything else) with
// all its 64 bits: ids of connections, channels, databases, bans, and flags.
uint64_t checkBits(lua_State* state, int arg)
{
    return numberBits(luaL_checknumber(state, arg));
}

// An integer argument cut to 32 bits.
int checkInt32(lua_State* state, int arg)
{
    return static_cast<int>(static_cast<uint32_t>(checkBits(state, arg)));
}

// An integer argument cut to 32 bits, then sign-extended to 64.
uint64_t checkInt32Widened(lua_State* state, int arg)
{
    return static_cast<uint64_t>(static_cast<int64_t>(checkInt32(state, arg)));
}

// An integer argument cut to 16 bits (client ids).
uint16_t checkUInt16(lua_State* state, int arg)
{
    return static_cast<uint16_t>(checkBits(state, arg));
}

// A number argument as a single-precision float (beyond its range: infinite).
float checkFloat(lua_State* state, int arg)
{
    const lua_Number n = luaL_checknumber(state, arg);
    if (n > FLT_MAX)
        return HUGE_VALF;
    if (n < -FLT_MAX)
        return -HUGE_VALF;
    return static_cast<float>(n);
}

// A string argument (numbers are accepted as text); valid during the call.
const char* checkText(lua_State* state, int arg)
{
    return luaL_checklstring(state, arg, nullptr);
}

// Raw length of the table at `arg`; a table longer than the client's lists
// can be indexed is an argument error.
int tableLength(lua_State* state, int arg)
{
    const size_t length = lua_rawlen(state, arg);
    if (length > static_cast<size_t>(INT_MAX) - 1)
        luaL_argerror(state, arg, "table too long");
    return static_cast<int>(length);
}

// Raises the argument error for element `index` of the table argument `arg`,
// whose value is on top of the stack.
void elementError(lua_State* state, int arg, int index, const char* expected)
{
    luaL_argerror(state, arg,
                  lua_pushfstring(state, "%s expected at index %d, got %s", expected, index, luaL_typename(state, -1)));
}

// Checks that the elements 1 to n of the table at `arg` are numbers and
// returns n. Allocates nothing, so a failed check leaks nothing.
int checkNumberList(lua_State* state, int arg)
{
    const int count = tableLength(state, arg);
    for (int i = 1; i <= count; ++i) {
        lua_rawgeti(state, arg, i);
        if (!lua_isnumber(state, -1))
            elementError(state, arg, i, "number");
        lua_pop(state, 1);
    }
    return count;
}

// The checked elements 1 to count of the table at `arg` as an array of T,
// ended by a 0 element. Raises nothing once the block is taken; the caller
// releases it with free.
template <typename T>
T* buildList(lua_State* state, int arg, int count)
{
    T* list = static_cast<T*>(std::malloc((static_cast<size_t>(count) + 1) * sizeof(T)));
    if (!list)
        luaL_error(state, "not enough memory");
    for (int i = 0; i < count; ++i) {
        lua_rawgeti(state, arg, i + 1);
        list[i] = static_cast<T>(numberBits(lua_tonumberx(state, -1, nullptr)));
        lua_pop(state, 1);
    }
    list[count] = 0;
    return list;
}

// --- results ------------------------------------------------------------

// A 64-bit value as a Lua number, whole up to 2^53 (as the events pass ids).
lua_Number wholeNumber(uint64_t value)
{
    return static_cast<lua_Number>(value);
}

void pushCode(lua_State* state, unsigned err)
{
    lua_pushinteger(state, static_cast<lua_Integer>(err));
}

void report(unsigned err, const char* message)
{
    if (err != 0 && message)
        std::printf(message, static_cast<int>(err));
}

// Setters and requests: err alone.
int codeResult(lua_State* state, unsigned err, const char* message)
{
    report(err, message);
    pushCode(state, err);
    return 1;
}

// Getters of a number: the value (0 on error), then err.
int numberResult(lua_State* state, lua_Number value, unsigned err, const char* message)
{
    report(err, message);
    lua_pushnumber(state, err == 0 ? value : 0);
    pushCode(state, err);
    return 2;
}

int integerResult(lua_State* state, lua_Integer value, unsigned err, const char* message)
{
    report(err, message);
    lua_pushinteger(state, err == 0 ? value : 0);
    pushCode(state, err);
    return 2;
}

// Helpers of pushAndRelease: copy the block handed over into one Lua value.
int copyText(lua_State* state)
{
    const char* text = static_cast<const char*>(takePluginHelperData(state, copyText));
    lua_pushstring(state, text ? text : "");
    return 1;
}

void pushListElement(lua_State* state, anyID value)
{
    lua_pushinteger(state, value);
}

void pushListElement(lua_State* state, uint64_t value)
{
    lua_pushnumber(state, wholeNumber(value));
}

template <typename T>
int copyList(lua_State* state)
{
    const T* list = static_cast<const T*>(takePluginHelperData(state, copyList<T>));
    int count = 0;
    while (list && count < INT_MAX && list[count] != 0)
        ++count;
    lua_createtable(state, count, 0);
    for (int i = 0; i < count; ++i) {
        pushListElement(state, list[i]);
        lua_rawseti(state, -2, i + 1);
    }
    return 1;
}

void releaseClientBlock(void* block)
{
    if (block)
        callClient(vx3Functions.freeMemory, block);
}

// Pushes what `copy` makes of `block` and then releases the block, also when
// the copy runs out of memory: its error is raised after the release.
void pushAndRelease(lua_State* state, lua_CFunction copy, void* block, void (*release)(void*))
{
    const int status = callPluginHelper(state, copy, block, 1);
    release(block);
    if (status != LUA_OK)
        lua_error(state);
}

enum class OnError { EmptyText, Nil };

// Getters of a text the client allocated: the text (released after the
// copy; on error the client returned none), then err.
int clientTextResult(lua_State* state, char* text, unsigned err, const char* message,
                     OnError onError = OnError::EmptyText)
{
    report(err, message);
    if (err != 0) {
        if (onError == OnError::Nil)
            lua_pushnil(state);
        else
            lua_pushliteral(state, "");
    } else {
        pushAndRelease(state, copyText, text, releaseClientBlock);
    }
    pushCode(state, err);
    return 2;
}

// Getters of a list the client allocated: a table of the elements before
// the first 0 (nil on error), then err.
template <typename T>
int clientListResult(lua_State* state, T* list, unsigned err, const char* message)
{
    report(err, message);
    if (err != 0)
        lua_pushnil(state);
    else
        pushAndRelease(state, copyList<T>, list, releaseClientBlock);
    pushCode(state, err);
    return 2;
}

// The text of a buffer the client filled, cut at its last byte.
int bufferResult(lua_State* state, char* buffer, size_t size)
{
    buffer[size - 1] = '\0';
    lua_pushstring(state, buffer);
    return 1;
}

// Requests that take a list of ids: not a table gives 1541 (after
// `notTableLine`, when given), an empty table 0, both without calling the
// client.
template <typename T>
int listRequest(lua_State* state, unsigned (*slot)(uint64_t, const T*, const char*), const char* notTableLine,
                const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    if (!lua_istable(state, 2)) {
        if (notTableLine)
            std::printf("%s\n", notTableLine);
        pushCode(state, kInvalidParameter);
        return 1;
    }
    const int count = checkNumberList(state, 2);
    if (count == 0) {
        pushCode(state, 0);
        return 1;
    }
    T* list = buildList<T>(state, 2, count);
    const unsigned err = callClient(slot, conn, list, nullptr);
    std::free(list);
    return codeResult(state, err, message);
}

// The plug-in's id, or null after reporting that the client has not
// registered the plug-in yet (start-up scripts run before that).
const char* registeredPluginID(const char* binding)
{
    if (!pluginID)
        std::printf("No plugin ID registered yet in %s\n", binding);
    return pluginID;
}

// --- bindings of one shape ------------------------------------------------

// A client slot, named by its member of the function table.
template <typename Function>
using Slot = Function VX3Functions::*;

// conn, then the null return-code text: err.
int connRequest(lua_State* state, Slot<unsigned (*)(uint64_t, const char*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const unsigned err = callClient(vx3Functions.*slot, conn, nullptr);
    return codeResult(state, err, message);
}

// conn, a 64-bit id and the null return-code text: err.
int idRequest(lua_State* state, Slot<unsigned (*)(uint64_t, uint64_t, const char*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t id = checkBits(state, 2);
    const unsigned err = callClient(vx3Functions.*slot, conn, id, nullptr);
    return codeResult(state, err, message);
}

// conn, a text and the null return-code text: err.
int textRequest(lua_State* state, Slot<unsigned (*)(uint64_t, const char*, const char*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const char* text = checkText(state, 2);
    const unsigned err = callClient(vx3Functions.*slot, conn, text, nullptr);
    return codeResult(state, err, message);
}

// conn, a client id and the null return-code text: err.
int clientRequest(lua_State* state, Slot<unsigned (*)(uint64_t, anyID, const char*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const unsigned err = callClient(vx3Functions.*slot, conn, clientID, nullptr);
    return codeResult(state, err, message);
}

// conn, a client id, a text and the null return-code text: err.
int clientTextRequest(lua_State* state, Slot<unsigned (*)(uint64_t, anyID, const char*, const char*)> slot,
                      const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const char* text = checkText(state, 3);
    const unsigned err = callClient(vx3Functions.*slot, conn, clientID, text, nullptr);
    return codeResult(state, err, message);
}

// conn and a configuration name: the value as text, err.
int configText(lua_State* state, Slot<unsigned (*)(uint64_t, const char*, char**)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const char* ident = checkText(state, 2);
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.*slot, conn, ident, &text);
    return clientTextResult(state, text, err, message);
}

// conn and a configuration name: the value as a number, err.
int configFloat(lua_State* state, Slot<unsigned (*)(uint64_t, const char*, float*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const char* ident = checkText(state, 2);
    float value = 0;
    const unsigned err = callClient(vx3Functions.*slot, conn, ident, &value);
    return numberResult(state, value, err, message);
}

// conn, a configuration name and its new value: err.
int configSet(lua_State* state, Slot<unsigned (*)(uint64_t, const char*, const char*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const char* ident = checkText(state, 2);
    const char* value = checkText(state, 3);
    const unsigned err = callClient(vx3Functions.*slot, conn, ident, value);
    return codeResult(state, err, message);
}

// conn and a 64-bit flag: the variable as a signed integer, err.
int flagInt(lua_State* state, Slot<unsigned (*)(uint64_t, uint64_t, int*)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t flag = checkBits(state, 2);
    int value = 0;
    const unsigned err = callClient(vx3Functions.*slot, conn, flag, &value);
    return integerResult(state, value, err, message);
}

// conn and a 64-bit flag: the variable as text, err.
int flagText(lua_State* state, Slot<unsigned (*)(uint64_t, uint64_t, char**)> slot, const char* message)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t flag = checkBits(state, 2);
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.*slot, conn, flag, &text);
    return clientTextResult(state, text, err, message);
}

// A path the client writes into a buffer of the binding: the text.
int pathResult(lua_State* state, Slot<void (*)(char*, size_t)> slot)
{
    char buffer[kTextBufferSize] = {0};
    callClient(vx3Functions.*slot, buffer, sizeof buffer);
    return bufferResult(state, buffer, sizeof buffer);
}

// --- the bindings ---------------------------------------------------------

int l_getClientLibVersion(lua_State* state)
{
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.getClientLibVersion, &text);
    return clientTextResult(state, text, err, "Lua: Error querying client lib version: %d\n");
}

int l_getClientLibVersionNumber(lua_State* state)
{
    uint64_t number = 0;
    const unsigned err = callClient(vx3Functions.getClientLibVersionNumber, &number);
    return numberResult(state, wholeNumber(number), err, "Lua: Error querying client lib version number: %d\n");
}

int l_getErrorMessage(lua_State* state)
{
    const unsigned code = static_cast<unsigned>(checkInt32(state, 1));
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.getErrorMessage, code, &text);
    return clientTextResult(state, text, err, "Lua: Error getting error message: %d\n");
}

int l_logMessage(lua_State* state)
{
    const char* message = checkText(state, 1);
    const int level = checkInt32(state, 2);
    const char* channel = checkText(state, 3);
    const uint64_t logID = checkBits(state, 4);
    const unsigned err = callClient(vx3Functions.logMessage, message, level, channel, logID);
    return codeResult(state, err, "Lua: Error logging message: %d\n");
}

int l_getPreProcessorInfoValueFloat(lua_State* state)
{
    return configFloat(state, &VX3Functions::getPreProcessorInfoValueFloat,
                       "Lua: Error getting preprocessor info value: %d\n");
}

int l_getPreProcessorConfigValue(lua_State* state)
{
    return configText(state, &VX3Functions::getPreProcessorConfigValue,
                      "Lua: Error getting preprocessor config value: %d\n");
}

int l_setPreProcessorConfigValue(lua_State* state)
{
    return configSet(state, &VX3Functions::setPreProcessorConfigValue,
                     "Lua: Error setting preprocessor config value: %d\n");
}

int l_getEncodeConfigValue(lua_State* state)
{
    return configText(state, &VX3Functions::getEncodeConfigValue, "Lua: Error getting encode config value: %d\n");
}

int l_getPlaybackConfigValueAsFloat(lua_State* state)
{
    return configFloat(state, &VX3Functions::getPlaybackConfigValueAsFloat,
                       "Lua: Error getting playback config value: %d\n");
}

int l_setPlaybackConfigValue(lua_State* state)
{
    return configSet(state, &VX3Functions::setPlaybackConfigValue, nullptr);
}

int l_setClientVolumeModifier(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const float value = checkFloat(state, 3);
    const unsigned err = callClient(vx3Functions.setClientVolumeModifier, conn, clientID, value);
    return codeResult(state, err, "Lua: Error setting client volume modifier: %d\n");
}

int l_requestClientMove(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t channelID = checkBits(state, 3);
    const char* password = checkText(state, 4);
    const unsigned err = callClient(vx3Functions.requestClientMove, conn, clientID, channelID, password, nullptr);
    return codeResult(state, err, "Lua: Error requesting client move: %d\n");
}

int l_requestClientVariables(lua_State* state)
{
    return clientRequest(state, &VX3Functions::requestClientVariables, "Lua: Error requesting client variables: %d\n");
}

int l_requestClientKickFromChannel(lua_State* state)
{
    return clientTextRequest(state, &VX3Functions::requestClientKickFromChannel,
                             "Lua: Error kicking client from channel: %d\n");
}

int l_requestClientKickFromServer(lua_State* state)
{
    return clientTextRequest(state, &VX3Functions::requestClientKickFromServer,
                             "Lua: Error kicking client from server: %d\n");
}

int l_requestChannelDelete(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint16_t force = checkUInt16(state, 3);
    const unsigned err = callClient(vx3Functions.requestChannelDelete, conn, channelID, force, nullptr);
    return codeResult(state, err, "Lua: Error deleting channel: %d\n");
}

int l_requestChannelMove(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint64_t newParentID = checkBits(state, 3);
    const unsigned err = callClient(vx3Functions.requestChannelMove, conn, channelID, newParentID, 0, nullptr);
    return codeResult(state, err, "Lua: Error moving channel: %d\n");
}

int l_requestSendPrivateTextMsg(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* message = checkText(state, 2);
    const anyID clientID = checkUInt16(state, 3);
    const unsigned err = callClient(vx3Functions.requestSendPrivateTextMsg, conn, message, clientID, nullptr);
    return codeResult(state, err, "Lua: Error sending private text message: %d\n");
}

int l_requestSendChannelTextMsg(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* message = checkText(state, 2);
    const uint16_t target = checkUInt16(state, 3);
    const unsigned err = callClient(vx3Functions.requestSendChannelTextMsg, conn, message, target, nullptr);
    return codeResult(state, err, "Lua: Error sending channel text message: %d\n");
}

int l_requestSendServerTextMsg(lua_State* state)
{
    return textRequest(state, &VX3Functions::requestSendServerTextMsg,
                       "Lua: Error sending server text message: %d\n");
}

int l_requestConnectionInfo(lua_State* state)
{
    return clientRequest(state, &VX3Functions::requestConnectionInfo,
                         "Lua: Error requesting client connection info: %d\n");
}

int l_requestChannelSubscribe(lua_State* state)
{
    return listRequest(state, vx3Functions.requestChannelSubscribe, nullptr,
                       "Lua: Error subscribing to channel: %d\n");
}

int l_requestChannelUnsubscribe(lua_State* state)
{
    return listRequest(state, vx3Functions.requestChannelUnsubscribe, nullptr,
                       "Lua: Error unsubscribing from channel: %d\n");
}

int l_requestChannelSubscribeAll(lua_State* state)
{
    return connRequest(state, &VX3Functions::requestChannelSubscribeAll,
                       "Lua: Error subscribing to all channels: %d\n");
}

int l_requestChannelUnsubscribeAll(lua_State* state)
{
    return connRequest(state, &VX3Functions::requestChannelUnsubscribeAll,
                       "Lua: Error unsubscribing from all channels: %d\n");
}

int l_requestChannelDescription(lua_State* state)
{
    return idRequest(state, &VX3Functions::requestChannelDescription,
                     "Lua: Error requesting channel description: %d\n");
}

int l_requestMuteClients(lua_State* state)
{
    return listRequest(state, vx3Functions.requestMuteClients, "Invalid paramater in requestMuteClients, not a table",
                       "Lua: Error requesting mute clients: %d\n");
}

int l_requestUnmuteClients(lua_State* state)
{
    return listRequest(state, vx3Functions.requestUnmuteClients,
                       "Invalid paramater in requestUnmuteClients, not a table",
                       "Lua: Error requesting unmute clients: %d\n");
}

int l_getClientID(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    anyID clientID = 0;
    const unsigned err = callClient(vx3Functions.getClientID, conn, &clientID);
    return integerResult(state, clientID, err, "Lua: Error getting client ID: %d\n");
}

int l_getClientSelfVariableAsInt(lua_State* state)
{
    return flagInt(state, &VX3Functions::getClientSelfVariableAsInt, "Lua: Error getting client self variable: %d\n");
}

int l_getClientSelfVariableAsString(lua_State* state)
{
    return flagText(state, &VX3Functions::getClientSelfVariableAsString, "Lua: Error getting client self variable: %d\n");
}

int l_setClientSelfVariableAsInt(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t flag = checkBits(state, 2);
    const int value = checkInt32(state, 3);
    const unsigned err = callClient(vx3Functions.setClientSelfVariableAsInt, conn, flag, value);
    return codeResult(state, err, "Lua: Error setting client self variable: %d\n");
}

int l_setClientSelfVariableAsString(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t flag = checkBits(state, 2);
    const char* value = checkText(state, 3);
    const unsigned err = callClient(vx3Functions.setClientSelfVariableAsString, conn, flag, value);
    return codeResult(state, err, "Lua: Error setting client self variable: %d\n");
}

int l_flushClientSelfUpdates(lua_State* state)
{
    return connRequest(state, &VX3Functions::flushClientSelfUpdates, "Lua: Error flushing client self variables: %d\n");
}

int l_getClientVariableAsInt(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkBits(state, 3);
    int value = 0;
    const unsigned err = callClient(vx3Functions.getClientVariableAsInt, conn, clientID, flag, &value);
    return integerResult(state, value, err, "Lua: Error getting client variable: %d\n");
}

int l_getClientVariableAsUInt64(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkBits(state, 3);
    uint64_t value = 0;
    const unsigned err = callClient(vx3Functions.getClientVariableAsUInt64, conn, clientID, flag, &value);
    return numberResult(state, wholeNumber(value), err, "Lua: Error getting client variable: %d\n");
}

int l_getClientVariableAsString(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkBits(state, 3);
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.getClientVariableAsString, conn, clientID, flag, &text);
    return clientTextResult(state, text, err, "Lua: Error getting client variable: %d\n");
}

int l_getClientList(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    anyID* list = nullptr;
    const unsigned err = callClient(vx3Functions.getClientList, conn, &list);
    return clientListResult(state, list, err, "Lua: Error getting client list: %d\n");
}

int l_getChannelOfClient(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    uint64_t channelID = 0;
    const unsigned err = callClient(vx3Functions.getChannelOfClient, conn, clientID, &channelID);
    return numberResult(state, wholeNumber(channelID), err, "Lua: Error getting channel of client: %d\n");
}

int l_getConnectionStatus(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    int status = 0;
    const unsigned err = callClient(vx3Functions.getConnectionStatus, conn, &status);
    return integerResult(state, status, err, "Lua: Error getting connection status: %d\n");
}

int l_getConnectionVariableAsUInt64(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkInt32Widened(state, 3);
    uint64_t value = 0;
    const unsigned err = callClient(vx3Functions.getConnectionVariableAsUInt64, conn, clientID, flag, &value);
    return numberResult(state, wholeNumber(value), err, "Lua: Error getting connection variable as UInt64: %d\n");
}

int l_getConnectionVariableAsDouble(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkInt32Widened(state, 3);
    double value = 0;
    const unsigned err = callClient(vx3Functions.getConnectionVariableAsDouble, conn, clientID, flag, &value);
    return numberResult(state, value, err, "Lua: Error getting connection variable as Double: %d\n");
}

int l_getConnectionVariableAsString(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t flag = checkInt32Widened(state, 3);
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.getConnectionVariableAsString, conn, clientID, flag, &text);
    return clientTextResult(state, text, err, "Lua: Error getting connection variable as String: %d\n", OnError::Nil);
}

int l_cleanUpConnectionInfo(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const unsigned err = callClient(vx3Functions.cleanUpConnectionInfo, conn, clientID);
    return codeResult(state, err, "Lua: Error cleaning up connection info: %d\n");
}

int l_getChannelVariableAsInt(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint64_t flag = checkBits(state, 3);
    int value = 0;
    const unsigned err = callClient(vx3Functions.getChannelVariableAsInt, conn, channelID, flag, &value);
    return integerResult(state, value, err, "Lua: Error getting channel variable: %d\n");
}

int l_getChannelVariableAsString(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint64_t flag = checkBits(state, 3);
    char* text = nullptr;
    const unsigned err = callClient(vx3Functions.getChannelVariableAsString, conn, channelID, flag, &text);
    return clientTextResult(state, text, err, "Lua: Error getting channel variable: %d\n");
}

int l_getChannelIDFromChannelNames(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    luaL_checktype(state, 2, LUA_TTABLE);
    const int count = tableLength(state, 2);
    // The names stay on the stack, and so alive, until the client returns.
    if (count > INT_MAX - LUA_MINSTACK || !lua_checkstack(state, count + LUA_MINSTACK))
        return luaL_error(state, "stack overflow (too many channel names)");
    const int base = lua_gettop(state);
    for (int i = 1; i <= count; ++i) {
        lua_rawgeti(state, 2, i);
        if (!lua_isstring(state, -1))
            elementError(state, 2, i, "string");
        lua_tolstring(state, -1, nullptr); // numbers become their text in place
    }
    char** names = static_cast<char**>(std::malloc((static_cast<size_t>(count) + 1) * sizeof(char*)));
    if (!names)
        return luaL_error(state, "not enough memory");
    for (int i = 0; i < count; ++i)
        names[i] = const_cast<char*>(lua_tolstring(state, base + 1 + i, nullptr));
    names[count] = const_cast<char*>(""); // the client's end marker
    uint64_t channelID = 0;
    const unsigned err = callClient(vx3Functions.getChannelIDFromChannelNames, conn, names, &channelID);
    std::free(names);
    lua_settop(state, base);
    return numberResult(state, wholeNumber(channelID), err, "Error getting channel ID from names: %d\n");
}

int l_setChannelVariableAsInt(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint64_t flag = checkBits(state, 3);
    const int value = checkInt32(state, 4);
    const unsigned err = callClient(vx3Functions.setChannelVariableAsInt, conn, channelID, flag, value);
    return codeResult(state, err, "Lua: Error setting channel variable: %d\n");
}

int l_setChannelVariableAsString(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    const uint64_t flag = checkBits(state, 3);
    const char* value = checkText(state, 4);
    const unsigned err = callClient(vx3Functions.setChannelVariableAsString, conn, channelID, flag, value);
    return codeResult(state, err, "Lua: Error setting channel variable: %d\n");
}

int l_flushChannelUpdates(lua_State* state)
{
    return idRequest(state, &VX3Functions::flushChannelUpdates, "Lua: Error flushing channel updates: %d\n");
}

int l_flushChannelCreation(lua_State* state)
{
    return idRequest(state, &VX3Functions::flushChannelCreation, "Lua: Error flushing channel creation: %d\n");
}

int l_getChannelList(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    uint64_t* list = nullptr;
    const unsigned err = callClient(vx3Functions.getChannelList, conn, &list);
    return clientListResult(state, list, err, "Lua: Error getting channel list: %d\n");
}

int l_getChannelClientList(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    anyID* list = nullptr;
    const unsigned err = callClient(vx3Functions.getChannelClientList, conn, channelID, &list);
    return clientListResult(state, list, err, "Lua: Error getting channel client list: %d\n");
}

int l_getParentChannelOfChannel(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t channelID = checkBits(state, 2);
    uint64_t parentID = 0;
    const unsigned err = callClient(vx3Functions.getParentChannelOfChannel, conn, channelID, &parentID);
    return numberResult(state, wholeNumber(parentID), err, "Lua: Error getting parent channel: %d\n");
}

int l_getServerConnectionHandlerList(lua_State* state)
{
    uint64_t* list = nullptr;
    const unsigned err = callClient(vx3Functions.getServerConnectionHandlerList, &list);
    return clientListResult(state, list, err, "Lua: Error getting server connection handler list: %d\n");
}

int l_getServerVariableAsInt(lua_State* state)
{
    return flagInt(state, &VX3Functions::getServerVariableAsInt, "Lua: Error getting server variable: %d\n");
}

int l_getServerVariableAsUInt64(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t flag = checkBits(state, 2);
    uint64_t value = 0;
    const unsigned err = callClient(vx3Functions.getServerVariableAsUInt64, conn, flag, &value);
    return numberResult(state, wholeNumber(value), err, "Lua: Error getting server variable: %d\n");
}

int l_getServerVariableAsString(lua_State* state)
{
    return flagText(state, &VX3Functions::getServerVariableAsString, "Lua: Error getting server variable: %d\n");
}

int l_requestServerVariables(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const unsigned err = callClient(vx3Functions.requestServerVariables, conn);
    return codeResult(state, err, "Lua: Error requesting server variables: %d\n");
}

int l_playWaveFile(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* path = checkText(state, 2);
    const unsigned err = callClient(vx3Functions.playWaveFile, conn, path);
    return codeResult(state, err, "Lua: Error playing wave file: %d\n");
}

int l_requestClientEditDescription(lua_State* state)
{
    return clientTextRequest(state, &VX3Functions::requestClientEditDescription, nullptr);
}

int l_requestClientPoke(lua_State* state)
{
    return clientTextRequest(state, &VX3Functions::requestClientPoke, "Lua: Error requesting client poke: %d\n");
}

int l_requestServerTemporaryPasswordAdd(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* password = checkText(state, 2);
    const char* description = checkText(state, 3);
    const uint64_t duration = checkBits(state, 4);
    const uint64_t targetChannelID = checkBits(state, 5);
    const char* targetChannelPassword = checkText(state, 6);
    const unsigned err = callClient(vx3Functions.requestServerTemporaryPasswordAdd, conn, password, description, duration,
                                                                        targetChannelID, targetChannelPassword, nullptr);
    return codeResult(state, err, "Lua: Error adding temporary server password: %d\n");
}

int l_requestServerTemporaryPasswordDel(lua_State* state)
{
    return textRequest(state, &VX3Functions::requestServerTemporaryPasswordDel,
                       "Lua: Error deleting temporary server password: %d\n");
}

int l_requestServerTemporaryPasswordList(lua_State* state)
{
    return connRequest(state, &VX3Functions::requestServerTemporaryPasswordList,
                       "Lua: Error requesting temporary server password list: %d\n");
}

int l_banclient(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    const uint64_t time = checkInt32Widened(state, 3);
    const char* reason = checkText(state, 4);
    const unsigned err = callClient(vx3Functions.banclient, conn, clientID, time, reason, nullptr);
    return codeResult(state, err, "Lua: Error banning client: %d\n");
}

int l_banclientdbid(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t clientDatabaseID = checkBits(state, 2);
    const uint64_t time = checkInt32Widened(state, 3);
    const char* reason = checkText(state, 4);
    const unsigned err = callClient(vx3Functions.banclientdbid, conn, clientDatabaseID, time, reason, nullptr);
    return codeResult(state, err, "Lua: Error banning clientdbid: %d\n");
}

int l_banadd(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* ip = checkText(state, 2);
    const char* name = checkText(state, 3);
    const char* uniqueID = checkText(state, 4);
    const uint64_t time = checkInt32Widened(state, 5);
    const char* reason = checkText(state, 6);
    const unsigned err = callClient(vx3Functions.banadd, conn, ip, name, uniqueID, time, reason, nullptr);
    return codeResult(state, err, "Lua: Error adding ban: %d\n");
}

int l_bandel(lua_State* state)
{
    return idRequest(state, &VX3Functions::bandel, "Lua: Error deleting ban: %d\n");
}

int l_bandelall(lua_State* state)
{
    return connRequest(state, &VX3Functions::bandelall, "Lua: Error deleting all bans: %d\n");
}

int l_requestBanList(lua_State* state)
{
    return connRequest(state, &VX3Functions::requestBanList, "Lua: Error requesting ban list: %d\n");
}

int l_requestComplainAdd(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t targetID = checkBits(state, 2);
    const char* message = checkText(state, 3);
    const unsigned err = callClient(vx3Functions.requestComplainAdd, conn, targetID, message, nullptr);
    return codeResult(state, err, "Lua: Error requesting complain add: %d\n");
}

int l_requestComplainDel(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const uint64_t targetID = checkBits(state, 2);
    const uint64_t fromID = checkBits(state, 3);
    const unsigned err = callClient(vx3Functions.requestComplainDel, conn, targetID, fromID, nullptr);
    return codeResult(state, err, "Lua: Error requesting complain del: %d\n");
}

int l_requestComplainDelAll(lua_State* state)
{
    return idRequest(state, &VX3Functions::requestComplainDelAll, "Lua: Error requesting complain del all: %d\n");
}

int l_requestComplainList(lua_State* state)
{
    return idRequest(state, &VX3Functions::requestComplainList, "Lua: Error requesting complain list: %d\n");
}

int l_getAppPath(lua_State* state)
{
    return pathResult(state, &VX3Functions::getAppPath);
}

int l_getResourcesPath(lua_State* state)
{
    return pathResult(state, &VX3Functions::getResourcesPath);
}

int l_getConfigPath(lua_State* state)
{
    return pathResult(state, &VX3Functions::getConfigPath);
}

int l_getPluginPath(lua_State* state)
{
    return pathResult(state, &VX3Functions::getPluginPath);
}

int l_getCurrentServerConnectionHandlerID(lua_State* state)
{
    lua_pushnumber(state, wholeNumber(callClient(vx3Functions.getCurrentServerConnectionHandlerID)));
    return 1;
}

int l_printMessage(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* message = checkText(state, 2);
    const int target = checkInt32(state, 3);
    callClient(vx3Functions.printMessage, conn, message, target);
    return 0;
}

int l_printMessageToCurrentTab(lua_State* state)
{
    const char* message = checkText(state, 1);
    callClient(vx3Functions.printMessageToCurrentTab, message);
    return 0;
}

int l_urlsToBB(lua_State* state)
{
    size_t length = 0;
    const char* text = luaL_checklstring(state, 1, &length);
    if (length == 0) {
        lua_pushliteral(state, "");
        return 1;
    }
    // Each address gains its link tags, so even a text of short addresses
    // may grow to four times its length; the client cuts at the size.
    if (length > (SIZE_MAX - 64) / 4)
        return luaL_argerror(state, 1, "text too long");
    const size_t size = 4 * length + 64;
    char* buffer = static_cast<char*>(std::calloc(size, 1));
    if (!buffer)
        return luaL_error(state, "not enough memory");
    callClient(vx3Functions.urlsToBB, text, buffer, size);
    buffer[size - 1] = '\0';
    pushAndRelease(state, copyText, buffer, std::free);
    return 1;
}

int l_sendPluginCommand(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* command = checkText(state, 2);
    const uint64_t targetMode = checkBits(state, 3);
    if (!lua_istable(state, 4)) {
        std::printf("Invalid paramater in sendPluginCommand, not a table\n");
        pushCode(state, kInvalidParameter);
        return 1;
    }
    const int count = checkNumberList(state, 4);
    const char* id = registeredPluginID("sendPluginCommand");
    if (!id) {
        pushCode(state, kInvalidParameter);
        return 1;
    }
    anyID* list = count ? buildList<anyID>(state, 4, count) : nullptr;
    const unsigned err = callClient(vx3Functions.sendPluginCommand, conn, id, command, targetMode, list, nullptr);
    std::free(list);
    pushCode(state, err);
    return 1;
}

int l_getDirectories(lua_State* state)
{
    const char* path = checkText(state, 1);
    char buffer[kTextBufferSize] = {0};
    callClient(vx3Functions.getDirectories, path, buffer, sizeof buffer);
    return bufferResult(state, buffer, sizeof buffer);
}

int l_setPluginMenuEnabled(lua_State* state)
{
    const int menuID = checkInt32(state, 1);
    const int enabled = checkInt32(state, 2);
    const char* id = registeredPluginID("setPluginMenuEnabled");
    if (!id) {
        pushCode(state, kInvalidParameter);
        return 1;
    }
    callClient(vx3Functions.setPluginMenuEnabled, id, menuID, enabled);
    return 0;
}

int l_getClientDisplayName(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const anyID clientID = checkUInt16(state, 2);
    char buffer[kTextBufferSize] = {0};
    const unsigned err = callClient(vx3Functions.getClientDisplayName, conn, clientID, buffer, sizeof buffer);
    buffer[sizeof buffer - 1] = '\0';
    lua_pushstring(state, err == 0 ? buffer : "");
    pushCode(state, err);
    return 2;
}

int l_getPermissionIDByName(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* name = checkText(state, 2);
    unsigned int permissionID = 0;
    const unsigned err = callClient(vx3Functions.getPermissionIDByName, conn, name, &permissionID);
    return integerResult(state, permissionID, err, nullptr);
}

int l_getClientNeededPermission(lua_State* state)
{
    const uint64_t conn = checkBits(state, 1);
    const char* name = checkText(state, 2);
    int value = 0;
    const unsigned err = callClient(vx3Functions.getClientNeededPermission, conn, name, &value);
    return integerResult(state, static_cast<uint32_t>(value), err, nullptr);
}

int l_guiConnect(lua_State* state)
{
    const uint64_t connectTab = checkBits(state, 1);
    const char* texts[13];
    for (int i = 0; i < 13; ++i)
        texts[i] = checkText(state, 2 + i);
    uint64_t conn = 0;
    const unsigned err = callClient(vx3Functions.guiConnect, connectTab, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5],
                                                 texts[6], texts[7], texts[8], texts[9], texts[10], texts[11],
                                                 texts[12], &conn);
    return numberResult(state, wholeNumber(conn), err, nullptr);
}

int l_createBookmark(lua_State* state)
{
    const char* texts[14];
    for (int i = 0; i < 14; ++i)
        texts[i] = checkText(state, 1 + i);
    const unsigned result = callClient(vx3Functions.createBookmark, texts[0], texts[1], texts[2], texts[3], texts[4], texts[5],
                                                        texts[6], texts[7], texts[8], texts[9], texts[10], texts[11],
                                                        texts[12], texts[13]);
    pushCode(state, result);
    return 1;
}

// The bindings of the vx3 table, ended by a pair of nulls.
const luaL_Reg callbackList[] = {
    {"getClientLibVersion", l_getClientLibVersion},
    {"getClientLibVersionNumber", l_getClientLibVersionNumber},
    {"getErrorMessage", l_getErrorMessage},
    {"logMessage", l_logMessage},
    {"getPreProcessorInfoValueFloat", l_getPreProcessorInfoValueFloat},
    {"getPreProcessorConfigValue", l_getPreProcessorConfigValue},
    {"setPreProcessorConfigValue", l_setPreProcessorConfigValue},
    {"getEncodeConfigValue", l_getEncodeConfigValue},
    {"getPlaybackConfigValueAsFloat", l_getPlaybackConfigValueAsFloat},
    {"setPlaybackConfigValue", l_setPlaybackConfigValue},
    {"setClientVolumeModifier", l_setClientVolumeModifier},
    {"requestClientMove", l_requestClientMove},
    {"requestClientVariables", l_requestClientVariables},
    {"requestClientKickFromChannel", l_requestClientKickFromChannel},
    {"requestClientKickFromServer", l_requestClientKickFromServer},
    {"requestChannelDelete", l_requestChannelDelete},
    {"requestChannelMove", l_requestChannelMove},
    {"requestSendPrivateTextMsg", l_requestSendPrivateTextMsg},
    {"requestSendChannelTextMsg", l_requestSendChannelTextMsg},
    {"requestSendServerTextMsg", l_requestSendServerTextMsg},
    {"requestConnectionInfo", l_requestConnectionInfo},
    {"requestChannelSubscribe", l_requestChannelSubscribe},
    {"requestChannelUnsubscribe", l_requestChannelUnsubscribe},
    {"requestChannelSubscribeAll", l_requestChannelSubscribeAll},
    {"requestChannelUnsubscribeAll", l_requestChannelUnsubscribeAll},
    {"requestChannelDescription", l_requestChannelDescription},
    {"requestMuteClients", l_requestMuteClients},
    {"requestUnmuteClients", l_requestUnmuteClients},
    {"getClientID", l_getClientID},
    {"getClientSelfVariableAsInt", l_getClientSelfVariableAsInt},
    {"getClientSelfVariableAsString", l_getClientSelfVariableAsString},
    {"setClientSelfVariableAsInt", l_setClientSelfVariableAsInt},
    {"setClientSelfVariableAsString", l_setClientSelfVariableAsString},
    {"flushClientSelfUpdates", l_flushClientSelfUpdates},
    {"getClientVariableAsInt", l_getClientVariableAsInt},
    {"getClientVariableAsUInt64", l_getClientVariableAsUInt64},
    {"getClientVariableAsString", l_getClientVariableAsString},
    {"getClientList", l_getClientList},
    {"getChannelOfClient", l_getChannelOfClient},
    {"getConnectionStatus", l_getConnectionStatus},
    {"getConnectionVariableAsUInt64", l_getConnectionVariableAsUInt64},
    {"getConnectionVariableAsDouble", l_getConnectionVariableAsDouble},
    {"getConnectionVariableAsString", l_getConnectionVariableAsString},
    {"cleanUpConnectionInfo", l_cleanUpConnectionInfo},
    {"getChannelVariableAsInt", l_getChannelVariableAsInt},
    {"getChannelVariableAsString", l_getChannelVariableAsString},
    {"getChannelIDFromChannelNames", l_getChannelIDFromChannelNames},
    {"setChannelVariableAsInt", l_setChannelVariableAsInt},
    {"setChannelVariableAsString", l_setChannelVariableAsString},
    {"flushChannelUpdates", l_flushChannelUpdates},
    {"flushChannelCreation", l_flushChannelCreation},
    {"getChannelList", l_getChannelList},
    {"getChannelClientList", l_getChannelClientList},
    {"getParentChannelOfChannel", l_getParentChannelOfChannel},
    {"getServerConnectionHandlerList", l_getServerConnectionHandlerList},
    {"getServerVariableAsInt", l_getServerVariableAsInt},
    {"getServerVariableAsUInt64", l_getServerVariableAsUInt64},
    {"getServerVariableAsString", l_getServerVariableAsString},
    {"requestServerVariables", l_requestServerVariables},
    {"playWaveFile", l_playWaveFile},
    {"requestClientEditDescription", l_requestClientEditDescription},
    {"requestClientPoke", l_requestClientPoke},
    {"requestServerTemporaryPasswordAdd", l_requestServerTemporaryPasswordAdd},
    {"requestServerTemporaryPasswordDel", l_requestServerTemporaryPasswordDel},
    {"requestServerTemporaryPasswordList", l_requestServerTemporaryPasswordList},
    {"banclient", l_banclient},
    {"banclientdbid", l_banclientdbid},
    {"banadd", l_banadd},
    {"bandel", l_bandel},
    {"bandelall", l_bandelall},
    {"requestBanList", l_requestBanList},
    {"requestComplainAdd", l_requestComplainAdd},
    {"requestComplainDel", l_requestComplainDel},
    {"requestComplainDelAll", l_requestComplainDelAll},
    {"requestComplainList", l_requestComplainList},
    {"getAppPath", l_getAppPath},
    {"getResourcesPath", l_getResourcesPath},
    {"getConfigPath", l_getConfigPath},
    {"getPluginPath", l_getPluginPath},
    {"getCurrentServerConnectionHandlerID", l_getCurrentServerConnectionHandlerID},
    {"printMessage", l_printMessage},
    {"printMessageToCurrentTab", l_printMessageToCurrentTab},
    {"urlsToBB", l_urlsToBB},
    {"sendPluginCommand", l_sendPluginCommand},
    {"getDirectories", l_getDirectories},
    {"setPluginMenuEnabled", l_setPluginMenuEnabled},
    {"getClientDisplayName", l_getClientDisplayName},
    {"getPermissionIDByName", l_getPermissionIDByName},
    {"getClientNeededPermission", l_getClientNeededPermission},
    {"guiConnect", l_guiConnect},
    {"createBookmark", l_createBookmark},
    {nullptr, nullptr},
};

static_assert(sizeof(callbackList) / sizeof(callbackList[0]) == 92, "91 bindings and the end marker");

} // namespace

void registerVX3Lib(lua_State* state)
{
    const int top = lua_gettop(state);
    luaL_openlib(state, "vx3", callbackList, 0);
    lua_settop(state, top);
}
