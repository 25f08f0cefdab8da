// quorvel-site: rewrites every mail link of a built site in place, in one of
// the shapes the window writes, so that the address and the word "mailto"
// no longer stand in the pages' sources. This file is the command line: its
// options, its messages and its exit status.

#include "LinkScript.h"
#include "SiteFiles.h"

#include <algorithm>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include <time.h>
#include <unistd.h>

namespace {

using std::string;
using std::string_view;
using Site::FileReport;

int usage(const char* message)
{
    if (message)
        std::fprintf(stderr, "quorvel-site: %s\n", message);
    std::fprintf(message ? stderr : stdout,
                 "usage: quorvel-site [--shape external|encoded|script|references] [--text] [--check] PATH...\n"
                 "Rewrites every mailto: link of the HTML pages at PATH (directories are walked\n"
                 "for *.html and *.htm) so that neither the address nor \"mailto\" stands in the source,\n"
                 "and the addresses in the site's search indexes and feeds (*.json, *.js, *.xml)\n"
                 "where their format allows.\n"
                 "  --shape external    the link keeps its element, its address keyed; a script file\n"
                 "                      at each PATH makes it work, with no inline script (default)\n"
                 "  --shape encoded     inline script that writes the link, address as references\n"
                 "  --shape script      inline script that writes the link, \"mailto\" split\n"
                 "  --shape references  no script: href and address as character references\n"
                 "  --text              addresses in the pages' text as references too\n"
                 "  --check             change nothing; list what would change, exit 1 if anything would\n"
                 "Exit status: 0 done, 1 --check found something to rewrite, 2 errors or addresses\n"
                 "left where they cannot be rewritten.\n"
                 "The external shape's script file is %.*s; a Content-Security-Policy that allows\n"
                 "scripts by hash allows it as '%.*s'.\n",
                 static_cast<int>(Site::kLinkScriptName.size()), Site::kLinkScriptName.data(),
                 static_cast<int>(Site::kLinkScriptIntegrity.size()), Site::kLinkScriptIntegrity.data());
    return 2;
}

// A file name as it can be read on one line: a line break or another
// control character in it would split a message in two.
string printable(string_view path)
{
    string out;
    for (const char c : path) {
        const auto b = static_cast<unsigned char>(c);
        if (c == '\\') {
            out += "\\\\";
        } else if (b < 0x20 || b == 0x7F) {
            static constexpr char kHex[] = "0123456789abcdef";
            out += c == '\n' ? string("\\n") : c == '\t' ? string("\\t") : c == '\r' ? string("\\r")
                                                                             : string("\\x") + kHex[b >> 4] + kHex[b & 15];
        } else {
            out += c;
        }
    }
    return out;
}

double now()
{
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) * 1e-9;
}

struct Tally {
    std::size_t links = 0, texts = 0, others = 0, changed = 0, notUtf8 = 0, unreadable = 0, tooLarge = 0,
                tooDeep = 0, failed = 0, symlinks = 0, other = 0, left = 0, leftFiles = 0;
};

} // namespace

int main(int argc, char** argv)
{
    Site::SiteOptions options;
    std::vector<string> args;
    bool optionsEnded = false;
    for (int i = 1; i < argc; ++i) {
        const string_view a = argv[i];
        if (!optionsEnded && a == "--") {
            optionsEnded = true;
        } else if (!optionsEnded && (a == "--shape" || a.rfind("--shape=", 0) == 0)) {
            string_view v;
            if (a == "--shape") {
                if (++i == argc)
                    return usage("--shape needs a value: external, encoded, script or references");
                v = argv[i];
            } else {
                v = a.substr(8);
            }
            using TagComposer::ElementShape;
            if (v == "external") options.rewrite.shape = ElementShape::external;
            else if (v == "encoded") options.rewrite.shape = ElementShape::encoded;
            else if (v == "script") options.rewrite.shape = ElementShape::script;
            else if (v == "references") options.rewrite.shape = ElementShape::references;
            else return usage("--shape takes external, encoded, script or references");
        } else if (!optionsEnded && a == "--text") {
            options.rewrite.text = true;
        } else if (!optionsEnded && a == "--check") {
            options.check = true;
        } else if (!optionsEnded && (a == "--help" || a == "-h")) {
            usage(nullptr);
            return 0;
        } else if (!optionsEnded && a.size() > 1 && a[0] == '-') {
            return usage(("unknown option " + string(a)).c_str());
        } else {
            args.emplace_back(a);
        }
    }
    if (args.empty())
        return usage("no PATH given");

    std::vector<string> errors;
    const std::vector<Site::SiteFile> files = Site::CollectFiles(args, errors);
    for (const string& e : errors)
        std::fprintf(stderr, "quorvel-site: %s\n", printable(e).c_str());

    Tally tally;
    std::vector<string> scriptRoots;  // where pages load the script file, in order
    const bool progress = isatty(STDERR_FILENO) && files.size() >= 200;
    double shown = now();
    bool progressShown = false;
    Site::RewriteFiles(files, options, [&](std::size_t i, const FileReport& r) {
        const string path = printable(files[i].path);
        if (progressShown) {
            std::fputs("\r\033[K", stderr);
            progressShown = false;
        }
        switch (r.outcome) {
        case FileReport::Outcome::symlink:
            ++tally.symlinks;
            break;
        case FileReport::Outcome::failed:
            ++tally.failed;
            break;
        case FileReport::Outcome::skipped:
            if (r.why.rfind("not UTF-8", 0) == 0) ++tally.notUtf8;
            else if (r.why.rfind("too large", 0) == 0) ++tally.tooLarge;
            else if (r.why.rfind("nested too deeply", 0) == 0) ++tally.tooDeep;
            else if (r.why.rfind("cannot be read", 0) == 0) ++tally.unreadable;
            else ++tally.other;
            break;
        case FileReport::Outcome::changed:
            ++tally.changed;
            for (const Site::Finding& f : r.findings)
                if (f.kind != Site::Finding::Kind::leftLink && f.kind != Site::Finding::Kind::baseElsewhere)
                    ++(f.kind == Site::Finding::Kind::textAddress ? tally.texts : tally.links);
            break;
        case FileReport::Outcome::unchanged:
            break;
        }
        if (!r.why.empty())
            std::fprintf(stderr, "quorvel-site: %s: skipped, %s\n", path.c_str(), r.why.c_str());
        bool left = false;
        for (const Site::Finding& f : r.findings) {
            using Kind = Site::Finding::Kind;
            if (f.kind == Kind::leftLink) {
                // Said in both modes: the page still gives the address away.
                ++tally.left;
                left = true;
                std::fprintf(options.check ? stdout : stderr,
                             "%s%s:%u: mail link left as it is: its href holds bytes beyond ASCII in a page not in "
                             "UTF-8\n",
                             options.check ? "" : "quorvel-site: ", path.c_str(), f.line);
            } else if (f.kind == Kind::baseElsewhere) {
                std::fprintf(options.check ? stdout : stderr,
                             "%s%s:%u: a <base href> the script file cannot be reached from: its mail links written as "
                             "references\n",
                             options.check ? "" : "quorvel-site: ", path.c_str(), f.line);
            } else if (options.check && r.outcome == FileReport::Outcome::changed) {
                std::printf("%s:%u: %s\n", path.c_str(), f.line,
                            f.kind == Kind::link          ? "mail link to rewrite"
                            : f.kind == Kind::droppedLink ? "mail link in a tag the parser drops, to rewrite"
                                                          : "address in the text to write as references");
            }
        }
        for (const Site::TextAddress& a : r.addresses) {
            if (a.rewritten) {
                tally.others += r.outcome == FileReport::Outcome::changed;
                if (options.check)
                    std::printf("%s:%u: address to write in another spelling\n", path.c_str(), a.line);
                continue;
            }
            ++tally.left;
            left = true;
            // What cannot be rewritten is said in both modes: the site
            // still gives the address away.
            std::fprintf(options.check ? stdout : stderr, "%s%s:%u: address that this file cannot hide\n",
                         options.check ? "" : "quorvel-site: ", path.c_str(), a.line);
        }
        tally.leftFiles += left;
        if (r.loadsScript && std::find(scriptRoots.begin(), scriptRoots.end(), files[i].root) == scriptRoots.end())
            scriptRoots.push_back(files[i].root);
        if (progress && now() - shown > 0.2) {
            shown = now();
            std::fprintf(stderr, "\rquorvel-site: %zu of %zu files", i + 1, files.size());
            progressShown = true;
        }
    });
    if (progressShown)
        std::fputs("\r\033[K", stderr);

    std::size_t scriptsToWrite = 0, scriptsFailed = 0;
    for (const string& root : scriptRoots) {
        const Site::ScriptFileReport s = Site::PutScriptFile(root, options.check);
        using Outcome = Site::ScriptFileReport::Outcome;
        const string path = printable(s.path);
        if (s.outcome == Outcome::missing)
            std::printf("%s: script file to write\n", path.c_str());
        else if (s.outcome == Outcome::written)
            std::fprintf(stderr, "quorvel-site: %s written; a policy that allows scripts by hash allows it as '%.*s'\n",
                         path.c_str(), static_cast<int>(Site::kLinkScriptIntegrity.size()),
                         Site::kLinkScriptIntegrity.data());
        else if (s.outcome == Outcome::failed)
            std::fprintf(stderr, "quorvel-site: %s: cannot be written: %s\n", path.c_str(), s.why.c_str());
        scriptsToWrite += s.outcome == Outcome::missing;
        scriptsFailed += s.outcome == Outcome::failed;
    }
    std::fflush(stdout);

    const std::size_t skipped = tally.notUtf8 + tally.unreadable + tally.tooLarge + tally.tooDeep + tally.failed +
                                tally.symlinks + tally.other;
    string why;
    auto part = [&](std::size_t n, const char* what) {
        if (n)
            why += (why.empty() ? " (" : ", ") + std::to_string(n) + " " + what;
    };
    part(tally.notUtf8, "not UTF-8");
    part(tally.unreadable, "unreadable");
    part(tally.tooLarge, "too large");
    part(tally.tooDeep, "nested too deeply");
    part(tally.failed, "not writable");
    part(tally.symlinks, "symbolic links");
    part(tally.other, "not regular files");
    if (!why.empty())
        why += ")";
    string found;
    if (tally.texts)
        found += ", " + std::to_string(tally.texts) + " text addresses";
    if (tally.others)
        found += ", " + std::to_string(tally.others) + " addresses in other files";
    string left;
    if (tally.left)
        left = ", " + std::to_string(tally.left) + " addresses left as they are in " +
               std::to_string(tally.leftFiles) + " files";
    std::fprintf(stderr, "quorvel-site: %zu files scanned, %zu links %s%s in %zu files, %zu files skipped%s%s\n",
                 files.size(), tally.links, options.check ? "to rewrite" : "rewritten", found.c_str(), tally.changed,
                 skipped, why.c_str(), left.c_str());
    if (!errors.empty() || skipped > tally.symlinks || tally.left || scriptsFailed)
        return 2;
    return options.check && (tally.changed || scriptsToWrite) ? 1 : 0;
}
