// The management service's field encoding: u32 little-endian lengths, blocks, strings with a
// character-size byte, and the error marker 0xFFFFFFFF by which the service reports a failure.
#pragma once

#include "base/exception.h"

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>

class vserializer {
public:
    // Malformed data on the service protocol; carries its message and no location.
    class invalidprotocol : public vexception {
    public:
        explicit invalidprotocol(std::wstring message) : vexception(std::move(message)) {}
    };

    struct FreeDeleter {
        void operator()(void* p) const noexcept { std::free(p); }
    };
    using Bytes = std::unique_ptr<uint8_t, FreeDeleter>;

    struct Block {
        Bytes data; // null for a block of length 0
        uint32_t length = 0;
    };

    // An empty buffer for writing.
    vserializer();
    // Takes over a malloc'ed block of received bytes (may be null when length is 0).
    vserializer(Bytes data, uint32_t length);
    vserializer(const vserializer&) = delete;
    vserializer& operator=(const vserializer&) = delete;
    // The source is left empty.
    vserializer(vserializer&& other) noexcept;
    ~vserializer() = default;

    void writeString(const std::wstring& text);
    void writeBlock(uint32_t size, const void* bytes);
    void append(const vserializer& other);

    // For bytes received straight into the block: room for at least capacity bytes in all, the
    // bytes held kept. Grows like any write (and is reported to the allocation observer).
    uint8_t* reserve(uint32_t capacity);
    // The first length bytes of the block (at most its capacity) become the received data to
    // read from: position 0, mode 0.
    void setReceived(uint32_t length);

    std::pair<const uint8_t*, uint32_t> bytes() const { return {data_.get(), length_}; }
    const uint8_t* data() const { return data_.get(); }
    uint32_t length() const { return length_; }
    uint32_t position() const { return position_; }
    uint32_t capacity() const { return capacity_; }
    uint8_t mode() const { return mode_; }

    void readRaw(uint32_t n, void* destination);
    Block readBlock();
    std::wstring readString();

    // Every heap block the serializer asks for, reading or writing, is reported here first with
    // the size requested and the bytes this buffer holds; tests use it to account for allocations.
    using AllocationObserver = void (*)(size_t requested, uint32_t held);
    static AllocationObserver setAllocationObserver(AllocationObserver observer);

private:
    // Reads a block; inside an error marker's message a further marker is a protocol error, so a
    // reply made of markers cannot recurse without bound.
    Block readBlockImpl(bool insideErrorMarker);
    std::wstring readStringImpl(bool insideErrorMarker);
    static std::wstring decodeString(const Block& block);
    void grow(uint32_t needed);
    void put(const void* bytes, uint32_t size);
    void* allocate(size_t size);

    Bytes data_;
    uint32_t position_ = 0;
    uint32_t length_ = 0;
    uint8_t mode_ = 1;
    uint32_t capacity_ = 0;
};
