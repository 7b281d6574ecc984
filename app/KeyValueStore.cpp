#include "KeyValueStore.h"

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "Log.h"
#include "ReplaceFile.h"

const char* const KeyValueStore::DEFAULT_FILENAME = ".settings";
const char* const KeyValueStore::KEY_CREATED_TIME = "CREATED_TIME";
const char* const KeyValueStore::KEY_UPDATED_TIME = "UPDATED_TIME";

namespace {

bool _is_space(char c)
{
    return isspace(static_cast<unsigned char>(c)) != 0;
}

std::string _trim_right(const std::string& text)
{
    size_t end = text.size();
    while (end > 0 && _is_space(text[end - 1]))
        --end;
    return text.substr(0, end);
}

std::string _trim(const std::string& text)
{
    size_t start = 0;
    while (start < text.size() && _is_space(text[start]))
        ++start;
    return _trim_right(text.substr(start));
}

// One line in read form; false when the line holds no entry. A line without
// an equals sign is ignored rather than turned into a key nobody wrote.
bool _parse_line(const std::string& line, std::string* key, std::string* value)
{
    if (line.size() < KeyValueStore::MIN_LINE_LENGTH || line[0] == '#')
        return false;
    size_t start = 0;
    while (start < line.size() && _is_space(line[start]))
        ++start;
    size_t equals = line.find('=', start);
    if (equals == std::string::npos)
        return false;
    *key = _trim_right(line.substr(start, equals - start));
    *value = _trim(line.substr(equals + 1));
    return true;
}

}  // namespace

KeyValueStore::KeyValueStore(const char* filePath)
{
    if (filePath)
        Load(filePath);
}

std::string KeyValueStore::TimeText()
{
    time_t now = time(nullptr);
    char text[32] = {};
    if (!ctime_r(&now, text))
        return std::string();
    text[strcspn(text, "\n")] = '\0';
    return text;
}

void KeyValueStore::Load(const char* filePath)
{
    if (!filePath)
        return;
    FILE* file = fopen(filePath, "r");
    if (!file) {
        std::string now = TimeText();
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file: '%s' (%d)\n", filePath, errno);
        Add(KEY_CREATED_TIME, now);
        Save(filePath);
    }
    path = filePath;
    dirty = false;
    if (!file)
        file = fopen(filePath, "r");
    if (!file)
        return;
    readLines(file);
    fclose(file);
}

void KeyValueStore::readLines(FILE* file)
{
    char* line = nullptr;
    size_t capacity = 0;
    ssize_t length;
    while ((length = getline(&line, &capacity, file)) > 0) {
        if (size_t(length) > MAX_LINE_LENGTH)
            break;
        std::string key, value;
        if (_parse_line(std::string(line, size_t(length)), &key, &value))
            entries[key] = value;
    }
    free(line);
}

void KeyValueStore::Save(const char* filePath)
{
    if (filePath) {
        path = filePath;
    } else if (path.empty()) {
        path = DEFAULT_FILENAME;
        Log::log(DEBUG_Attributes, "Attibutes: no filename given for attributes, using default:[%s]\n",
                 path.c_str());
    }
    if (dirty)
        Add(KEY_UPDATED_TIME, TimeText());

    std::string text;
    for (const auto& entry : entries)
        text += entry.first + "=" + entry.second + "\n";
    int error = 0;
    aErr err = ReplaceFile(path, text.data(), text.size(), &error);
    if (err == aErrNotFound) {
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot open attributes file for writting: '%s' (%d)\n",
                 path.c_str(), error);
        return;
    }
    if (err != aErrNone) {
        // The old file is still whole; the store stays dirty for a later try.
        Log::log(DEBUG_Attributes, "Attibutes: Error - cannot write attributes file: '%s' (%d)\n",
                 path.c_str(), error);
        return;
    }
    dirty = false;
}

const char* KeyValueStore::operator[](const std::string& key) const
{
    auto found = entries.find(key);
    return found == entries.end() ? nullptr : found->second.c_str();
}

std::string KeyValueStore::GetString(const std::string& key, const char* defaultValue) const
{
    auto found = entries.find(key);
    if (found != entries.end())
        return found->second;
    return defaultValue ? defaultValue : "";
}

std::string& KeyValueStore::lookup(const std::string& key)
{
    return entries[key];
}

int KeyValueStore::GetInt(const std::string& key, int defaultValue)
{
    const std::string& value = lookup(key);
    // strtol, not atoi: the same digits, but no undefined result on overflow.
    return value.empty() ? defaultValue : int(strtol(value.c_str(), nullptr, 10));
}

uint32_t KeyValueStore::GetHex(const std::string& key, uint32_t defaultValue)
{
    const std::string& value = lookup(key);
    return value.empty() ? defaultValue : uint32_t(strtol(value.c_str(), nullptr, 16));
}

bool KeyValueStore::GetBOOL(const std::string& key, bool defaultValue)
{
    const std::string& value = lookup(key);
    return value.empty() ? defaultValue : strtol(value.c_str(), nullptr, 10) != 0;
}

double KeyValueStore::GetDouble(const std::string& key, double defaultValue)
{
    const std::string& value = lookup(key);
    return value.empty() ? defaultValue : strtod(value.c_str(), nullptr);
}

bool KeyValueStore::Add(const std::string& key, const std::string& value)
{
    std::string& current = entries[key];
    if (current != value) {
        current = value;
        dirty = true;
    }
    return true;
}

bool KeyValueStore::Add(const std::string& key, const char* value)
{
    return Add(key, std::string(value ? value : ""));
}

bool KeyValueStore::Add(const std::string& key, int value)
{
    return Add(key, std::to_string(value));
}

bool KeyValueStore::Add(const std::string& key, double value)
{
    char text[512];  // room for "%f" of the largest double
    snprintf(text, sizeof text, "%f", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::AddHex(const std::string& key, uint32_t value)
{
    char text[16];
    snprintf(text, sizeof text, "0x%08X", value);
    return Add(key, std::string(text));
}

bool KeyValueStore::Add(const KeyValueStore& other)
{
    for (const auto& entry : other.entries)
        entries[entry.first] = entry.second;
    if (!other.entries.empty())
        dirty = true;
    return true;
}

bool KeyValueStore::Clear()
{
    entries.clear();
    dirty = true;
    return true;
}
