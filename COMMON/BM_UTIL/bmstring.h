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
    int32_t Length() const;
    int32_t FindLast(int ch) const;  // index in the current form, -1 if none; never converts
    bool ToNarrow();
    bool ToWide();
    const char* NarrowText();            // "" (static) when narrowing fails
    const char16_t* WideText();          // u"" (static) when widening fails
    bool Equals(const BmString& other);  // converts this string to other's form first

    // Assignment and building.
    void Clear();
    bool SetBytes(StringForm form, int32_t byteCount,
                  const void* bytes);  // byteCount includes the terminator
    bool AllocateBuffer(StringForm form, int32_t byteCount);
    BmString& Assign(const BmString& other);
    BmString& AssignNarrow(const char* text);
    BmString& AssignWide(const char16_t* text);
    BmString& AppendNarrow(const char* text);
    BmString& AppendWide(const char16_t* text);
    // UTF-16 printf subset: %s (const char16_t*), %d, %u, %x, %X, %c, %%, with flags '-', '0', width.
    // Returns the characters written, 0 on failure or for an empty result.
    int32_t Format(const char16_t* format, ...);
    BmString& Right(BmString& out, int32_t count);
    void* WriteBuffer(int32_t count);
    virtual char* NarrowWriteBuffer(int32_t count);
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
