#include "COMMON/BM_OS/envexpand.h"

#include <cstdlib>
#include <string>

namespace {
constexpr uint32_t kClientTypeBufferChars = 64;
constexpr size_t kMaxNameChars = 32767;  // longer "names" are not looked up

// Appends `text` to `out`, each byte as one code unit.
void AppendBytes(std::u16string& out, const char* text) {
    for (const char* p = text; *p; ++p) {
        out.push_back(static_cast<char16_t>(static_cast<unsigned char>(*p)));
    }
}

// The value of the variable named by `name` (code units), or null. Names with code units above
// 255 or a NUL cannot be environment names.
const char* LookUp(const std::u16string& name) {
    if (name.empty() || name.size() > kMaxNameChars) {
        return nullptr;
    }
    std::string narrow;
    narrow.reserve(name.size());
    for (char16_t c : name) {
        if (c == 0 || c > 0xFF || c == u'=') {
            return nullptr;
        }
        narrow.push_back(static_cast<char>(c));
    }
    return std::getenv(narrow.c_str());
}

std::u16string Expand(const char16_t* source) {
    std::u16string out;
    const char16_t* p = source;
    while (*p) {
        if (*p != u'%') {
            out.push_back(*p++);
            continue;
        }
        const char16_t* close = p + 1;
        while (*close && *close != u'%') {
            ++close;
        }
        if (!*close) {
            // No closing "%": the rest is plain text.
            out.append(p);
            break;
        }
        const std::u16string name(p + 1, close);
        if (const char* value = LookUp(name)) {
            AppendBytes(out, value);
        } else {
            out.append(p, close + 1);
        }
        p = close + 1;
    }
    return out;
}
}  // namespace

uint32_t ExpandEnvironment(const char16_t* source, char16_t* dest, uint32_t destChars) {
    if (!source) {
        return 0;
    }
    const std::u16string result = Expand(source);
    const uint64_t count = static_cast<uint64_t>(result.size()) + 1;
    if (count > 0xFFFFFFFFu) {
        return 0;
    }
    if (dest && count <= destChars) {
        result.copy(dest, result.size());
        dest[result.size()] = 0;
    }
    return static_cast<uint32_t>(count);
}

int32_t ClientTypeFromEnvironment() {
    char16_t buffer[kClientTypeBufferChars] = {};
    const uint32_t count = ExpandEnvironment(u"%RUNTIMEOEMREV%", buffer, kClientTypeBufferChars);
    // Definedness is asked of the environment itself: a value that happens to begin with "%"
    // is still a defined variable.
    const bool defined = std::getenv("RUNTIMEOEMREV") != nullptr;
    return defined && count > 0 && count < kClientTypeBufferChars ? kClientTypeOem : kClientTypeDefault;
}
