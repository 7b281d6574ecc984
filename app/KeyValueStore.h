#ifndef QUORVEL_KEYVALUESTORE_H
#define QUORVEL_KEYVALUESTORE_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>

// A small set of named text attributes, kept in a file of "key=value" lines.
// Every device directory of the store has one (".settings"). Load merges
// into what is held; Save writes every entry in key order.
class KeyValueStore {
public:
    static const char* const DEFAULT_FILENAME;
    static const char* const KEY_CREATED_TIME;
    static const char* const KEY_UPDATED_TIME;
    // Longest line read, line end included; reading stops at a longer one.
    static constexpr size_t MAX_LINE_LENGTH = 2047;
    // Lines shorter than this (line end included) are ignored.
    static constexpr size_t MIN_LINE_LENGTH = 3;

    explicit KeyValueStore(const char* path = nullptr);

    // Neither reports failure: both only log. Load creates a missing file
    // holding the creation and update times.
    void Load(const char* path);
    void Save(const char* path = nullptr);

    // Null when the key is absent; never creates an entry.
    const char* operator[](const std::string& key) const;
    std::string GetString(const std::string& key, const char* defaultValue = nullptr) const;

    // An absent key is created with an empty value (not marking the store
    // dirty); an empty value gives the default.
    int GetInt(const std::string& key, int defaultValue);
    uint32_t GetHex(const std::string& key, uint32_t defaultValue);
    bool GetBOOL(const std::string& key, bool defaultValue);
    double GetDouble(const std::string& key, double defaultValue);

    bool Add(const std::string& key, int value);
    bool Add(const std::string& key, double value);
    bool Add(const std::string& key, const char* value);
    bool Add(const std::string& key, const std::string& value);
    bool AddHex(const std::string& key, uint32_t value);
    // Copies every entry of `other` (marks dirty whenever `other` has any).
    bool Add(const KeyValueStore& other);
    bool Clear();

    bool IsDirty() const { return dirty; }
    const std::string& Path() const { return path; }
    const std::map<std::string, std::string>& Entries() const { return entries; }

    // The local time in ctime's 24-character form, without the line end.
    static std::string TimeText();

private:
    std::string& lookup(const std::string& key);
    void readLines(FILE* file);

    std::string path;
    std::map<std::string, std::string> entries;
    bool dirty = false;
};

#endif
