// Prints the message table of src/recon_messages.h, one message a line:
// the names of its hosts (comma-separated, "-" for none), a tab, its
// identifier, a tab and its text. tests/messages_check.py writes
// docs/errors.md from it and checks the help texts against it.
#include <cstdio>

#include "recon_messages.h"

int main() {
    const struct {
        unsigned bit;
        const char* name;
    } hosts[] = {{kTofimage, "tofimage"},
                 {kTofimageFrames, "tofimage_frames"},
                 {kTofimageBeamform, "tofimage_beamform"},
                 {kTofimageAutofocus, "tofimage_autofocus"},
                 {kTofimageGrid, "tofimage_grid"},
                 {kPython, "python"}};
    for (const ReconMessageEntry& m : kReconMessages) {
        const char* separator = "";
        for (const auto& h : hosts)
            if (m.hosts & h.bit) {
                std::printf("%s%s", separator, h.name);
                separator = ",";
            }
        std::printf("%s\t%s\t%s\n", m.hosts == kNoHost ? "-" : "", m.id, m.text);
    }
    return 0;
}
