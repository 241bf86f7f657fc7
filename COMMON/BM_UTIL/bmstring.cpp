#include "COMMON/BM_UTIL/bmstring.h"

#include <cstdarg>
#include <cstdlib>
#include <cstring>

#include "COMMON/BM_UTIL/bmassert.h"
#include "COMMON/BM_UTIL/wideformat.h"

namespace {

// One zeroed block per form for every empty string. Writable on purpose: a caller that writes a
// terminator through WriteBuffer(0) on an empty string writes a zero into zeros.
alignas(4) unsigned char gEmptyNarrow[4];
alignas(4) unsigned char gEmptyWide[4];

// Returned by NarrowText/WideText when the conversion fails; never the string's own buffer.
const char kNoNarrowText[1] = {0};
const char16_t kNoWideText[1] = {0};

constexpr int32_t kFormatFirstChars = 255;
constexpr int32_t kFormatSecondBytes = 1024;
constexpr int32_t kFormatGrowthBytes = 512;

void* AllocateRounded(int32_t byteCount) {
    const size_t rounded = (static_cast<size_t>(byteCount) + 15u) & ~static_cast<size_t>(15u);
    return std::malloc(rounded);
}

size_t WideLength(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

// Default-locale mapping: byte b <-> code unit b for 1..255. Fails on a unit above 255 and on an
// embedded zero (the runtime's conversion would stop early there and come up short).
bool NarrowUnits(const char16_t* from, int32_t count, char* to) {
    for (int32_t i = 0; i < count; ++i) {
        if (from[i] == 0 || from[i] > 255) {
            return false;
        }
        to[i] = static_cast<char>(static_cast<unsigned char>(from[i]));
    }
    return true;
}

bool WidenBytes(const char* from, int32_t count, char16_t* to) {
    for (int32_t i = 0; i < count; ++i) {
        const unsigned char b = static_cast<unsigned char>(from[i]);
        if (b == 0) {
            return false;
        }
        to[i] = b;
    }
    return true;
}

bool ValidForm(int32_t form) {
    return form == Wide || form == Narrow;
}

}  // namespace

bool BmString::IsSharedEmpty(const void* p) {
    return p == gEmptyNarrow || p == gEmptyWide;
}

void* BmString::SharedEmpty(StringForm form) {
    return form == Narrow ? gEmptyNarrow : gEmptyWide;
}

void BmString::FreeOwned() {
    if (buffer_ && !IsSharedEmpty(buffer_)) {
        std::free(buffer_);
    }
}

void BmString::BecomeEmpty(StringForm form) {
    FreeOwned();
    form_ = form;
    buffer_ = SharedEmpty(form);
    size_ = EmptySize(form);
}

BmString::BmString() : form_(Wide), buffer_(SharedEmpty(Wide)), size_(2) {}

BmString::BmString(const char* text) : form_(Narrow), buffer_(SharedEmpty(Narrow)), size_(1) {
    AssignNarrow(text);
}

BmString::BmString(const char16_t* text) : form_(Wide), buffer_(SharedEmpty(Wide)), size_(2) {
    AssignWide(text);
}

BmString::BmString(const BmString& other)
    : form_(other.form_), buffer_(SharedEmpty(other.form_)), size_(EmptySize(other.form_)) {
    Assign(other);
}

BmString::~BmString() {
    if (buffer_ && !IsSharedEmpty(buffer_)) {
        if (size_ <= 0) {
            BM_ASSERT_REPORT();
        }
        std::free(buffer_);
    }
    buffer_ = nullptr;
}

int32_t BmString::Length() const {
    if (!buffer_ || size_ == 0) {
        BM_ASSERT_REPORT();
        return 0;
    }
    return form_ == Narrow ? size_ - 1 : size_ / 2 - 1;
}

int32_t BmString::FindLast(int ch) const {
    for (int32_t i = Length() - 1; i >= 0; --i) {
        if (form_ == Narrow) {
            if (static_cast<const unsigned char*>(buffer_)[i] == static_cast<unsigned char>(ch)) {
                return i;
            }
        } else if (static_cast<const char16_t*>(buffer_)[i] == static_cast<char16_t>(ch)) {
            return i;
        }
    }
    return -1;
}

bool BmString::ToNarrow() {
    if (form_ == Narrow) {
        return true;
    }
    const int32_t n = size_ / 2;  // characters including the terminator
    if (n <= 1) {
        BecomeEmpty(Narrow);
        return true;
    }
    char* converted = static_cast<char*>(AllocateRounded(n));
    if (!converted) {
        return false;
    }
    if (!NarrowUnits(static_cast<const char16_t*>(buffer_), n - 1, converted)) {
        std::free(converted);
        return false;
    }
    converted[n - 1] = 0;
    FreeOwned();
    buffer_ = converted;
    size_ = n;
    form_ = Narrow;
    return true;
}

bool BmString::ToWide() {
    if (form_ == Wide) {
        return true;
    }
    if (size_ <= 1) {
        BecomeEmpty(Wide);
        return true;
    }
    if (2 * static_cast<int64_t>(size_) > kMaxStringBytes) {
        return false;  // 10000 or more narrow characters have no wide form within the limit
    }
    char16_t* converted = static_cast<char16_t*>(AllocateRounded(2 * size_));
    if (!converted) {
        return false;
    }
    if (!WidenBytes(static_cast<const char*>(buffer_), size_ - 1, converted)) {
        std::free(converted);
        return false;
    }
    converted[size_ - 1] = 0;
    FreeOwned();
    buffer_ = converted;
    size_ = 2 * size_;
    form_ = Wide;
    return true;
}

const char* BmString::NarrowText() {
    return ToNarrow() ? static_cast<const char*>(buffer_) : kNoNarrowText;
}

const char16_t* BmString::WideText() {
    return ToWide() ? static_cast<const char16_t*>(buffer_) : kNoWideText;
}

bool BmString::Equals(const BmString& other) {
    if (form_ != other.form_) {
        const bool converted = other.form_ == Wide ? ToWide() : ToNarrow();
        if (!converted) {
            // This text has no form like other's (e.g. a unit above 255 against a narrow text),
            // so the two cannot hold the same characters.
            return false;
        }
    }
    if (size_ != other.size_) {
        return false;
    }
    const int32_t units = Capacity();
    if (form_ == Narrow) {
        const unsigned char* a = static_cast<const unsigned char*>(buffer_);
        const unsigned char* b = static_cast<const unsigned char*>(other.buffer_);
        // Every unit of the recorded length counts: a received text with a zero inside it must
        // not equal a different text of the same length.
        for (int32_t i = 0; i < units; ++i) {
            if (a[i] != b[i]) {
                return false;
            }
        }
        return true;
    }
    const char16_t* a = static_cast<const char16_t*>(buffer_);
    const char16_t* b = static_cast<const char16_t*>(other.buffer_);
    for (int32_t i = 0; i < units; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

void BmString::Clear() {
    if (size_ == 0) {
        BM_ASSERT_REPORT();
    }
    BecomeEmpty(form_);
}

bool BmString::SetBytes(StringForm form, int32_t byteCount, const void* bytes) {
    if (!ValidForm(form)) {
        BM_ASSERT_REPORT();
        Clear();
        return false;
    }
    if (byteCount == 0) {
        BM_ASSERT_REPORT();
    }
    Clear();
    form_ = form;
    buffer_ = SharedEmpty(form);
    size_ = EmptySize(form);
    if (byteCount < 1 || byteCount > kMaxStringBytes) {
        return false;
    }
    if (byteCount == EmptySize(form)) {
        return true;
    }
    if (!bytes || (form == Wide && byteCount % 2 != 0)) {
        BM_ASSERT_REPORT();  // half a code unit has no meaning
        return false;
    }
    void* block = AllocateRounded(byteCount);
    if (!block) {
        return false;
    }
    std::memcpy(block, bytes, static_cast<size_t>(byteCount));
    // The last unit is the terminator by contract; enforcing it keeps every reader in bounds
    // even when a caller's block lacks one.
    std::memset(static_cast<unsigned char*>(block) + byteCount - EmptySize(form), 0,
                static_cast<size_t>(EmptySize(form)));
    buffer_ = block;
    size_ = byteCount;
    return true;
}

bool BmString::AllocateBuffer(StringForm form, int32_t byteCount) {
    if (!ValidForm(form)) {
        BM_ASSERT_REPORT();
        return false;
    }
    if (byteCount == 0) {
        BM_ASSERT_REPORT();
    }
    // On refusal nothing changes, not even the form: the kept buffer must stay readable as what it is.
    if (byteCount < 1 || byteCount > kMaxStringBytes) {
        return false;
    }
    form_ = form;
    void* block = AllocateRounded(byteCount);
    if (!block) {
        buffer_ = SharedEmpty(form);
        size_ = EmptySize(form);
        return false;
    }
    buffer_ = block;
    size_ = byteCount;
    return true;
}

BmString& BmString::Assign(const BmString& other) {
    if (&other == this) {
        return *this;
    }
    Clear();
    if (form_ == other.form_) {
        SetBytes(form_, other.size_, other.buffer_);
        return *this;
    }
    BmString temporary(other);
    if (form_ == Narrow) {
        AppendNarrow(temporary.NarrowText());
    } else {
        AppendWide(temporary.WideText());
    }
    return *this;
}

BmString& BmString::AssignNarrow(const char* text) {
    Clear();
    if (!text) {
        BM_ASSERT_REPORT();
        return *this;
    }
    if (form_ == Narrow) {
        const size_t len = std::strlen(text);
        if (len >= static_cast<size_t>(kMaxStringBytes)) {
            return *this;  // too long: stays empty
        }
        SetBytes(Narrow, static_cast<int32_t>(len) + 1, text);
    } else {
        BmString temporary(text);
        AppendWide(temporary.WideText());
    }
    return *this;
}

BmString& BmString::AssignWide(const char16_t* text) {
    Clear();
    if (!text) {
        BM_ASSERT_REPORT();
        return *this;
    }
    if (form_ == Wide) {
        const size_t len = WideLength(text);
        if (len >= static_cast<size_t>(kMaxStringBytes / 2)) {
            return *this;
        }
        SetBytes(Wide, 2 * static_cast<int32_t>(len) + 2, text);
    } else {
        BmString temporary(text);
        AppendNarrow(temporary.NarrowText());
    }
    return *this;
}

BmString& BmString::AppendNarrow(const char* text) {
    // Appending bytes to a text that stayed wide would corrupt it, so a failed conversion stops here.
    if (!ToNarrow()) {
        return *this;
    }
    if (!text) {
        BM_ASSERT_REPORT();
        return *this;
    }
    const size_t len = std::strlen(text);
    if (len == 0) {
        return *this;
    }
    void* oldBuffer = buffer_;
    const int32_t oldSize = size_ < 1 ? 1 : size_;
    const int64_t newSize = static_cast<int64_t>(oldSize) + static_cast<int64_t>(len);
    if (newSize > kMaxStringBytes || !AllocateBuffer(Narrow, static_cast<int32_t>(newSize))) {
        buffer_ = oldBuffer;
        size_ = oldSize;
        return *this;
    }
    char* out = static_cast<char*>(buffer_);
    if (oldSize < 2) {
        std::memcpy(out, text, len + 1);
    } else {
        std::memcpy(out, oldBuffer, static_cast<size_t>(oldSize - 1));
        std::memcpy(out + oldSize - 1, text, len + 1);  // text may live in oldBuffer: freed below
    }
    if (!IsSharedEmpty(oldBuffer)) {
        std::free(oldBuffer);
    }
    return *this;
}

BmString& BmString::AppendWide(const char16_t* text) {
    if (!ToWide()) {
        return *this;
    }
    if (!text) {
        BM_ASSERT_REPORT();
        return *this;
    }
    const size_t len = WideLength(text);
    if (len == 0) {
        return *this;
    }
    void* oldBuffer = buffer_;
    const int32_t oldSize = size_ < 2 ? 2 : size_;
    const int64_t newSize = static_cast<int64_t>(oldSize) + 2 * static_cast<int64_t>(len);
    if (newSize > kMaxStringBytes || !AllocateBuffer(Wide, static_cast<int32_t>(newSize))) {
        buffer_ = oldBuffer;
        size_ = oldSize;
        return *this;
    }
    unsigned char* out = static_cast<unsigned char*>(buffer_);
    if (oldSize < 4) {
        std::memcpy(out, text, 2 * len + 2);
    } else {
        std::memcpy(out, oldBuffer, static_cast<size_t>(oldSize - 2));
        std::memcpy(out + oldSize - 2, text, 2 * len + 2);
    }
    if (!IsSharedEmpty(oldBuffer)) {
        std::free(oldBuffer);
    }
    return *this;
}

int32_t BmString::Format(const char16_t* format, ...) {
    Clear();
    if (!format) {
        BM_ASSERT_REPORT();
        return 0;
    }
    BecomeEmpty(Wide);

    char16_t local[kFormatFirstChars + 1];
    va_list args;
    va_start(args, format);
    va_list attempt;
    va_copy(attempt, args);
    int32_t written = FormatWideBounded(local, kFormatFirstChars, format, attempt);
    va_end(attempt);
    if (written >= 0) {
        va_end(args);
        local[written] = 0;
        if (written == 0 || !SetBytes(Wide, 2 * written + 2, local)) {
            return 0;
        }
        return written;
    }

    for (int32_t bytes = kFormatSecondBytes; bytes <= kMaxStringBytes; bytes += kFormatGrowthBytes) {
        Clear();
        if (!AllocateBuffer(Wide, bytes)) {
            break;
        }
        char16_t* out = static_cast<char16_t*>(buffer_);
        va_copy(attempt, args);
        written = FormatWideBounded(out, bytes / 2 - 1, format, attempt);
        va_end(attempt);
        if (written >= 0) {
            va_end(args);
            if (written == 0) {
                Clear();
                return 0;
            }
            out[written] = 0;
            size_ = 2 * written + 2;
            return written;
        }
    }
    va_end(args);
    Clear();
    return 0;
}

BmString& BmString::Right(BmString& out, int32_t count) {
    if (&out == this) {
        BmString source(*this);
        return source.Right(out, count);
    }
    out.BecomeEmpty(Wide);
    if (count < 0) {
        BM_ASSERT_REPORT();
        count = 0;
    }
    const int32_t length = Length();
    if (count > length) {
        count = length;
    }
    const int32_t unit = form_ == Narrow ? 1 : 2;
    const int32_t bytes = (count + 1) * unit;
    const unsigned char* from = static_cast<const unsigned char*>(buffer_) + (size_ - bytes);
    bool terminated = true;
    for (int32_t i = bytes - unit; i < bytes; ++i) {
        terminated = terminated && from[i] == 0;
    }
    if (!terminated) {
        BM_ASSERT_REPORT();  // the source was not terminated where its size says
    }
    out.SetBytes(form_, bytes, from);
    return out;
}

void* BmString::WriteBuffer(int32_t count) {
    if (count < 0) {
        BM_ASSERT_REPORT();
    }
    if (count <= Length()) {
        return buffer_;
    }
    const int64_t bytes =
        form_ == Narrow ? static_cast<int64_t>(count) + 1 : 2 * static_cast<int64_t>(count) + 2;
    if (bytes > kMaxStringBytes) {
        return nullptr;
    }
    const int32_t newSize = static_cast<int32_t>(bytes);
    unsigned char* block = static_cast<unsigned char*>(AllocateRounded(newSize));
    if (!block) {
        return nullptr;
    }
    std::memcpy(block, buffer_, static_cast<size_t>(size_));
    std::memset(block + size_, 0, static_cast<size_t>(newSize - size_));
    FreeOwned();
    buffer_ = block;
    size_ = newSize;
    return block;
}

char* BmString::NarrowWriteBuffer(int32_t count) {
    // A wide buffer handed out as narrow storage would be misread afterwards: refuse instead.
    if (!ToNarrow()) {
        return nullptr;
    }
    return static_cast<char*>(WriteBuffer(count));
}

void BmString::CommitLength(int32_t count) {
    if (count < -1) {
        BM_ASSERT_REPORT();
        count = 0;
    }
    if (count == 0 || IsSharedEmpty(buffer_)) {
        Clear();
        return;
    }
    const int32_t capacity = Capacity();
    if (count == -1) {
        count = 0;
        if (form_ == Narrow) {
            const char* text = static_cast<const char*>(buffer_);
            while (count < capacity && text[count] != 0) {
                ++count;
            }
        } else {
            const char16_t* text = static_cast<const char16_t*>(buffer_);
            while (count < capacity && text[count] != 0) {
                ++count;
            }
        }
        if (count == 0) {
            Clear();
            return;
        }
    }
    if (count >= capacity) {
        BM_ASSERT_REPORT();
        count = capacity - 1;
    }
    if (form_ == Narrow) {
        static_cast<char*>(buffer_)[count] = 0;
        size_ = count + 1;
    } else {
        static_cast<char16_t*>(buffer_)[count] = 0;
        size_ = 2 * count + 2;
    }
}
