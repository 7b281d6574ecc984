#ifndef UPDATESERVER_FIRMWARE_TREE_H
#define UPDATESERVER_FIRMWARE_TREE_H

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace updateserver {

typedef std::array<uint32_t, 4> FingerprintWords;

// Outcome of a look-up: Broken means the tree itself is wrong (a file that
// does not hold what its name promises), which the maintainer must fix.
enum class Lookup { Found, Missing, Broken };

// Request values are accepted only in these plain forms, so a file name is
// always made from a number and never from text the client sent.
bool ParseHexWord(const std::string& text, uint32_t& value);  // 1 to 8 hexadecimal digits (serials)
bool ParseBuild(const std::string& text, uint32_t& build);    // 1 to 10 decimal digits, 32-bit
// Four words of 1 to 8 hexadecimal digits separated by single spaces.
bool ParseFingerprint(const std::string& text, FingerprintWords& words);
// Eight upper-case hexadecimal digits, as device directories are named.
std::string HexWord(uint32_t value);

// The directory tree a server serves (layout in README.md):
//   ROOT/SSSSSSSS/NNN.bird      image of build NNN of device SSSSSSSS
//   ROOT/SSSSSSSS/NNN.version   its version text
//   ROOT/SSSSSSSS/current       the current build (else the highest present)
//   ROOT/SSSSSSSS/firmware      the firmware identifier (else "standard")
//   ROOT/fingerprints           fingerprint -> serial and recovery build
//   ROOT/DEADDEAD/              recovery images for unlisted fingerprints
// Everything is read afresh per request, so edits apply at once.
class FirmwareTree {
public:
    static constexpr uint32_t DEFAULT_RECOVERY_SERIAL = 0xDEADDEAD;
    static constexpr const char* DEFAULT_FIRMWARE_ID = "standard";
    // Quorvel skips build list lines shorter than three characters, so "7;"
    // would vanish: a build without a version file gets this text instead.
    static constexpr const char* DEFAULT_VERSION_TEXT = "unknown";
    static constexpr const char* IMAGE_SUFFIX = ".bird";
    static constexpr const char* VERSION_SUFFIX = ".version";
    static constexpr const char* CURRENT_FILE = "current";
    static constexpr const char* FIRMWARE_FILE = "firmware";
    static constexpr const char* FINGERPRINTS_FILE = "fingerprints";

    explicit FirmwareTree(std::string root) : root_(std::move(root)) {}

    bool HasDevice(uint32_t serial) const;
    // Builds with an image, ascending.
    std::vector<uint32_t> Builds(uint32_t serial) const;
    // The "current" file, else the highest build present; `why` when not Found.
    Lookup CurrentBuild(uint32_t serial, uint32_t& build, std::string& why) const;
    std::string FirmwareId(uint32_t serial) const;
    std::string VersionText(uint32_t serial, uint32_t build) const;
    bool ReadImage(uint32_t serial, uint32_t build, std::string& bytes) const;
    // The listed serial and build (the serial's current build when the line
    // gives none); unlisted fingerprints get DEADDEAD and its current build.
    Lookup FindRecovery(const FingerprintWords& fingerprint, uint32_t& serial, uint32_t& build,
                        std::string& why) const;

private:
    std::string DevicePath(uint32_t serial) const;
    std::string BuildPath(uint32_t serial, uint32_t build, const char* suffix) const;

    std::string root_;
};

}  // namespace updateserver

#endif
