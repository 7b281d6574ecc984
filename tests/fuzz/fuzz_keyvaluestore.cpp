// libFuzzer target for the attribute file parser: any file must load, and
// what a store saves must read back as the same entries (except those the
// written form cannot carry: keys beginning with "#", the empty key with an
// empty value, and lines grown past the longest line by an added line end).

#include <cstdint>
#include <map>
#include <string>

#include "FuzzFile.h"
#include "KeyValueStore.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const FuzzFile input("input.settings");
    static const FuzzFile output("output.settings");
    input.write(data, size);

    KeyValueStore store(input.path().c_str());
    if (store.IsDirty())
        __builtin_trap();

    std::map<std::string, std::string> expected;
    bool overlong = false;
    for (const auto& entry : store.Entries()) {
        if (entry.first.size() + entry.second.size() + 2 > KeyValueStore::MAX_LINE_LENGTH)
            overlong = true;
        if ((!entry.first.empty() && entry.first[0] == '#') || (entry.first.empty() && entry.second.empty()))
            continue;
        expected.insert(entry);
    }

    store.Save(output.path().c_str());
    KeyValueStore reread(output.path().c_str());
    if (!overlong && reread.Entries() != expected)
        __builtin_trap();

    for (const auto& entry : expected) {
        store.GetInt(entry.first, 1);
        store.GetHex(entry.first, 2);
        store.GetBOOL(entry.first, true);
        store.GetDouble(entry.first, 3.0);
        store.GetString(entry.first, nullptr);
    }
    return 0;
}
