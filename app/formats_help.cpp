#include "app/formats_help.h"

#include "core/format.h"
#include "core/text.h"

namespace quillon {

namespace {

std::string html(const char16_t* text)
{
    std::string out;
    for (char c : u16ToUtf8(text ? text : u"")) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        default: out += c;
        }
    }
    return out;
}

} // namespace

std::string formatsHelpHtml(const FormatRegistry& registry)
{
    std::string page =
        "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
        "<title>Quillon: supported formats</title>\n"
        "<style>body{font-family:sans-serif;max-width:46em;margin:2em auto;color:#222}"
        "h1{color:#0046d5}td,th{padding:.2em .8em;text-align:left;vertical-align:top}"
        "tr:nth-child(even){background:#eef4ff}</style>\n</head>\n<body>\n"
        "<h1>Supported formats</h1>\n<table>\n"
        "<tr><th>Extension</th><th>Format</th><th>Read</th><th>Write</th><th>Sub-formats</th></tr>\n";
    for (int32_t i = 0; i < registry.count(); ++i) {
        const FormatDescriptor* d = registry.at(i);
        page += "<tr><td>." + html(d->extension) + "</td><td>" + html(d->description) + "</td><td>" +
                (d->createReader ? "yes" : "not yet") + "</td><td>" + (d->createWriter ? "yes" : "") + "</td><td>";
        if (d->createWriter && d->subFormatNames)
            for (uint32_t k = 0; k < d->subFormatCount(); ++k)
                page += (k ? ", " : "") + html(d->subFormatNames[k]);
        page += "</td></tr>\n";
    }
    page += "</table>\n</body>\n</html>\n";
    return page;
}

} // namespace quillon
