// BmFile: the program's only file class. One named file, opened in one of three modes, read or
// written through a fixed 5000-byte buffer. Keep it as a local object for one operation; the
// destructor flushes and closes. Paths beginning with "\" are device paths.
#pragma once

#include <cstdint>

#include "COMMON/BM_UTIL/bmstring.h"

enum FileMode : int32_t { ModeNone = 0, ModeRead = 1, ModeCreate = 2, ModeAppend = 3 };

class BmFile {
public:
    static constexpr int32_t kFileBufferSize = 5000;

    explicit BmFile(BmString path);
    // Flushes pending writes and closes an open file.
    virtual ~BmFile();
    BmFile(const BmFile&) = delete;
    BmFile& operator=(const BmFile&) = delete;

    // Byte count of the file (low 32 bits). A closed object opens the file for reading just to
    // measure it; 0 when that fails.
    virtual int32_t Size();
    // Opens the path in `mode` (a FileMode value): ModeRead needs an existing file, ModeCreate
    // creates or truncates, ModeAppend creates if missing and writes at the end. `shareMode` 0
    // holds the file exclusively (another open of it fails until Close); any other value allows
    // other sharing opens. An already open file is closed first. False on failure.
    virtual bool Open(int32_t mode, int32_t shareMode);
    // Flushes and closes; nothing when closed.
    virtual void Close();
    // Reads exactly `count` bytes, first from what the read-ahead still holds, then straight from
    // the file. False unless all arrived.
    virtual bool Read(void* destination, int32_t count);
    // Reads exactly `count` bytes through the read-ahead buffer (5000 bytes at a time). False
    // when the file ends first.
    virtual bool ReadBuffered(void* destination, int32_t count);
    virtual bool IsOpen() const;
    // Gathers small writes in the buffer; flushes when the buffer would fill, and writes a block
    // larger than the buffer directly. False when a write fails (the buffered bytes are then lost).
    virtual bool Write(const void* source, int32_t count);

    // Writes out pending bytes (writing modes) or drops the read-ahead (read mode).
    bool Flush();
    // Write, but false when no file is open.
    bool WriteBlock(const void* source, int32_t count);
    // Reads 4 bytes little-endian into `target`; on failure `target` is unchanged.
    bool ReadInt32(int32_t* target);
    // Writes `value` as 4 bytes little-endian.
    bool WriteInt32(int32_t value);

    FileMode Mode() const { return mode_; }

private:
    bool WriteAll(const void* source, int32_t count);
    bool ReadAll(void* destination, int32_t count);
    bool CloseHandle();

    BmString path_;
    int handle_ = -1;
    unsigned char* buffer_;
    int32_t capacity_ = kFileBufferSize;
    int32_t filled_ = 0;
    int32_t cursor_ = 0;
    FileMode mode_ = ModeNone;
};
