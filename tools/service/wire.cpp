#include "tools/service/wire.h"

#include "base/text.h"
#include "base/win32.h"

#include <cwctype>

namespace standin {

namespace {

int hexDigit(wchar_t c) {
    if (c >= L'0' && c <= L'9')
        return c - L'0';
    if (c >= L'a' && c <= L'f')
        return c - L'a' + 10;
    if (c >= L'A' && c <= L'F')
        return c - L'A' + 10;
    return -1;
}

const Guid kGetString = parseGuid(L"{AD3EBC3C-E6B9-4FCF-ABB9-ED1B3D524F22}");
const Guid kGetPassword = parseGuid(L"{50A1A607-50B9-4DB3-92EC-B940EB87F8FF}");
const Guid kComponentInfo = parseGuid(L"{943B58AA-49DE-47A5-AA59-0E010A48C341}");
const Guid kNone{};

} // namespace

Guid parseGuid(const std::wstring& text) {
    std::wstring t = text;
    if (t.size() == 38 && t.front() == L'{' && t.back() == L'}')
        t = t.substr(1, 36);
    if (t.size() != 36 || t[8] != L'-' || t[13] != L'-' || t[18] != L'-' || t[23] != L'-')
        throw vexception(L"Invalid GUID text: " + text);
    std::wstring hex;
    for (wchar_t c : t)
        if (c != L'-')
            hex += c;
    uint8_t textOrder[16];
    for (int i = 0; i < 16; ++i) {
        const int high = hexDigit(hex[2 * i]);
        const int low = hexDigit(hex[2 * i + 1]);
        if (high < 0 || low < 0)
            throw vexception(L"Invalid GUID text: " + text);
        textOrder[i] = static_cast<uint8_t>(high * 16 + low);
    }
    // The text shows Data1..Data3 most significant byte first; the wire holds them little-endian.
    static const int kWireFromText[16] = {3, 2, 1, 0, 5, 4, 7, 6, 8, 9, 10, 11, 12, 13, 14, 15};
    Guid id;
    for (int i = 0; i < 16; ++i)
        id[i] = textOrder[kWireFromText[i]];
    return id;
}

std::wstring guidText(const Guid& g) {
    return format(L"{%02X%02X%02X%02X-%02X%02X-%02X%02X-%02X%02X-%02X%02X%02X%02X%02X%02X}", g[3],
                  g[2], g[1], g[0], g[5], g[4], g[7], g[6], g[8], g[9], g[10], g[11], g[12], g[13],
                  g[14], g[15]);
}

const Guid& operationId(Operation operation) {
    switch (operation) {
    case Operation::GetString:
        return kGetString;
    case Operation::GetPassword:
        return kGetPassword;
    case Operation::ComponentInfo:
        return kComponentInfo;
    default:
        return kNone;
    }
}

Operation operationOf(const Guid& id) {
    if (id == kGetString)
        return Operation::GetString;
    if (id == kGetPassword)
        return Operation::GetPassword;
    if (id == kComponentInfo)
        return Operation::ComponentInfo;
    return Operation::Unknown;
}

const wchar_t* operationName(Operation operation) {
    switch (operation) {
    case Operation::GetString:
        return L"getString";
    case Operation::GetPassword:
        return L"getPassword";
    case Operation::ComponentInfo:
        return L"componentInfo";
    default:
        return L"unknown";
    }
}

std::string le32(uint32_t value) {
    std::string bytes(4, '\0');
    for (int i = 0; i < 4; ++i)
        bytes[i] = static_cast<char>((value >> (8 * i)) & 0xFF);
    return bytes;
}

void WireWriter::u32(uint32_t value) {
    data_ += le32(value);
}

void WireWriter::string16(const std::wstring& text) {
    u32(static_cast<uint32_t>(1 + 2 * text.size()));
    data_ += '\x02';
    for (wchar_t c : text) {
        data_ += static_cast<char>(c & 0xFF);
        data_ += static_cast<char>((c >> 8) & 0xFF);
    }
}

void WireWriter::string8(const std::string& text) {
    u32(static_cast<uint32_t>(1 + text.size()));
    data_ += '\x01';
    data_ += text;
}

void WireWriter::errorMarker(const std::wstring& message) {
    u32(kErrorMarker);
    string16(message);
}

uint32_t WireReader::u32(const wchar_t* what) {
    const std::string bytes = take(4, what);
    uint32_t value = 0;
    for (int i = 3; i >= 0; --i)
        value = (value << 8) | static_cast<uint8_t>(bytes[i]);
    return value;
}

std::string WireReader::take(uint32_t count, const wchar_t* what) {
    if (count > remaining())
        throw ProtocolError(format(L"%s needs %u bytes, only %u left", what,
                                   static_cast<unsigned>(count),
                                   static_cast<unsigned>(remaining())));
    std::string bytes = data_.substr(position_, count);
    position_ += count;
    return bytes;
}

std::wstring WireReader::string16(const wchar_t* what) {
    const uint32_t length = u32(what);
    if (length == kErrorMarker)
        throw ProtocolError(format(L"%s is an error marker", what));
    if (length == 0)
        throw ProtocolError(format(L"%s is an empty block", what));
    const std::string bytes = take(length, what);
    const unsigned size = static_cast<uint8_t>(bytes[0]);
    if (size != 2)
        throw ProtocolError(format(L"%s has character size %u, expected 2", what, size));
    if ((length - 1) % 2 != 0)
        throw ProtocolError(format(L"%s has an odd number of character bytes (%u)", what,
                                   static_cast<unsigned>(length - 1)));
    std::wstring text;
    for (size_t i = 1; i + 1 < bytes.size(); i += 2)
        text += static_cast<wchar_t>(static_cast<uint8_t>(bytes[i]) |
                                     (static_cast<uint8_t>(bytes[i + 1]) << 8));
    return text;
}

Request decodeRequest(const std::string& payload) {
    WireReader reader(payload);
    Request request;
    const uint32_t idLength = reader.u32(L"operation identifier length");
    if (idLength != 16)
        throw ProtocolError(format(L"operation identifier block of %u bytes, expected 16",
                                   static_cast<unsigned>(idLength)));
    const std::string id = reader.take(16, L"operation identifier");
    std::copy(id.begin(), id.end(), request.id.begin());
    request.operation = operationOf(request.id);
    switch (request.operation) {
    case Operation::GetString:
    case Operation::GetPassword:
        request.name = reader.string16(L"name");
        break;
    case Operation::ComponentInfo: {
        request.name = reader.string16(L"package name");
        const uint32_t size = reader.u32(L"selector length");
        if (size != 4)
            throw ProtocolError(
                format(L"selector block of %u bytes, expected 4", static_cast<unsigned>(size)));
        request.selector = reader.u32(L"selector");
        break;
    }
    case Operation::Unknown:
        // Its arguments cannot be judged; the reply says the operation is unknown.
        return request;
    }
    if (reader.remaining() != 0)
        throw ProtocolError(format(L"%u bytes after the arguments of %s",
                                   static_cast<unsigned>(reader.remaining()),
                                   operationName(request.operation)));
    return request;
}

} // namespace standin
