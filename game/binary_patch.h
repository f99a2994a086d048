// Small byte patches of the game executable, written only over one of their two known forms.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct BINPatch {
    std::string file;  // relative to the installation root; '\' between folders
    std::int64_t offset = 0;
    std::vector<unsigned char> patched;   // written when applying
    std::vector<unsigned char> expected;  // the original bytes, written back when reverting
    std::optional<bool> apply;            // absent: apply
};

// Brings the file into the patched (`apply`) or original form. True when the file holds that form
// afterwards; reverting a file that never carried the patch is no change and true. Applying over
// bytes already patched, or finding neither form, leaves the file unchanged and is false.
bool applyBinPatch(const BINPatch& patch, bool apply);

// applyBinPatch in the patch's own direction, with the success line in the log.
void runBinPatch(const BINPatch& patch);

// The two patches of the game executable: the first always applied, the second following the
// "RuninBackground" setting.
void applyGamePatches();
