#include "GumboLinkFinder.h"

#include "Markup.h"
#include "Text.h"

#include <gumbo.h>

// Under AddressSanitizer (the fuzz and asan builds) the arena tells it which
// bytes are handed out, so that a read past a node gumbo allocated is
// caught as it would be with malloc.
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define QUORVEL_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__)
#define QUORVEL_ASAN 1
#endif
#ifdef QUORVEL_ASAN
#include <sanitizer/asan_interface.h>
#else
#define ASAN_POISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#define ASAN_UNPOISON_MEMORY_REGION(p, n) ((void)(p), (void)(n))
#endif

#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <vector>

namespace Site {

// Gumbo allocates and frees many small blocks; a parse's blocks all die
// together, so they come from one arena that is emptied after the page.
struct GumboLinkFinder::Arena {
    static constexpr std::size_t kBlock = 1u << 20;
    std::vector<char*> blocks, large;
    std::size_t next = 0;
    char* current = nullptr;
    std::size_t size = 0, used = 0;

    ~Arena()
    {
        for (char* b : blocks) {
            ASAN_UNPOISON_MEMORY_REGION(b, kBlock);
            std::free(b);
        }
        for (char* b : large)
            std::free(b);
    }
    void* allocate(std::size_t wanted)
    {
#ifdef QUORVEL_ASAN
        std::size_t n = (wanted + 16 + 15) & ~std::size_t(15);  // a poisoned gap after each
#else
        std::size_t n = (wanted + 15) & ~std::size_t(15);
#endif
        if (used + n > size) {
            char* block;
            if (n > kBlock) {
                block = static_cast<char*>(std::malloc(n));
                if (block)
                    large.push_back(block);
            } else if (next < blocks.size()) {
                block = blocks[next];  // kept from an earlier page
            } else {
                block = static_cast<char*>(std::malloc(kBlock));
                if (block)
                    blocks.push_back(block);
            }
            if (!block) {
                std::fputs("quorvel-site: out of memory\n", stderr);
                std::_Exit(2);
            }
            if (n <= kBlock)
                ++next;
            current = block;
            size = std::max(n, kBlock);
            used = 0;
            ASAN_POISON_MEMORY_REGION(block, size);
        }
        void* p = current + used;
        used += n;
        ASAN_UNPOISON_MEMORY_REGION(p, wanted);
        return p;
    }
    void reset()
    {
        for (char* b : blocks)
            ASAN_POISON_MEMORY_REGION(b, kBlock);
        for (char* b : large)
            std::free(b);
        large.clear();
        next = 0;
        size = used = 0;
    }
};

namespace {

class Walk {
public:
    Walk(std::string_view page, bool wantText, PageFindings& out)
        : m_page(page), m_wantText(wantText), m_out(out)
    {
    }

    void run(const GumboNode* root)
    {
        m_stack.push_back({root, true, false, -1, false});
        while (!m_stack.empty()) {
            const Item item = m_stack.back();
            m_stack.pop_back();
            visit(item);
        }
    }

    // Tags the parser dropped: whatever bytes no node of the tree covers.
    void dropped(GumboOptions options)
    {
        // Most pages hold no more link tags than the tree has links.
        std::size_t tags = 0;
        for (std::size_t p = m_page.find('<'); p != std::string_view::npos && p + 2 < m_page.size();
             p = m_page.find('<', p + 1)) {
            std::size_t n = p + 1;
            if ((m_page[n] | 0x20) != 'a')
                continue;
            if (FindNoCase(m_page.substr(n, 4), "area") == 0)
                n += 3;
            ++n;
            tags += n < m_page.size() && (Space(m_page[n]) || m_page[n] == '/' || m_page[n] == '>');
        }
        if (tags <= m_placed)
            return;
        std::vector<char> covered(m_page.size(), 0);
        for (const Span& s : m_covered)
            std::memset(covered.data() + s.begin, 1, s.end - s.begin);
        for (std::size_t at = 0; at < covered.size();) {
            const void* gapStart = std::memchr(covered.data() + at, 0, covered.size() - at);
            if (!gapStart)
                break;
            const std::size_t from = static_cast<std::size_t>(static_cast<const char*>(gapStart) - covered.data());
            const void* gapEnd = std::memchr(covered.data() + from, 1, covered.size() - from);
            const std::size_t to = gapEnd ? static_cast<std::size_t>(static_cast<const char*>(gapEnd) - covered.data())
                                          : covered.size();
            gap(from, to, options);
            at = to;
        }
    }

    // An `a` start tag closes an `a` that is still open (one without an
    // end tag of its own); a script in its place would not, and the next
    // parse would see the open link run on. Such a link keeps its tags.
    void closingLinks() { KeepLinksThatCloseOthers(m_anchors, m_out.links); }

    // What a browser running scripts reads as the text of a noscript
    // element, wherever gumbo put its content.
    void dropNoscript() { DropNoscript(m_noscript, m_out); }

private:
    struct Item {
        const GumboNode* node;
        bool shown;    // content a browser shows as markup of the page
        bool foreign;  // inside SVG or MathML
        int link;      // the mail link it belongs to, or -1
        bool marked = false;  // inside a template, table cell or the like
    };

    std::size_t offsetOf(const char* p) const { return static_cast<std::size_t>(p - m_page.data()); }

    void cover(const GumboStringPiece& piece)
    {
        if (piece.length > 0 && piece.data >= m_page.data() && piece.data < m_page.data() + m_page.size())
            m_covered.push_back(
                {offsetOf(piece.data), offsetOf(piece.data) + std::min(piece.length, m_page.size() - offsetOf(piece.data))});
    }

    // Where an attribute's value stands, quotes included, read from the
    // end of its name: gumbo's own record of it starts after a character
    // reference that begins an unquoted value, and is the name for an
    // attribute without one.
    Span rawValue(const GumboAttribute* attr) const
    {
        std::size_t p = offsetOf(attr->original_name.data) + attr->original_name.length;
        while (p < m_page.size() && Space(m_page[p]))
            ++p;
        if (p >= m_page.size() || m_page[p] != '=')
            return {};
        ++p;
        while (p < m_page.size() && Space(m_page[p]))
            ++p;
        if (p < m_page.size() && (m_page[p] == '"' || m_page[p] == '\'')) {
            const std::size_t close = m_page.find(m_page[p], p + 1);
            return {p, close == std::string_view::npos ? p : close + 1};
        }
        std::size_t e = p;
        while (e < m_page.size() && !Space(m_page[e]) && m_page[e] != '>')
            ++e;
        return {p, e};
    }

    // The same without its quotes.
    Span valueOf(const GumboAttribute* attr) const
    {
        Span s = rawValue(attr);
        if (s.end - s.begin >= 2 && (m_page[s.begin] == '"' || m_page[s.begin] == '\'')) {
            ++s.begin;
            --s.end;
        }
        return s;
    }

    // A text node's source without the tags gumbo dropped inside it.
    void textPieces(const GumboStringPiece& text, std::vector<Span>& out) const
    {
        TextPieces(m_page, {offsetOf(text.data), offsetOf(text.data) + text.length}, out);
    }

    static bool rawText(GumboTag tag)
    {
        switch (tag) {
        case GUMBO_TAG_SCRIPT: case GUMBO_TAG_STYLE: case GUMBO_TAG_TEXTAREA: case GUMBO_TAG_XMP:
        case GUMBO_TAG_IFRAME: case GUMBO_TAG_NOEMBED: case GUMBO_TAG_NOFRAMES: case GUMBO_TAG_NOSCRIPT:
        case GUMBO_TAG_PLAINTEXT:
            return true;
        default:
            return false;
        }
    }

    static bool rcdata(const GumboNode* parent)
    {
        return parent && parent->type == GUMBO_NODE_ELEMENT &&
               (parent->v.element.tag == GUMBO_TAG_TITLE || parent->v.element.tag == GUMBO_TAG_TEXTAREA);
    }

    static bool isVoid(GumboTag t)
    {
        switch (t) {
        case GUMBO_TAG_AREA: case GUMBO_TAG_BASE: case GUMBO_TAG_BR: case GUMBO_TAG_COL: case GUMBO_TAG_EMBED:
        case GUMBO_TAG_HR: case GUMBO_TAG_IMG: case GUMBO_TAG_INPUT: case GUMBO_TAG_LINK: case GUMBO_TAG_META:
        case GUMBO_TAG_PARAM: case GUMBO_TAG_SOURCE: case GUMBO_TAG_TRACK: case GUMBO_TAG_WBR:
            return true;
        default:
            return false;
        }
    }

    // An element the parser made from its own start and end tag, where the
    // source holds it: not moved, cloned, implied or closed for it.
    static bool ownTags(const GumboNode* node, bool needEndTag)
    {
        const GumboElement& e = node->v.element;
        constexpr int kMoved = GUMBO_INSERTION_BY_PARSER | GUMBO_INSERTION_IMPLIED |
                               GUMBO_INSERTION_CONVERTED_FROM_END_TAG | GUMBO_INSERTION_FROM_ISINDEX |
                               GUMBO_INSERTION_FROM_IMAGE | GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT |
                               GUMBO_INSERTION_ADOPTION_AGENCY_CLONED | GUMBO_INSERTION_ADOPTION_AGENCY_MOVED |
                               GUMBO_INSERTION_FOSTER_PARENTED;
        if ((node->parse_flags & kMoved) || e.original_tag.length == 0)
            return false;
        if (!needEndTag)
            return true;
        if (e.original_end_tag.length < 3)
            return false;
        GumboStringPiece name = e.original_end_tag;
        gumbo_tag_from_original_text(&name);
        return gumbo_tagn_enum(name.data, static_cast<unsigned>(name.length)) == e.tag;
    }

    // The href of a live mail link: HTML `a` and `area`, SVG `a` (href or
    // xlink:href).
    static const GumboAttribute* mailHref(const GumboNode* node)
    {
        const GumboElement& e = node->v.element;
        const GumboAttribute* href = nullptr;
        if (e.tag_namespace == GUMBO_NAMESPACE_HTML && (e.tag == GUMBO_TAG_A || e.tag == GUMBO_TAG_AREA)) {
            href = gumbo_get_attribute(&e.attributes, "href");
        } else if (e.tag_namespace == GUMBO_NAMESPACE_SVG && e.tag == GUMBO_TAG_A) {
            href = gumbo_get_attribute(&e.attributes, "href");
            for (unsigned i = 0; !href && i < e.attributes.length; ++i) {
                const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]);
                if (a->attr_namespace == GUMBO_ATTR_NAMESPACE_XLINK && std::strcmp(a->name, "href") == 0)
                    href = a;
            }
        }
        if (!href || href->original_value.length == 0 || MailtoSchemeEnd(href->value) == 0)
            return nullptr;
        return href;
    }

    void visit(const Item& item)
    {
        const GumboNode* node = item.node;
        switch (node->type) {
        case GUMBO_NODE_TEXT:
            // Gumbo stretches a text node over tags it drops between two
            // runs of its text ("<option>a <a href=...>b"); outside raw
            // text, a tag can only be a tag, so such text is read again.
            if (!item.shown || rcdata(node->parent))
                cover(node->v.text.original_text);
            if (item.shown && (item.link >= 0 || m_wantText))
                textPieces(node->v.text.original_text,
                           item.link >= 0 ? m_out.links[static_cast<std::size_t>(item.link)].texts : m_out.texts);
            return;
        case GUMBO_NODE_WHITESPACE:
            return;
        case GUMBO_NODE_COMMENT:
            cover(node->v.text.original_text);
            return;
        case GUMBO_NODE_CDATA:
            cover(node->v.text.original_text);
            unclean(item.link);
            return;
        case GUMBO_NODE_DOCUMENT:
            push(node->v.document.children, item);
            return;
        case GUMBO_NODE_TEMPLATE:
        case GUMBO_NODE_ELEMENT:
            break;
        }
        const GumboElement& e = node->v.element;
        cover(e.original_tag);
        cover(e.original_end_tag);
        Item inner = item;
        if (node->type == GUMBO_NODE_TEMPLATE) {
            // A template's content is not shown where it stands.
            inner.shown = false;
            unclean(item.link);
        }
        if (e.tag_namespace == GUMBO_NAMESPACE_HTML && rawText(e.tag)) {
            inner.shown = false;
            if (e.tag == GUMBO_TAG_NOSCRIPT && e.original_tag.length > 0)
                m_noscript.push_back(NoscriptText(m_page, offsetOf(e.original_tag.data) + e.original_tag.length));
        }
        inner.foreign = item.foreign || e.tag_namespace != GUMBO_NAMESPACE_HTML;
        const GumboAttribute* href = item.shown && node->type == GUMBO_NODE_ELEMENT ? mailHref(node) : nullptr;
        if (href) {
            unclean(item.link);  // a link inside a link: only broken markup makes one
            inner.link = link(node, href, item.foreign);
        } else if (item.shown && item.link >= 0) {
            MailLink& l = m_out.links[static_cast<std::size_t>(item.link)];
            if (!ownTags(node, !isVoid(e.tag)))
                l.scope = l.scope == MailLink::Scope::whole ? MailLink::Scope::inPlace : l.scope;
            // Attributes show too (title, alt): their addresses go as well.
            for (unsigned i = 0; i < e.attributes.length; ++i)
                l.texts.push_back(valueOf(static_cast<const GumboAttribute*>(e.attributes.data[i])));
        }
        m_placed += (e.tag == GUMBO_TAG_A || e.tag == GUMBO_TAG_AREA) && e.original_tag.length > 0 &&
                    !(node->parse_flags & (GUMBO_INSERTION_ADOPTION_AGENCY_CLONED |
                                           GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT));
        if (e.tag == GUMBO_TAG_A && e.tag_namespace == GUMBO_NAMESPACE_HTML && e.original_tag.length > 0 &&
            e.original_tag.data[0] == '<' && !(node->parse_flags & GUMBO_INSERTION_ADOPTION_AGENCY_CLONED) &&
            !(node->parse_flags & GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT))
            m_anchors.push_back({offsetOf(e.original_tag.data), ownTags(node, true), href ? inner.link : -1, item.marked});
        switch (e.tag) {
        case GUMBO_TAG_TD: case GUMBO_TAG_TH: case GUMBO_TAG_CAPTION: case GUMBO_TAG_OBJECT:
        case GUMBO_TAG_MARQUEE: case GUMBO_TAG_APPLET: case GUMBO_TAG_TEMPLATE:
            inner.marked = true;
            break;
        default:
            break;
        }
        push(e.children, inner);
    }

    void unclean(int link)
    {
        if (link >= 0 && m_out.links[static_cast<std::size_t>(link)].scope == MailLink::Scope::whole)
            m_out.links[static_cast<std::size_t>(link)].scope = MailLink::Scope::inPlace;
    }

    int link(const GumboNode* node, const GumboAttribute* href, bool foreign)
    {
        const GumboElement& e = node->v.element;
        MailLink l;
        l.value = href->value;
        // A link the parser made up (a clone reopened after broken markup)
        // has no tags in the source; its attributes are the original's.
        constexpr int kClone =
            GUMBO_INSERTION_RECONSTRUCTED_FORMATTING_ELEMENT | GUMBO_INSERTION_ADOPTION_AGENCY_CLONED;
        if ((node->parse_flags & kClone) || e.original_tag.length == 0 || e.original_tag.data[0] != '<') {
            l.scope = MailLink::Scope::copy;
            l.element = {node->v.element.start_pos.offset, node->v.element.start_pos.offset};
        } else {
            const bool wholeElement = e.tag_namespace == GUMBO_NAMESPACE_HTML && e.tag == GUMBO_TAG_A && !foreign &&
                                      ownTags(node, true);
            l.scope = wholeElement ? MailLink::Scope::whole : MailLink::Scope::inPlace;
            const std::size_t begin = offsetOf(e.original_tag.data);
            l.element = {begin, wholeElement ? offsetOf(e.original_end_tag.data) + e.original_end_tag.length
                                             : begin + e.original_tag.length};
            l.href = rawValue(href);
            if (l.href.end == l.href.begin)
                l.scope = MailLink::Scope::copy;
            for (unsigned i = 0; i < e.attributes.length; ++i)
                if (const auto* a = static_cast<const GumboAttribute*>(e.attributes.data[i]); a != href)
                    l.texts.push_back(valueOf(a));
        }
        m_out.links.push_back(std::move(l));
        return static_cast<int>(m_out.links.size() - 1);
    }

    void push(const GumboVector& children, const Item& item)
    {
        for (unsigned i = children.length; i-- > 0;)
            m_stack.push_back(
                {static_cast<const GumboNode*>(children.data[i]), item.shown, item.foreign, item.link, item.marked});
    }

    // The start tags of `a` and `area` in bytes the tree does not hold,
    // each parsed on its own to read its attributes as the page's parser would.
    void gap(std::size_t from, std::size_t to, GumboOptions options)
    {
        // Token by token: an `<a` inside a dropped tag's attribute value is
        // no tag.
        for (std::size_t p = m_page.find('<', from); p != std::string_view::npos && p < to;
             p = m_page.find('<', p + 1)) {
            if (p + 1 >= m_page.size())
                return;
            if (!std::isalpha(static_cast<unsigned char>(m_page[p + 1]))) {
                if (m_page[p + 1] != '/' && m_page[p + 1] != '!' && m_page[p + 1] != '?')
                    continue;
                // An end tag's attributes are read as a start tag's are.
                const bool endTag = m_page[p + 1] == '/' && p + 2 < m_page.size() &&
                                    std::isalpha(static_cast<unsigned char>(m_page[p + 2]));
                p = endTag ? StartTagEnd(m_page, p + 1)
                    : m_page.compare(p, 4, "<!--") == 0 ? m_page.find("-->", p)
                                                        : m_page.find('>', p);
                if (p == std::string_view::npos)
                    return;
                p -= endTag;
                continue;
            }
            const std::size_t end = StartTagEnd(m_page, p);
            if (end == std::string_view::npos)
                return;
            std::size_t n = 1;
            while (n < 6 && std::isalpha(static_cast<unsigned char>(m_page[p + n])))
                ++n;
            const std::string_view name = m_page.substr(p + 1, n - 1);
            const bool linkName = (name.size() == 1 && FindNoCase(name, "a") == 0) ||
                                  (name.size() == 4 && FindNoCase(name, "area") == 0);
            if (!linkName || std::isalnum(static_cast<unsigned char>(m_page[p + n]))) {
                p = end - 1;
                continue;
            }
            GumboOutput* tag = gumbo_parse_with_options(&options, m_page.data() + p, end - p);
            const GumboNode* a = first(tag->root);
            const GumboAttribute* href = a ? mailHref(a) : nullptr;
            if (href) {
                MailLink l;
                l.scope = MailLink::Scope::inPlace;
                l.dropped = true;
                l.value = href->value;
                l.element = {p, end};
                l.href = rawValue(href);
                const GumboVector& attributes = a->v.element.attributes;
                for (unsigned i = 0; i < attributes.length; ++i)
                    if (const auto* attr = static_cast<const GumboAttribute*>(attributes.data[i]); attr != href)
                        l.texts.push_back(valueOf(attr));
                m_out.links.push_back(std::move(l));
            }
            p = end - 1;
        }
    }

    static const GumboNode* first(const GumboNode* node)
    {
        if (node->type != GUMBO_NODE_ELEMENT)
            return nullptr;
        if (node->v.element.tag == GUMBO_TAG_A || node->v.element.tag == GUMBO_TAG_AREA)
            return node;
        for (unsigned i = 0; i < node->v.element.children.length; ++i)
            if (const GumboNode* found = first(static_cast<const GumboNode*>(node->v.element.children.data[i])))
                return found;
        return nullptr;
    }

    std::string_view m_page;
    bool m_wantText;
    PageFindings& m_out;
    std::vector<Item> m_stack;
    std::vector<Span> m_covered, m_noscript;
    std::size_t m_placed = 0;  // `a` and `area` elements made from a tag of the page
    std::vector<Anchor> m_anchors;
};

} // namespace

GumboLinkFinder::GumboLinkFinder() : m_arena(std::make_unique<Arena>()) {}
GumboLinkFinder::~GumboLinkFinder() = default;

PageFindings GumboLinkFinder::Find(std::string_view page, bool wantText)
{
    PageFindings found;
    found.gaveUp = NestedTooDeeply(page);
    if (!found.gaveUp.empty())
        return found;
    return Parse(page, wantText);
}

PageFindings GumboLinkFinder::Parse(std::string_view page, bool wantText)
{
    PageFindings found;
    GumboOptions options = kGumboDefaultOptions;
    options.max_errors = 0;
    options.userdata = m_arena.get();
    options.allocator = [](void* self, std::size_t n) { return static_cast<Arena*>(self)->allocate(n); };
    options.deallocator = [](void*, void*) {};
    GumboOutput* parsed = gumbo_parse_with_options(&options, page.data(), page.size());
    Walk walk(page, wantText, found);
    walk.run(parsed->document);
    walk.closingLinks();
    walk.dropped(options);
    walk.dropNoscript();
    m_arena->reset();
    return found;
}

} // namespace Site
