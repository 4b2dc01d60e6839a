#ifndef STANDINCLIENT_H
#define STANDINCLIENT_H

// A stand-in for the chat client: loads libscriptling with dlopen, looks up
// its exports with dlsym and offers the plug-in a function table of its own.
// Slots the plug-in may call record every call with its arguments at their
// declared widths; all other slots are traps. Texts and lists handed to the
// plug-in come from a tracking allocator, so every release through
// freeMemory is checked.

#include <cstdint>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

using ClientId = uint16_t;

enum { kClientSlotCount = 209 };

// The client's function table: 209 pointer slots at fixed positions.
struct ClientFunctionTable {
    void (*slot[kClientSlotCount])();
};

// What a recording slot answers: its error code, the value written through a
// scalar out-parameter, the text of an out text or buffer, the elements of an
// out list (the terminating 0 is added).
struct SlotAnswer {
    unsigned err = 0;
    uint64_t number = 0;
    double real = 0;
    std::string text;
    std::vector<uint64_t> list;
};

class StandinClient {
public:
    static StandinClient& get();

    // dlopen the plug-in and resolve every export named in `exports`.
    bool load(const std::vector<std::string>& exports, std::string* error);
    void* symbol(const std::string& name) const;
    template <typename F>
    F function(const std::string& name) const
    {
        return reinterpret_cast<F>(symbol(name));
    }

    const ClientFunctionTable& table() const { return m_table; }
    // Hands the table to the plug-in (vx3plugin_setFunctionPointers).
    void installTable();

    // Forgets calls, traps, answers, actions and releases; keeps live allocations.
    void clearRecords();

    std::vector<std::string> calls;      // "182 getPluginPath(buffer, size:128)"
    std::vector<std::string> unexpected; // "unexpected slot N"
    std::map<int, SlotAnswer> answers;
    // Run by a recording slot after it has recorded its call and filled its
    // out-parameters, before it returns: what the client does meanwhile
    // (raise an event, run a nested event loop, restart the plug-in).
    std::map<int, std::function<void()>> actions;

    // Tracking allocator.
    char* allocateText(const std::string& text);
    template <typename T>
    T* allocateList(const std::vector<uint64_t>& elements);
    // Releases a block; a block the client did not hand out, or one released
    // before, is recorded in badReleases and left alone.
    void release(void* block);
    size_t outstanding() const { return m_live.size(); }
    std::vector<std::string> badReleases;
    int releases = 0;

private:
    StandinClient();
    void* allocate(size_t size);

    ClientFunctionTable m_table;
    void* m_library = nullptr;
    std::map<std::string, void*> m_symbols;
    std::set<void*> m_live;
};

template <typename T>
T* StandinClient::allocateList(const std::vector<uint64_t>& elements)
{
    T* list = static_cast<T*>(allocate((elements.size() + 1) * sizeof(T)));
    for (size_t i = 0; i < elements.size(); ++i)
        list[i] = static_cast<T>(elements[i]);
    list[elements.size()] = 0;
    return list;
}

// Slot names of the function table, for messages ("" for slots never called).
const char* clientSlotName(int slot);

#endif // STANDINCLIENT_H
