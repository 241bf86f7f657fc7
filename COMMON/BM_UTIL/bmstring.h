// BmString: the program's one string type. Holds UTF-16 (Wide) or 8-bit (Narrow) text, one form
// at a time, converting in place. Exact-size buffers rounded to 16 bytes, at most kMaxStringBytes.
#pragma once

#include <cstdint>

enum StringForm : int32_t { Wide = 0, Narrow = 1 };

class BmString {
public:
    static constexpr int32_t kMaxStringBytes = 20000;

    BmString();                               // empty, Wide
    explicit BmString(const char* text);      // Narrow
    explicit BmString(const char16_t* text);  // Wide
    BmString(const BmString& other);          // same form as other
    BmString& operator=(const BmString& other) { return Assign(other); }
    virtual ~BmString();

    // Queries and form changes.
    int32_t Length() const;          // characters, derived from the size (capacity while writing)
    int32_t FindLast(int ch) const;  // index in the current form, -1 if none; never converts
    // In-place conversions; true if the string is in that form afterwards. Narrowing fails (the
    // string unchanged) on a code unit above 255; widening fails beyond the size limit.
    bool ToNarrow();
    bool ToWide();
    // Convert, then the text. Pointers obtained earlier from this string become invalid.
    const char* NarrowText();    // "" (static) when narrowing fails
    const char16_t* WideText();  // u"" (static) when widening fails
    // Exact, case-sensitive. Converts this string to other's form first; false when it cannot.
    bool Equals(const BmString& other);

    // Assignment and building. Nothing grows past kMaxStringBytes: a refused assignment or
    // Format leaves the string empty, a refused append leaves it unchanged.
    void Clear();  // empty, in the current form, no allocation
    // The whole content from `bytes`; byteCount includes the terminator (which is enforced).
    // False (string empty) for counts outside 1..kMaxStringBytes or an odd Wide count.
    bool SetBytes(StringForm form, int32_t byteCount, const void* bytes);
    // Low-level: a fresh uninitialised buffer of byteCount bytes in `form`. The previous buffer
    // is NOT freed (the caller holds it). On refusal nothing changes.
    bool AllocateBuffer(StringForm form, int32_t byteCount);
    BmString& Assign(const BmString& other);   // keeps this string's form; other is not converted
    BmString& AssignNarrow(const char* text);  // keeps this string's form
    BmString& AssignWide(const char16_t* text);
    BmString& AppendNarrow(const char* text);    // converts to Narrow first; refused if it cannot
    BmString& AppendWide(const char16_t* text);  // converts to Wide first
    // UTF-16 printf subset: %s (const char16_t*, null prints "(null)"), %d, %i, %u, %x, %X, %c, %%,
    // flags '-', '0', a width. Result Wide, at most 9983 characters. Returns the characters
    // written, 0 on failure (string empty) or for an empty result.
    int32_t Format(const char16_t* format, ...);
    // `out` receives the last `count` characters (cut to Length), in this string's form.
    BmString& Right(BmString& out, int32_t count);
    // Room for `count` characters and a terminator (existing text kept, rest zeroed); the
    // current buffer when it is already large enough; null (unchanged) beyond the limit.
    // Finish with CommitLength.
    void* WriteBuffer(int32_t count);
    // ToNarrow, then WriteBuffer; null when the text has no narrow form.
    virtual char* NarrowWriteBuffer(int32_t count);
    // Ends a write: `count` characters were written (-1: measure up to the first terminator,
    // 0: empty). A count beyond the capacity is reported and cut.
    void CommitLength(int32_t count);

    // Inspection (tests and the wire encoder read the stored bytes directly).
    StringForm Form() const { return form_; }
    int32_t Size() const { return size_; }
    const void* Buffer() const { return buffer_; }
    bool OwnsBuffer() const { return !IsSharedEmpty(buffer_); }
    static bool IsSharedEmpty(const void* p);

private:
    static void* SharedEmpty(StringForm form);
    static int32_t EmptySize(StringForm form) { return form == Narrow ? 1 : 2; }
    void FreeOwned();
    void BecomeEmpty(StringForm form);
    int32_t Capacity() const { return form_ == Narrow ? size_ : size_ / 2; }

    StringForm form_;
    void* buffer_;
    int32_t size_;
};
