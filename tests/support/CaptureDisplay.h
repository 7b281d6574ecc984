#ifndef QUORVEL_CAPTURE_DISPLAY_H
#define QUORVEL_CAPTURE_DISPLAY_H

// A display for unit tests: records every message and drawing call.

#include <string>
#include <vector>

#include "QuorvelDisplayInterface.h"

class CaptureDisplay final : public QuorvelDisplayInterface {
public:
    std::vector<std::string> info;
    std::vector<std::string> errors;
    std::vector<double> progress;   // fractions passed to update_progress
    int spinnerFrames = 0;          // update_spinner(true, ...) calls
    int cleared = 0;                // display_progress(false) and update_spinner(false, ...) calls

    void display_progress(bool show) override { cleared += show ? 0 : 1; }
    void update_progress(double fraction, const char*) override { progress.push_back(fraction); }
    void update_spinner(bool active, const char*) override { active ? ++spinnerFrames : ++cleared; }
    void info_message(const char* text) override { info.emplace_back(text); }
    void error_message(const char* text) override { errors.emplace_back(text); }
};

#endif
