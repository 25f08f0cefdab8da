// The scan against gumbo on real pages: every *.html under the directories
// named is rewritten from what each finder found, in every shape, with and
// without --text, and wherever the scan claims a page the new bytes and the
// findings must be gumbo's. The scan must also claim at least the share of
// the pages that could hold a mail link that the command line asks for, so
// that a scan which declines everything does not pass unnoticed.
//
// Usage: scan_check MIN_CLAIMED_PERCENT PACKAGE:DIR...
// (PACKAGE: the Debian package that ships the pages of DIR.)

#include "GumboLinkFinder.h"
#include "PageRewriter.h"
#include "ScanLinkFinder.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <vector>

namespace {

struct Canned final : Site::LinkFinder {
    Site::PageFindings found;
    Site::PageFindings Find(std::string_view, bool wantText) override
    {
        Site::PageFindings f = found;
        if (!wantText)
            f.texts.clear();
        return f;
    }
};

std::string describe(const Site::PageResult& r)
{
    std::string out = std::to_string(static_cast<int>(r.outcome)) + " " + r.why + "\n";
    for (const Site::Finding& f : r.findings)
        out += std::to_string(static_cast<int>(f.kind)) + "@" + std::to_string(f.offset) + ":" +
               std::to_string(f.line) + "\n";
    return out + r.page;
}

} // namespace

int main(int argc, char** argv)
{
    if (argc < 3) {
        std::fputs("usage: scan_check MIN_CLAIMED_PERCENT PACKAGE:DIR...\n", stderr);
        return 2;
    }
    const double minClaimed = std::atof(argv[1]);
    Site::GumboLinkFinder gumbo;
    Site::ScanLinkFinder scan;
    std::map<std::string, int> declined;
    std::size_t pages = 0, candidates = 0, claimed = 0, failures = 0;
    for (int a = 2; a < argc; ++a) {
        const std::string arg = argv[a];
        const std::string package = arg.substr(0, arg.find(':')), dir = arg.substr(arg.find(':') + 1);
        std::vector<std::filesystem::path> files;
        std::error_code error;
        for (auto it = std::filesystem::recursive_directory_iterator(dir, error);
             !error && it != std::filesystem::recursive_directory_iterator(); it.increment(error))
            if (it->is_regular_file() && (it->path().extension() == ".html" || it->path().extension() == ".htm"))
                files.push_back(it->path());
        if (files.empty()) {
            std::fprintf(stderr, "scan_check: no pages under %s: install the Debian package %s\n", dir.c_str(),
                         package.c_str());
            return 1;
        }
        for (const auto& path : files) {
            std::ifstream in(path, std::ios::binary);
            const std::string page((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
            ++pages;
            Canned byGumbo, byScan;
            byGumbo.found = gumbo.Find(page, true);
            if (!byGumbo.found.gaveUp.empty())
                continue;
            const bool mayHold = Site::MayHoldMailLink(page, false);
            candidates += mayHold;
            if (!scan.Find(page, true, byScan.found)) {
                ++declined[scan.Declined()];
                continue;
            }
            claimed += mayHold;
            for (const auto shape : {TagComposer::ElementShape::encoded, TagComposer::ElementShape::script,
                                     TagComposer::ElementShape::references})
                for (const bool text : {false, true}) {
                    const Site::RewriteOptions options{shape, text};
                    const std::string expected = describe(Site::RewritePage(page, options, byGumbo));
                    const std::string got = describe(Site::RewritePage(page, options, byScan));
                    if (got != expected) {
                        ++failures;
                        std::fprintf(stderr, "scan_check: %s (shape %d%s): the scan's rewrite differs from gumbo's\n",
                                     path.c_str(), static_cast<int>(shape), text ? ", --text" : "");
                    }
                }
        }
    }
    const double share = candidates ? 100.0 * static_cast<double>(claimed) / static_cast<double>(candidates) : 100.0;
    std::printf("%zu pages, %zu that could hold a mail link, the scan claimed %zu of those (%.1f %%)\n", pages,
                candidates, claimed, share);
    for (const auto& [why, n] : declined)
        std::printf("  declined %d: %s\n", n, why.c_str());
    if (share < minClaimed) {
        std::printf("scan_check: the scan claimed %.1f %%, less than %.1f %%\n", share, minClaimed);
        return 1;
    }
    return failures ? 1 : 0;
}
