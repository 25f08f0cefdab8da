// The parse-only floors of quorvel-site's finders: every page of a
// NUL-separated list read and its mail links found, nothing composed or
// written. `gumbo`: gumbo's parse and the walk over its tree, for every page;
// `scan`: the scan, with gumbo for the pages it declines, as quorvel-site
// finds links.
// Usage: bench_site_floor gumbo|scan LIST

#include "GumboLinkFinder.h"
#include "ScanLinkFinder.h"

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>

int main(int argc, char** argv)
{
    if (argc != 3 || (std::strcmp(argv[1], "gumbo") != 0 && std::strcmp(argv[1], "scan") != 0)) {
        std::fputs("usage: bench_site_floor gumbo|scan LIST\n", stderr);
        return 2;
    }
    Site::GumboLinkFinder gumbo;
    Site::FastLinkFinder scan;
    Site::LinkFinder& finder = argv[1][0] == 'g' ? static_cast<Site::LinkFinder&>(gumbo) : scan;
    std::ifstream list(argv[2], std::ios::binary);
    std::size_t links = 0;
    std::string page;
    for (std::string name; std::getline(list, name, '\0');) {
        std::ifstream in(name, std::ios::binary);
        page.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        links += finder.Find(page, false).links.size();
    }
    std::printf("%zu links; the scan claimed %zu pages, gumbo parsed %zu\n", links, scan.scanned, scan.parsed);
    return 0;
}
