#include "response/page_text.h"

namespace qv {

// A single line: the page is sent as it stands.
const std::string_view kBuiltinErrorPage =
    "<!DOCTYPE HTML PUBLIC \"-//W3C//DTD HTML 4.0 Transitional//EN\">"
    "<HTML><HEAD><TITLE>Error - Single Sign-On</TITLE>"
    "<META http-equiv=Content-Type content=\"text/html; charset=windows-1252\">"
    "<STYLE type=text/css>"
    "BODY.firstcut {background-color: #ffffff; margin-top: 40px; font-family: Verdana, Arial, Helvetica, "
    "sans-serif; font-size: 12px;} "
    "TABLE.firstcut {border: 4px double #cc0000; border-collapse: separate; padding: 8px; background-color: "
    "#fffafa;} "
    "TD.header {text-align: center; font-weight: bold; font-size: 16px; color: #cc0000; padding: 6px;} "
    "TD.message {text-align: left; font-size: 13px; color: #000000; padding: 6px;} "
    "TD.text {font-size: 11px; color: #555555; padding: 4px;} "
    "TD.errorinfo {font-size: 11px; color: #777777; font-style: italic; padding: 4px;}"
    "</STYLE>"
    "<META name=robots content=\"noindex, nofollow\"></HEAD>"
    "<BODY class=firstcut>"
    "<TABLE class=firstcut width=400 align=center>"
    "<TR><TD class=header>Error - Single Sign-On</TD></TR>"
    "<TR><TD class=message>%ERROR_TITLE%</TD></TR>"
    "%ERROR_DESCRIPTION%"
    "<TR><TD class=message>Please contact your system administrator.</TD></TR>"
    "<TR><TD class=text></TD></TR>"
    "</TABLE></BODY></HTML>";

const std::string_view kBuiltinStartPage = R"(<!DOCTYPE HTML PUBLIC "-//W3C//DTD HTML 4.01//EN" "http://www.w3.org/TR/html4/strict.dtd">
<html>
  <head>
    <meta http-equiv="Content-Type" content="text/html;charset=UTF-8">
    <title>Quorvel Vantor Start Page</title>
    <style type="text/css">
      body {
        font-family: Tahoma, Geneva, Verdana, sans-serif;
        font-size: 13px;
        margin: 20px;
        color: #222222;
      }
      table.headers {
        width: 100%;
        border-collapse: collapse;
        font-family: "Courier New", Courier, monospace;
        font-size: 12px;
      }
      table.headers td {
        padding: 3px 6px;
        vertical-align: top;
        border-bottom: 1px solid #e4e8ee;
      }
      td.headerName {
        width: 30%;
        padding-left: 25px;
        font-weight: bold;
      }
      td.headerValue {
        width: 70%;
        word-break: break-all;
      }
      div#container {
        border: 1px solid #999999;
        margin-bottom: 10px;
      }
      div#mainheader {
        background-color: #1f3a68;
        padding: 8px 12px;
      }
      div#mainheader h2 {
        color: #ffffff;
        font-weight: bold;
        margin: 0;
      }
      .subheader {
        background-color: #d5dde8;
        font-weight: bold;
        padding: 5px 10px;
      }
      div#footer {
        font-style: italic;
        font-size: 12px;
        color: #555555;
      }
    </style>
  </head>
  <body>
    <div id="container">
      <div id="mainheader">
        <h2>Quorvel Vantor Start Page</h2>
      </div>
      <table class="headers">
        <tr>
          <td class="subheader" colspan="2">Request Headers</td>
        </tr>
%REQUEST_HEADER_DATA%
      </table>
      <table class="headers">
        <tr>
          <td class="subheader" colspan="2">Kestrin Headers</td>
        </tr>
%KESTRIN_HEADER_DATA%
      </table>
    </div>
    <div id="footer">
      %QV_KIT_NAME% v %QV_KIT_VERSION%
    </div>
  </body>
</html>
)";

FilledPage fill_placeholders(std::string_view page, const std::vector<Replacement> &replacements) {
    struct Segment {
        std::string_view text;
        bool inserted;
    };
    std::vector<Segment> segments{{page, false}};
    segments.reserve(1 + 2 * replacements.size());
    FilledPage filled;
    filled.found.assign(replacements.size(), false);
    for (size_t i = 0; i < replacements.size(); ++i) {
        const Replacement &replacement = replacements[i];
        if (replacement.placeholder.empty()) continue;
        for (size_t s = 0; s < segments.size(); ++s) {
            if (segments[s].inserted) continue;
            const std::string_view text = segments[s].text;
            const size_t at = text.find(replacement.placeholder);
            if (at == std::string_view::npos) continue;
            const Segment before{text.substr(0, at), false};
            const Segment after{text.substr(at + replacement.placeholder.size()), false};
            segments[s] = before;
            segments.insert(segments.begin() + static_cast<std::ptrdiff_t>(s) + 1,
                            {Segment{replacement.text, true}, after});
            filled.found[i] = true;
            break;
        }
    }
    size_t size = 0;
    for (const Segment &segment : segments) size += segment.text.size();
    filled.text.reserve(size);
    for (const Segment &segment : segments) filled.text.append(segment.text);
    return filled;
}

std::string escape_html(std::string_view text) {
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '<': escaped.append("&lt;"); break;
        case '>': escaped.append("&gt;"); break;
        case '&': escaped.append("&amp;"); break;
        case '"': escaped.append("&quot;"); break;
        default: escaped.push_back(c);
        }
    }
    return escaped;
}

std::string header_row(std::string_view name, std::string_view value) {
    std::string row;
    row.reserve(name.size() + value.size() + 96);
    row.append("    <tr>\n      <td class=\"headerName\">")
        .append(escape_html(name))
        .append("</td>\n      <td class=\"headerValue\">")
        .append(escape_html(value))
        .append("</td>\n    </tr>\n");
    return row;
}

std::string error_description_row(std::string_view description) {
    std::string row;
    row.reserve(description.size() + 32);
    row.append("<TR><TD class=message>").append(description).append("</TD></TR>");
    return row;
}

}  // namespace qv
