#ifndef VMODULE_FAULTS_H
#define VMODULE_FAULTS_H

// Fault switches: ways to make a module misbehave on purpose so tests can see
// how the host copes. Each switch is one row of the table in Faults.cpp (name,
// argument count, help); a behaviour asks its module whether a switch is on.
// Written "NAME" or "NAME:ARG[,ARG...]" in the configuration; a switch may be
// given several times with different arguments.

#include <cstdint>
#include <string>
#include <vector>

namespace vmodule {

struct FaultSwitch {
    std::string name;
    std::vector<uint32_t> args;
};

struct FaultSpec {
    const char* name;
    int argCount;      // arguments the switch takes
    const char* form;  // how it is written, "drop-reply:CMD"
    const char* help;
    // Null, or why these arguments cannot work.
    const char* (*check)(const std::vector<uint32_t>& args) = nullptr;
    int optional = 0;  // how many of the last arguments may be left out
};

// The table of known switches, ending in a row with a null name.
const FaultSpec* FaultTable();

class FaultSet {
public:
    bool Add(const std::string& text, std::string& error);
    // The first switch of this name whose leading arguments equal `args`.
    const FaultSwitch* Find(const std::string& name, std::vector<uint32_t> args = {}) const;
    bool Has(const std::string& name, std::vector<uint32_t> args = {}) const { return Find(name, args) != nullptr; }
    // Every switch of this name, in the order given.
    std::vector<const FaultSwitch*> FindAll(const std::string& name) const;

private:
    std::vector<FaultSwitch> switches_;
};

}  // namespace vmodule

#endif
