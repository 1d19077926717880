#pragma once
// Update the hub on the named port from a firmware file. 0 when the hub was
// updated, 1 when the upload gave up, -1 on every refusal.
int action_update_manual();
