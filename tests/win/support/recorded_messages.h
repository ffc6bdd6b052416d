// The tests' stand-in for the message box: every text is recorded, none blocks.
#pragma once

#include <string>
#include <vector>

// The texts shown since the last call.
std::vector<std::wstring> takeRecordedTexts();
