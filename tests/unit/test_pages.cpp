// Page text: placeholder filling, the built-in templates and the escaped
// header rows of the start page.
#include "response/page_text.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using qv::fill_placeholders;

TEST(PageFilling, FirstOccurrenceOnlyInTheGivenOrder) {
    const auto filled = fill_placeholders("<%A%|%B%|%A%>", {{"%A%", "1"}, {"%B%", "2"}});
    EXPECT_EQ(filled.text, "<1|2|%A%>");
    EXPECT_EQ(filled.found, (std::vector<bool>{true, true}));
}

TEST(PageFilling, TemplateWithoutPlaceholdersIsUnchanged) {
    const auto filled = fill_placeholders("<p>static</p>", {{"%A%", "1"}, {"%B%", ""}});
    EXPECT_EQ(filled.text, "<p>static</p>");
    EXPECT_EQ(filled.found, (std::vector<bool>{false, false}));
}

TEST(PageFilling, InsertedTextIsNeverSearched) {
    // A header value that reads like a later placeholder stays as it is.
    const auto filled = fill_placeholders("[%R%][%S%]", {{"%R%", "x%S%y"}, {"%S%", "session"}});
    EXPECT_EQ(filled.text, "[x%S%y][session]");
    // A placeholder that only the inserted text holds counts as absent.
    const auto absent = fill_placeholders("[%R%]", {{"%R%", "%S%"}, {"%S%", "session"}});
    EXPECT_EQ(absent.text, "[%S%]");
    EXPECT_EQ(absent.found, (std::vector<bool>{true, false}));
}

TEST(PageFilling, EmptyReplacementRemovesThePlaceholder) {
    EXPECT_EQ(fill_placeholders("a%D%b", {{"%D%", ""}}).text, "ab");
}

TEST(HtmlEscaping, MarkupCharactersBecomeReferences) {
    const struct {
        const char *text;
        const char *escaped;
    } cases[] = {
        {"a<b>c", "a&lt;b&gt;c"},
        {"<script", "&lt;script"},
        {"x>y", "x&gt;y"},
        {"a&b", "a&amp;b"},
        {"\"quoted\"", "&quot;quoted&quot;"},
        {"&lt;", "&amp;lt;"},
        {"plain 'text' %41", "plain 'text' %41"},
        {"", ""},
    };
    for (const auto &c : cases) EXPECT_EQ(qv::escape_html(c.text), c.escaped) << c.text;
}

TEST(HeaderRows, NameAndValueAreEscapedInTheRowFormat) {
    EXPECT_EQ(qv::header_row("Host", "h:80"),
              "    <tr>\n      <td class=\"headerName\">Host</td>\n      <td class=\"headerValue\">h:80</td>\n"
              "    </tr>\n");
    EXPECT_EQ(qv::header_row("X-<b>", "\"><script>alert(1)</script>&"),
              "    <tr>\n      <td class=\"headerName\">X-&lt;b&gt;</td>\n"
              "      <td class=\"headerValue\">&quot;&gt;&lt;script&gt;alert(1)&lt;/script&gt;&amp;</td>\n"
              "    </tr>\n");
    EXPECT_EQ(qv::error_description_row("Bad."), "<TR><TD class=message>Bad.</TD></TR>");
}

size_t occurrences(std::string_view text, std::string_view part) {
    size_t count = 0;
    for (size_t at = text.find(part); at != std::string_view::npos; at = text.find(part, at + 1)) ++count;
    return count;
}

TEST(BuiltinTemplates, ErrorPageStructure) {
    const std::string_view page = qv::kBuiltinErrorPage;
    EXPECT_EQ(page.find('\n'), std::string_view::npos);
    EXPECT_EQ(page.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">"), 0u);
    EXPECT_NE(page.find("<TITLE>Error - Single Sign-On</TITLE>"), std::string_view::npos);
    EXPECT_NE(page.find("text/html; charset=windows-1252"), std::string_view::npos);
    EXPECT_NE(page.find("noindex, nofollow"), std::string_view::npos);
    for (const char *style : {"firstcut", "TD.header", "TD.message", "TD.text", "TD.errorinfo"})
        EXPECT_NE(page.find(style), std::string_view::npos) << style;
    // The rows in their order, the description placeholder between them.
    const size_t header = page.find("<TR><TD class=header>Error - Single Sign-On</TD></TR>");
    const size_t title = page.find("<TR><TD class=message>%ERROR_TITLE%</TD></TR>");
    const size_t description = page.find("%ERROR_DESCRIPTION%");
    const size_t contact = page.find("<TR><TD class=message>Please contact your system administrator.</TD></TR>");
    const size_t text = page.find("<TR><TD class=text></TD></TR>");
    EXPECT_LT(header, title);
    EXPECT_EQ(title + std::string_view("<TR><TD class=message>%ERROR_TITLE%</TD></TR>").size(), description);
    EXPECT_EQ(description + std::string_view("%ERROR_DESCRIPTION%").size(), contact);
    EXPECT_LT(contact, text);
    EXPECT_NE(text, std::string_view::npos);
    EXPECT_NE(page.find("<TABLE class=firstcut width=400"), std::string_view::npos);
}

TEST(BuiltinTemplates, StartPageStructure) {
    const std::string_view page = qv::kBuiltinStartPage;
    EXPECT_EQ(page.find("<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.01//EN\""), 0u);
    EXPECT_NE(page.find("text/html;charset=UTF-8"), std::string_view::npos);
    EXPECT_NE(page.find("<title>Quorvel Vantor Start Page</title>"), std::string_view::npos);
    for (const char *style : {"table.headers", "td.headerName", "td.headerValue", "div#container",
                              "div#mainheader", ".subheader", "div#footer"})
        EXPECT_NE(page.find(style), std::string_view::npos) << style;
    const size_t heading = page.find("<h2>Quorvel Vantor Start Page</h2>");
    const size_t request = page.find("colspan=\"2\">Request Headers</td>");
    const size_t request_rows = page.find("\n%REQUEST_HEADER_DATA%\n");
    const size_t session = page.find("colspan=\"2\">Kestrin Headers</td>");
    const size_t session_rows = page.find("\n%KESTRIN_HEADER_DATA%\n");
    const size_t footer = page.find("%QV_KIT_NAME% v %QV_KIT_VERSION%");
    EXPECT_LT(heading, request);
    EXPECT_LT(request, request_rows);
    EXPECT_LT(request_rows, session);
    EXPECT_LT(session, session_rows);
    EXPECT_LT(session_rows, footer);
    EXPECT_NE(footer, std::string_view::npos);
    EXPECT_EQ(occurrences(page, "class=\"subheader\""), 2u);
    EXPECT_EQ(occurrences(page, "<table class=\"headers\">"), 2u);
    EXPECT_GT(page.find("<div id=\"footer\">"), page.find("<div id=\"container\">"));
}

TEST(BuiltinTemplates, FilledStartPageKeepsNoPlaceholder) {
    const std::string rows = qv::header_row("Host", "h");
    const auto filled = fill_placeholders(qv::kBuiltinStartPage, {{qv::kKitNamePlaceholder, qv::kModuleName},
                                                                   {qv::kKitVersionPlaceholder, qv::kModuleVersion},
                                                                   {qv::kRequestHeadersPlaceholder, rows},
                                                                   {qv::kSessionHeadersPlaceholder, ""}});
    EXPECT_EQ(filled.found, (std::vector<bool>{true, true, true, true}));
    EXPECT_NE(filled.text.find("mod_qv v 1.2.1"), std::string::npos);
    EXPECT_EQ(filled.text.find('%' + std::string("REQUEST")), std::string::npos);
    EXPECT_EQ(filled.text.find("%KESTRIN"), std::string::npos);
    EXPECT_NE(filled.text.find(rows), std::string::npos);
}

}  // namespace
