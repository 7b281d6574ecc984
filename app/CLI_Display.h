#ifndef QUORVEL_CLI_DISPLAY_H
#define QUORVEL_CLI_DISPLAY_H

#include <cstdint>
#include "QuorvelDisplayInterface.h"

// Console display: messages on stdout/stderr; bars and spinners only when
// stdout is a terminal, so redirected output holds messages alone.
class CLI_Display final : public QuorvelDisplayInterface {
public:
    static constexpr int BAR_WIDTH = 69;
    static constexpr int CLEAR_WIDTH = 88;
    static constexpr int SPINNER_FRAMES = 8;

    CLI_Display();

    void display_progress(bool show) override;
    void update_progress(double fraction, const char* label) override;
    void update_spinner(bool active, const char* label) override;
    void info_message(const char* text) override;
    void error_message(const char* text) override;

private:
    static bool on_terminal();
    static void clear_line();
    static uint8_t spinner_frame;  // shared by every instance and call
};

#endif
