#include "pluginhelpercall.h"

extern "C" {
#include <lauxlib.h>
}

namespace {

// The helper call that the plug-in has started and whose helper has not yet
// taken its data. Lua enters the helper right away, but a call hook runs
// first and may make the client raise an event, so calls nest: each one puts
// back what it found.
struct Handover {
    lua_CFunction helper;
    void* data;
};

Handover pending{nullptr, nullptr};

} // namespace

int callPluginHelper(lua_State* state, lua_CFunction helper, void* data, int results)
{
    const Handover outer = pending;
    pending = Handover{helper, data};
    lua_pushcfunction(state, helper);
    const int status = lua_pcall(state, 0, results, 0);
    // Also when the call failed before the helper ran: nothing may be left
    // for a later call to take.
    pending = outer;
    return status;
}

void* takePluginHelperData(lua_State* state, lua_CFunction helper)
{
    if (pending.helper != helper || !helper)
        luaL_error(state, "internal function of the plug-in; it cannot be called from a script");
    void* data = pending.data;
    pending = Handover{nullptr, nullptr};
    return data;
}
