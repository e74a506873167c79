// What the Require qv-attribute rules read: the values of one attribute of
// the session the agent granted.
#pragma once

#include <functional>
#include <string_view>

namespace qv {

// True when `matches` accepts a value of the payload's attribute `name`: each
// line whose key is the name, in line order, the value as the application
// sees it exposed (quotes and escapes removed). False without such a line.
bool any_attribute_value(std::string_view payload, std::string_view name,
                         const std::function<bool(std::string_view)> &matches);

}  // namespace qv
