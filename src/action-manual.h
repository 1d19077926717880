#pragma once
// Update the hub on the named port from a firmware file. 0 when the upload ran to its end, -1 otherwise.
int action_update_manual();
