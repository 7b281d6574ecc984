#ifndef QUORVEL_QUORVELSTORE_H
#define QUORVEL_QUORVELSTORE_H

#include <cstddef>
#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"
#include "aError.h"

enum store_item_t {
    STORE_ITEM_FILE = 0,    // the entry is not a directory
    STORE_ITEM_DEVICE = 1,  // a device directory
    STORE_ITEM_NONE = 2,    // not filled in
};

// One entry of the local store, normally a device's directory
// (basePath/SSSSSSSS) with its attribute file. Copied by value.
class QuorvelStoreItem {
public:
    std::string basePath;  // the storage directory
    std::string name;      // the entry's own name in it
    store_item_t kind = STORE_ITEM_NONE;
    KeyValueStore attributes;

    QuorvelStoreItem() = default;
    // Loads the attributes from basePath/name/.settings, creating the file
    // (with its time stamps) when it is missing.
    QuorvelStoreItem(const std::string& basePath, const std::string& name, store_item_t kind);

    bool IsValid() const { return !basePath.empty() && !name.empty(); }
    std::string Path() const;

    // Replaces basePath/name/fileName as a whole (see ReplaceFile): a crash
    // or a full disk leaves the old file. aErrNotFound for a null pointer or
    // a file that cannot be opened for writing.
    aErr WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length);
    // Throws std::runtime_error("Invalid bird " + path) when the file is no
    // image, and the loader's error when it cannot be loaded.
    BirdFile ReadBirdFile(const std::string& fileName) const;
};

// The local store: one directory per device below the storage directory.
// Throws std::runtime_error only when a directory cannot be had.
class QuorvelStore {
public:
    static constexpr unsigned DIRECTORY_MODE = 0755;

    explicit QuorvelStore(const std::string& basePath);

    const std::string& BasePath() const { return basePath_; }

    QuorvelStoreItem AddDevice(uint32_t serialNumber);
    QuorvelStoreItem AddDevice(const std::string& name);
    // Finds the entry whose own name is exactly `name` ("%08X" for a serial).
    // Leaves `item` (may be null) untouched when there is none.
    bool FindDevice(uint32_t serialNumber, QuorvelStoreItem* item);
    bool FindDevice(const std::string& name, QuorvelStoreItem* item);

    static std::string DeviceName(uint32_t serialNumber);

private:
    static void ensureDirectory(const std::string& path);

    std::string basePath_;
};

// What a directory listing carries while looking for a device.
struct result_t {
    bool found = false;
    std::string name;
    QuorvelStoreItem* item = nullptr;
};

#endif
