#ifndef TEXTCHUNKLOADERS_H
#define TEXTCHUNKLOADERS_H

// Lua 5.2 runs precompiled chunks without checking them, so a crafted one can
// crash the interpreter and with it the chat client. Scripts are untrusted, so
// the plug-in's interpreter accepts source text only.

struct lua_State;

// Mode that every chunk of the plug-in's interpreter is loaded with.
extern const char* const TextChunkMode;

// Replaces the globals load, loadfile, dofile and loadstring (when the
// library defines it) with versions that refuse precompiled chunks, and the
// Lua file searcher of package.searchers with one that loads modules the same
// way. Everything else about them stays as the standard library has it: the
// arguments, results and messages. A mode argument that admits binary chunks
// ("b", "bt") admits source text instead; one that names neither kind still
// loads nothing.
// Call after the standard libraries are open; raises a Lua error when out of
// memory.
void installTextChunkLoaders(lua_State* state);

#endif // TEXTCHUNKLOADERS_H
