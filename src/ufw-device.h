// How a firmware image fits a hub: the check between the image loader and the
// hub's boards, kept beside the hub's module so the loader knows no hub.
#pragma once

struct device;
struct ufw;

// 0 when one of the hub's boards has no section of its device type, or its
// first section of that type has no upload blocks; otherwise 2
// when the image is newer than at least one board's firmware; otherwise 1.
// Every refusal of an image for a hub is decided here.
int ufw_check_device_status(const ufw& image, const device& dev);
