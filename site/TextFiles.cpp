#include "TextFiles.h"

#include "Text.h"

#include <algorithm>
#include <cctype>

namespace Site {
namespace {

struct Found {
    std::size_t at;  // the "@"
    std::size_t offset;  // where the address starts
    bool rewrite;
    bool cdata = false;  // in a CDATA section, which holds no references: it is closed around one
};

bool jsonSpace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// The addresses in the strings of the JSON value at `p`, which must be all
// there is up to `end`. False when it is not JSON: then nothing is rewritten.
bool jsonStrings(std::string_view s, std::size_t p, std::size_t end, std::vector<Found>& found)
{
    int depth = 0;
    while (p < end) {
        const char c = s[p];
        if (jsonSpace(c) || c == ',' || c == ':') {
            ++p;
        } else if (c == '{' || c == '[') {
            ++depth, ++p;
        } else if (c == '}' || c == ']') {
            if (--depth < 0)
                return false;
            ++p;
        } else if (c == '"') {
            std::size_t q = p + 1;
            while (q < end && s[q] != '"') {
                if (static_cast<unsigned char>(s[q]) < 0x20)
                    return false;
                q += s[q] == '\\' ? 2u : 1u;
            }
            if (q >= end)
                return false;
            const std::string_view text = s.substr(p + 1, q - p - 1);
            for (const auto& span : FindAddresses(text)) {
                const std::size_t b = span.first;
                const std::size_t at = text.find('@', b);
                // "\@" is no JSON escape; an address that holds a backslash
                // escape just before its "@" is left to the reader.
                found.push_back({p + 1 + at, p + 1 + b, at == 0 || text[at - 1] != '\\'});
            }
            p = q + 1;
        } else if ((c >= '0' && c <= '9') || c == '-' || c == 't' || c == 'f' || c == 'n') {
            while (p < end && ((s[p] >= '0' && s[p] <= '9') || (s[p] >= 'a' && s[p] <= 'z') || s[p] == '-' ||
                               s[p] == '+' || s[p] == '.' || s[p] == 'E'))
                ++p;
        } else {
            return false;
        }
    }
    return depth == 0;
}

// A script that is one call on a JSON value: "Search.setIndex({...})".
bool callOnJson(std::string_view s, std::vector<Found>& found)
{
    std::size_t p = 0;
    while (p < s.size() && jsonSpace(s[p]))
        ++p;
    const std::size_t name = p;
    while (p < s.size() && (std::isalnum(static_cast<unsigned char>(s[p])) || s[p] == '_' || s[p] == '$' || s[p] == '.'))
        ++p;
    if (p == name || p >= s.size() || s[p] != '(')
        return false;
    std::size_t end = s.size();
    while (end > p && (jsonSpace(s[end - 1]) || s[end - 1] == ';'))
        --end;
    if (end <= p + 1 || s[end - 1] != ')')
        return false;
    return jsonStrings(s, p + 1, end - 1, found);
}

// Any other script: in a string, a template or a regular expression
// "\u0040" means "@" as well, and in a comment it is text; outside those an
// address cannot stand in a script at all. Only a tagged template (String.raw
// and the like) reads the escape as written: a script with one is only
// searched.
bool script(std::string_view s, std::vector<Found>& found)
{
    for (std::size_t tick = s.find('`'); tick != std::string_view::npos; tick = s.find('`', tick + 1)) {
        std::size_t k = tick;
        while (k > 0 && (s[k - 1] == ' ' || s[k - 1] == '\t' || s[k - 1] == '\n' || s[k - 1] == '\r'))
            --k;
        if (k > 0 && (std::isalnum(static_cast<unsigned char>(s[k - 1])) || s[k - 1] == '_' || s[k - 1] == '$' ||
                      s[k - 1] == ')' || s[k - 1] == ']'))
            return false;
    }
    for (const auto& span : FindAddresses(s)) {
        const std::size_t at = s.find('@', span.first);
        found.push_back({at, span.first, s[at - 1] != '\\'});
    }
    return true;
}

// The addresses of an XML document: in text and attribute values they may
// be written as references; in comments, CDATA and markup they stay.
bool xmlText(std::string_view s, std::vector<Found>& found)
{
    auto search = [&](std::size_t from, std::size_t to, bool rewrite, bool cdata = false) {
        const std::string_view part = s.substr(from, to - from);
        for (const auto& [b, e] : FindAddresses(part))
            found.push_back({from + part.find('@', b), from + b, rewrite, cdata});
    };
    std::size_t p = 0;
    while (p < s.size()) {
        const std::size_t lt = s.find('<', p);
        search(p, lt == std::string_view::npos ? s.size() : lt, true);
        if (lt == std::string_view::npos)
            break;
        auto skipTo = [&](std::string_view close, bool cdata = false) {
            const std::size_t e = s.find(close, lt);
            if (e == std::string_view::npos)
                return false;
            search(lt, e, cdata, cdata);
            p = e + close.size();
            return true;
        };
        if (s.compare(lt, 4, "<!--") == 0) {
            if (!skipTo("-->"))
                return false;
        } else if (s.compare(lt, 9, "<![CDATA[") == 0) {
            if (!skipTo("]]>", true))
                return false;
        } else if (s.compare(lt, 2, "<?") == 0) {
            if (!skipTo("?>"))
                return false;
        } else if (s.compare(lt, 2, "<!") == 0) {
            // A doctype, perhaps with an internal subset in brackets.
            const std::size_t bracket = s.find_first_of("[>", lt);
            if (bracket != std::string_view::npos && s[bracket] == '[' && !skipTo("]>"))
                return false;
            if ((bracket == std::string_view::npos || s[bracket] == '>') && !skipTo(">"))
                return false;
        } else {
            // A tag: its attribute values are text.
            std::size_t q = lt + 1;
            while (q < s.size() && s[q] != '>') {
                if (s[q] == '"' || s[q] == '\'') {
                    const std::size_t close = s.find(s[q], q + 1);
                    if (close == std::string_view::npos)
                        return false;
                    search(q + 1, close, true);
                    q = close + 1;
                } else if (s[q] == '<') {
                    return false;
                } else {
                    ++q;
                }
            }
            if (q >= s.size())
                return false;
            p = q + 1;
        }
    }
    return true;
}

} // namespace

bool TextFormatOf(std::string_view name, TextFormat& format)
{
    const std::size_t dot = name.rfind('.');
    if (dot == std::string_view::npos)
        return false;
    std::string ext(name.substr(dot + 1));
    for (char& c : ext)
        c = Lower(c);
    if (ext == "json")
        format = TextFormat::json;
    else if (ext == "js" || ext == "mjs")
        format = TextFormat::script;
    else if (ext == "xml" || ext == "rss" || ext == "atom" || ext == "svg")
        format = TextFormat::xml;
    else if (ext == "txt")
        format = TextFormat::plain;
    else
        return false;
    return true;
}

TextFileResult RewriteTextFile(std::string_view s, TextFormat format)
{
    TextFileResult r;
    if (s.find('@') == std::string_view::npos)
        return r;
    std::vector<Found> found;
    bool understood = false;
    if (format == TextFormat::json)
        understood = jsonStrings(s, 0, s.size(), found);
    else if (format == TextFormat::script)
        understood = callOnJson(s, found) || (found.clear(), script(s, found));
    else if (format == TextFormat::xml)
        understood = xmlText(s, found);
    if (!understood) {
        found.clear();
        for (const auto& [b, e] : FindAddresses(s))
            found.push_back({s.find('@', b), b, false});
    }
    std::sort(found.begin(), found.end(), [](const Found& a, const Found& b) { return a.offset < b.offset; });
    std::vector<std::size_t> offsets;
    for (const Found& f : found)
        offsets.push_back(f.offset);
    const std::vector<unsigned> lines = LinesOf(s, offsets);
    std::size_t at = 0;
    const std::string_view spelling = format == TextFormat::xml ? "&#64;" : "\\u0040";
    for (std::size_t i = 0; i < found.size(); ++i) {
        r.addresses.push_back({found[i].offset, lines[i], found[i].rewrite});
        if (!found[i].rewrite)
            continue;
        r.bytes.append(s.substr(at, found[i].at - at));
        r.bytes += found[i].cdata ? "]]>&#64;<![CDATA[" : spelling;
        at = found[i].at + 1;
        r.changed = true;
    }
    if (r.changed)
        r.bytes.append(s.substr(at));
    else
        r.bytes.clear();
    return r;
}

} // namespace Site
