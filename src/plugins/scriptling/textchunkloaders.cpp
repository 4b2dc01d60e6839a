#include "textchunkloaders.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
#include <lualib.h>
}

#include <cstring>

const char* const TextChunkMode = "t";

namespace {

// The mode a chunk is loaded with when a script asked for `requested`: any
// request that admits a kind of chunk admits source text only. A mode that
// admits neither kind is kept, so that it still refuses every chunk.
const char* textOnly(const char* requested)
{
    if (!requested || std::strchr(requested, 'b') || std::strchr(requested, 't'))
        return TextChunkMode;
    return requested;
}

// Completes load and loadfile: the loaded function, given `envIndex` (when
// not 0) as its environment, or nil and the error message.
int finishLoad(lua_State* state, int status, int envIndex)
{
    if (status != LUA_OK) {
        lua_pushnil(state);
        lua_insert(state, -2);
        return 2;
    }
    if (envIndex != 0) {
        lua_pushvalue(state, envIndex);
        // A chunk without upvalues has no environment to set.
        if (!lua_setupvalue(state, -2, 1))
            lua_pop(state, 1);
    }
    return 1;
}

// Stack slot in which the reader of load keeps the piece it last returned,
// so that the piece stays alive while the parser reads it.
const int kReaderPieceSlot = 5;

// Reader of load when its first argument is a function: calls it for the
// next piece; nil, nothing or an empty string ends the chunk.
const char* readPiece(lua_State* state, void*, size_t* size)
{
    luaL_checkstack(state, 2, "too many nested functions");
    lua_pushvalue(state, 1);
    lua_call(state, 0, 1);
    if (lua_isnil(state, -1)) {
        lua_pop(state, 1);
        *size = 0;
        return nullptr;
    }
    if (!lua_isstring(state, -1))
        luaL_error(state, "reader function must return a string");
    lua_replace(state, kReaderPieceSlot);
    return lua_tolstring(state, kReaderPieceSlot, size);
}

// load (chunk [, chunkname [, mode [, env]]]), also loadstring.
int textLoad(lua_State* state)
{
    const int envIndex = !lua_isnone(state, 4) ? 4 : 0;
    size_t length = 0;
    const char* text = lua_tolstring(state, 1, &length);
    const char* mode = textOnly(luaL_optstring(state, 3, "bt"));
    int status;
    if (text) {
        const char* chunkName = luaL_optstring(state, 2, text);
        status = luaL_loadbufferx(state, text, length, chunkName, mode);
    } else {
        const char* chunkName = luaL_optstring(state, 2, "=(load)");
        luaL_checktype(state, 1, LUA_TFUNCTION);
        lua_settop(state, kReaderPieceSlot);
        status = lua_load(state, readPiece, nullptr, chunkName, mode);
    }
    return finishLoad(state, status, envIndex);
}

// loadfile ([filename [, mode [, env]]])
int textLoadFile(lua_State* state)
{
    const char* fileName = luaL_optstring(state, 1, nullptr);
    const char* mode = textOnly(luaL_optstring(state, 2, nullptr));
    const int envIndex = !lua_isnone(state, 3) ? 3 : 0;
    const int status = luaL_loadfilex(state, fileName, mode);
    return finishLoad(state, status, envIndex);
}

// Results of the chunk that dofile ran: everything above the file name.
int doFileResults(lua_State* state)
{
    return lua_gettop(state) - 1;
}

// dofile ([filename])
int textDoFile(lua_State* state)
{
    const char* fileName = luaL_optstring(state, 1, nullptr);
    lua_settop(state, 1);
    if (luaL_loadfilex(state, fileName, TextChunkMode) != LUA_OK)
        return lua_error(state);
    // With a continuation, the chunk may yield like one that dofile runs.
    lua_callk(state, 0, LUA_MULTRET, 0, doFileResults);
    return doFileResults(state);
}

// The searcher of Lua modules along package.path. Upvalues: the package
// table and the package library's own searchpath.
int searchLuaModule(lua_State* state)
{
    luaL_checkstring(state, 1);
    lua_getfield(state, lua_upvalueindex(1), "path");
    const char* path = lua_tostring(state, -1);
    if (!path)
        return luaL_error(state, "'package.path' must be a string");

    lua_pushvalue(state, lua_upvalueindex(2));
    lua_pushvalue(state, 1);
    lua_pushvalue(state, -3);
    lua_pushstring(state, ".");
    lua_pushstring(state, LUA_DIRSEP);
    lua_call(state, 4, 2);
    if (lua_isnil(state, -2))
        return 1; // the list of the files tried
    lua_pop(state, 1);
    const char* fileName = lua_tostring(state, -1);
    if (luaL_loadfilex(state, fileName, TextChunkMode) != LUA_OK)
        return luaL_error(state, "error loading module '%s' from file '%s':\n\t%s", lua_tostring(state, 1), fileName,
                          lua_tostring(state, -1));
    lua_pushvalue(state, -2); // the file name, the module's second argument
    return 2;
}

void replaceGlobal(lua_State* state, const char* name, lua_CFunction function)
{
    lua_pushcfunction(state, function);
    lua_setglobal(state, name);
}

} // namespace

void installTextChunkLoaders(lua_State* state)
{
    replaceGlobal(state, "load", textLoad);
    replaceGlobal(state, "loadfile", textLoadFile);
    replaceGlobal(state, "dofile", textDoFile);
    // loadstring exists only where the library keeps the 5.1 names.
    lua_getglobal(state, "loadstring");
    const bool hasLoadString = !lua_isnil(state, -1);
    lua_pop(state, 1);
    if (hasLoadString)
        replaceGlobal(state, "loadstring", textLoad);

    const int top = lua_gettop(state);
    lua_getglobal(state, "package");
    if (lua_type(state, -1) == LUA_TTABLE) {
        lua_getfield(state, -1, "searchers");
        lua_getfield(state, -2, "searchpath");
        if (lua_type(state, -2) == LUA_TTABLE && lua_type(state, -1) == LUA_TFUNCTION) {
            // package.loaders, where it exists, is this same table.
            lua_pushvalue(state, -3);
            lua_insert(state, -2);
            lua_pushcclosure(state, searchLuaModule, 2);
            lua_rawseti(state, -2, 2);
        }
    }
    lua_settop(state, top);
}
