#pragma once
// What the Windows tests share: text conversions for checking, this
// program's own path and child processes, scratch directories, the owner
// window, and the texts whose CP932 bytes iconv worked out at build time.

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

namespace wintest {

std::u16string fromUtf8(std::string_view bytes);
std::string toUtf8(std::u16string_view text);
std::wstring wide(std::u16string_view text);
std::u16string u16(std::wstring_view text);

// The full path of this test program.
std::u16string selfPath();

// The fixture directory handed to this process, passed on to every child.
void setFixtureDirectory(std::u16string directory);
const std::u16string& fixtureDirectory();

// Starts this program again with `arguments` (after the fixture directory),
// sharing this process's standard output. Returns the process handle, or
// nullptr when it could not be started.
HANDLE startSelf(const std::vector<std::u16string>& arguments);

// Runs this program again and waits at most `timeoutMs` for it. Returns its
// exit code; 0xFFFFFFFF when it could not be started or did not end in time.
std::uint32_t runSelf(const std::vector<std::u16string>& arguments, DWORD timeoutMs);

// A new, empty directory below the working directory, named after `name`.
// Returns its absolute path without a trailing separator.
std::u16string makeScratchDirectory(std::u16string_view name);

// Every name in `directory`, "." and ".." left out.
std::vector<std::u16string> listDirectory(std::u16string_view directory);

bool readFile(std::u16string_view path, std::string& bytes);
bool writeFile(std::u16string_view path, std::string_view bytes);

// A real top-level window of this thread, standing in for the main window
// whose handle the program passes as the owner of its requests.
HWND ownerWindow();

// One text from a fixture file: `text` as the program receives it, `cp932`
// as iconv's CP932 encodes its expected narrow form.
struct FixtureText {
    std::string tag;
    std::u16string text;
    std::string cp932;
    std::string utf8;  // `text` as the fixture file spells it
};

// Texts CP932 holds whole, their bytes as iconv encodes them.
const std::vector<FixtureText>& representableTexts();
// Texts with characters CP932 lacks; `cp932` is iconv's encoding of the text
// with each of those spelt as a decimal character reference.
const std::vector<FixtureText>& lackingTexts();
const FixtureText& representableText(std::string_view tag);

// Reads the fixtures; on a fault, says what is wrong and returns false.
bool loadFixtures(std::string& fault);

// The system's own text for `error`, as FormatMessageW gives it, without the
// line break it ends in.
std::u16string systemMessage(DWORD error);

} // namespace wintest
