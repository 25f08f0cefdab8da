#include "ScanLinkFinder.h"

#include "Markup.h"
#include "Text.h"

#include <gumbo.h>

#include <array>
#include <cstdint>
#include <cstring>
#include <initializer_list>
#include <vector>

namespace Site {
namespace {

// What the tree builder does with a tag, as gumbo 0.10.1 does it (which is
// not always what today's HTML standard says: `main` closes a `p` but is
// not special there, an unknown end tag closes any unknown element).
enum : std::uint16_t {
    kSpecial = 1 << 0,     // stops "any other end tag" and the list item loop
    kFormatting = 1 << 1,  // goes on the list of active formatting elements
    kClosesP = 1 << 2,     // its start tag closes a p in button scope
    kImplied = 1 << 3,     // "generate implied end tags" pops it
    kScope = 1 << 4,       // bounds the default scope
    kBlockEnd = 1 << 5,    // its end tag closes it when in scope
    kWalkVoid = 1 << 6,    // needs no end tag of its own to count as its own tags
    kMarks = 1 << 7,       // an `a` inside does not close one outside
    kHeading = 1 << 8,
};

const std::array<std::uint16_t, GUMBO_TAG_LAST + 1>& props()
{
    static const auto table = [] {
        std::array<std::uint16_t, GUMBO_TAG_LAST + 1> t{};
        auto set = [&](std::uint16_t p, std::initializer_list<GumboTag> tags) {
            for (const GumboTag g : tags)
                t[g] |= p;
        };
        set(kSpecial,
            {GUMBO_TAG_ADDRESS, GUMBO_TAG_APPLET, GUMBO_TAG_AREA, GUMBO_TAG_ARTICLE, GUMBO_TAG_ASIDE, GUMBO_TAG_BASE,
             GUMBO_TAG_BASEFONT, GUMBO_TAG_BGSOUND, GUMBO_TAG_BLOCKQUOTE, GUMBO_TAG_BODY, GUMBO_TAG_BR,
             GUMBO_TAG_BUTTON, GUMBO_TAG_CAPTION, GUMBO_TAG_CENTER, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP,
             GUMBO_TAG_MENUITEM, GUMBO_TAG_DD, GUMBO_TAG_DETAILS, GUMBO_TAG_DIR, GUMBO_TAG_DIV, GUMBO_TAG_DL,
             GUMBO_TAG_DT, GUMBO_TAG_EMBED, GUMBO_TAG_FIELDSET, GUMBO_TAG_FIGCAPTION, GUMBO_TAG_FIGURE,
             GUMBO_TAG_FOOTER, GUMBO_TAG_FORM, GUMBO_TAG_FRAME, GUMBO_TAG_FRAMESET, GUMBO_TAG_H1, GUMBO_TAG_H2,
             GUMBO_TAG_H3, GUMBO_TAG_H4, GUMBO_TAG_H5, GUMBO_TAG_H6, GUMBO_TAG_HEAD, GUMBO_TAG_HEADER,
             GUMBO_TAG_HGROUP, GUMBO_TAG_HR, GUMBO_TAG_HTML, GUMBO_TAG_IFRAME, GUMBO_TAG_IMG, GUMBO_TAG_INPUT,
             GUMBO_TAG_ISINDEX, GUMBO_TAG_LI, GUMBO_TAG_LINK, GUMBO_TAG_LISTING, GUMBO_TAG_MARQUEE, GUMBO_TAG_MENU,
             GUMBO_TAG_META, GUMBO_TAG_NAV, GUMBO_TAG_NOEMBED, GUMBO_TAG_NOFRAMES, GUMBO_TAG_NOSCRIPT,
             GUMBO_TAG_OBJECT, GUMBO_TAG_OL, GUMBO_TAG_P, GUMBO_TAG_PARAM, GUMBO_TAG_PLAINTEXT, GUMBO_TAG_PRE,
             GUMBO_TAG_SCRIPT, GUMBO_TAG_SECTION, GUMBO_TAG_SELECT, GUMBO_TAG_STYLE, GUMBO_TAG_SUMMARY,
             GUMBO_TAG_TABLE, GUMBO_TAG_TBODY, GUMBO_TAG_TD, GUMBO_TAG_TEMPLATE, GUMBO_TAG_TEXTAREA,
             GUMBO_TAG_TFOOT, GUMBO_TAG_TH, GUMBO_TAG_THEAD, GUMBO_TAG_TITLE, GUMBO_TAG_TR, GUMBO_TAG_UL,
             GUMBO_TAG_WBR, GUMBO_TAG_XMP});
        set(kFormatting, {GUMBO_TAG_A, GUMBO_TAG_B, GUMBO_TAG_BIG, GUMBO_TAG_CODE, GUMBO_TAG_EM, GUMBO_TAG_FONT,
                          GUMBO_TAG_I, GUMBO_TAG_NOBR, GUMBO_TAG_S, GUMBO_TAG_SMALL, GUMBO_TAG_STRIKE,
                          GUMBO_TAG_STRONG, GUMBO_TAG_TT, GUMBO_TAG_U});
        set(kClosesP, {GUMBO_TAG_ADDRESS, GUMBO_TAG_ARTICLE, GUMBO_TAG_ASIDE, GUMBO_TAG_BLOCKQUOTE,
                       GUMBO_TAG_CENTER, GUMBO_TAG_DETAILS, GUMBO_TAG_DIR, GUMBO_TAG_DIV, GUMBO_TAG_DL,
                       GUMBO_TAG_FIELDSET, GUMBO_TAG_FIGCAPTION, GUMBO_TAG_FIGURE, GUMBO_TAG_FOOTER,
                       GUMBO_TAG_HEADER, GUMBO_TAG_HGROUP, GUMBO_TAG_MAIN, GUMBO_TAG_MENU, GUMBO_TAG_NAV,
                       GUMBO_TAG_OL, GUMBO_TAG_P, GUMBO_TAG_SECTION, GUMBO_TAG_SUMMARY, GUMBO_TAG_UL});
        set(kBlockEnd, {GUMBO_TAG_ADDRESS, GUMBO_TAG_ARTICLE, GUMBO_TAG_ASIDE, GUMBO_TAG_BLOCKQUOTE,
                        GUMBO_TAG_BUTTON, GUMBO_TAG_CENTER, GUMBO_TAG_DETAILS, GUMBO_TAG_DIR, GUMBO_TAG_DIV,
                        GUMBO_TAG_DL, GUMBO_TAG_FIELDSET, GUMBO_TAG_FIGCAPTION, GUMBO_TAG_FIGURE, GUMBO_TAG_FOOTER,
                        GUMBO_TAG_HEADER, GUMBO_TAG_HGROUP, GUMBO_TAG_LISTING, GUMBO_TAG_MAIN, GUMBO_TAG_MENU,
                        GUMBO_TAG_NAV, GUMBO_TAG_OL, GUMBO_TAG_PRE, GUMBO_TAG_SECTION, GUMBO_TAG_SUMMARY,
                        GUMBO_TAG_UL});
        set(kImplied, {GUMBO_TAG_DD, GUMBO_TAG_DT, GUMBO_TAG_LI, GUMBO_TAG_OPTION, GUMBO_TAG_OPTGROUP, GUMBO_TAG_P,
                       GUMBO_TAG_RP, GUMBO_TAG_RT});
        set(kScope, {GUMBO_TAG_APPLET, GUMBO_TAG_CAPTION, GUMBO_TAG_HTML, GUMBO_TAG_TABLE, GUMBO_TAG_TD,
                     GUMBO_TAG_TH, GUMBO_TAG_MARQUEE, GUMBO_TAG_OBJECT, GUMBO_TAG_TEMPLATE});
        set(kWalkVoid, {GUMBO_TAG_AREA, GUMBO_TAG_BASE, GUMBO_TAG_BR, GUMBO_TAG_COL, GUMBO_TAG_EMBED, GUMBO_TAG_HR,
                        GUMBO_TAG_IMG, GUMBO_TAG_INPUT, GUMBO_TAG_LINK, GUMBO_TAG_META, GUMBO_TAG_PARAM,
                        GUMBO_TAG_SOURCE, GUMBO_TAG_TRACK, GUMBO_TAG_WBR});
        set(kMarks, {GUMBO_TAG_TD, GUMBO_TAG_TH, GUMBO_TAG_CAPTION, GUMBO_TAG_OBJECT, GUMBO_TAG_MARQUEE,
                     GUMBO_TAG_APPLET, GUMBO_TAG_TEMPLATE});
        set(kHeading, {GUMBO_TAG_H1, GUMBO_TAG_H2, GUMBO_TAG_H3, GUMBO_TAG_H4, GUMBO_TAG_H5, GUMBO_TAG_H6});
        return t;
    }();
    return table;
}

bool has(GumboTag tag, std::uint16_t p) { return (props()[tag] & p) != 0; }

bool blank(std::string_view s)
{
    for (const char c : s)
        if (!Space(c))
            return false;
    return true;
}

// The scan declines by throwing this: the page goes to gumbo.
struct Decline {
    const char* why;
};

struct Token {
    enum Kind { startTag, endTag, text, eof } kind = eof;
    GumboTag tag = GUMBO_TAG_UNKNOWN;
    std::size_t begin = 0, end = 0;  // its bytes
    std::size_t name = 0, nameLength = 0;  // where its name stands
    bool selfClosing = false;
};

struct Attribute {
    std::size_t nameBegin, nameEnd;
    Span value;  // as written, quotes included; empty without one
};

enum class Mode {
    initial, beforeHtml, beforeHead, inHead, inHeadNoscript, afterHead, inBody, inTable, inCaption,
    inColumnGroup, inTableBody, inRow, inCell, inSelect, inSelectInTable, afterBody, afterAfterBody,
};

enum Namespace { html, svg, mathml };

struct Element {
    GumboTag tag;
    Namespace ns;
    std::size_t name, nameLength;  // its name as written, for foreign end tags
    bool own;          // made from a start tag of the page
    bool shown;        // shown where it stands (its parent's content shows)
    bool showsContent; // its content shows (not a noscript's)
    bool marked;       // an `a` inside it does not close one outside
    int link;          // the mail link it is or is inside, or -1
    bool isLink;       // it is that link
    int anchor;        // its entry among the anchors, or -1
    int entry;         // on the list of active formatting elements: its serial, or -1
};

struct Entry {
    int serial;  // -1: a marker
    GumboTag tag;
    bool open;
};

} // namespace

struct ScanLinkFinder::State {
    std::string_view s;
    bool wantText = false;
    PageFindings* out = nullptr;
    Mode mode = Mode::initial;
    std::vector<Element> stack;
    std::vector<Entry> formatting;
    std::vector<Attribute> attributes;
    std::vector<Anchor> anchors;
    std::vector<Span> noscript;
    int serials = 0;
    bool formOpen = false;  // the form element pointer is set
    int quirks = -1;        // -1 not known yet
    Span doctype{};
    Token token;

    void reset(std::string_view page, bool text, PageFindings& found)
    {
        s = page;
        wantText = text;
        out = &found;
        mode = Mode::initial;
        stack.clear();
        formatting.clear();
        anchors.clear();
        noscript.clear();
        serials = 0;
        formOpen = false;
        quirks = -1;
        doctype = {};
    }

    [[noreturn]] static void decline(const char* why) { throw Decline{why}; }

    // ---- the stack of open elements ------------------------------------

    Element& current() { return stack.back(); }
    GumboTag currentTag() const { return stack.empty() ? GUMBO_TAG_UNKNOWN : stack.back().tag; }

    void unclean(int link)
    {
        if (link >= 0 && out->links[static_cast<std::size_t>(link)].scope == MailLink::Scope::whole)
            out->links[static_cast<std::size_t>(link)].scope = MailLink::Scope::inPlace;
    }

    // Pops the current node while `token` is processed. Whether that is the
    // element's own end tag is judged as the walk over gumbo's tree judges
    // it, by the name in the end tag's whole text: "</a >" is not an `a`'s
    // (it names no known element), and any text that names none is an
    // unknown element's.
    void pop()
    {
        const Element e = stack.back();
        stack.pop_back();
        const bool exact = token.end == token.name + token.nameLength + 1;
        const bool ownEnd = token.kind == Token::endTag && (exact ? token.tag : GUMBO_TAG_UNKNOWN) == e.tag;
        if (e.isLink) {
            MailLink& l = out->links[static_cast<std::size_t>(e.link)];
            if (e.own && ownEnd)
                l.element.end = token.end;
            else
                unclean(e.link);
        } else if (e.link >= 0 && e.shown && (!e.own || (!ownEnd && !has(e.tag, kWalkVoid)))) {
            unclean(e.link);  // markup the parser repaired inside the link
        }
        if (e.anchor >= 0)
            anchors[static_cast<std::size_t>(e.anchor)].closed = e.own && ownEnd;
        if (e.entry >= 0)
            for (std::size_t i = formatting.size(); i-- > 0;)
                if (formatting[i].serial == e.entry) {
                    formatting[i].open = false;
                    break;
                }
    }

    void popUntil(GumboTag tag)
    {
        while (currentTag() != tag)
            pop();
        pop();
    }

    bool inScope(GumboTag tag, GumboTag extra1 = GUMBO_TAG_LAST, GumboTag extra2 = GUMBO_TAG_LAST) const
    {
        for (std::size_t i = stack.size(); i-- > 0;) {
            const GumboTag t = stack[i].tag;
            if (t == tag)
                return true;
            if (has(t, kScope) || t == extra1 || t == extra2)
                return false;
        }
        return false;
    }
    bool inButtonScope(GumboTag tag) const { return inScope(tag, GUMBO_TAG_BUTTON); }
    bool inListScope(GumboTag tag) const { return inScope(tag, GUMBO_TAG_OL, GUMBO_TAG_UL); }
    bool inTableScope(GumboTag tag) const
    {
        for (std::size_t i = stack.size(); i-- > 0;) {
            const GumboTag t = stack[i].tag;
            if (t == tag)
                return true;
            if (t == GUMBO_TAG_HTML || t == GUMBO_TAG_TABLE || t == GUMBO_TAG_TEMPLATE)
                return false;
        }
        return false;
    }
    bool headingInScope() const
    {
        for (std::size_t i = stack.size(); i-- > 0;) {
            if (has(stack[i].tag, kHeading))
                return true;
            if (has(stack[i].tag, kScope))
                return false;
        }
        return false;
    }

    void generateImpliedEndTags(GumboTag except = GUMBO_TAG_LAST)
    {
        while (!stack.empty() && has(currentTag(), kImplied) && currentTag() != except)
            pop();
    }

    void implicitlyClose(GumboTag tag)
    {
        generateImpliedEndTags(tag);
        popUntil(tag);
    }

    void closeP()
    {
        if (inButtonScope(GUMBO_TAG_P))
            implicitlyClose(GUMBO_TAG_P);
    }

    // ---- the list of active formatting elements --------------------------

    // Gumbo would reconstruct: clones of elements the scan has no place for.
    void reconstruct() const
    {
        if (!formatting.empty() && formatting.back().serial >= 0 && !formatting.back().open)
            decline("formatting elements to reconstruct");
    }

    void clearToMarker()
    {
        while (!formatting.empty()) {
            const bool marker = formatting.back().serial < 0;
            formatting.pop_back();
            if (marker)
                return;
        }
    }

    // The last entry after the last marker with `tag`, or -1.
    int lastFormatting(GumboTag tag) const
    {
        for (std::size_t i = formatting.size(); i-- > 0;) {
            if (formatting[i].serial < 0)
                return -1;
            if (formatting[i].tag == tag)
                return static_cast<int>(i);
        }
        return -1;
    }

    void addFormatting(GumboTag tag)
    {
        int same = 0;
        for (std::size_t i = formatting.size(); i-- > 0 && formatting[i].serial >= 0;)
            same += formatting[i].tag == tag;
        if (same >= 3)
            decline("a fourth formatting element of one kind");  // Noah's Ark clause
        current().entry = serials;
        formatting.push_back({serials++, tag, true});
    }

    void addMarker() { formatting.push_back({-1, GUMBO_TAG_UNKNOWN, false}); }

    // ---- tags and attributes ---------------------------------------------

    // The attributes of the start tag in `token`.
    const std::vector<Attribute>& lexAttributes()
    {
        attributes.clear();
        std::size_t p = token.begin + 1;
        while (!Space(s[p]) && s[p] != '/' && s[p] != '>')
            ++p;
        for (;;) {
            while (Space(s[p]) || s[p] == '/')
                ++p;
            if (s[p] == '>')
                return attributes;
            Attribute a{p, p, {}};
            ++p;  // a name may start with '='
            while (!Space(s[p]) && s[p] != '/' && s[p] != '>' && s[p] != '=')
                ++p;
            a.nameEnd = p;
            while (Space(s[p]))
                ++p;
            if (s[p] == '=') {
                ++p;
                while (Space(s[p]))
                    ++p;
                if (s[p] == '"' || s[p] == '\'') {
                    const std::size_t close = s.find(s[p], p + 1);
                    a.value = {p, close + 1};
                    p = close + 1;
                } else {
                    const std::size_t from = p;
                    while (!Space(s[p]) && s[p] != '>')
                        ++p;
                    a.value = {from, p};
                }
            }
            // Gumbo, told to keep no errors as the walk over its tree tells
            // it, reads the name after a repeated one without a value as the
            // two run together: such a tag is left to it.
            for (const Attribute& b : attributes)
                if (sameName(a, b))
                    decline("a repeated attribute");
            for (std::size_t i = a.nameBegin; i < a.nameEnd; ++i)
                if (static_cast<unsigned char>(s[i]) >= 0x7F || static_cast<unsigned char>(s[i]) < 0x20)
                    decline("an attribute name beyond printable ASCII");  // gumbo compares it decoded
            attributes.push_back(a);
        }
    }

    bool sameName(const Attribute& a, const Attribute& b) const
    {
        if (a.nameEnd - a.nameBegin != b.nameEnd - b.nameBegin)
            return false;
        for (std::size_t i = 0; i < a.nameEnd - a.nameBegin; ++i)
            if (Lower(s[a.nameBegin + i]) != Lower(s[b.nameBegin + i]))
                return false;
        return true;
    }

    bool named(const Attribute& a, std::string_view name) const
    {
        if (a.nameEnd - a.nameBegin != name.size())
            return false;
        for (std::size_t i = 0; i < name.size(); ++i)
            if (Lower(s[a.nameBegin + i]) != name[i])
                return false;
        return true;
    }

    // An attribute's value without its quotes, as the walk over gumbo's tree
    // reads it.
    static Span inner(const Attribute& a, std::string_view s)
    {
        Span v = a.value;
        if (v.end - v.begin >= 2 && (s[v.begin] == '"' || s[v.begin] == '\'')) {
            ++v.begin;
            --v.end;
        }
        return v;
    }

    // The href as a browser reads it. Printable ASCII is read here; a value
    // with references, control characters (gumbo reads a carriage return as
    // a line feed, others as U+FFFD) or bytes beyond ASCII is decoded by
    // gumbo from the tag alone, as the page's parse would.
    std::string hrefValue(const Attribute& href)
    {
        const Span v = inner(href, s);
        const std::string_view raw = s.substr(v.begin, v.end - v.begin);
        bool plain = true;
        for (const char c : raw)
            plain = plain && ((c >= 0x20 && c < 0x7F && c != '&') || c == '\t' || c == '\n' || c == '\f');
        if (plain)
            return std::string(raw);
        GumboOutput* tag = gumbo_parse_with_options(&kGumboDefaultOptions, s.data() + token.begin,
                                                    token.end - token.begin);
        std::string value;
        const GumboNode* body = tag->root;
        // html > head, body > the element
        for (unsigned i = 0; i < body->v.element.children.length; ++i) {
            const auto* child = static_cast<const GumboNode*>(body->v.element.children.data[i]);
            if (child->type != GUMBO_NODE_ELEMENT || child->v.element.tag != GUMBO_TAG_BODY)
                continue;
            for (unsigned k = 0; k < child->v.element.children.length; ++k) {
                const auto* e = static_cast<const GumboNode*>(child->v.element.children.data[k]);
                if (e->type == GUMBO_NODE_ELEMENT && e->v.element.tag == token.tag)
                    if (const GumboAttribute* a = gumbo_get_attribute(&e->v.element.attributes, "href"))
                        value = a->value;
            }
        }
        gumbo_destroy_output(&kGumboDefaultOptions, tag);
        return value;
    }

    // ---- inserting elements -----------------------------------------------

    void push(GumboTag tag, bool own)
    {
        if (stack.size() > 1024)
            decline("nested deeper than the scan follows");
        Element e{tag, html, token.name, token.nameLength, own, true, true, false, -1, false, -1, -1};
        if (!stack.empty()) {
            const Element& parent = stack.back();
            e.shown = parent.showsContent;
            e.marked = parent.marked || has(parent.tag, kMarks);
            e.link = parent.link;
        }
        e.showsContent = e.shown && tag != GUMBO_TAG_NOSCRIPT;
        if (!own && e.link >= 0)
            unclean(e.link);
        stack.push_back(e);
    }

    // The element of the start tag in `token`, where the page's parser
    // would put it: a mail link, an attribute to search in one, or neither.
    void insert()
    {
        push(token.tag, true);
        Element& e = stack.back();
        const bool candidate = e.shown && (token.tag == GUMBO_TAG_A || token.tag == GUMBO_TAG_AREA);
        if (candidate || (e.shown && e.link >= 0)) {
            const std::vector<Attribute>& attrs = lexAttributes();
            const Attribute* href = nullptr;
            if (candidate)
                for (const Attribute& a : attrs)
                    if (!href && named(a, "href"))
                        href = &a;
            std::string value;
            if (href && href->value.end > href->value.begin)
                value = hrefValue(*href);
            if (href && href->value.end > href->value.begin && MailtoSchemeEnd(value) > 0) {
                unclean(e.link);  // a link inside a link: only broken markup makes one
                MailLink l;
                l.value = std::move(value);
                l.scope = token.tag == GUMBO_TAG_A ? MailLink::Scope::whole : MailLink::Scope::inPlace;
                l.element = {token.begin, token.end};
                l.href = href->value;
                for (const Attribute& a : attrs)
                    if (&a != href)
                        if (const Span v = inner(a, s); v.end > v.begin)
                            l.texts.push_back(v);
                out->links.push_back(std::move(l));
                e.link = static_cast<int>(out->links.size() - 1);
                e.isLink = true;
            } else if (e.link >= 0) {
                for (const Attribute& a : attrs)
                    if (const Span v = inner(a, s); v.end > v.begin)
                        out->links[static_cast<std::size_t>(e.link)].texts.push_back(v);
            }
        }
        if (token.tag == GUMBO_TAG_A) {
            e.anchor = static_cast<int>(anchors.size());
            anchors.push_back({token.begin, false, e.isLink ? e.link : -1, e.marked});
        }
        if (token.tag == GUMBO_TAG_NOSCRIPT)
            noscript.push_back(NoscriptText(s, token.end));
    }

    void insertVoid()
    {
        insert();
        pop();
    }

    // ---- text --------------------------------------------------------------

    void text(Span t)
    {
        if (t.end <= t.begin)
            return;
        const Element& parent = stack.back();
        if (!parent.showsContent)
            return;
        if (parent.link >= 0)
            out->links[static_cast<std::size_t>(parent.link)].texts.push_back(t);
        else if (wantText)
            out->texts.push_back(t);
    }

    // Raw text, RCDATA and script data: up to the end tag of the element in
    // `token`, which is then popped by that end tag. Title text shows.
    void rawText(bool shows)
    {
        insert();
        const char* name = gumbo_normalized_tagname(token.tag);
        const std::size_t n = std::strlen(name);
        const std::size_t from = token.end;
        std::size_t at = from;
        for (;;) {
            at = s.find("</", at);
            if (at == std::string_view::npos || at + 2 + n >= s.size())
                decline("raw text that runs to the end of the page");
            bool match = true;
            for (std::size_t i = 0; match && i < n; ++i)
                match = Lower(s[at + 2 + i]) == name[i];
            const char next = s[at + 2 + n];
            if (match && (Space(next) || next == '/' || next == '>'))
                break;
            at += 2;
        }
        if (token.tag == GUMBO_TAG_SCRIPT) {
            // "<!--" then "<script" inside a script: the end tag that follows
            // may not end it.
            const std::size_t escape = s.substr(0, at).find("<!--", from);
            if (escape != std::string_view::npos)
                for (std::size_t k = FindNoCase(s.substr(0, at), "<script", escape); k != std::string_view::npos;
                     k = FindNoCase(s.substr(0, at), "<script", k + 1))
                    if (k + 7 < at && (Space(s[k + 7]) || s[k + 7] == '/' || s[k + 7] == '>'))
                        decline("a script within a commented script");
        }
        if (shows && stack.back().shown) {
            std::vector<Span>& texts = stack.back().link >= 0
                                           ? out->links[static_cast<std::size_t>(stack.back().link)].texts
                                           : out->texts;
            if (stack.back().link >= 0 || wantText)
                TextPieces(s, {from, at}, texts);
        }
        const std::size_t end = StartTagEnd(s, at + 1);
        if (end == std::string_view::npos)
            decline("a tag that runs to the end of the page");
        token = {Token::endTag, token.tag, at, end, at + 2, n, false};
        pop();
    }

    bool isQuirks()
    {
        if (quirks < 0) {
            GumboOutput* o = gumbo_parse_with_options(&kGumboDefaultOptions, s.data() + doctype.begin,
                                                      doctype.end - doctype.begin);
            quirks = o->document->v.document.doc_type_quirks_mode == GUMBO_DOCTYPE_QUIRKS;
            gumbo_destroy_output(&kGumboDefaultOptions, o);
        }
        return quirks != 0;
    }

    // ---- the insertion modes ---------------------------------------------

    bool startIs(GumboTag t) const { return token.kind == Token::startTag && token.tag == t; }
    bool endIs(GumboTag t) const { return token.kind == Token::endTag && token.tag == t; }
    bool textIsBlank() const
    {
        return token.kind == Token::text && blank(s.substr(token.begin, token.end - token.begin));
    }

    void process()
    {
        for (;;) {
            if (!stack.empty() && stack.back().ns != html && token.kind != Token::eof) {
                foreign();
                return;
            }
            switch (mode) {
            case Mode::initial:
                if (textIsBlank())
                    return;
                quirks = 1;  // no doctype before the first content
                mode = Mode::beforeHtml;
                continue;
            case Mode::beforeHtml:
                if (textIsBlank() || (token.kind == Token::endTag && !endIs(GUMBO_TAG_HEAD) &&
                                      !endIs(GUMBO_TAG_BODY) && !endIs(GUMBO_TAG_HTML) && !endIs(GUMBO_TAG_BR)))
                    return;
                if (startIs(GUMBO_TAG_HTML)) {
                    push(GUMBO_TAG_HTML, true);
                    mode = Mode::beforeHead;
                    return;
                }
                push(GUMBO_TAG_HTML, false);
                mode = Mode::beforeHead;
                continue;
            case Mode::beforeHead:
                if (textIsBlank() || startIs(GUMBO_TAG_HTML) ||
                    (token.kind == Token::endTag && !endIs(GUMBO_TAG_HEAD) && !endIs(GUMBO_TAG_BODY) &&
                     !endIs(GUMBO_TAG_HTML) && !endIs(GUMBO_TAG_BR)))
                    return;
                if (startIs(GUMBO_TAG_HEAD)) {
                    push(GUMBO_TAG_HEAD, true);
                    mode = Mode::inHead;
                    return;
                }
                push(GUMBO_TAG_HEAD, false);
                mode = Mode::inHead;
                continue;
            case Mode::inHead:
                if (inHead())
                    return;
                pop();  // the head
                mode = Mode::afterHead;
                continue;
            case Mode::inHeadNoscript:
                if (inHeadNoscript())
                    return;
                pop();  // the noscript
                mode = Mode::inHead;
                continue;
            case Mode::afterHead:
                if (afterHead())
                    return;
                push(GUMBO_TAG_BODY, false);
                mode = Mode::inBody;
                continue;
            case Mode::inBody:
                inBody();
                return;
            case Mode::inTable:
                if (inTable())
                    return;
                continue;
            case Mode::inCaption:
                if (inCaption())
                    return;
                continue;
            case Mode::inColumnGroup:
                if (inColumnGroup())
                    return;
                continue;
            case Mode::inTableBody:
                if (inTableBody())
                    return;
                continue;
            case Mode::inRow:
                if (inRow())
                    return;
                continue;
            case Mode::inCell:
                if (inCell())
                    return;
                continue;
            case Mode::inSelect:
                if (inSelect())
                    return;
                continue;
            case Mode::inSelectInTable:
                if (inSelectInTable())
                    return;
                continue;
            case Mode::afterBody:
            case Mode::afterAfterBody:
                if (token.kind == Token::eof)
                    return;
                if (mode == Mode::afterBody && endIs(GUMBO_TAG_HTML)) {
                    mode = Mode::afterAfterBody;
                    return;
                }
                if (!textIsBlank() && !startIs(GUMBO_TAG_HTML))
                    mode = Mode::inBody;
                inBody();
                return;
            }
        }
    }

    // Each returns true when the token is done with, false to have it
    // processed again in the mode it left for.
    bool inHead()
    {
        if (textIsBlank() || startIs(GUMBO_TAG_HTML) || startIs(GUMBO_TAG_HEAD))
            return true;
        if (token.kind == Token::startTag)
            switch (token.tag) {
            case GUMBO_TAG_BASE: case GUMBO_TAG_BASEFONT: case GUMBO_TAG_BGSOUND: case GUMBO_TAG_MENUITEM:
            case GUMBO_TAG_LINK: case GUMBO_TAG_META:
                insertVoid();
                return true;
            case GUMBO_TAG_TITLE:
                rawText(true);
                return true;
            case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_STYLE: case GUMBO_TAG_SCRIPT:
                rawText(false);
                return true;
            case GUMBO_TAG_NOSCRIPT:
                insert();
                mode = Mode::inHeadNoscript;
                return true;
            case GUMBO_TAG_TEMPLATE:
                decline("a template");
            default:
                return false;
            }
        if (endIs(GUMBO_TAG_HEAD)) {
            pop();
            mode = Mode::afterHead;
            return true;
        }
        if (token.kind == Token::endTag && !endIs(GUMBO_TAG_BODY) && !endIs(GUMBO_TAG_HTML) && !endIs(GUMBO_TAG_BR))
            return true;
        return false;
    }

    bool inHeadNoscript()
    {
        if (startIs(GUMBO_TAG_HTML) || startIs(GUMBO_TAG_HEAD) || startIs(GUMBO_TAG_NOSCRIPT))
            return true;
        if (endIs(GUMBO_TAG_NOSCRIPT)) {
            pop();
            mode = Mode::inHead;
            return true;
        }
        if (textIsBlank() || startIs(GUMBO_TAG_BASEFONT) || startIs(GUMBO_TAG_BGSOUND) || startIs(GUMBO_TAG_LINK) ||
            startIs(GUMBO_TAG_META) || startIs(GUMBO_TAG_NOFRAMES) || startIs(GUMBO_TAG_STYLE))
            return inHead();
        if (token.kind == Token::endTag && !endIs(GUMBO_TAG_BR))
            return true;
        return false;
    }

    bool afterHead()
    {
        if (textIsBlank() || startIs(GUMBO_TAG_HTML) || startIs(GUMBO_TAG_HEAD))
            return true;
        if (startIs(GUMBO_TAG_BODY)) {
            push(GUMBO_TAG_BODY, true);
            mode = Mode::inBody;
            return true;
        }
        if (token.kind == Token::startTag)
            switch (token.tag) {
            case GUMBO_TAG_FRAMESET:
                decline("a frameset");
            case GUMBO_TAG_BASE: case GUMBO_TAG_BASEFONT: case GUMBO_TAG_BGSOUND: case GUMBO_TAG_LINK:
            case GUMBO_TAG_META: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_SCRIPT: case GUMBO_TAG_STYLE:
            case GUMBO_TAG_TITLE: {
                // Into the head, which is put back on the stack meanwhile.
                push(GUMBO_TAG_HEAD, true);
                const Mode before = mode;
                inHead();
                mode = before;
                stack.pop_back();
                return true;
            }
            case GUMBO_TAG_TEMPLATE:
                decline("a template");
            default:
                return false;
            }
        if (token.kind == Token::endTag && !endIs(GUMBO_TAG_BODY) && !endIs(GUMBO_TAG_HTML) && !endIs(GUMBO_TAG_BR))
            return true;
        return false;
    }

    void inBody()
    {
        switch (token.kind) {
        case Token::eof:
            return;
        case Token::text:
            reconstruct();
            text({token.begin, token.end});
            return;
        case Token::startTag:
            startInBody();
            return;
        case Token::endTag:
            endInBody();
            return;
        }
    }

    void startInBody()
    {
        const GumboTag tag = token.tag;
        switch (tag) {
        case GUMBO_TAG_HTML: case GUMBO_TAG_BODY:
            return;  // its attributes go to the element already open
        case GUMBO_TAG_BASE: case GUMBO_TAG_BASEFONT: case GUMBO_TAG_BGSOUND: case GUMBO_TAG_MENUITEM:
        case GUMBO_TAG_LINK: case GUMBO_TAG_META:
            insertVoid();
            return;
        case GUMBO_TAG_TITLE:
            rawText(true);
            return;
        case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_STYLE: case GUMBO_TAG_SCRIPT: case GUMBO_TAG_NOEMBED:
        case GUMBO_TAG_IFRAME: case GUMBO_TAG_TEXTAREA:
            rawText(false);
            return;
        case GUMBO_TAG_XMP:
            closeP();
            reconstruct();
            rawText(false);
            return;
        case GUMBO_TAG_TEMPLATE: decline("a template");
        case GUMBO_TAG_FRAMESET: decline("a frameset");
        case GUMBO_TAG_PLAINTEXT: decline("plaintext");
        case GUMBO_TAG_IMAGE: decline("an image tag");
        case GUMBO_TAG_ISINDEX: decline("isindex");
        case GUMBO_TAG_SELECT:
            reconstruct();
            insert();
            mode = mode == Mode::inTable || mode == Mode::inCaption || mode == Mode::inTableBody ||
                           mode == Mode::inRow || mode == Mode::inCell
                       ? Mode::inSelectInTable
                       : Mode::inSelect;
            return;
        case GUMBO_TAG_OPTION: case GUMBO_TAG_OPTGROUP:
            if (currentTag() == GUMBO_TAG_OPTION)
                pop();
            reconstruct();
            insert();
            return;
        case GUMBO_TAG_MATH: case GUMBO_TAG_SVG:
            if (current().link >= 0)
                decline("foreign content inside a mail link");
            reconstruct();
            push(tag, true);
            current().ns = tag == GUMBO_TAG_SVG ? svg : mathml;
            if (token.selfClosing)
                pop();
            return;
        case GUMBO_TAG_RB: case GUMBO_TAG_RTC: decline("ruby base");
        case GUMBO_TAG_CAPTION: case GUMBO_TAG_COL: case GUMBO_TAG_COLGROUP: case GUMBO_TAG_FRAME:
        case GUMBO_TAG_HEAD: case GUMBO_TAG_TBODY: case GUMBO_TAG_TD: case GUMBO_TAG_TFOOT: case GUMBO_TAG_TH:
        case GUMBO_TAG_THEAD: case GUMBO_TAG_TR:
            return;  // dropped
        case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5:
        case GUMBO_TAG_H6:
            closeP();
            if (has(currentTag(), kHeading))
                pop();
            insert();
            return;
        case GUMBO_TAG_PRE: case GUMBO_TAG_LISTING:
            closeP();
            insert();
            return;
        case GUMBO_TAG_FORM:
            if (formOpen)
                decline("a form inside a form");
            closeP();
            insert();
            formOpen = true;
            return;
        case GUMBO_TAG_LI: case GUMBO_TAG_DD: case GUMBO_TAG_DT:
            for (std::size_t i = stack.size(); i-- > 0;) {
                const GumboTag t = stack[i].tag;
                if (tag == GUMBO_TAG_LI ? t == GUMBO_TAG_LI : (t == GUMBO_TAG_DD || t == GUMBO_TAG_DT)) {
                    implicitlyClose(t);
                    break;
                }
                if (has(t, kSpecial) && t != GUMBO_TAG_ADDRESS && t != GUMBO_TAG_DIV && t != GUMBO_TAG_P)
                    break;
            }
            closeP();
            insert();
            return;
        case GUMBO_TAG_BUTTON:
            if (inScope(GUMBO_TAG_BUTTON))
                decline("a button inside a button");
            reconstruct();
            insert();
            return;
        case GUMBO_TAG_A:
            // An `a` still open closes here (a link it was keeps its tags).
            if (lastFormatting(GUMBO_TAG_A) >= 0) {
                adoptionAgency(GUMBO_TAG_A);
                if (lastFormatting(GUMBO_TAG_A) >= 0)
                    decline("a link left open out of scope");
            }
            reconstruct();
            insert();
            addFormatting(tag);
            return;
        case GUMBO_TAG_NOBR:
            reconstruct();
            if (inScope(GUMBO_TAG_NOBR))
                decline("nobr inside nobr");
            insert();
            addFormatting(tag);
            return;
        case GUMBO_TAG_APPLET: case GUMBO_TAG_MARQUEE: case GUMBO_TAG_OBJECT:
            reconstruct();
            insert();
            addMarker();
            return;
        case GUMBO_TAG_TABLE:
            if (current().link >= 0)
                decline("a table inside a mail link");
            if (inButtonScope(GUMBO_TAG_P) && !isQuirks())
                implicitlyClose(GUMBO_TAG_P);
            insert();
            mode = Mode::inTable;
            return;
        case GUMBO_TAG_AREA: case GUMBO_TAG_BR: case GUMBO_TAG_EMBED: case GUMBO_TAG_IMG: case GUMBO_TAG_KEYGEN:
        case GUMBO_TAG_WBR: case GUMBO_TAG_INPUT:
            reconstruct();
            insertVoid();
            return;
        case GUMBO_TAG_PARAM: case GUMBO_TAG_SOURCE: case GUMBO_TAG_TRACK:
            insertVoid();
            return;
        case GUMBO_TAG_HR:
            closeP();
            insertVoid();
            return;
        case GUMBO_TAG_RP: case GUMBO_TAG_RT:
            if (inScope(GUMBO_TAG_RUBY) && currentTag() != GUMBO_TAG_RUBY)
                decline("ruby text that closes other elements");
            insert();
            return;
        default:
            if (has(tag, kClosesP)) {
                closeP();
                insert();
                return;
            }
            if (has(tag, kFormatting)) {
                reconstruct();
                insert();
                addFormatting(tag);
                return;
            }
            reconstruct();
            insert();
            return;
        }
    }

    void endInBody()
    {
        const GumboTag tag = token.tag;
        switch (tag) {
        case GUMBO_TAG_BODY: case GUMBO_TAG_HTML:
            if (inScope(GUMBO_TAG_BODY))
                mode = tag == GUMBO_TAG_HTML ? Mode::afterAfterBody : Mode::afterBody;
            return;
        case GUMBO_TAG_FORM: {
            formOpen = false;
            std::size_t i = stack.size();
            while (i-- > 0 && stack[i].tag != GUMBO_TAG_FORM)
                if (has(stack[i].tag, kScope))
                    return;  // not in scope: ignored
            if (i >= stack.size())
                return;
            generateImpliedEndTags();
            if (currentTag() != GUMBO_TAG_FORM)
                decline("a form closed around open elements");
            pop();
            return;
        }
        case GUMBO_TAG_P:
            if (!inButtonScope(GUMBO_TAG_P)) {
                reconstruct();
                push(GUMBO_TAG_P, false);  // an empty p, closed by this end tag at once
                pop();
                return;
            }
            implicitlyClose(GUMBO_TAG_P);
            return;
        case GUMBO_TAG_LI:
            if (inListScope(GUMBO_TAG_LI))
                implicitlyClose(GUMBO_TAG_LI);
            return;
        case GUMBO_TAG_DD: case GUMBO_TAG_DT:
            if (inScope(tag))
                implicitlyClose(tag);
            return;
        case GUMBO_TAG_H1: case GUMBO_TAG_H2: case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5:
        case GUMBO_TAG_H6:
            if (!headingInScope())
                return;
            generateImpliedEndTags();
            for (bool heading = false; !heading;) {
                heading = has(currentTag(), kHeading);
                pop();
            }
            return;
        case GUMBO_TAG_APPLET: case GUMBO_TAG_MARQUEE: case GUMBO_TAG_OBJECT:
            if (!inTableScope(tag))
                return;
            implicitlyClose(tag);
            clearToMarker();
            return;
        case GUMBO_TAG_BR:  // read as <br>
            reconstruct();
            push(GUMBO_TAG_BR, false);
            pop();
            return;
        case GUMBO_TAG_TEMPLATE: decline("a template");
        default:
            break;
        }
        if (has(tag, kBlockEnd)) {
            if (inScope(tag))
                implicitlyClose(tag);
            return;
        }
        if (has(tag, kFormatting)) {
            adoptionAgency(tag);
            return;
        }
        // Any other end tag.
        for (std::size_t i = stack.size(); i-- > 0;) {
            if (stack[i].tag == tag) {
                generateImpliedEndTags(tag);
                while (stack.size() > i)
                    pop();
                return;
            }
            if (has(stack[i].tag, kSpecial))
                return;
        }
    }

    // The adoption agency, in the cases that only close elements.
    void adoptionAgency(GumboTag tag)
    {
        const int found = lastFormatting(tag);
        if (found < 0) {
            for (const Element& e : stack)
                if (e.tag == tag)
                    decline("an end tag for a formatting element off the list");
            return;
        }
        Entry& entry = formatting[static_cast<std::size_t>(found)];
        if (!entry.open) {
            formatting.erase(formatting.begin() + found);
            return;
        }
        std::size_t at = stack.size();
        while (at-- > 0 && stack[at].entry != entry.serial)
            ;
        if (!inScope(tag))
            return;
        for (std::size_t k = at + 1; k < stack.size(); ++k)
            if (has(stack[k].tag, kSpecial))
                decline("misnested formatting that the parser rebuilds");
        while (stack.size() > at)
            pop();
        formatting.erase(formatting.begin() + found);
    }

    // ---- tables ------------------------------------------------------------

    void clearTo(GumboTag a, GumboTag b = GUMBO_TAG_LAST, GumboTag c = GUMBO_TAG_LAST)
    {
        while (currentTag() != a && currentTag() != b && currentTag() != c && currentTag() != GUMBO_TAG_HTML)
            pop();
    }

    void resetMode()
    {
        for (std::size_t i = stack.size(); i-- > 0;) {
            switch (stack[i].tag) {
            case GUMBO_TAG_TD: case GUMBO_TAG_TH: mode = i == 0 ? Mode::inBody : Mode::inCell; return;
            case GUMBO_TAG_TR: mode = Mode::inRow; return;
            case GUMBO_TAG_TBODY: case GUMBO_TAG_THEAD: case GUMBO_TAG_TFOOT: mode = Mode::inTableBody; return;
            case GUMBO_TAG_CAPTION: mode = Mode::inCaption; return;
            case GUMBO_TAG_COLGROUP: mode = Mode::inColumnGroup; return;
            case GUMBO_TAG_TABLE: mode = Mode::inTable; return;
            case GUMBO_TAG_HEAD: case GUMBO_TAG_BODY: mode = Mode::inBody; return;
            case GUMBO_TAG_SELECT: decline("a select around a table");
            default:
                if (i == 0)
                    decline("a table outside the body");
            }
        }
    }

    bool inTable()
    {
        if (token.kind == Token::eof || textIsBlank())
            return true;
        if (token.kind == Token::text)
            decline("text that the parser moves out of a table");
        const GumboTag tag = token.tag;
        if (token.kind == Token::startTag)
            switch (tag) {
            case GUMBO_TAG_CAPTION:
                clearTo(GUMBO_TAG_TABLE);
                addMarker();
                insert();
                mode = Mode::inCaption;
                return true;
            case GUMBO_TAG_COLGROUP:
                clearTo(GUMBO_TAG_TABLE);
                insert();
                mode = Mode::inColumnGroup;
                return true;
            case GUMBO_TAG_COL:
                clearTo(GUMBO_TAG_TABLE);
                push(GUMBO_TAG_COLGROUP, false);
                mode = Mode::inColumnGroup;
                return false;
            case GUMBO_TAG_TBODY: case GUMBO_TAG_TFOOT: case GUMBO_TAG_THEAD:
                clearTo(GUMBO_TAG_TABLE);
                insert();
                mode = Mode::inTableBody;
                return true;
            case GUMBO_TAG_TD: case GUMBO_TAG_TH: case GUMBO_TAG_TR:
                clearTo(GUMBO_TAG_TABLE);
                push(GUMBO_TAG_TBODY, false);
                mode = Mode::inTableBody;
                return false;
            case GUMBO_TAG_STYLE: case GUMBO_TAG_SCRIPT:
                rawText(false);
                return true;
            default:
                decline("markup that the parser moves out of a table");
            }
        switch (tag) {
        case GUMBO_TAG_TABLE:
            if (inTableScope(GUMBO_TAG_TABLE)) {
                popUntil(GUMBO_TAG_TABLE);
                resetMode();
            }
            return true;
        case GUMBO_TAG_BODY: case GUMBO_TAG_CAPTION: case GUMBO_TAG_COL: case GUMBO_TAG_COLGROUP:
        case GUMBO_TAG_HTML: case GUMBO_TAG_TBODY: case GUMBO_TAG_TD: case GUMBO_TAG_TFOOT: case GUMBO_TAG_TH:
        case GUMBO_TAG_THEAD: case GUMBO_TAG_TR:
            return true;
        default:
            decline("markup that the parser moves out of a table");
        }
    }

    bool startOf(std::initializer_list<GumboTag> tags) const
    {
        if (token.kind != Token::startTag)
            return false;
        for (const GumboTag t : tags)
            if (token.tag == t)
                return true;
        return false;
    }
    bool endOf(std::initializer_list<GumboTag> tags) const
    {
        if (token.kind != Token::endTag)
            return false;
        for (const GumboTag t : tags)
            if (token.tag == t)
                return true;
        return false;
    }

    bool inCaption()
    {
        if (startOf({GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_TBODY, GUMBO_TAG_TD,
                     GUMBO_TAG_TFOOT, GUMBO_TAG_TH, GUMBO_TAG_THEAD, GUMBO_TAG_TR}) ||
            endOf({GUMBO_TAG_CAPTION, GUMBO_TAG_TABLE})) {
            if (!inTableScope(GUMBO_TAG_CAPTION))
                return true;
            generateImpliedEndTags();
            popUntil(GUMBO_TAG_CAPTION);
            clearToMarker();
            mode = Mode::inTable;
            return endIs(GUMBO_TAG_CAPTION);
        }
        if (endOf({GUMBO_TAG_BODY, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_HTML, GUMBO_TAG_TBODY, GUMBO_TAG_TD,
                   GUMBO_TAG_TFOOT, GUMBO_TAG_TH, GUMBO_TAG_THEAD, GUMBO_TAG_TR}))
            return true;
        inBody();
        return true;
    }

    bool inColumnGroup()
    {
        if (token.kind == Token::eof || textIsBlank() || endIs(GUMBO_TAG_COL))
            return true;
        if (startIs(GUMBO_TAG_COL)) {
            insertVoid();
            return true;
        }
        if (startIs(GUMBO_TAG_HTML) || startIs(GUMBO_TAG_TEMPLATE) || currentTag() != GUMBO_TAG_COLGROUP)
            decline("an odd column group");
        pop();
        mode = Mode::inTable;
        return endIs(GUMBO_TAG_COLGROUP);
    }

    bool inTableBody()
    {
        if (startIs(GUMBO_TAG_TR)) {
            clearTo(GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD);
            insert();
            mode = Mode::inRow;
            return true;
        }
        if (startOf({GUMBO_TAG_TD, GUMBO_TAG_TH})) {
            clearTo(GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD);
            push(GUMBO_TAG_TR, false);
            mode = Mode::inRow;
            return false;
        }
        if (endOf({GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD})) {
            if (inTableScope(token.tag)) {
                clearTo(GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD);
                pop();
                mode = Mode::inTable;
            }
            return true;
        }
        if (startOf({GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT,
                     GUMBO_TAG_THEAD}) ||
            endIs(GUMBO_TAG_TABLE)) {
            if (!inTableScope(GUMBO_TAG_TBODY) && !inTableScope(GUMBO_TAG_THEAD) && !inTableScope(GUMBO_TAG_TFOOT))
                return true;
            clearTo(GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD);
            pop();
            mode = Mode::inTable;
            return false;
        }
        if (endOf({GUMBO_TAG_BODY, GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_TR, GUMBO_TAG_COLGROUP,
                   GUMBO_TAG_HTML, GUMBO_TAG_TD, GUMBO_TAG_TH}))
            return true;
        return inTable();
    }

    bool inRow()
    {
        if (startOf({GUMBO_TAG_TH, GUMBO_TAG_TD})) {
            clearTo(GUMBO_TAG_TR);
            insert();
            mode = Mode::inCell;
            addMarker();
            return true;
        }
        if (startOf({GUMBO_TAG_CAPTION, GUMBO_TAG_COLGROUP, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD,
                     GUMBO_TAG_TR}) ||
            endOf({GUMBO_TAG_TR, GUMBO_TAG_TABLE, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD})) {
            const GumboTag desired =
                endOf({GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD}) ? token.tag : GUMBO_TAG_TR;
            if (!inTableScope(desired))
                return true;
            clearTo(GUMBO_TAG_TR);
            pop();
            mode = Mode::inTableBody;
            return endIs(GUMBO_TAG_TR);
        }
        if (endOf({GUMBO_TAG_BODY, GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_HTML,
                   GUMBO_TAG_TD, GUMBO_TAG_TH}))
            return true;
        return inTable();
    }

    void closeCell(GumboTag cell)
    {
        generateImpliedEndTags();
        popUntil(cell);
        clearToMarker();
        mode = Mode::inRow;
    }

    bool inCell()
    {
        if (endOf({GUMBO_TAG_TD, GUMBO_TAG_TH})) {
            if (inTableScope(token.tag))
                closeCell(token.tag);
            return true;
        }
        if (startOf({GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_TBODY, GUMBO_TAG_TD,
                     GUMBO_TAG_TFOOT, GUMBO_TAG_TH, GUMBO_TAG_THEAD, GUMBO_TAG_TR}) ||
            endOf({GUMBO_TAG_TABLE, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD, GUMBO_TAG_TR})) {
            if (token.kind == Token::endTag ? !inTableScope(token.tag)
                                         : !inTableScope(GUMBO_TAG_TD) && !inTableScope(GUMBO_TAG_TH))
                return true;
            closeCell(inTableScope(GUMBO_TAG_TD) ? GUMBO_TAG_TD : GUMBO_TAG_TH);
            return false;
        }
        if (endOf({GUMBO_TAG_BODY, GUMBO_TAG_CAPTION, GUMBO_TAG_COL, GUMBO_TAG_COLGROUP, GUMBO_TAG_HTML}))
            return true;
        inBody();
        return true;
    }

    // ---- select ------------------------------------------------------------

    bool selectInSelectScope() const
    {
        for (std::size_t i = stack.size(); i-- > 0;) {
            if (stack[i].tag == GUMBO_TAG_SELECT)
                return true;
            if (stack[i].tag != GUMBO_TAG_OPTION && stack[i].tag != GUMBO_TAG_OPTGROUP)
                return false;
        }
        return false;
    }

    void closeSelect()
    {
        popUntil(GUMBO_TAG_SELECT);
        resetMode();
    }

    // Gumbo drops every other tag in a select, a link's too, where a browser
    // may keep it: the walk over gumbo's tree finds those in the bytes.
    bool inSelect()
    {
        if (token.kind == Token::eof)
            return true;
        if (token.kind == Token::text) {
            text({token.begin, token.end});
            return true;
        }
        const GumboTag tag = token.tag;
        if (tag == GUMBO_TAG_A || tag == GUMBO_TAG_AREA)
            decline("a link in a select");
        if (tag == GUMBO_TAG_TEMPLATE)
            decline("a template");
        if (token.kind == Token::startTag)
            switch (tag) {
            case GUMBO_TAG_OPTION:
                if (currentTag() == GUMBO_TAG_OPTION)
                    pop();
                insert();
                return true;
            case GUMBO_TAG_OPTGROUP:
                if (currentTag() == GUMBO_TAG_OPTION)
                    pop();
                if (currentTag() == GUMBO_TAG_OPTGROUP)
                    pop();
                insert();
                return true;
            case GUMBO_TAG_SELECT:
                closeSelect();
                return true;
            case GUMBO_TAG_INPUT: case GUMBO_TAG_KEYGEN: case GUMBO_TAG_TEXTAREA:
                if (!selectInSelectScope())
                    return true;
                closeSelect();
                return false;
            case GUMBO_TAG_SCRIPT:
                rawText(false);
                return true;
            default:
                return true;  // dropped
            }
        switch (tag) {
        case GUMBO_TAG_OPTGROUP:
            if (currentTag() == GUMBO_TAG_OPTION && stack.size() >= 2 &&
                stack[stack.size() - 2].tag == GUMBO_TAG_OPTGROUP)
                pop();
            if (currentTag() == GUMBO_TAG_OPTGROUP)
                pop();
            return true;
        case GUMBO_TAG_OPTION:
            if (currentTag() == GUMBO_TAG_OPTION)
                pop();
            return true;
        case GUMBO_TAG_SELECT:
            if (selectInSelectScope())
                closeSelect();
            return true;
        default:
            return true;
        }
    }

    bool inSelectInTable()
    {
        if (startOf({GUMBO_TAG_CAPTION, GUMBO_TAG_TABLE, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD,
                     GUMBO_TAG_TR, GUMBO_TAG_TD, GUMBO_TAG_TH})) {
            closeSelect();
            return false;
        }
        if (endOf({GUMBO_TAG_CAPTION, GUMBO_TAG_TABLE, GUMBO_TAG_TBODY, GUMBO_TAG_TFOOT, GUMBO_TAG_THEAD,
                   GUMBO_TAG_TR, GUMBO_TAG_TD, GUMBO_TAG_TH})) {
            if (!inTableScope(token.tag))
                return true;
            closeSelect();
            return false;
        }
        return inSelect();
    }

    // ---- foreign content ------------------------------------------------------

    // SVG and MathML as icons and formulas use them: elements of their own
    // kind, text, comments. HTML inside them, links, CDATA sections and end
    // tags that close more than the current element are declined.
    void foreign()
    {
        const Element& cur = stack.back();
        const bool htmlPoint =
            cur.ns == svg && (cur.tag == GUMBO_TAG_FOREIGNOBJECT || cur.tag == GUMBO_TAG_DESC || cur.tag == GUMBO_TAG_TITLE);
        const bool textPoint = cur.ns == mathml && (cur.tag == GUMBO_TAG_MI || cur.tag == GUMBO_TAG_MO ||
                                                    cur.tag == GUMBO_TAG_MN || cur.tag == GUMBO_TAG_MS ||
                                                    cur.tag == GUMBO_TAG_MTEXT);
        switch (token.kind) {
        case Token::text:
            if (htmlPoint || textPoint)
                reconstruct();
            text({token.begin, token.end});
            return;
        case Token::startTag: {
            if (htmlPoint || textPoint || (cur.ns == mathml && cur.tag == GUMBO_TAG_ANNOTATION_XML))
                decline("HTML inside foreign content");
            switch (token.tag) {
            case GUMBO_TAG_B: case GUMBO_TAG_BIG: case GUMBO_TAG_BLOCKQUOTE: case GUMBO_TAG_BODY: case GUMBO_TAG_BR:
            case GUMBO_TAG_CENTER: case GUMBO_TAG_CODE: case GUMBO_TAG_DD: case GUMBO_TAG_DIV: case GUMBO_TAG_DL:
            case GUMBO_TAG_DT: case GUMBO_TAG_EM: case GUMBO_TAG_EMBED: case GUMBO_TAG_H1: case GUMBO_TAG_H2:
            case GUMBO_TAG_H3: case GUMBO_TAG_H4: case GUMBO_TAG_H5: case GUMBO_TAG_H6: case GUMBO_TAG_HEAD:
            case GUMBO_TAG_HR: case GUMBO_TAG_I: case GUMBO_TAG_IMG: case GUMBO_TAG_LI: case GUMBO_TAG_LISTING:
            case GUMBO_TAG_MENU: case GUMBO_TAG_META: case GUMBO_TAG_NOBR: case GUMBO_TAG_OL: case GUMBO_TAG_P:
            case GUMBO_TAG_PRE: case GUMBO_TAG_RUBY: case GUMBO_TAG_S: case GUMBO_TAG_SMALL: case GUMBO_TAG_SPAN:
            case GUMBO_TAG_STRONG: case GUMBO_TAG_STRIKE: case GUMBO_TAG_SUB: case GUMBO_TAG_SUP:
            case GUMBO_TAG_TABLE: case GUMBO_TAG_TT: case GUMBO_TAG_U: case GUMBO_TAG_UL: case GUMBO_TAG_VAR:
            case GUMBO_TAG_FONT:
                decline("HTML that ends foreign content");
            case GUMBO_TAG_A:
                decline("a link in foreign content");
            default:
                break;
            }
            const Namespace ns = cur.ns;
            push(token.tag, true);
            current().ns = ns;
            if (token.selfClosing)
                pop();
            return;
        }
        case Token::endTag: {
            bool same = token.nameLength == cur.nameLength;
            for (std::size_t i = 0; same && i < cur.nameLength; ++i)
                same = Lower(s[token.name + i]) == Lower(s[cur.name + i]);
            if (!same)
                decline("an end tag in foreign content that closes more");
            pop();
            return;
        }
        case Token::eof:
            return;
        }
    }

    // ---- the tokenizer -----------------------------------------------------

    // The tag that starts at `at` ('<' then a letter, or "</" then one),
    // read as the tokenizer reads it.
    void lexTag(std::size_t at, bool end)
    {
        const std::size_t nameBegin = at + 1 + end, n = s.size();
        std::size_t p = nameBegin;
        while (p < n && !Space(s[p]) && s[p] != '/' && s[p] != '>')
            ++p;
        // Gumbo reads a name's other bytes decoded (a stray byte as U+FFFD)
        // and places such an element by rules the scan does not follow.
        for (std::size_t i = nameBegin; i < p; ++i)
            if (static_cast<unsigned char>(s[i]) >= 0x7F || static_cast<unsigned char>(s[i]) < 0x20)
                decline("a tag name beyond printable ASCII");
        char name[16] = {};
        const std::size_t length = p - nameBegin;
        GumboTag tag = GUMBO_TAG_UNKNOWN;
        if (length <= sizeof name) {
            for (std::size_t i = 0; i < length; ++i)
                name[i] = Lower(s[nameBegin + i]);
            tag = gumbo_tagn_enum(name, static_cast<unsigned>(length));
        }
        bool slash = false;  // a '/' just before, outside any value
        for (;;) {
            while (p < n && (Space(s[p]) || s[p] == '/'))
                slash = s[p++] == '/';
            if (p >= n)
                decline("a tag that runs to the end of the page");
            if (s[p] == '>')
                break;
            slash = false;
            ++p;  // a name may start with '='
            while (p < n && !Space(s[p]) && s[p] != '/' && s[p] != '>' && s[p] != '=')
                ++p;
            while (p < n && Space(s[p]))
                ++p;
            if (p >= n || s[p] != '=')
                continue;
            ++p;
            while (p < n && Space(s[p]))
                ++p;
            if (p < n && (s[p] == '"' || s[p] == '\'')) {
                p = s.find(s[p], p + 1);
                if (p == std::string_view::npos)
                    decline("a tag that runs to the end of the page");
                ++p;
            } else {
                while (p < n && !Space(s[p]) && s[p] != '>')
                    ++p;
            }
        }
        token = {end ? Token::endTag : Token::startTag, tag, at, p + 1, nameBegin, length, slash};
    }

    void run()
    {
        std::size_t textFrom = 0, at = 0;
        const std::size_t n = s.size();
        while (at < n) {
            const void* hit = std::memchr(s.data() + at, '<', n - at);
            if (!hit)
                break;
            const std::size_t lt = static_cast<std::size_t>(static_cast<const char*>(hit) - s.data());
            if (lt + 1 >= n)
                break;
            const char c = s[lt + 1];
            const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
            std::size_t next;  // past the token
            if (letter) {
                flushText(textFrom, lt);
                lexTag(lt, false);
                next = token.end;
                process();
                next = std::max(next, token.end);  // raw text ran on to its end tag
            } else if (c == '/') {
                if (lt + 2 >= n)
                    break;  // "</" at the end is text
                const char d = s[lt + 2];
                if ((d >= 'a' && d <= 'z') || (d >= 'A' && d <= 'Z')) {
                    flushText(textFrom, lt);
                    lexTag(lt, true);
                    next = token.end;
                    process();
                } else {
                    // "</>": no node holds its bytes, and the walk over
                    // gumbo's tree reads what follows such a gap its own way.
                    if (d == '>')
                        decline("an end tag without a name");
                    flushText(textFrom, lt);
                    next = bogusComment(lt);
                }
            } else if (c == '!') {
                flushText(textFrom, lt);
                next = markupDeclaration(lt);
            } else if (c == '?') {
                flushText(textFrom, lt);
                next = bogusComment(lt);
            } else {
                at = lt + 1;
                continue;
            }
            at = textFrom = next;
        }
        flushText(textFrom, n);
        token = {Token::eof, GUMBO_TAG_UNKNOWN, n, n, n, 0, false};
        process();
        while (!stack.empty())
            pop();
    }

    void flushText(std::size_t from, std::size_t to)
    {
        if (to <= from)
            return;
        token = {Token::text, GUMBO_TAG_UNKNOWN, from, to, from, 0, false};
        process();
    }

    std::size_t bogusComment(std::size_t lt)
    {
        const std::size_t gt = s.find('>', lt + 2);
        if (gt == std::string_view::npos)
            decline("a comment that runs to the end of the page");
        return gt + 1;
    }

    std::size_t markupDeclaration(std::size_t lt)
    {
        if (s.compare(lt, 4, "<!--") == 0) {
            const std::size_t q = lt + 4;
            if (q < s.size() && s[q] == '>')
                return q + 1;
            if (q + 1 < s.size() && s[q] == '-' && s[q + 1] == '>')
                return q + 2;
            const std::size_t dashes = s.find("-->", q), bang = s.find("--!>", q);
            if (dashes == std::string_view::npos && bang == std::string_view::npos)
                decline("a comment that runs to the end of the page");
            return dashes < bang ? dashes + 3 : bang + 4;
        }
        if (lt + 9 <= s.size() && FindNoCase(s.substr(lt + 2, 7), "doctype") == 0) {
            const std::size_t end = bogusComment(lt);
            if (mode == Mode::initial) {
                doctype = {lt, end};
                quirks = -1;
                mode = Mode::beforeHtml;
            }
            return end;
        }
        return bogusComment(lt);
    }
};

ScanLinkFinder::ScanLinkFinder() : m_state(std::make_unique<State>()) {}
ScanLinkFinder::~ScanLinkFinder() = default;

bool ScanLinkFinder::Find(std::string_view page, bool wantText, PageFindings& out)
{
    out = {};
    m_declined = nullptr;
    m_state->reset(page, wantText, out);
    try {
        m_state->run();
    } catch (const Decline& d) {
        m_declined = d.why;
        out = {};
        return false;
    }
    KeepLinksThatCloseOthers(m_state->anchors, out.links);
    DropNoscript(m_state->noscript, out);
    return true;
}

PageFindings FastLinkFinder::Find(std::string_view page, bool wantText)
{
    PageFindings found;
    found.gaveUp = NestedTooDeeply(page);
    if (!found.gaveUp.empty())
        return found;
    if (m_scan.Find(page, wantText, found)) {
        ++scanned;
        return found;
    }
    ++parsed;
    return m_gumbo.Parse(page, wantText);
}

} // namespace Site
