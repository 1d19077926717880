#pragma once

// The JSON events of the actions (--json), built in one place; the shared
// stage, progress and result events are in output.h.
struct device;
struct ufw;

// The "hub" event of a hub found on `port`: what --list prints for it; the
// updates send it too once they have identified a hub.
void hub_event(const device& dev, const char* port);
// The "image" event of --info: every section with its layout, range and CRCs.
void image_event(const ufw& image);
// The "summary" event that ends an automatic update pass.
void summary_event(int updated, int total);
