// Checksums of a tree's files, computed on every processor.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "publish/game_tree.h"

class ProgressLine;

// The checksum of each file, in the order given. Throws std::runtime_error naming a file that
// cannot be read.
std::vector<std::uint32_t> hashTree(const std::vector<TreeFile>& files, const std::string& step,
                                    ProgressLine& progress);

// Copies `from` to `to` (whose folder must exist) and returns the checksum of the bytes copied.
// Throws std::runtime_error on failure.
std::uint32_t copyWithChecksum(const std::string& from, const std::string& to);
