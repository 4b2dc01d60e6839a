#include "vx3lualib.h"

extern "C" {
#include <lauxlib.h>
#include <lua.h>
}

namespace {

// The bindings of the vx3 table, ended by a pair of nulls.
const luaL_Reg callbackList[] = {
    {nullptr, nullptr},
};

} // namespace

void registerVX3Lib(lua_State* state)
{
    const int top = lua_gettop(state);
    luaL_openlib(state, "vx3", callbackList, 0);
    lua_settop(state, top);
}
