// SPDX-License-Identifier: MIT
#include "engine/encode/BlockEncoder.h"

#include <bzlib.h>
#include <divsufsort.h>

#include <algorithm>
#include <cstring>
#include <mutex>
#include <thread>

#include "engine/codec/BlockCrc.h"
#include "engine/codec/StreamBits.h"
#include "engine/encode/BlockBoundary.h"
#include "engine/encode/BlockCoding.h"

namespace kavrin {

namespace {

// The run-length stage may pass its fill limit by one run's four bytes and count.
constexpr size_t kBlockRoom = kBlockFillLimit + 5;

// The start of the least rotation of `s`, by comparing two candidate starts and discarding
// the one that loses along with every start it covers. A start is discarded only when a
// rotation is strictly smaller than it, so a least rotation is never discarded: when `s` is a
// repetition of a shorter string (its rotations are not all distinct) it has two least
// rotations, and the two candidates end on them, equal over all n bytes. `periodic` says so.
size_t LeastRotation(const uint8_t* s, size_t n, bool& periodic) {
    size_t i = 0;
    size_t j = 1;
    size_t k = 0;
    while (i < n && j < n && k < n) {
        size_t a = i + k;
        size_t b = j + k;
        if (a >= n) a -= n;
        if (b >= n) b -= n;
        if (s[a] == s[b]) {
            ++k;
            continue;
        }
        if (s[a] > s[b]) {
            i += k + 1;
        } else {
            j += k + 1;
        }
        if (i == j) ++j;
        k = 0;
    }
    periodic = k >= n;
    return std::min(i, j);
}

std::mutex poolMutex;
std::vector<std::unique_ptr<BlockEncoder>>& IdleEncoders() {
    static auto* idle = new std::vector<std::unique_ptr<BlockEncoder>>();  // lives to the end
    return *idle;
}

}  // namespace

PooledBlockEncoder::PooledBlockEncoder() {
    {
        std::lock_guard<std::mutex> lock(poolMutex);
        auto& idle = IdleEncoders();
        if (!idle.empty()) {
            encoder_ = std::move(idle.back());
            idle.pop_back();
        }
    }
    if (!encoder_) encoder_ = std::make_unique<BlockEncoder>();
    encoder_->Begin();
}

PooledBlockEncoder::~PooledBlockEncoder() {
    const size_t keep = std::max(1u, std::thread::hardware_concurrency());
    std::lock_guard<std::mutex> lock(poolMutex);
    auto& idle = IdleEncoders();
    if (idle.size() < keep) {
        try {
            idle.push_back(std::move(encoder_));
        } catch (const std::bad_alloc&) {
            // Not kept: the encoder is freed with this object.
        }
    }
}

void BlockEncoder::Begin() {
    fill_ = 0;
    overflow_ = false;
    crc_ = kCrcStart;
    runByte_ = 256;
    runLength_ = 0;
}

void BlockEncoder::FlushRun() {
    if (runByte_ > 255) return;
    if (fill_ + 5 > kBlockRoom) {
        overflow_ = true;
        return;
    }
    const auto byte = static_cast<uint8_t>(runByte_);
    uint8_t* out = block_.data() + fill_;
    if (runLength_ < 4) {
        for (uint32_t i = 0; i < runLength_; ++i) out[i] = byte;
        fill_ += runLength_;
    } else {
        out[0] = out[1] = out[2] = out[3] = byte;
        out[4] = static_cast<uint8_t>(runLength_ - 4);
        fill_ += 5;
    }
}

void BlockEncoder::Feed(const uint8_t* data, size_t length) {
    const auto started = std::chrono::steady_clock::now();
    if (block_.size() < kBlockRoom) block_.resize(kBlockRoom);
    crc_ = UpdateBlockCrc(crc_, data, length);
    for (size_t i = 0; i < length; ++i) {
        const uint32_t byte = data[i];
        if (byte == runByte_ && runLength_ < 255) {
            ++runLength_;
            continue;
        }
        FlushRun();
        runByte_ = byte;
        runLength_ = 1;
    }
    times_.runs += std::chrono::steady_clock::now() - started;
}

bool BlockEncoder::Finish(std::vector<uint8_t>& stream) {
    FlushRun();
    runByte_ = 256;
    const size_t n = fill_;
    const uint32_t blockCrc = ~crc_;
    stream.clear();
    if (overflow_) {
        Begin();
        return false;
    }
    bool ok = true;
    if (n == 0) {
        // The empty stream: header, end magic, a combined CRC of 0.
        BitWriter bits(stream);
        for (uint8_t byte : kBzipHeader) bits.Put(8, byte);
        bits.Put(24, static_cast<uint32_t>(kEndMagic >> 24));
        bits.Put(24, static_cast<uint32_t>(kEndMagic & 0xffffff));
        bits.Put(32, 0);
        bits.Flush();
    } else {
        auto mark = std::chrono::steady_clock::now();
        auto lap = [&mark](std::chrono::nanoseconds& stage) {
            const auto now = std::chrono::steady_clock::now();
            stage += now - mark;
            mark = now;
        };
        const uint8_t* block = block_.data();
        bool periodic = false;
        const size_t shift = LeastRotation(block, n, periodic);
        if (periodic) {
            ok = EncodePeriodic(stream);
        } else {
            // Turned to its least rotation, the block is a word smaller than each of its
            // proper rotations, and for such a word the order of the suffixes is the order of
            // the rotations.
            order_.resize(n);
            rotated_.resize(n);
            std::memcpy(rotated_.data(), block + shift, n - shift);
            std::memcpy(rotated_.data() + n - shift, block, shift);
            if (divsufsort(rotated_.data(), order_.data(), static_cast<saidx_t>(n)) != 0) {
                Begin();
                return false;
            }
            lap(times_.sort);
            ++times_.sortedBlocks;
            bool inUse[256] = {};
            for (size_t i = 0; i < n; ++i) inUse[block[i]] = true;
            uint8_t index[256] = {};
            int used = 0;
            for (int b = 0; b < 256; ++b) {
                if (inUse[b]) index[b] = static_cast<uint8_t>(used++);
            }
            // The last column: the byte before each sorted rotation. The origin is where the
            // rotation starting at the block's first byte landed.
            last_.resize(n);
            const auto originStart = static_cast<int32_t>((n - shift) % n);
            uint32_t origin = 0;
            const uint8_t* r = rotated_.data();
            const int32_t* sa = order_.data();
            for (size_t i = 0; i < n; ++i) {
                const int32_t start = sa[i];
                if (start == originStart) origin = static_cast<uint32_t>(i);
                last_[i] = index[r[start == 0 ? n - 1 : static_cast<size_t>(start) - 1]];
            }
            symbols_.resize(n + 1);
            uint32_t freq[kMaxAlphabet];
            const size_t count = MoveToFront(last_.data(), n, used, symbols_.data(), freq);
            lap(times_.mtf);

            stream.reserve(n + n / 8 + 1024);
            BitWriter bits(stream);
            for (uint8_t byte : kBzipHeader) bits.Put(8, byte);
            bits.Put(24, static_cast<uint32_t>(kBlockMagic >> 24));
            bits.Put(24, static_cast<uint32_t>(kBlockMagic & 0xffffff));
            bits.Put(32, blockCrc);
            bits.Put(1, 0);  // not randomised
            bits.Put(24, origin);
            WriteBlockBody(bits, inUse, symbols_.data(), count, freq);
            bits.Put(24, static_cast<uint32_t>(kEndMagic >> 24));
            bits.Put(24, static_cast<uint32_t>(kEndMagic & 0xffffff));
            bits.Put(32, CombineBlockCrc(0, blockCrc));
            bits.Flush();
            lap(times_.tables);
        }
    }
    Begin();
    if (!ok) stream.clear();
    return ok;
}

bool BlockEncoder::EncodePeriodic(std::vector<uint8_t>& stream) {
    ++periodicBlocks_;
    const uint8_t* block = block_.data();
    if (periodicBlock_.size() == fill_ && !periodicStream_.empty() &&
        std::memcmp(periodicBlock_.data(), block, fill_) == 0) {
        ++repeatedBlocks_;
        stream = periodicStream_;
        return true;
    }
    periodicStream_.clear();
    periodicBlock_.assign(block, block + fill_);

    bz_stream library{};
    memory_.Attach(library);
    if (BZ2_bzCompressInit(&library, 9, 0, 0) != BZ_OK) return false;
    // The input again, from its run-length form, fed in pieces as the passes feed it.
    uint8_t piece[1 << 16];
    size_t pieceFill = 0;
    bool ok = true;
    stream.resize(fill_ + fill_ / 100 + 1024);
    size_t produced = 0;
    auto step = [&](int action) {
        library.next_out = reinterpret_cast<char*>(stream.data() + produced);
        library.avail_out = static_cast<unsigned>(stream.size() - produced);
        const int result = BZ2_bzCompress(&library, action);
        produced = stream.size() - library.avail_out;
        return result;
    };
    auto feed = [&] {
        library.next_in = reinterpret_cast<char*>(piece);
        library.avail_in = static_cast<unsigned>(pieceFill);
        while (ok && library.avail_in > 0) {
            if (produced == stream.size()) stream.resize(stream.size() * 2);
            ok = step(BZ_RUN) == BZ_RUN_OK;
        }
        pieceFill = 0;
    };
    size_t same = 0;
    for (size_t i = 0; i < fill_ && ok; ++i) {
        const uint8_t byte = block[i];
        uint32_t copies = 1;
        if (same == 4) {
            // A count byte: the run's bytes beyond the four already given.
            copies = byte;
            same = 0;
            const uint8_t runByte = block[i - 1];
            for (uint32_t c = 0; c < copies; ++c) {
                if (pieceFill == sizeof piece) feed();
                piece[pieceFill++] = runByte;
            }
            continue;
        }
        same = i > 0 && same > 0 && block[i - 1] == byte ? same + 1 : 1;
        if (pieceFill == sizeof piece) feed();
        piece[pieceFill++] = byte;
    }
    if (ok) feed();
    library.avail_in = 0;
    while (ok) {
        if (produced == stream.size()) stream.resize(stream.size() * 2);
        const int result = step(BZ_FINISH);
        if (result == BZ_STREAM_END) break;
        ok = result == BZ_FINISH_OK;
    }
    BZ2_bzCompressEnd(&library);
    if (!ok) return false;
    stream.resize(produced);
    periodicStream_ = stream;
    return true;
}

}  // namespace kavrin
