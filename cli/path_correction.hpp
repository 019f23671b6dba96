#pragma once
// Forgiving input file names: a missing file is replaced by the nearest
// regular file of the folder it should have been in.

#include <optional>
#include <string>

namespace vellicor {

// The path to use: as typed, or corrected (and announced). nullopt only when a
// file-system error other than absence stopped the search; the "[ERR] " line
// naming the path and the reason has then been written.
std::optional<std::string> smart_correct_path(const std::string& typed);

}  // namespace vellicor
