// The spellings of a request path that the protected-area patterns are
// matched against. Apache hands the module the path it decoded and
// normalised, but the application behind it may read the same request as
// another path: application servers drop ";parameters" from path segments,
// many treat "%2F" (kept encoded under "AllowEncodedSlashes NoDecode"),
// "%5C" and "\" as "/", and then resolve dot segments again, so that
// "/pub/..;/app/x" reaches "/app/x". Every such reading is checked, so a
// pattern written for the application's view cannot be stepped around.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qv {

// The path without the ";..." part of each segment.
std::string without_path_parameters(std::string_view path);

// The path with "%2F", "%5C" (either letter case) and "\" turned into "/".
std::string with_slashes_folded(std::string_view path);

// The path with repeated slashes merged and "." and ".." segments resolved;
// ".." never climbs above the root.
std::string with_dot_segments_resolved(std::string_view path);

// Every other reading of the path (the path itself excluded, no repeats), in
// a fixed order; empty for the usual path, which none of these rules changes.
std::vector<std::string> other_path_forms(std::string_view path);

}  // namespace qv
