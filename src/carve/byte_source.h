#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <span>

namespace ambrelic::carve {

// The bytes a parser may read: a candidate file's bytes laid end to end (for
// instance the run of vacant clusters from the header on, with the clusters a
// live file holds left out). Reads past Size() deliver fewer bytes; bytes
// that could not be read from the medium come back as zeros.
class ByteSource {
public:
    virtual ~ByteSource() = default;
    virtual std::uint64_t Size() const = 0;
    // Copies up to out.size() bytes from offset; returns how many were copied.
    virtual std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) = 0;
    // All of the source's bytes, when they lie in memory as one run (then
    // they are read where they lie, not copied); empty otherwise.
    virtual std::span<const std::uint8_t> Memory() const { return {}; }
};

// A file's bytes already in memory (tests, the fuzzer, a restored file).
class MemorySource final : public ByteSource {
public:
    explicit MemorySource(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    std::uint64_t Size() const override { return bytes_.size(); }
    std::size_t Read(std::uint64_t offset, std::span<std::uint8_t> out) override {
        if (offset >= bytes_.size()) {
            return 0;
        }
        const std::size_t n = static_cast<std::size_t>(
            std::min<std::uint64_t>(out.size(), bytes_.size() - offset));
        std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), n, out.begin());
        return n;
    }
    std::span<const std::uint8_t> Memory() const override { return bytes_; }

private:
    std::span<const std::uint8_t> bytes_;
};

}  // namespace ambrelic::carve
