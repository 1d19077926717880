// The manual update: one hub on a named port, one firmware file from disk.
// Each check that fails ends the action with its own message; nothing is retried.
#include "action-manual.h"

#include <cstdio>
#include <memory>

#include "action-exit.h"
#include "device.h"
#include "options.h"
#include "ufw.h"

namespace {

void print_settings()
{
    std::printf("Firmware path: %s\nSerial port: %s\n%s%s", options.fw_path, options.port,
                options.bootloader ? "Bootloader automatic: yes\n" : "",
                options.force ? "Force: yes\n" : "");
    std::fflush(stdout);
}

// Prints why the hub cannot take this image, or nothing when it can.
bool hub_accepts_image(const ufw& image, const device& dev)
{
    const int status = ufw_check_device_status(image, dev);
    if (status == 0) {
        std::fputs("ERROR: The file does not contain the correct firmware for this hub\n", stderr);
        return false;
    }
    if (status == 1 && !options.force) {
        std::fputs("ERROR: The firmware file supplied is not a newer version than currently on the "
                   "device. Use the --force switch if you wish to use this firmware anyway.\n",
                   stderr);
        return false;
    }
    return true;
}

// The hub must end up in its bootloader, switched there first when the user asked for it.
bool hub_in_bootloader(device* dev)
{
    if (device_is_bootloader_ready(dev))
        return true;
    if (options.bootloader)
        device_switch_to_bootloader(dev);
    if (device_is_bootloader_ready(dev))
        return true;
    std::fputs("ERROR: The hub is not in bootloader mode\n", stderr);
    return false;
}

// A hub that we switched into its bootloader and then could not update goes
// back to its normal firmware: it must not be left waiting for an upload.
void return_hub_to_normal(device* dev)
{
    std::fputs("The firmware was not installed; restarting the hub into its normal firmware\r\n", stdout);
    action_exit_restart_boards(dev);
}

int exit_code_of(update_result result)
{
    switch (result) {
    case update_result::updated:
        return 0;
    case update_result::failed:
        return 1;
    case update_result::refused:
        break;
    }
    return -1;
}

int update_hub(const ufw& image)
{
    std::unique_ptr<device> dev = device_create_from_port(options.port);
    if (!dev)
        return -1;
    int result = -1;
    if (!dev->detected) {
        std::fprintf(stderr, "ERROR: Unable to detect a Corvane hub on port %s\n", options.port);
    } else {
        const bool was_ready = device_is_bootloader_ready(dev.get());
        if (hub_in_bootloader(dev.get())) {
            if (hub_accepts_image(image, *dev)) {
                std::printf("Found device: %s\n", dev->system ? dev->system->name.c_str() : "");
                std::fflush(stdout);
                result = exit_code_of(device_do_firmware_update(dev.get(), image));
            } else if (!was_ready) {
                return_hub_to_normal(dev.get());
            }
        }
    }
    device_free(dev);
    return result;
}

} // namespace

int action_update_manual()
{
    print_settings();
    ufw image;
    ufw_load_file(options.fw_path, image);
    if (!image.loaded) {
        std::fputs("ERROR: Invalid firmware file\n", stderr);
        ufw_free(image);
        return -1;
    }
    std::printf("Firmware version: %d\n", static_cast<int>(image.version));
    std::fflush(stdout);
    const int result = update_hub(image);
    ufw_free(image);
    return result;
}
