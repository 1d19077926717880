// The manual update: one hub on a named port, one firmware file from disk.
// Each check that fails ends the action with its own message; nothing is retried.
#include "action-manual.h"

#include <cstdio>
#include <memory>

#include "action-events.h"
#include "action-exit.h"
#include "device.h"
#include "options.h"
#include "output.h"
#include "ufw-device.h"
#include "ufw.h"

namespace {

void print_settings()
{
    output_format("Firmware path: %s\nSerial port: %s\n%s%s", options.fw_path, options.port,
                  options.bootloader ? "Bootloader automatic: yes\n" : "",
                  options.force ? "Force: yes\n" : "");
}

// What became of the hub: the exit code, and the error code of the result
// event (null when the hub was updated).
struct hub_outcome {
    int exit_code = -1;
    const char* error = "no_hub";
};

// Prints why the hub cannot take this image and returns the error code, or
// null when it can.
const char* image_refusal(const ufw& image, const device& dev)
{
    const int status = ufw_check_device_status(image, dev);
    if (status == 0) {
        output_error("ERROR: The file does not contain the correct firmware for this hub\n");
        return "wrong_firmware";
    }
    if (status == 1 && !options.force) {
        output_error(
            "ERROR: The firmware file supplied is not a newer version than currently on the "
            "device. Use the --force switch if you wish to use this firmware anyway.\n");
        return "not_newer";
    }
    return nullptr;
}

// The hub must end up in its bootloader, switched there first when the user asked for it.
bool hub_in_bootloader(device* dev)
{
    if (device_is_bootloader_ready(dev))
        return true;
    if (options.bootloader)
        device_switch_to_bootloader(dev);
    if (device_is_bootloader_ready(dev)) {
        hub_event(*dev, options.port); // now with its boards
        return true;
    }
    output_error("ERROR: The hub is not in bootloader mode\n");
    return false;
}

// A hub that we switched into its bootloader and then could not update goes
// back to its normal firmware: it must not be left waiting for an upload.
void return_hub_to_normal(device* dev)
{
    output_text("The firmware was not installed; restarting the hub into its normal firmware\r\n");
    action_exit_restart_boards(dev);
}

hub_outcome outcome_of(update_result result)
{
    switch (result) {
    case update_result::updated:
        return {0, nullptr};
    case update_result::failed:
        return {1, "upload_failed"};
    case update_result::refused:
        break;
    }
    return {-1, "wrong_firmware"};
}

hub_outcome update_detected_hub(device* dev, const ufw& image)
{
    const bool was_ready = device_is_bootloader_ready(dev);
    if (!hub_in_bootloader(dev))
        return {-1, "not_in_bootloader"};
    if (const char* refusal = image_refusal(image, *dev)) {
        if (!was_ready)
            return_hub_to_normal(dev);
        return {-1, refusal};
    }
    output_format("Found device: %s\n", dev->system ? dev->system->name.c_str() : "");
    return outcome_of(device_do_firmware_update(dev, image, options));
}

hub_outcome update_hub(const ufw& image)
{
    std::unique_ptr<device> dev = device_create_from_port(options.port);
    if (!dev)
        return {};
    hub_outcome outcome;
    if (!dev->detected) {
        output_error_format("ERROR: Unable to detect a Corvane hub on port %s\n", options.port);
    } else {
        hub_event(*dev, options.port);
        outcome = update_detected_hub(dev.get(), image);
    }
    device_free(dev);
    return outcome;
}

} // namespace

int action_update_manual()
{
    print_settings();
    ufw image;
    ufw_load_file(options.fw_path, image);
    if (!image.loaded) {
        output_error("ERROR: Invalid firmware file\n");
        ufw_free(image);
        output_result_event(options.port, "invalid_image");
        return -1;
    }
    output_format("Firmware version: %d\n", static_cast<int>(image.version));
    const hub_outcome outcome = update_hub(image);
    ufw_free(image);
    output_result_event(options.port, outcome.error);
    return outcome.exit_code;
}
