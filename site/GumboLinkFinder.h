#pragma once
// The mail links of a page as gumbo parses it, as a browser does (HTML5,
// scripting on). Where gumbo and a browser part ways (gumbo drops an `a` in
// a `select`, keeps a `noscript` in `head` as markup), the link is still
// found; a page nested so deeply that gumbo would take quadratic time is
// given up on.

#include "PageFindings.h"

#include <memory>

namespace Site {

class GumboLinkFinder final : public LinkFinder {
public:
    GumboLinkFinder();
    ~GumboLinkFinder() override;
    PageFindings Find(std::string_view page, bool wantText) override;
    // The same for a page whose nesting the caller has bounded already
    // (NestedTooDeeply).
    PageFindings Parse(std::string_view page, bool wantText);

private:
    struct Arena;
    std::unique_ptr<Arena> m_arena;
};

} // namespace Site
