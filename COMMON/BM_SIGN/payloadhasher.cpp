#include "COMMON/BM_SIGN/payloadhasher.h"

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>

#include "COMMON/BM_OS/waittick.h"

namespace {
constexpr size_t kReadBytes = 1024 * 1024;
// The worker yields to the download it follows (a lower share of a busy processor, all of an idle
// one, never none): it catches up while the file is synced.
constexpr int kWorkerNice = 19;
}  // namespace

PayloadHasher::PayloadHasher() {
    Reset();
}

PayloadHasher::~PayloadHasher() {
    StopWorker();
}

void PayloadHasher::Reset() {
    StopWorker();
    Restart();
}

void PayloadHasher::ResetFromFile(const std::string& path) {
    StopWorker();
    Restart();
    fd_ = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd_ >= 0) {
        worker_ = std::thread([this] { Work(); });
    }
}

void PayloadHasher::Restart() {
    ok_ = sodium_init() >= 0 &&
          crypto_generichash_init(&state_, nullptr, 0, StreamedPayload::kDigestBytes) == 0;
    fed_ = 0;
    keptSize_ = 0;
    limit_ = 0;
    hashed_ = 0;
    finishing_ = false;
    quit_ = false;
    done_ = false;
}

void PayloadHasher::StopWorker() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quit_ = true;
        changed_.notify_all();
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
}

void PayloadHasher::HashNow(const uint8_t* data, size_t size) {
    if (ok_ && size > 0) {
        ok_ = crypto_generichash_update(&state_, data, size) == 0;
    }
}

void PayloadHasher::Hash(const uint8_t* data, size_t size) {
    if (fd_ < 0) {
        HashNow(data, size);
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    limit_ += size;
    changed_.notify_all();
}

bool PayloadHasher::HashFromFile(uint8_t* buffer, uint64_t at, size_t size) {
    ssize_t got;
    do {
        got = pread(fd_, buffer, size, static_cast<off_t>(at));
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
        return false;
    }
    HashNow(buffer, static_cast<size_t>(got));
    std::lock_guard<std::mutex> lock(mutex_);
    hashed_ += static_cast<uint64_t>(got);
    changed_.notify_all();
    return true;
}

void PayloadHasher::Work() {
    setpriority(PRIO_PROCESS, static_cast<id_t>(syscall(SYS_gettid)), kWorkerNice);
    const std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadBytes]);
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return quit_ || finishing_ || hashed_ < limit_; });
        if (quit_ || hashed_ >= limit_) {
            done_ = true;  // ended, or finishing with the whole payload hashed
            changed_.notify_all();
            return;
        }
        const uint64_t at = hashed_;
        const size_t size = static_cast<size_t>(std::min<uint64_t>(limit_ - hashed_, kReadBytes));
        const bool finishing = finishing_;
        lock.unlock();
        const bool read = HashFromFile(buffer.get(), at, size);
        lock.lock();
        if (!read && finishing) {
            ok_ = false;  // the file is shorter than the bytes fed: no streamed hash
            hashed_ = limit_;
            done_ = true;
            changed_.notify_all();
            return;
        }
        if (!read) {
            // Fed before the writer's buffer reached the file: wait for more, or for the end.
            const uint64_t seen = limit_;
            changed_.wait(lock, [&] { return quit_ || finishing_ || limit_ != seen; });
        }
    }
}

void PayloadHasher::Update(const uint8_t* data, size_t size) {
    if (size == 0) {
        return;
    }
    fed_ += size;
    if (size >= kKeptBytes) {
        // Everything kept so far and all but the piece's last bytes are payload.
        Hash(kept_, keptSize_);
        Hash(data, size - kKeptBytes);
        std::memcpy(kept_, data + size - kKeptBytes, kKeptBytes);
        keptSize_ = kKeptBytes;
        return;
    }
    if (keptSize_ + size > sizeof kept_) {
        // Keep exactly kKeptBytes once the piece is in: the oldest bytes are payload.
        const size_t drop = keptSize_ + size - kKeptBytes;
        Hash(kept_, drop);
        std::memmove(kept_, kept_ + drop, keptSize_ - drop);
        keptSize_ -= drop;
    }
    std::memcpy(kept_ + keptSize_, data, size);
    keptSize_ += size;
}

StreamedPayload PayloadHasher::Finish() {
    StreamedPayload out;
    out.fileSize = fed_;
    const size_t tailSize = static_cast<size_t>(std::min<uint64_t>(fed_, kTrailerTailBytes));
    out.layout = ParseTrailerTail(kept_ + keptSize_ - tailSize, tailSize, fed_);
    const uint64_t hashed = fed_ - keptSize_;
    bool whole = true;
    if (out.layout.kind == TrailerKind::kSigned) {
        // The trailer is at most kKeptBytes long, so the payload ends within the kept bytes.
        whole = out.layout.payloadSize >= hashed;  // false cannot happen while the kept bytes
        const size_t rest = whole ? static_cast<size_t>(out.layout.payloadSize - hashed) : 0;
        Hash(kept_, rest);
        out.signatureText.assign(reinterpret_cast<const char*>(kept_ + rest),
                                 whole ? out.layout.signatureSize : 0);
    }
    if (worker_.joinable()) {
        // Every byte is in the file now; the worker ends once it has hashed the payload (at
        // once for a file that is not signed: its hash is of no use). A wait that is working.
        std::unique_lock<std::mutex> lock(mutex_);
        finishing_ = true;
        quit_ = out.layout.kind != TrailerKind::kSigned;
        changed_.notify_all();
        while (!changed_.wait_for(lock, std::chrono::milliseconds(kWaitTickMinGapMs),
                                  [this] { return done_; })) {
            WaitTick();
        }
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    if (fd_ >= 0) {
        close(fd_);
        fd_ = -1;
    }
    if (!whole) {
        ok_ = false;  // not ok: the kept bytes did not cover the trailer
    } else if (out.layout.kind == TrailerKind::kSigned) {
        ok_ = ok_ && crypto_generichash_final(&state_, out.digest, sizeof out.digest) == 0;
    }
    out.ok = ok_;
    ok_ = false;  // the state is spent
    return out;
}
