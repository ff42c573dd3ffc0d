#include "base/win32.h"

#include "service/serializer.h"

#include "base/text.h"

#include <cstring>

namespace {

const uint32_t kErrorMarker = 0xFFFFFFFFu;

vserializer::AllocationObserver g_allocationObserver = nullptr;

[[noreturn]] void raiseProtocol(const wchar_t* message) {
    throw vserializer::invalidprotocol(message);
}

} // namespace

vserializer::vserializer() = default;

vserializer::vserializer(Bytes data, uint32_t length)
    : data_(std::move(data)), length_(data_ ? length : 0), mode_(0), capacity_(length_) {}

vserializer::vserializer(vserializer&& other) noexcept
    : data_(std::move(other.data_)), position_(other.position_), length_(other.length_),
      mode_(other.mode_), capacity_(other.capacity_) {
    other.position_ = other.length_ = other.capacity_ = 0;
}

vserializer::AllocationObserver vserializer::setAllocationObserver(AllocationObserver observer) {
    AllocationObserver previous = g_allocationObserver;
    g_allocationObserver = observer;
    return previous;
}

void* vserializer::allocate(size_t size) {
    if (g_allocationObserver != nullptr)
        g_allocationObserver(size, length_);
    void* block = std::malloc(size);
    if (block == nullptr)
        raiseOutOfMemory();
    return block;
}

void vserializer::grow(uint32_t needed) {
    const uint64_t wanted = uint64_t(length_) + needed;
    if (capacity_ >= wanted)
        return;
    const uint64_t capacity = (wanted + 15) & ~uint64_t(15);
    if (capacity > UINT32_MAX)
        raiseOutOfMemory();
    if (g_allocationObserver != nullptr)
        g_allocationObserver(static_cast<size_t>(capacity), length_);
    void* block = std::realloc(data_.get(), static_cast<size_t>(capacity));
    if (block == nullptr)
        raiseOutOfMemory();
    data_.release();
    data_.reset(static_cast<uint8_t*>(block));
    capacity_ = static_cast<uint32_t>(capacity);
}

uint8_t* vserializer::reserve(uint32_t capacity) {
    if (capacity > length_)
        grow(capacity - length_);
    return data_.get();
}

void vserializer::setReceived(uint32_t length) {
    length_ = length < capacity_ ? length : capacity_;
    position_ = 0;
    mode_ = 0;
}

void vserializer::put(const void* bytes, uint32_t size) {
    grow(size);
    if (size != 0)
        std::memcpy(data_.get() + length_, bytes, size);
    length_ += size;
}

void vserializer::writeString(const std::wstring& text) {
    // The length counts the character-size byte and must itself fit the u32 field.
    if (text.size() > (UINT32_MAX - 1) / sizeof(uint16_t))
        raiseOutOfMemory();
    const uint32_t characters = static_cast<uint32_t>(text.size() * sizeof(uint16_t));
    const uint32_t length = characters + 1;
    put(&length, sizeof(length));
    const uint8_t size = 2;
    put(&size, 1);
    put(text.data(), characters);
}

void vserializer::writeBlock(uint32_t size, const void* bytes) {
    put(&size, sizeof(size));
    if (size != 0)
        put(bytes, size);
}

void vserializer::append(const vserializer& other) {
    if (other.length_ != 0)
        put(other.data_.get(), other.length_);
}

void vserializer::readRaw(uint32_t n, void* destination) {
    // Written so that neither sum can wrap around.
    if (n > length_ || position_ > length_ - n)
        raiseProtocol(L"Unexpected end of data when read from serializer.");
    if (n != 0)
        std::memcpy(destination, data_.get() + position_, n);
    position_ += n;
}

vserializer::Block vserializer::readBlock() {
    return readBlockImpl(false);
}

std::wstring vserializer::readString() {
    return readStringImpl(false);
}

vserializer::Block vserializer::readBlockImpl(bool insideErrorMarker) {
    uint32_t length = 0;
    readRaw(sizeof(length), &length);
    if (length == kErrorMarker) {
        if (insideErrorMarker)
            raiseProtocol(L"Double exception on read from serializer");
        std::wstring message;
        try {
            message = readStringImpl(true);
        } catch (const vexception&) {
            raiseProtocol(L"Double exception on read from serializer");
        }
        throw vexception(message);
    }
    Block block;
    if (length == 0)
        return block;
    // The length comes from the other side of the pipe: check it against what was received
    // before asking for memory, so a garbled length cannot demand gigabytes.
    if (length > length_ - position_)
        raiseProtocol(L"Unexpected end of data when read from serializer.");
    block.data.reset(static_cast<uint8_t*>(allocate(length)));
    block.length = length;
    readRaw(length, block.data.get());
    return block;
}

std::wstring vserializer::readStringImpl(bool insideErrorMarker) {
    std::wstring text = decodeString(readBlockImpl(insideErrorMarker));
    // Every string of the protocol is a C-string. A NUL inside one means the reply is garbled
    // (UTF-16 text under a character size of 1 reads as "C\0:\0..."), and the value would be
    // cut at it wherever it is used: a password or version cut short must not pass as an answer.
    if (text.find(L'\0') != std::wstring::npos)
        raiseProtocol(L"Invalid Protocol when read C-string from serializer.");
    return text;
}

std::wstring vserializer::decodeString(const Block& block) {
    if (!block.data)
        raiseProtocol(L"Unexpected end of data when read C-string from serializer.");
    if (block.length < 1)
        raiseProtocol(L"Invalid Protocol when read C-string from serializer.");
    const uint8_t* characters = block.data.get() + 1;
    const uint32_t size = block.length - 1;
    switch (block.data.get()[0]) {
    case 1:
        return wstr(std::string(reinterpret_cast<const char*>(characters), size), 0);
    case 2: {
        // An odd trailing byte is not part of any code unit.
        std::wstring text(size / 2, L'\0');
        if (!text.empty())
            std::memcpy(&text[0], characters, text.size() * sizeof(wchar_t));
        return text;
    }
    default:
        raiseProtocol(L"Unsupported char size when read C-string from serializer.");
    }
}
