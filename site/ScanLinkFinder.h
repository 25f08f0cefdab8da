#pragma once
// The mail links of a page found by a scan that jumps from '<' to '<' and
// lexes only tags, keeping the stack of open elements and the list of
// active formatting elements as gumbo keeps them, but no tree. Where a page
// needs more than that (foreign content, templates, select, a table whose
// content the parser moves, markup the adoption agency rebuilds, ...), the
// scan declines and gumbo parses the page: what the scan claims, it finds
// exactly as GumboLinkFinder does, byte for byte.

#include "GumboLinkFinder.h"
#include "PageFindings.h"

#include <memory>
#include <string_view>

namespace Site {

class ScanLinkFinder {
public:
    ScanLinkFinder();
    ~ScanLinkFinder();
    // True with the page's findings, or false where the scan does not follow
    // the page's markup; then Declined() says what it met.
    bool Find(std::string_view page, bool wantText, PageFindings& out);
    const char* Declined() const { return m_declined; }

private:
    struct State;
    std::unique_ptr<State> m_state;  // kept from page to page
    const char* m_declined = nullptr;
};

// The finder quorvel-site uses: the scan, and gumbo for what it declines.
class FastLinkFinder final : public LinkFinder {
public:
    PageFindings Find(std::string_view page, bool wantText) override;
    // Pages scanned and pages gumbo parsed since the finder was made.
    std::size_t scanned = 0, parsed = 0;

private:
    ScanLinkFinder m_scan;
    GumboLinkFinder m_gumbo;
};

} // namespace Site
