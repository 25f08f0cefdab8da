#pragma once
// The test functions of each area, and the helper modes that a test starts
// this program again in.

#include <string_view>

namespace wintest {

void registerClipboardTests();
void registerShellTests();
void registerPreviewTests();

// Holds the clipboard open for another process's test until released.
int holdClipboard(std::u16string_view heldName, std::u16string_view releaseName);

// Writes this process's command line and working directory to `file`, as
// the program that a shell test asked the shell to start.
int recordArguments(std::u16string_view file);

} // namespace wintest
