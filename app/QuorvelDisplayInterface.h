#ifndef QUORVEL_DISPLAY_INTERFACE_H
#define QUORVEL_DISPLAY_INTERFACE_H

#include <cstddef>

// Where the update engine reports messages, progress bars and spinners.
// The one display lives on main's stack for the whole run, so there is no
// virtual destructor.
class QuorvelDisplayInterface {
public:
    enum Level { LEVEL_INFO = 0, LEVEL_ERROR = 1 };
    static constexpr size_t MESSAGE_SIZE = 2048;

    bool muted = false;

    virtual void display_progress(bool show) = 0;
    virtual void update_progress(double fraction, const char* label) = 0;
    virtual void update_spinner(bool active, const char* label) = 0;
    virtual void info_message(const char* text) = 0;
    virtual void error_message(const char* text) = 0;

    void mute_messages(bool mute) { muted = mute; }
    // printf-formatted; texts beyond 2047 characters are cut.
    void message(Level level, const char* format, ...) __attribute__((format(printf, 3, 4)));

protected:
    ~QuorvelDisplayInterface() = default;
};

#endif
