// libFuzzer target on the page rewriter. The first byte picks the shape and
// --text; the rest is the page. For any page it asserts, besides what the
// sanitizers catch:
// - outside the edits it reports, the output is the input byte for byte,
//   and each edit lies inside the link or text it was found in;
// - rewriting the output again changes nothing;
// - gumbo builds the same tree from the output, with each inserted script
//   replaced by the markup it writes, and each link of the external shape
//   as its script file leaves it, as from the input;
// - wherever the scan claims the page rather than leaving it to gumbo, the
//   rewrite is gumbo's: the same bytes, outcome and findings.

#include "GumboLinkFinder.h"
#include "LinkScript.h"
#include "PageRewriter.h"
#include "ScanLinkFinder.h"
#include "Text.h"

#include <gumbo.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

[[noreturn]] void fail(const char* what, std::string_view page)
{
    std::fprintf(stderr, "invariant broken: %s\npage: %.*s\n", what, static_cast<int>(page.size()), page.data());
    std::abort();
}

// The markup a block that the rewrite inserted puts in its place when it
// runs: the single-quoted strings it assigns, joined and unescaped.
std::string written(std::string_view block)
{
    constexpr std::string_view kCall = "document.currentScript.outerHTML = '";
    const std::size_t call = block.find(kCall);
    if (block.rfind("<script", 0) != 0 || call == std::string_view::npos)
        return std::string(block);
    std::string out;
    for (std::size_t i = call + kCall.size(); i < block.size(); ++i) {
        const char c = block[i];
        if (c == '\'') {  // the end of a string: " + '" goes on, "';" ends it
            if (block.compare(i, 5, "' + '") != 0)
                break;
            i += 4;
        } else if (c == '\\' && i + 1 < block.size()) {
            const char e = block[++i];
            if (e == 'r') out += '\r';
            else if (e == 'n') out += '\n';
            else if (e == 'u') out += block.substr(i + 1, 4) == "2028" ? "\u2028" : "\u2029", i += 4;
            else out += e;
        } else {
            out += c;
        }
    }
    return out;
}

// Gumbo's tree as text: elements with their namespace, name and decoded
// attributes, and the decoded text, comments and doctype. Gumbo decodes a
// numeric reference far beyond U+10FFFF into a stray byte, where a browser
// reads U+FFFD as the rewrite writes it: decoded text is compared as
// UTF-8 with every invalid byte as U+FFFD.
std::string valid(std::string_view s) { return Site::ToUtf8(Site::ToUtf16(s)); }

// What the external shape's script file does, after its file: a token back
// to text, and each "…@domain" in the link's attributes and text, in order,
// back to the address it stood for.
std::string plain(std::string_view token)
{
    auto hex = [&](std::size_t at) {
        unsigned v = 0;
        for (std::size_t i = at; i < at + 4; ++i)
            v = v * 16 + static_cast<unsigned>(token[i] <= '9' ? token[i] - '0' : token[i] - 'a' + 10);
        return v;
    };
    if (token.size() < 4)
        return {};
    unsigned key = hex(0);
    std::u16string text;
    for (std::size_t i = 4; i + 4 <= token.size(); i += 4) {
        text += static_cast<char16_t>(hex(i) ^ key);
        key = (key * 25173 + 13849) & 0xffff;
    }
    return Site::ToUtf8(text);
}

struct Hidden {
    std::vector<std::string> addresses;  // the link's, in order, not yet put back
    int depth = -1;                      // the link's, while its subtree is walked

    std::string put(std::string text)
    {
        for (std::size_t at = 0; !addresses.empty();) {
            const std::string& a = addresses.front();
            const std::string shown = "\u2026" + a.substr(std::min(a.rfind('@'), a.size()));
            const std::size_t found = text.find(shown, at);
            if (found == std::string::npos)
                break;
            text.replace(found, shown.size(), a);
            at = found + a.size();
            addresses.erase(addresses.begin());
        }
        return text;
    }
};

std::string tree(std::string_view page)
{
    GumboOutput* parsed = gumbo_parse_with_options(&kGumboDefaultOptions, page.data(), page.size());
    std::string out;
    const GumboDocument& doc = parsed->document->v.document;
    out += "doctype " + std::string(doc.name) + "|" + doc.public_identifier + "|" + doc.system_identifier + "|" +
           std::to_string(doc.doc_type_quirks_mode) + "\n";
    std::vector<std::pair<const GumboNode*, int>> stack;
    for (unsigned i = doc.children.length; i-- > 0;)
        stack.emplace_back(static_cast<const GumboNode*>(doc.children.data[i]), 0);
    Hidden hidden;
    while (!stack.empty()) {
        const auto [node, depth] = stack.back();
        stack.pop_back();
        if (depth <= hidden.depth) {
            if (!hidden.addresses.empty())
                out += "addresses the script file cannot put back\n";
            hidden = {};
        }
        if (node->type == GUMBO_NODE_ELEMENT && node->v.element.tag == GUMBO_TAG_SCRIPT)
            if (const GumboAttribute* src = gumbo_get_attribute(&node->v.element.attributes, "src");
                src && std::string_view(src->value).ends_with(Site::kLinkScriptName))
                continue;  // the tag that loads the script file
        out.append(static_cast<std::size_t>(depth), ' ');
        if (node->type != GUMBO_NODE_ELEMENT && node->type != GUMBO_NODE_TEMPLATE) {
            out += std::to_string(node->type) + " " + valid(hidden.put(node->v.text.text)) + "\n";
            continue;
        }
        const GumboElement& e = node->v.element;
        std::string name = gumbo_normalized_tagname(e.tag);
        if (e.tag == GUMBO_TAG_UNKNOWN) {
            GumboStringPiece original = e.original_tag;
            gumbo_tag_from_original_text(&original);
            // Gumbo keeps an unknown element's name only in its source, and
            // where it made the element from a stray tag that source runs on
            // over attributes: the name is the first word.
            std::string_view text(original.data, original.length);
            text.remove_prefix(std::min(text.size(), text.find_first_not_of("</>")));
            name.assign(text.substr(0, text.find_first_of(" \t\n\f\r/><")));
            for (char& c : name)
                c = static_cast<char>(c >= 'A' && c <= 'Z' ? c + 32 : c);
        }
        out += "<" + std::to_string(e.tag_namespace) + ":" + name;
        const GumboAttribute* keyed = e.tag == GUMBO_TAG_A ? gumbo_get_attribute(&e.attributes, "data-quorvel") : nullptr;
        std::string href;
        if (keyed && hidden.depth < 0) {
            hidden.depth = depth;
            std::string_view tokens = keyed->value;
            href = plain(tokens.substr(0, tokens.find(' ')));
            for (std::size_t at = tokens.find(' '); at != std::string_view::npos; at = tokens.find(' ', at + 1))
                hidden.addresses.push_back(plain(tokens.substr(at + 1, tokens.find(' ', at + 1) - at - 1)));
        }
        for (unsigned i = 0; i < e.attributes.length; ++i) {
            const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
            if (a == keyed && hidden.depth == depth)
                out += " 0:href=[" + valid(href) + "]";
            else
                out += " " + std::to_string(a->attr_namespace) + ":" + a->name + "=[" + valid(hidden.put(a->value)) + "]";
        }
        out += ">\n";
        for (unsigned i = e.children.length; i-- > 0;)
            stack.emplace_back(static_cast<const GumboNode*>(e.children.data[i]), depth + 1);
    }
    if (!hidden.addresses.empty())
        out += "addresses the script file cannot put back\n";
    gumbo_destroy_output(&kGumboDefaultOptions, parsed);
    return out;
}

bool same(const Site::PageResult& a, const Site::PageResult& b)
{
    if (a.outcome != b.outcome || a.loadsScript != b.loadsScript || a.why != b.why || a.page != b.page ||
        a.findings.size() != b.findings.size())
        return false;
    for (std::size_t i = 0; i < a.findings.size(); ++i)
        if (a.findings[i].kind != b.findings[i].kind || a.findings[i].offset != b.findings[i].offset ||
            a.findings[i].line != b.findings[i].line)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    if (size == 0)
        return 0;
    static Site::FastLinkFinder finder;  // as quorvel-site finds links
    static Site::GumboLinkFinder gumbo;
    Site::RewriteOptions options;
    options.shape = static_cast<TagComposer::ElementShape>(data[0] & 3);
    options.text = (data[0] & 4) != 0;
    const std::string_view page(reinterpret_cast<const char*>(data) + 1, size - 1);
    auto rewrite = [&](std::string_view bytes) {
        const std::size_t scanned = finder.scanned;
        Site::PageResult result = Site::RewritePage(bytes, options, finder);
        if (finder.scanned > scanned && !same(result, Site::RewritePage(bytes, options, gumbo)))
            fail("the scan and gumbo rewrite the page differently", bytes);
        return result;
    };
    const Site::PageResult r = rewrite(page);
    if (r.outcome != Site::PageResult::Outcome::changed)
        return 0;

    std::string rebuilt, shown;
    std::size_t at = 0;
    for (const Site::Edit& e : r.edits) {
        if (e.begin < at || e.end < e.begin || e.end > page.size())
            fail("edits out of order or overlapping", page);
        if (e.begin < e.within.begin || e.end > e.within.end || e.within.end > page.size())
            fail("an edit outside what it was found in", page);
        rebuilt.append(page.substr(at, e.begin - at));
        shown.append(page.substr(at, e.begin - at));
        rebuilt += e.text;
        shown += written(e.text);
        at = e.end;
    }
    rebuilt.append(page.substr(at));
    shown.append(page.substr(at));
    if (rebuilt != r.page)
        fail("bytes changed outside the edits", page);
    if (rewrite(r.page).outcome == Site::PageResult::Outcome::changed)
        fail("a second rewrite changed the page", page);
    if (const std::string before = tree(page), after = tree(shown); before != after) {
        // Written whole: a page may hold NUL bytes, and so may its trees.
        const std::string report = "tree of the input:\n" + before + "\ntree of the output as shown:\n" + after +
                                   "\noutput as shown:\n" + shown + "\n";
        std::fwrite(report.data(), 1, report.size(), stderr);
        fail("gumbo builds another tree from the output", page);
    }
    return 0;
}
