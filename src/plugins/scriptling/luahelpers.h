#ifndef LUAHELPERS_H
#define LUAHELPERS_H

// The plug-in's single Lua interpreter and the dispatcher through which the
// plug-in calls Lua functions.

struct lua_State;
struct PluginMenuItem;

// The interpreter; null while none is open.
extern lua_State* L;

// Size of the error buffer that callers of callLuaFunction may pass.
enum { LuaErrorBufferSize = 512 };

// Upper bound of the memory the interpreter may hold; beyond it allocations
// fail with a Lua memory error instead of exhausting the client's memory.
enum : unsigned long long { LuaMemoryLimit = 512ull * 1024 * 1024 };

// Longest time that the scripts may run in one call from the plug-in into Lua
// (an event handler, a script load, a console "run", the menu building), calls
// nested in it included; time spent inside client functions does not count
// (see scriptclock.h). A script still running at the limit gets a Lua error,
// reported like any other failed call, so that a looping script cannot hang
// the chat client. The clock is read by a count hook and, for library
// functions that do much work per instruction, by the allocator. Not
// interrupted: a call blocked inside a library function that does not
// allocate (io.read, a long string search), a finalizer (__gc, which Lua runs
// without hooks) and a script that replaces the hook with debug.sethook.
enum { LuaDefaultCallTimeLimitMs = 10000 };
void setLuaCallTimeLimit(long milliseconds);

// Calls the Lua function `name` (a global, or "module.function" with the
// function looked up in the global table `module`). `signature` holds one
// letter per argument, optionally followed by '>' and one letter per result:
//   u  unsigned 64-bit id (exact in Lua up to 2^53)
//   i  int                      a  client id, passed widened to int
//   I  unsigned int             d  double
//   s  zero-terminated text (null gives nil)
// Result letters: s (const char**), i (int*), d (double*); the pointers follow
// the argument values. Returns 0 when the function ran and every result had
// the expected type, 1 otherwise; failures are reported on standard error and,
// when errorBuffer is not null, in it (LuaErrorBufferSize bytes).
int callLuaFunction(char* errorBuffer, const char* name, const char* signature, ...);

// Writes a formatted message to standard error and, when errorBuffer is not
// null, into it (at most LuaErrorBufferSize bytes including the terminator).
void l_error(char* errorBuffer, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Creates the interpreter, sets the module search path to the plug-in's
// script folder, registers the vx3 table and runs the start-up script.
// Returns 0 on success, 1 on failure. An interpreter that is still open is
// closed first.
//
// initLua and closeLua called while Lua code runs (from a client function
// that a script called, or from a finalizer) wait until the outermost call
// from the plug-in into Lua has returned, and then run in the order asked
// (a close drops a start asked for before it). Meanwhile the plug-in counts
// as being restarted: calls into Lua find no interpreter. A waiting initLua
// returns 0.
int initLua();

// Loads and runs a Lua script file in the interpreter; precompiled chunks are
// refused (see textchunkloaders.h). Returns 0 on success.
int loadLuaScript(const char* path);

// Closes the interpreter, if any.
void closeLua();

// Frees a block (malloc) that the plug-in handed to the client, once no Lua
// code runs: a client function that a script called may still hold it.
void releaseWhenLuaIsIdle(void* block);

// Builds the client's menu records from the table that the Lua function
// createMenus returns: element 2 is the menu icon, elements 3 and later are
// entries {type, menuID, text, icon}. Stores a null-terminated array of
// records in *menuItems and the icon text in *menuIcon (both allocated with
// malloc); leaves them untouched when there are no menus.
void createMenus(PluginMenuItem*** menuItems, char** menuIcon);

#endif // LUAHELPERS_H
