#include <cstdio>
#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"

namespace {

const char* const VERSION_TEXT = "Version: 2.10.6 Mar 15 2024";
const char* const COPYRIGHT_TEXT = "Copyright (c) 2024 Veltrane. All rights reserved.";

struct UsageLine {
    const char* option;
    std::vector<std::string> description;
    int blankLinesAfter;
};

void print_lines(const std::vector<UsageLine>& lines)
{
    for (const auto& line : lines) {
        for (size_t i = 0; i < line.description.size(); ++i) {
            if (i == 0)
                fprintf(stderr, "     %-25s- %s\n", line.option, line.description[0].c_str());
            else if (line.description[i].empty())
                fputc('\n', stderr);
            else
                fprintf(stderr, "%32s%s\n", "", line.description[i].c_str());
        }
        for (int b = 0; b < line.blankLinesAfter; ++b)
            fputc('\n', stderr);
    }
}

void print_short_usage()
{
    fprintf(stderr, "\nApplication Usage:\n");
    fprintf(stderr, "%s <-B | -D | -G | -U > [-Hh | --help] [-b build_num]\n", QUORVEL_APP_NAME);
    fprintf(stderr, "    [-d serial_num]\n");
    fprintf(stderr, "    [-t transport] [-r router_serial]\n");
    fprintf(stderr, "    [-s serial_port] [-o baud_rate]\n");
    fprintf(stderr, "\n");
    fprintf(stderr, "  Lumastrix Update and Maintenance Application\n");
    fprintf(stderr, "    -H -h or --help for full usage information.\n");
    fprintf(stderr, "\n");
}

void print_parameters_and_commands()
{
    fprintf(stderr, "  Parameters to commands:\n");
    print_lines({
        {"-i <veltrane_directory>", {"The Veltrane directory used for storage of ", "firmware files. [Default: ~/.veltrane ]."}, 0},
        {"-b <build number>", {"Build version of the firmware to transfer.", "[Default: latest version available]."}, 0},
        {"-d <device>", {"Device serial number of the device to access."}, 0},
        {"-t <transport type>", {"communications method [USB,TCP,RECOVER]."}, 0},
        {"-f <bird file>", {"Firmware file to be transferred to device."}, 0},
        {"-r <router serial>", {"indirect connection through router device"}, 0},
        {"-s <serial port>", {"name of serial port to use for recovery"}, 0},
        {"-o <baud rate>", {"baud rate for serial port (2400, 4800, 9600,", "19200, 38400, 57600, 115200, 230400)"}, 0},
    });
    fprintf(stderr, "  Commands:\n");
    print_lines({
        {"-B", {"list the Builds available for given device."}, 1},
        {"-D", {"Discover devices that are currently connected."}, 1},
        {"-G",
         {"Get build file from the Veltrane server and", "store on local machine for download to device.",
          "Must specify a specific device [\"-d\" option].", "Default is to obtain the latest build for the",
          "given device, override with \"-b\" option."},
         1},
        {"-U",
         {"Update the firmware on device specified.", "Must specify a specific device [\"-d\" option].",
          "Default is to download the latest build for the", "given device, override with \"-b\" option or",
          "specify specific BIRD file using \"-f\" option."},
         0},
        {"-H or -h", {"Display extended usage information."}, 2},
    });
}

std::string package_line(const char* name, uint32_t value)
{
    char line[64];
    snprintf(line, sizeof line, "%-20s0x%08X", name, value);
    return line;
}

void print_extended()
{
    fprintf(stderr, "  Extended Parameters:\n");
    print_lines({
        {"-e", {"echoing of bytes enabled during recovery."}, 1},
        {"-l 'log message'", {"message to place in device history log"}, 0},
        {"-k <filename>", {"log messages written into given filename", "Default:[APP.log]"}, 0},
        {"-u <host:port>", {"The hostname and port of the update server", std::string("Default: ") + QUORVEL_DEFAULT_HOST}, 0},
    });
    fprintf(stderr, "  Extended Commands:\n");
    std::vector<std::string> packages = {
        "Bitmask for Logging",
        package_line("DEBUG_Quorvel", DEBUG_Quorvel),
        package_line("DEBUG_History", DEBUG_History),
        package_line("DEBUG_Attributes", DEBUG_Attributes),
        package_line("DEBUG_BirdFile", DEBUG_BirdFile),
        package_line("DEBUG_Network", DEBUG_Network),
        package_line("DEBUG_ServerComm", DEBUG_ServerComm),
        "",
        package_line("DEBUG_Network", DEBUG_Network_LINK),
        package_line("DEBUG_Network_SR", DEBUG_Network_SR),
        package_line("DEBUG_Network_FIRM", DEBUG_Network_FIRM),
        "",
        package_line("DEBUG_NXPSerial", DEBUG_NXPSerial),
        package_line("DEBUG_NXPSerial_E", DEBUG_NXPSerial_E),
        package_line("DEBUG_NXPSerial_SR", DEBUG_NXPSerial_SR),
        "",
        package_line("DEBUG_APP", DEBUG_APP),
        "",
        package_line("DEBUG_iMXSerial", DEBUG_iMXSerial),
        "",
    };
    print_lines({
        {"-I",
         {"View stored device information.", "Must either use DISCOVER command [\"-D\"] or",
          "specify a specific device [\"-d\" option]."},
         1},
        {"-OVERRIDE",
         {"Override the model checks for BIRD firmware files.", "This option should only be used when authorized by",
          "Veltrane development engineers."},
         1},
        {"-N", {"Get fingerprint from a device, requires -s"}, 1},
        {"-X <BIT_MASK>", packages, 0},
        {"-C", {"Check the given BIRDFILE"}, 2},
    });
}

void print_sample(const char* options, const std::vector<const char*>& explanation)
{
    fprintf(stderr, "    %s %s\n", QUORVEL_APP_NAME, options);
    for (const char* line : explanation)
        fprintf(stderr, "        %s\n", line);
    fputc('\n', stderr);
}

void print_samples()
{
    fprintf(stderr, " Sample usage:\n");
    print_sample("-D", {"Discover the devices connected by USB (add -t TCPIP for the local networks)."});
    print_sample("-D -t USB", {"Discover the devices connected by USB."});
    print_sample("-D -t USB -d 0F5849A", {"Discover the device 0F5849A if it is connected by USB."});
    print_sample("-G -d 40F5849A", {"Get the latest build for device 40F5849A from the update server."});
    print_sample("-U -d 40F5849A", {"Update device 40F5849A with the latest build."});
    print_sample("-G -d 40F5849A -b 99528558",
                 {"Download build 99528558 for device 40F5849A into the device directory,",
                  "with the build number as the file name."});
    print_sample("-G -U -d 40F5849A", {"Get the latest build for device 40F5849A and update the device with it."});
    print_sample("-U -t RECOVER -s /dev/serial", {"Recover a device through its boot ROM on the serial port /dev/serial."});
    fprintf(stderr, " Sample usage for network discovery and updates:\n");
    print_sample("-D -r D272031D", {"Discover all devices on the I2C Lumastrix network of the routing device D272031D."});
    print_sample("-G -U -d 2181F0EE -r D272031D",
                 {"Get the latest build for device 2181F0EE and update it indirectly",
                  "through the routing device D272031D."});
}

}  // namespace

void _display_app_version(QuorvelDisplayInterface& display)
{
    display.message(QuorvelDisplayInterface::LEVEL_INFO, "%s (%s)", QUORVEL_APP_NAME, VERSION_TEXT);
}

void _display_copyright(QuorvelDisplayInterface& display)
{
    display.message(QuorvelDisplayInterface::LEVEL_INFO, "%s", COPYRIGHT_TEXT);
}

void _display_usage(bool extended, bool help)
{
    print_short_usage();
    if (!help)
        return;
    print_parameters_and_commands();
    if (extended)
        print_extended();
    print_samples();
}
