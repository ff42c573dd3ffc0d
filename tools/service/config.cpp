#include "tools/service/config.h"

#include "base/text.h"
#include "base/win32.h"
#include "tools/testing/text.h"

#include <algorithm>
#include <climits>

namespace standin {

const char* const kDefaultConfig = "# The embedded default answers of the stand-in service.\n"
                                   "value PANEL_VERSION=18.0.61\n"
                                   "value PRODUCT_VERSION=18.0.61\n"
                                   "value PRODUCT_ROOT_D=${ROOT}\n"
                                   "secret pwd=zra-standin-pwd\n"
                                   "component php 2=${ROOT}\\admin\\bin\n"
                                   "component perl 2=${ROOT}\\perl\n"
                                   "component python 2=${ROOT}\\python\n";

namespace {

bool isBlank(wchar_t c) {
    return c == L' ' || c == L'\t';
}

std::wstring trim(const std::wstring& text) {
    size_t first = 0;
    size_t last = text.size();
    while (first < last && isBlank(text[first]))
        ++first;
    while (last > first && isBlank(text[last - 1]))
        --last;
    return text.substr(first, last - first);
}

// Cuts the first blank-separated word off the front of text.
std::wstring takeWord(std::wstring& text) {
    size_t start = 0;
    while (start < text.size() && isBlank(text[start]))
        ++start;
    size_t end = start;
    while (end < text.size() && !isBlank(text[end]))
        ++end;
    std::wstring word = text.substr(start, end - start);
    while (end < text.size() && isBlank(text[end]))
        ++end;
    text.erase(0, end);
    return word;
}

int64_t parseNumber(const std::wstring& text, int64_t low, int64_t high, const wchar_t* what) {
    size_t i = 0;
    bool negative = false;
    if (i < text.size() && (text[i] == L'-' || text[i] == L'+'))
        negative = text[i++] == L'-';
    if (i == text.size())
        throw vexception(format(L"%s: expected a number, got '%s'", what, text.c_str()));
    int64_t value = 0;
    for (; i < text.size(); ++i) {
        if (text[i] < L'0' || text[i] > L'9' || value > (INT64_MAX - 9) / 10)
            throw vexception(format(L"%s: expected a number, got '%s'", what, text.c_str()));
        value = value * 10 + (text[i] - L'0');
    }
    if (negative)
        value = -value;
    if (value < low || value > high)
        throw vexception(format(L"%s: %s is out of range", what, text.c_str()));
    return value;
}

std::string parseHex(const std::wstring& text) {
    std::string bytes;
    int pending = -1;
    for (wchar_t c : text) {
        if (isBlank(c))
            continue;
        int digit = -1;
        if (c >= L'0' && c <= L'9')
            digit = c - L'0';
        else if (c >= L'a' && c <= L'f')
            digit = c - L'a' + 10;
        else if (c >= L'A' && c <= L'F')
            digit = c - L'A' + 10;
        if (digit < 0)
            throw vexception(format(L"raw: '%c' is not a hexadecimal digit", c));
        if (pending < 0) {
            pending = digit;
        } else {
            bytes += static_cast<char>(pending * 16 + digit);
            pending = -1;
        }
    }
    if (pending >= 0)
        throw vexception(L"raw: odd number of hexadecimal digits");
    return bytes;
}

struct KindName {
    FaultKind kind;
    const wchar_t* name;
};
const KindName kKinds[] = {
    {FaultKind::Error, L"error"},
    {FaultKind::Truncate, L"truncate"},
    {FaultKind::CharSize, L"charsize"},
    {FaultKind::Narrow, L"narrow"},
    {FaultKind::OddByte, L"oddbyte"},
    {FaultKind::Trailing, L"trailing"},
    {FaultKind::EmptyBlock, L"emptyblock"},
    {FaultKind::DoubleError, L"doubleerror"},
    {FaultKind::Combined, L"combined"},
    {FaultKind::BadLength, L"badlength"},
    {FaultKind::LengthBytes, L"lengthbytes"},
    {FaultKind::Stray, L"stray"},
    {FaultKind::Raw, L"raw"},
    {FaultKind::Delay, L"delay"},
    {FaultKind::Close, L"close"},
};
const wchar_t* const kStages[] = {L"connect", L"request", L"reply", L"payload"};

const wchar_t* kindName(FaultKind kind) {
    for (const KindName& k : kKinds)
        if (k.kind == kind)
            return k.name;
    return L"?";
}

Fault parseFault(std::wstring rest, int64_t times) {
    Fault fault;
    fault.remaining = times;
    fault.name = takeWord(rest);
    const std::wstring kind = takeWord(rest);
    if (fault.name.empty() || kind.empty())
        throw vexception(L"expected: fault NAME KIND [ARGUMENT]");
    const KindName* found = nullptr;
    for (const KindName& k : kKinds)
        if (kind == k.name)
            found = &k;
    if (!found)
        throw vexception(L"unknown fault kind '" + kind + L"'");
    fault.kind = found->kind;
    const std::wstring argument = rest;
    auto noArgument = [&] {
        if (!trim(argument).empty())
            throw vexception(kind + L" takes no argument");
    };
    switch (fault.kind) {
    case FaultKind::Error:
        fault.text = argument;
        break;
    case FaultKind::Truncate:
    case FaultKind::Trailing:
        fault.number = parseNumber(trim(argument), 0, 0x100000, kind.c_str());
        break;
    case FaultKind::CharSize:
        fault.number = parseNumber(trim(argument), 0, 255, kind.c_str());
        break;
    case FaultKind::BadLength:
        fault.number = parseNumber(trim(argument), INT32_MIN, INT32_MAX, kind.c_str());
        break;
    case FaultKind::LengthBytes:
    case FaultKind::Stray:
        fault.number = parseNumber(trim(argument), 1, 16, kind.c_str());
        break;
    case FaultKind::Delay:
        fault.number = parseNumber(trim(argument), 0, 600000, kind.c_str());
        break;
    case FaultKind::Raw:
        fault.bytes = parseHex(argument);
        break;
    case FaultKind::Close: {
        const std::wstring stage = trim(argument);
        bool known = false;
        for (int i = 0; i < 4; ++i)
            if (stage == kStages[i]) {
                fault.stage = static_cast<Stage>(i);
                known = true;
            }
        if (!known)
            throw vexception(L"close: stage must be connect, request, reply or payload");
        // Before the request is read there is no name to match.
        if ((fault.stage == Stage::Connect || fault.stage == Stage::Request) && fault.name != L"*")
            throw vexception(L"close " + stage + L" applies to every request: use the name *");
        break;
    }
    default:
        noArgument();
        break;
    }
    return fault;
}

} // namespace

std::wstring Config::expand(const std::wstring& text) const {
    static const std::wstring kRoot = L"${ROOT}";
    std::wstring result = text;
    for (size_t at = result.find(kRoot); at != std::wstring::npos;
         at = result.find(kRoot, at + root_.size()))
        result.replace(at, kRoot.size(), root_);
    return result;
}

void Config::parseText(const std::string& utf8, const std::wstring& source) {
    std::string text = utf8;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0)
        text.erase(0, 3);
    unsigned number = 0;
    for (const std::string& line : zra_testing::splitLines(text)) {
        ++number;
        try {
            parseLine(wstr(line, CP_UTF8));
        } catch (const vexception& e) {
            throw vexception(format(L"%s:%u: %s", source.c_str(), number, e.message().c_str()));
        }
    }
}

void Config::parseLine(const std::wstring& line) {
    std::wstring rest = line;
    while (!rest.empty() && isBlank(rest.front()))
        rest.erase(0, 1);
    if (rest.empty() || rest[0] == L'#')
        return;
    const std::wstring keyword = takeWord(rest);

    if (keyword == L"fault" || keyword.compare(0, 6, L"fault:") == 0) {
        int64_t times = -1;
        if (keyword.size() > 5)
            times = parseNumber(keyword.substr(6), 1, INT32_MAX, L"fault count");
        faults_.push_back(parseFault(rest, times));
        return;
    }

    const size_t equals = rest.find(L'=');
    if (equals == std::wstring::npos)
        throw vexception(L"expected '=' in a " + keyword + L" line");
    std::wstring head = trim(rest.substr(0, equals));
    const std::wstring text = expand(rest.substr(equals + 1));
    if (head.empty())
        throw vexception(L"missing name before '='");

    if (keyword == L"value") {
        values_[head] = text;
    } else if (keyword == L"secret") {
        secrets_[head] = text;
    } else if (keyword == L"component") {
        const size_t space = head.find_last_of(L" \t");
        if (space == std::wstring::npos)
            throw vexception(L"expected: component NAME SELECTOR=TEXT");
        const uint32_t selector =
            static_cast<uint32_t>(parseNumber(head.substr(space + 1), 0, UINT32_MAX, L"selector"));
        components_[{trim(head.substr(0, space)), selector}] = text;
    } else if (keyword == L"error") {
        Fault fault;
        fault.name = head;
        fault.kind = FaultKind::Error;
        fault.text = text;
        faults_.push_back(fault);
    } else {
        throw vexception(L"unknown keyword '" + keyword + L"'");
    }
}

std::wstring Config::dump() const {
    std::wstring out;
    for (const auto& v : values_)
        out += L"value " + v.first + L"=" + v.second + L"\n";
    for (const auto& s : secrets_)
        out += L"secret " + s.first + L"=" + s.second + L"\n";
    for (const auto& c : components_)
        out +=
            format(L"component %s %u=", c.first.first.c_str(), c.first.second) + c.second + L"\n";
    for (const Fault& f : faults_) {
        out += L"fault";
        if (f.remaining >= 0)
            out += format(L":%u", static_cast<unsigned>(f.remaining));
        out += L" " + f.name + L" " + kindName(f.kind);
        switch (f.kind) {
        case FaultKind::Error:
            out += L" " + f.text;
            break;
        case FaultKind::Raw:
            out += L" ";
            for (char b : f.bytes)
                out += format(L"%02X", static_cast<unsigned>(static_cast<uint8_t>(b)));
            break;
        case FaultKind::Close:
            out += std::wstring(L" ") + kStages[static_cast<int>(f.stage)];
            break;
        case FaultKind::Truncate:
        case FaultKind::CharSize:
        case FaultKind::Trailing:
        case FaultKind::BadLength:
        case FaultKind::LengthBytes:
        case FaultKind::Stray:
        case FaultKind::Delay:
            out += format(L" %d", static_cast<int>(f.number));
            break;
        default:
            break;
        }
        out += L"\n";
    }
    return out;
}

Fault* Config::take(const std::wstring& name, bool delay) {
    for (Fault& f : faults_) {
        if (f.remaining == 0 || (f.name != L"*" && f.name != name))
            continue;
        const bool isStage =
            f.kind == FaultKind::Close && (f.stage == Stage::Connect || f.stage == Stage::Request);
        if (isStage || (f.kind == FaultKind::Delay) != delay)
            continue;
        if (f.remaining > 0)
            --f.remaining;
        return &f;
    }
    return nullptr;
}

bool Config::takeStageFault(Stage stage) {
    for (Fault& f : faults_) {
        if (f.remaining == 0 || f.kind != FaultKind::Close || f.stage != stage)
            continue;
        if (f.remaining > 0)
            --f.remaining;
        return true;
    }
    return false;
}

ReplyPlan Config::plan(const Request& request) {
    bool error = false;
    std::wstring text;
    switch (request.operation) {
    case Operation::GetString: {
        auto found = values_.find(request.name);
        error = found == values_.end();
        text = error ? L"Unknown value '" + request.name + L"'" : found->second;
        break;
    }
    case Operation::GetPassword: {
        auto found = secrets_.find(request.name);
        error = found == secrets_.end();
        text = error ? L"Unknown secret '" + request.name + L"'" : found->second;
        break;
    }
    case Operation::ComponentInfo: {
        // An empty answer is how the client learns that a package is not installed.
        auto found = components_.find({request.name, request.selector});
        text = found == components_.end() ? std::wstring() : found->second;
        break;
    }
    case Operation::Unknown:
        error = true;
        text = L"Unknown operation " + guidText(request.id);
        break;
    }

    ReplyPlan plan;
    if (const Fault* delay = take(request.name, true))
        plan.delayMs = static_cast<uint32_t>(delay->number);
    Fault shape;
    bool shaped = false;
    if (const Fault* f = take(request.name, false)) {
        shape = *f;
        shaped = true;
    }
    const FaultKind kind = shaped ? shape.kind : FaultKind::Delay; // Delay: no shaping
    if (kind == FaultKind::Error) {
        error = true;
        text = shape.text;
    }

    WireWriter writer;
    if (kind == FaultKind::Raw) {
        writer.bytes(shape.bytes);
    } else if (kind == FaultKind::EmptyBlock) {
        writer.u32(0);
    } else if (kind == FaultKind::DoubleError) {
        writer.u32(kErrorMarker);
        writer.errorMarker(text);
    } else if (error) {
        writer.errorMarker(text);
    } else if (kind == FaultKind::Narrow) {
        writer.string8(cstr(text, CP_ACP));
    } else {
        writer.string16(text);
    }
    std::string& payload = writer.data();
    // The string whose bytes the shaping faults touch: the answer, or the error message.
    const size_t at = (error && kind != FaultKind::DoubleError) ? 4 : 0;
    if (kind == FaultKind::CharSize) {
        payload[at + 4] = static_cast<char>(shape.number);
    } else if (kind == FaultKind::OddByte) {
        const uint32_t length = static_cast<uint8_t>(payload[at]) |
                                static_cast<uint8_t>(payload[at + 1]) << 8 |
                                static_cast<uint8_t>(payload[at + 2]) << 16 |
                                static_cast<uint32_t>(static_cast<uint8_t>(payload[at + 3])) << 24;
        payload.replace(at, 4, le32(length + 1));
        payload += 'A';
    } else if (kind == FaultKind::Trailing) {
        payload.append(static_cast<size_t>(shape.number), '\xEE');
    } else if (kind == FaultKind::Truncate) {
        payload.resize(std::min(payload.size(), static_cast<size_t>(shape.number)));
    }

    const uint32_t length = static_cast<uint32_t>(payload.size());
    std::string lengthMessage = le32(length);
    if (kind == FaultKind::BadLength)
        lengthMessage = le32(length + static_cast<uint32_t>(shape.number));
    else if (kind == FaultKind::LengthBytes)
        lengthMessage = (le32(length) + std::string(16, '\0')).substr(0, shape.number);

    if (kind == FaultKind::Stray)
        plan.messages.push_back(std::string(static_cast<size_t>(shape.number), '\xEE'));
    if (kind == FaultKind::Close && shape.stage == Stage::Reply) {
        plan.closeBeforeReply = true;
    } else if (kind == FaultKind::Combined) {
        plan.messages.push_back(lengthMessage + payload);
    } else {
        plan.messages.push_back(lengthMessage);
        if (kind == FaultKind::Close && shape.stage == Stage::Payload)
            plan.closeAfterMessages = true;
        else if (!payload.empty())
            plan.messages.push_back(payload);
    }
    return plan;
}

} // namespace standin
