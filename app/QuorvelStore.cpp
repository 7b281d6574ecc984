#include "QuorvelStore.h"

#include <cstdio>
#include <stdexcept>

#include "Log.h"
#include "ReplaceFile.h"
#include "aDirectory.h"
#include "aFile.h"
#include "path.h"

namespace {

std::string _attributes_path(const std::string& basePath, const std::string& name)
{
    return BuildPath(basePath.c_str(), name.c_str(), KeyValueStore::DEFAULT_FILENAME, nullptr);
}

// Only the entry's own name counts: a storage path that happens to contain
// the digits, or a neighbour such as "1A2B3C4D.old", is not the device.
bool _find_item(const aDirectoryListData* data, void* context)
{
    result_t* result = static_cast<result_t*>(context);
    Log::log(DEBUG_Quorvel, "%s([%s], %d, %d) searching for %s\n", "_find_item", data->path,
             int(data->isDirectory), int(data->size), result->name.c_str());
    std::string path = data->path;
    size_t slash = path.find_last_of('/');
    std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
    if (name != result->name)
        return true;
    result->found = true;
    if (result->item) {
        std::string base = slash == std::string::npos ? std::string() : path.substr(0, slash);
        *result->item = QuorvelStoreItem(base, name, data->isDirectory ? STORE_ITEM_DEVICE : STORE_ITEM_FILE);
    }
    return false;
}

}  // namespace

QuorvelStoreItem::QuorvelStoreItem(const std::string& base, const std::string& entryName, store_item_t itemKind)
    : basePath(base), name(entryName), kind(itemKind)
{
    attributes.Load(_attributes_path(basePath, name).c_str());
}

std::string QuorvelStoreItem::Path() const
{
    return BuildPath(basePath.c_str(), name.c_str(), nullptr);
}

aErr QuorvelStoreItem::WriteFile(const std::string& fileName, const uint8_t* bytes, size_t length)
{
    if (!bytes)
        return aErrNotFound;
    std::string target = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
    return ReplaceFile(target, bytes, length, nullptr);
}

BirdFile QuorvelStoreItem::ReadBirdFile(const std::string& fileName) const
{
    std::string target = BuildPath(basePath.c_str(), name.c_str(), fileName.c_str(), nullptr);
    if (!BirdFile::VerifyFile(target))
        throw std::runtime_error("Invalid bird " + target);
    return BirdFile(target);
}

QuorvelStore::QuorvelStore(const std::string& basePath) : basePath_(basePath)
{
    ensureDirectory(basePath_);
}

std::string QuorvelStore::DeviceName(uint32_t serialNumber)
{
    char text[16];
    snprintf(text, sizeof text, "%08X", serialNumber);
    return text;
}

void QuorvelStore::ensureDirectory(const std::string& path)
{
    if (aDirectory_Exists(path.c_str())) {
        Log::log(DEBUG_Quorvel, "QuorvelStore: [%s] already exists.\n", path.c_str());
        return;
    }
    if (aFile_Exists(path.c_str()))
        throw std::runtime_error("QuorvelStore: " + path + " exists and is a file");
    aErr err = aDirectory_Ensure(path.c_str(), DIRECTORY_MODE);
    if (err != aErrNone)
        throw std::runtime_error("QuorvelStore: Could not create directory " + path + " error " +
                                 std::to_string(int(err)));
    Log::log(DEBUG_Quorvel, "QuorvelStore: Created directory [%s].\n", path.c_str());
}

QuorvelStoreItem QuorvelStore::AddDevice(uint32_t serialNumber)
{
    return AddDevice(DeviceName(serialNumber));
}

QuorvelStoreItem QuorvelStore::AddDevice(const std::string& name)
{
    ensureDirectory(BuildPath(basePath_.c_str(), name.c_str(), nullptr));
    return QuorvelStoreItem(basePath_, name, STORE_ITEM_DEVICE);
}

bool QuorvelStore::FindDevice(uint32_t serialNumber, QuorvelStoreItem* item)
{
    return FindDevice(DeviceName(serialNumber), item);
}

bool QuorvelStore::FindDevice(const std::string& name, QuorvelStoreItem* item)
{
    result_t result;
    result.name = name;
    result.item = item;
    aDirectory_List(basePath_.c_str(), _find_item, &result);
    Log::log(DEBUG_Quorvel, "QuorvelStore: FindDevice %s %s.\n", result.found ? "Found" : "Not Found",
             name.c_str());
    return result.found;
}
