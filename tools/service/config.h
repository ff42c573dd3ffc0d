// What the stand-in service answers: configuration values, secrets, component directories, and the
// faults it injects so that tests can see how the client copes with a misbehaving service.
#pragma once

#include "tools/service/wire.h"

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace standin {

enum class FaultKind {
    Error,       // error marker with a message in place of the answer
    Truncate,    // payload cut to N bytes
    CharSize,    // the answer's character-size byte replaced by N
    Narrow,      // the answer as a valid size-1 string in the ANSI code page
    OddByte,     // one stray byte inside the answer's size-2 string
    Trailing,    // N bytes after the answer
    EmptyBlock,  // a block of length 0 in place of the answer
    DoubleError, // an error marker whose message is itself an error marker
    Combined,    // reply length and payload in one message
    BadLength,   // reply length off by N (signed) from the payload sent
    LengthBytes, // reply length message of N bytes instead of 4
    Stray,       // a message of N bytes ahead of the reply length
    Raw,         // the payload is the given bytes
    Delay,       // wait N ms before replying
    Close,       // close the pipe instance at a stage of the exchange
};

// Where a close fault hits: right after the client connected, after the request length arrived,
// after the whole request arrived, or after the reply length went out.
enum class Stage { Connect, Request, Reply, Payload };

struct Fault {
    std::wstring name; // "*" for every request
    FaultKind kind = FaultKind::Error;
    int64_t number = 0;
    std::wstring text;
    std::string bytes;
    Stage stage = Stage::Reply;
    int64_t remaining = -1; // how many more requests it applies to; -1 for all
};

// How one exchange is answered: each message is one WriteFile on the message-mode pipe.
struct ReplyPlan {
    uint32_t delayMs = 0;
    bool closeBeforeReply = false;
    std::vector<std::string> messages;
    bool closeAfterMessages = false;
};

// The configuration text compiled into the tool, used without --config.
extern const char* const kDefaultConfig;

// Not thread-safe: the server guards it with its own lock.
class Config {
public:
    // The text that ${ROOT} stands for in value, secret, component and error lines.
    void setRoot(const std::wstring& root) { root_ = root; }
    // Parses UTF-8 text line by line; throws vexception "SOURCE:LINE: problem".
    void parseText(const std::string& utf8, const std::wstring& source);
    // One line; throws vexception naming the problem.
    void parseLine(const std::wstring& line);
    void clearFaults() { faults_.clear(); }
    // The effective configuration, one line each, in the syntax parseLine accepts.
    std::wstring dump() const;

    // Decides the reply to a request, using up one application of each fault it takes.
    ReplyPlan plan(const Request& request);
    // True when a close fault for the connect or request stage applies now (and uses it up).
    bool takeStageFault(Stage stage);

private:
    Fault* take(const std::wstring& name, bool delay);
    std::wstring expand(const std::wstring& text) const;

    std::wstring root_;
    std::map<std::wstring, std::wstring> values_;
    std::map<std::wstring, std::wstring> secrets_;
    std::map<std::pair<std::wstring, uint32_t>, std::wstring> components_;
    std::vector<Fault> faults_;
};

} // namespace standin
