#pragma once

// Describes the firmware image named by --fw on stdout: its version and, per
// section in file order, the flash layout, the upload blocks and their CRCs.
// No hub is touched. 0, or -1 for a file that is no valid image.
int action_info();
