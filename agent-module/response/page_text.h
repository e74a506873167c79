// Text of the pages the module answers with: the built-in templates,
// placeholder filling and the HTML-escaped header rows of the start page.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace qv {

extern const std::string_view kBuiltinErrorPage;
extern const std::string_view kBuiltinStartPage;

inline constexpr std::string_view kErrorTitlePlaceholder = "%ERROR_TITLE%";
inline constexpr std::string_view kErrorDescriptionPlaceholder = "%ERROR_DESCRIPTION%";
inline constexpr std::string_view kKitNamePlaceholder = "%QV_KIT_NAME%";
inline constexpr std::string_view kKitVersionPlaceholder = "%QV_KIT_VERSION%";
inline constexpr std::string_view kRequestHeadersPlaceholder = "%REQUEST_HEADER_DATA%";
inline constexpr std::string_view kSessionHeadersPlaceholder = "%KESTRIN_HEADER_DATA%";

inline constexpr std::string_view kModuleName = "mod_qv";
inline constexpr std::string_view kModuleVersion = "1.2.1";
inline constexpr std::string_view kDefaultErrorTitle = "Error.";

struct Replacement {
    std::string_view placeholder;
    std::string_view text;
};

struct FilledPage {
    std::string text;
    // One entry per replacement: whether its placeholder was in the template.
    std::vector<bool> found;
};

// Replaces the first occurrence of each placeholder, in the order given. Only
// the template's own text is searched, never text inserted before, so a
// header value that reads like a placeholder stays as it is.
FilledPage fill_placeholders(std::string_view page, const std::vector<Replacement> &replacements);

// '<', '>', '&' and '"' as character references.
std::string escape_html(std::string_view text);

// One start-page table row; name and value are escaped, since both come from
// the client.
std::string header_row(std::string_view name, std::string_view value);

// The row that replaces the error description placeholder.
std::string error_description_row(std::string_view description);

}  // namespace qv
