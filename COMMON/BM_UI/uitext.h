// Text conversions of the layer (uitext.cpp). Internal to COMMON/BM_UI.
#pragma once

#include <cstddef>
#include <string>

// UTF-16 to UTF-8; unpaired surrogates become U+FFFD so that Cairo always receives valid UTF-8.
// A null text gives "".
std::string Utf16ToUtf8(const char16_t* text, size_t count);
std::string Utf16ToUtf8(const std::u16string& text);
// The number of units before the terminating zero (0 for a null text).
size_t Utf16Length(const char16_t* text);
