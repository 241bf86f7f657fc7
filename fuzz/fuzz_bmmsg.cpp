// The message decoder on arbitrary received bytes. Input: one byte N, N operation bytes, then the
// wire bytes, which are wrapped in an exact-size copy so that AddressSanitizer sees any read past
// them. Each operation runs on the current record (the wrapped one or a clone) and is checked
// against a model of the cursor and the read-error flag.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <list>
#include <memory>
#include <vector>

#include "COMMON/BM_COMM/bmmsg.h"
#include "COMMON/BM_UTIL/bmstring.h"
#include "fuzz/fuzzsupport.h"

namespace {

enum Op : uint8_t {
    kReadInt32,
    kSkipInt32,
    kReadBytesSmall,
    kReadBytesNearEnd,
    kReadString,
    kReadStringTwice,
    kRewind,
    kClone,
    kBackToWrapped,
    kSetRequestId,
    kAppendInt32,
    kRewrapPrefix,
    kOpCount
};

// What a record should look like from outside, kept beside it.
struct Model {
    BmMsg* record = nullptr;
    const uint8_t* payload = nullptr;  // what Payload() must give (null: no block)
    uint32_t cursor = 0;
    bool readError = false;
};

void CheckShape(const Model& m) {
    FUZZ_CHECK(m.record->Cursor() == m.cursor);
    FUZZ_CHECK(m.record->Cursor() <= m.record->Length());
    FUZZ_CHECK(m.record->ReadError() == m.readError);
    FUZZ_CHECK(m.record->Length() <= BmMsg::kMaxPayload);
    FUZZ_CHECK(m.record->WireSize() == m.record->Length() + BmMsg::kHeaderBytes);
    FUZZ_CHECK(m.record->Payload() == m.payload);
}

// Wraps `wire` and checks the result against its header.
void WrapAndCheck(Model& m, std::vector<uint8_t>& wire) {
    const uint32_t available = static_cast<uint32_t>(wire.size());
    const bool ok = m.record->Wrap(wire.empty() ? nullptr : wire.data(), available);
    m.cursor = 0;
    m.readError = false;
    const bool fits = available >= 8 && LoadLe32(wire.data() + 4) <= BmMsg::kMaxPayload &&
                      LoadLe32(wire.data() + 4) <= available - 8;
    FUZZ_CHECK(ok == fits);
    if (ok) {
        FUZZ_CHECK(m.record->RequestId() == LoadLe16(wire.data()));
        FUZZ_CHECK(m.record->MsgId() == LoadLe16(wire.data() + 2));
        FUZZ_CHECK(m.record->Length() == LoadLe32(wire.data() + 4));
        FUZZ_CHECK(!m.record->OwnsBuffer());
        m.payload = wire.data() + 8;
    } else {
        FUZZ_CHECK(m.record->RequestId() == 0xFFFF && m.record->MsgId() == 0xFFFF);
        FUZZ_CHECK(m.record->Length() == 0);
        m.payload = nullptr;
    }
    CheckShape(m);
}

void ReadInt(Model& m, bool keep) {
    const uint32_t before = m.cursor;
    const bool fits = m.record->Length() - before >= 4 && m.record->Payload() != nullptr;
    int32_t value = 0x5A5A5A5A;
    const bool ok = m.record->ReadInt32(keep ? &value : nullptr);
    FUZZ_CHECK(ok == fits);
    if (ok) {
        if (keep) {
            FUZZ_CHECK(static_cast<uint32_t>(value) == LoadLe32(m.record->Payload() + before));
        }
        m.cursor = before + 4;
    } else {
        FUZZ_CHECK(value == 0x5A5A5A5A);
        m.readError = true;
    }
}

void ReadBlock(Model& m, uint32_t count) {
    const uint32_t before = m.cursor;
    const uint32_t remaining = m.record->Length() - before;
    // An exact-size destination: a write past `count` bytes is caught.
    std::unique_ptr<uint8_t[]> destination(new uint8_t[count > 0 ? count : 1]);
    const bool ok = m.record->ReadBytes(destination.get(), count);
    FUZZ_CHECK(ok == (remaining >= count && (count == 0 || m.record->Payload() != nullptr)));
    if (ok) {
        if (count > 0) {
            FUZZ_CHECK(std::memcmp(destination.get(), m.record->Payload() + before, count) == 0);
        }
        const uint32_t step = RoundUp4(count);
        m.cursor = before + (step < remaining ? step : remaining);
    } else {
        m.readError = true;
    }
}

void ReadText(Model& m) {
    const uint32_t before = m.cursor;
    const uint32_t remaining = m.record->Length() - before;
    BmString text(u"untouched");
    const bool ok = m.record->ReadString(text);
    if (m.readError) {
        // Sticky: nothing is consumed and the text is left alone.
        FUZZ_CHECK(!ok);
        FUZZ_CHECK(m.record->Cursor() == before);
        FUZZ_CHECK(text.Form() == Wide && text.Length() == 9);
        return;
    }
    if (remaining < 4 || m.record->Payload() == nullptr) {
        FUZZ_CHECK(!ok);
        m.readError = true;
        return;
    }
    const uint32_t prefix = LoadLe32(m.record->Payload() + before);
    const bool wide = (prefix & BmMsg::kWideFlag) != 0;
    const uint32_t byteCount = prefix & ~BmMsg::kWideFlag;
    if (byteCount > remaining - 4) {
        FUZZ_CHECK(!ok);
        m.cursor = before + 4;  // left just after the prefix
        m.readError = true;
        return;
    }
    FUZZ_CHECK(ok);
    const uint32_t step = RoundUp4(byteCount);
    m.cursor = before + 4 + (step < remaining - 4 ? step : remaining - 4);
    if (byteCount == 0 || byteCount > BmMsg::kMaxWireString) {
        FUZZ_CHECK(text.Length() == 0);
        FUZZ_CHECK(text.Form() == Wide);  // an empty item keeps the text's form
        return;
    }
    const uint32_t chars = wide ? byteCount / 2 : byteCount;
    FUZZ_CHECK(text.Form() == (wide ? Wide : Narrow));
    FUZZ_CHECK(static_cast<uint32_t>(text.Length()) == chars);
    FUZZ_CHECK(std::memcmp(text.Buffer(), m.record->Payload() + before + 4, chars * (wide ? 2u : 1u)) == 0);
}

void CheckClone(const BmMsg& copy, BmMsg& source) {
    FUZZ_CHECK(copy.RequestId() == source.RequestId());
    FUZZ_CHECK(copy.MsgId() == source.MsgId());
    FUZZ_CHECK(copy.Length() == source.Length());
    FUZZ_CHECK(copy.Cursor() == 0 && !copy.ReadError());
    if (source.Payload() != nullptr || source.Length() == 0) {
        FUZZ_CHECK(copy.OwnsBuffer());
        FUZZ_CHECK(copy.Payload() != nullptr);
    }
    if (source.Length() > 0 && source.Payload() != nullptr) {
        FUZZ_CHECK(std::memcmp(copy.Payload(), source.Payload(), source.Length()) == 0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const std::vector<uint8_t> ops = in.Bytes(in.Byte());
    std::vector<uint8_t> wire = in.Rest();
    std::list<std::vector<uint8_t>> prefixes;  // rewrapped copies live to the end

    BmMsg wrapped;
    Model original;
    original.record = &wrapped;
    WrapAndCheck(original, wire);

    std::vector<std::unique_ptr<BmMsg>> clones;
    Model clone;
    Model* current = &original;

    for (const uint8_t op : ops) {
        const uint8_t arg = op >> 4;
        switch (static_cast<Op>((op & 0x0F) % kOpCount)) {
            case kReadInt32:
                ReadInt(*current, true);
                break;
            case kSkipInt32:
                ReadInt(*current, false);
                break;
            case kReadBytesSmall:
                ReadBlock(*current, arg);
                break;
            case kReadBytesNearEnd: {
                // Counts around the end of the payload, where an off-by-one would show.
                const int64_t count = static_cast<int64_t>(current->record->Remaining()) + arg - 8;
                ReadBlock(*current, static_cast<uint32_t>(count > 0 ? count : 0));
                break;
            }
            case kReadString:
                ReadText(*current);
                break;
            case kReadStringTwice:
                ReadText(*current);
                ReadText(*current);
                break;
            case kRewind:
                current->record->Rewind();
                current->cursor = 0;  // the read error stays
                break;
            case kClone: {
                std::unique_ptr<BmMsg> copy = current->record->Clone();
                CheckClone(*copy, *current->record);
                clone.record = copy.get();
                clone.payload = copy->Payload();
                clone.cursor = 0;
                clone.readError = false;
                clones.push_back(std::move(copy));
                current = &clone;
                break;
            }
            case kBackToWrapped:
                current = &original;
                break;
            case kSetRequestId: {
                const uint16_t id = static_cast<uint16_t>(arg * 0x1111);
                const bool hasBlock = current->record->Payload() != nullptr;
                const uint16_t before = current->record->RequestId();
                current->record->SetRequestId(id);
                FUZZ_CHECK(current->record->RequestId() == (hasBlock ? id : before));
                const uint8_t* header = current->record->WireBytes();
                FUZZ_CHECK(LoadLe16(header) == current->record->RequestId());
                FUZZ_CHECK(LoadLe16(header + 2) == current->record->MsgId());
                FUZZ_CHECK(LoadLe32(header + 4) == current->record->Length());
                break;
            }
            case kAppendInt32: {
                // Only a record that owns its block is ever grown by the program.
                if (!current->record->OwnsBuffer()) {
                    break;
                }
                if (current->record->AppendInt32(arg)) {
                    // Appends write at the cursor and end the payload there.
                    FUZZ_CHECK(current->record->Length() == current->cursor + 4);
                    current->cursor += 4;
                    current->payload = current->record->Payload();
                }
                break;
            }
            case kRewrapPrefix: {
                const size_t keep = wire.size() > arg ? wire.size() - arg : 0;
                prefixes.emplace_back(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(keep));
                WrapAndCheck(original, prefixes.back());
                current = &original;
                break;
            }
            case kOpCount:
                break;
        }
        CheckShape(*current);
    }
    return 0;
}
