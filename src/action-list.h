#pragma once

struct device;

// Lists on stdout, one line each, the hubs on the ports the automatic update
// would scan. A port without a hub is passed over in silence. 0 when at least
// one hub was found; otherwise -1 after one message.
int action_list();
