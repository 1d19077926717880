#pragma once

struct device;

// Lists on stdout, one line each, the hubs on the ports the automatic update
// would scan. A port without a hub is passed over in silence. 0 when at least
// one hub was found; otherwise -1 after one message.
int action_list();
// With --json, the "hub" event of a hub found on `port`: what --list prints
// for it; the updates send it too once they have identified a hub.
void action_list_hub_event(const device& dev, const char* port);
