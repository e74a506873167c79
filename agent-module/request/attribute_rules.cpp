#include "request/attribute_rules.h"

#include "request/attributes.h"

#include <string>

namespace qv {

bool any_attribute_value(std::string_view payload, std::string_view name,
                         const std::function<bool(std::string_view)> &matches) {
    if (name.empty()) return false;
    PayloadItem item;
    while (next_payload_item(payload, item)) {
        if (item.key != name) continue;
        if (matches(unescape_value(strip_value(item.value)))) return true;
    }
    return false;
}

}  // namespace qv
