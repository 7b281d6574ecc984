#include "UpdateOperations.h"

#include <chrono>
#include <thread>

#include "base64_encode.h"

namespace updateserver {

namespace {

HttpReply _error(int status, const std::string& why, std::string& note)
{
    note = why;
    return {status, "error: " + why + "\n"};
}

HttpReply _lookup_error(Lookup lookup, const std::string& why, std::string& note)
{
    return _error(lookup == Lookup::Broken ? 500 : 404, why, note);
}

std::string _param(const HttpRequest& request, const char* key)
{
    auto it = request.query.find(key);
    return it == request.query.end() ? "" : it->second;
}

}  // namespace

HttpReply UpdateOperations::Answer(const HttpRequest& request, std::string& operation, std::string& note) const
{
    if (request.method != "GET")
        return _error(405, "only GET is served", note);
    if (request.path != SERVER_PATH)
        return _error(404, "no such path (the server answers " + std::string(SERVER_PATH) + ")", note);
    operation = _param(request, "op");
    if (int delay = faults_.DelayFor(operation))
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    auto forced = faults_.status.find(operation);
    if (forced != faults_.status.end())
        return _error(forced->second, "forced status " + std::to_string(forced->second), note);

    if (operation == "hi")
        return Hi(note);
    if (operation == "qu")
        return Query(request, note);
    if (operation == "builds")
        return BuildList(request, note);
    if (operation == "bird")
        return Bird(request, note);
    if (operation == "fix")
        return Fix(request, note);
    return _error(400, "unknown operation", note);
}

HttpReply UpdateOperations::Ok(std::initializer_list<std::string> lines) const
{
    std::string body = std::string(faults_.okay ? "okay" : "ok") + LineEnd();
    for (const auto& line : lines)
        body += line + LineEnd();
    return {200, body};
}

bool UpdateOperations::Device(const HttpRequest& request, uint32_t& serial, HttpReply& error,
                              std::string& note) const
{
    if (!ParseHexWord(_param(request, "sn"), serial)) {
        error = _error(400, "sn must be 1 to 8 hexadecimal digits", note);
        return false;
    }
    if (!tree_.HasDevice(serial)) {
        error = _error(404, "unknown device " + HexWord(serial), note);
        return false;
    }
    return true;
}

HttpReply UpdateOperations::Hi(std::string& note) const
{
    note = "hello";
    return Ok({});
}

HttpReply UpdateOperations::Query(const HttpRequest& request, std::string& note) const
{
    uint32_t serial, build;
    HttpReply error;
    std::string why;
    if (!Device(request, serial, error, note))
        return error;
    Lookup lookup = tree_.CurrentBuild(serial, build, why);
    if (lookup != Lookup::Found)
        return _lookup_error(lookup, why, note);
    std::string firmware = tree_.FirmwareId(serial);
    note = HexWord(serial) + " current " + std::to_string(build) + " " + firmware;
    return Ok({std::to_string(build), firmware});
}

HttpReply UpdateOperations::BuildList(const HttpRequest& request, std::string& note) const
{
    uint32_t serial;
    HttpReply error;
    if (!Device(request, serial, error, note))
        return error;
    HttpReply reply = Ok({});
    std::vector<uint32_t> builds = tree_.Builds(serial);
    for (uint32_t build : builds)
        reply.body += std::to_string(build) + ";" + tree_.VersionText(serial, build) + LineEnd();
    note = HexWord(serial) + " " + std::to_string(builds.size()) + " builds";
    return reply;
}

HttpReply UpdateOperations::Bird(const HttpRequest& request, std::string& note) const
{
    uint32_t serial, build;
    HttpReply error;
    std::string why, image;
    if (!Device(request, serial, error, note))
        return error;
    if (!ParseBuild(_param(request, "bld"), build))
        return _error(400, "bld must be a decimal build number", note);
    if (build == 0) {
        Lookup lookup = tree_.CurrentBuild(serial, build, why);
        if (lookup != Lookup::Found)
            return _lookup_error(lookup, why, note);
    }
    if (!tree_.ReadImage(serial, build, image))
        return _error(404, "no image of build " + std::to_string(build) + " for device " + HexWord(serial), note);
    std::string text = base64_encode(image);
    if (faults_.badBase64 && !text.empty())
        text.pop_back();
    note = HexWord(serial) + " build " + std::to_string(build) + " " + std::to_string(image.size()) + " bytes";
    return Ok({text});
}

HttpReply UpdateOperations::Fix(const HttpRequest& request, std::string& note) const
{
    FingerprintWords fingerprint;
    uint32_t serial, build;
    std::string why;
    if (!ParseFingerprint(_param(request, "fp"), fingerprint))
        return _error(400, "fp must be four hexadecimal words separated by spaces", note);
    Lookup lookup = tree_.FindRecovery(fingerprint, serial, build, why);
    if (lookup != Lookup::Found)
        return _lookup_error(lookup, why, note);
    note = "recover as " + HexWord(serial) + " build " + std::to_string(build);
    return Ok({HexWord(serial), std::to_string(build)});
}

}  // namespace updateserver
