// The stand-in service's own reading and writing of the management-service wire format. It is
// written apart from the client library on purpose: the bytes the client sends are judged by code
// that does not share the client's mistakes.
#pragma once

#include "base/exception.h"

#include <array>
#include <cstdint>
#include <string>

namespace standin {

// A GUID in its binary layout on the wire: Data1 u32 LE, Data2 u16 LE, Data3 u16 LE, Data4 bytes.
using Guid = std::array<uint8_t, 16>;

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}" (braces optional); throws vexception on bad text.
Guid parseGuid(const std::wstring& text);
std::wstring guidText(const Guid& id);

enum class Operation { GetString, GetPassword, ComponentInfo, Unknown };

const Guid& operationId(Operation operation);
Operation operationOf(const Guid& id);
const wchar_t* operationName(Operation operation);

constexpr uint32_t kErrorMarker = 0xFFFFFFFFu;

// Malformed bytes from the client; the message says what was wrong.
class ProtocolError : public vexception {
public:
    explicit ProtocolError(std::wstring message) : vexception(std::move(message)) {}
};

std::string le32(uint32_t value);

class WireWriter {
public:
    void u32(uint32_t value);
    void bytes(const std::string& data) { data_ += data; }
    // A string field with character size 2 (UTF-16LE).
    void string16(const std::wstring& text);
    // A string field with character size 1 (8-bit text, already in the ANSI code page).
    void string8(const std::string& text);
    void errorMarker(const std::wstring& message);
    const std::string& data() const { return data_; }
    std::string& data() { return data_; }

private:
    std::string data_;
};

// Strict reader of a client request: every field must be complete and in the form the client is
// required to write.
class WireReader {
public:
    explicit WireReader(const std::string& data) : data_(data) {}
    uint32_t u32(const wchar_t* what);
    std::string take(uint32_t count, const wchar_t* what);
    // A string field: only character size 2 is accepted, with an even number of character bytes.
    std::wstring string16(const wchar_t* what);
    size_t remaining() const { return data_.size() - position_; }

private:
    const std::string& data_;
    size_t position_ = 0;
};

struct Request {
    Operation operation = Operation::Unknown;
    Guid id{};
    std::wstring name;     // empty for an unknown operation
    uint32_t selector = 0; // componentInfo only
};

// Decodes transfer 2 of an exchange; throws ProtocolError.
Request decodeRequest(const std::string& payload);

} // namespace standin
