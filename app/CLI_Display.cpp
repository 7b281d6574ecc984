#include "CLI_Display.h"

#include <cstdio>
#include <cstring>
#include <unistd.h>

namespace {
const char BAR_TEXT[] = "=====================================================================";
static_assert(sizeof(BAR_TEXT) - 1 == CLI_Display::BAR_WIDTH, "bar text is 69 characters");
const char* const SPINNER[CLI_Display::SPINNER_FRAMES] = {".", "..", "...", "....", ".....", "....", "...", ".."};
}

uint8_t CLI_Display::spinner_frame = 0;

CLI_Display::CLI_Display()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    setvbuf(stderr, nullptr, _IONBF, 0);
}

bool CLI_Display::on_terminal()
{
    return isatty(STDOUT_FILENO) == 1;
}

void CLI_Display::clear_line()
{
    printf("\r%*s\r", CLEAR_WIDTH, " ");
}

void CLI_Display::display_progress(bool show)
{
    if (on_terminal() && !show)
        clear_line();
}

void CLI_Display::update_progress(double fraction, const char* label)
{
    if (!on_terminal())
        return;
    int width = BAR_WIDTH;
    if (label)
        width = BAR_WIDTH - static_cast<int>(strlen(label)) - 4;
    int percent = static_cast<int>(fraction * 100.0);
    int filled = static_cast<int>(static_cast<double>(width) * fraction);
    int spaces = width - filled - 1;
    if (label)
        printf("\r (%s) [%.*s>%*s] (%3d%% ) ", label, filled, BAR_TEXT, spaces, "", percent);
    else
        printf("\r[%.*s>%*s] (%3d%% ) ", filled, BAR_TEXT, spaces, "", percent);
}

void CLI_Display::update_spinner(bool active, const char* label)
{
    if (!on_terminal())
        return;
    if (!active) {
        clear_line();
        return;
    }
    if (label)
        printf("\r (%s) %s      \r", label, SPINNER[spinner_frame]);
    else
        printf("\r %s      \r", SPINNER[spinner_frame]);
    spinner_frame = static_cast<uint8_t>((spinner_frame + 1) % SPINNER_FRAMES);
}

void CLI_Display::info_message(const char* text)
{
    printf("%s\n", text);
}

void CLI_Display::error_message(const char* text)
{
    fprintf(stderr, "%s\n", text);
}
