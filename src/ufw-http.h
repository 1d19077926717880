// The image loader's download step, beside the automatic update whose release
// entries it fetches and the network layer it fetches them with.
#pragma once

struct auto_manifest_entry;
struct ufw;

// Download the entry's file from the firmware server and parse it; the outcome
// is the image's `loaded` flag.
void ufw_load_http(const auto_manifest_entry& entry, ufw& image);
