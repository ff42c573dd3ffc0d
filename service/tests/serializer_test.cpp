#include "base/win32.h"

#include "service/serializer.h"
#include "service/tests/test_support.h"

#include "base/text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using servicetest::Bytes;
using servicetest::concat;
using servicetest::u32;
using servicetest::wideField;

namespace {

Bytes contents(const vserializer& s) {
    return Bytes(s.data(), s.data() + s.length());
}

// A reader over a copy of the given bytes, as the channel builds it from a reply.
std::unique_ptr<vserializer> reader(const Bytes& bytes) {
    vserializer::Bytes block;
    if (!bytes.empty()) {
        block.reset(static_cast<uint8_t*>(std::malloc(bytes.size())));
        std::memcpy(block.get(), bytes.data(), bytes.size());
    }
    return std::make_unique<vserializer>(std::move(block), static_cast<uint32_t>(bytes.size()));
}

template <typename F> std::wstring failureOf(F&& f) {
    try {
        f();
    } catch (const vexception& e) {
        return e.message();
    }
    return L"<no exception>";
}

} // namespace

TEST(SerializerWrite, StringAbcIsByteExact) {
    vserializer s;
    s.writeString(L"abc");
    EXPECT_EQ(contents(s), (Bytes{0x07, 0, 0, 0, 0x02, 0x61, 0, 0x62, 0, 0x63, 0}));
    EXPECT_EQ(s.capacity() % 16, 0u);
    EXPECT_GE(s.capacity(), s.length());
}

TEST(SerializerWrite, GetStringRequestPayloadIsByteExact) {
    const GUID operation = {
        0xAD3EBC3C, 0xE6B9, 0x4FCF, {0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22}};
    vserializer body;
    body.writeString(L"abc");
    vserializer request;
    request.writeBlock(sizeof(operation), &operation);
    request.append(body);
    EXPECT_EQ(request.length(), 31u);
    const Bytes expected = {0x10, 0x00, 0x00, 0x00, 0x3C, 0xBC, 0x3E, 0xAD, 0xB9, 0xE6, 0xCF,
                            0x4F, 0xAB, 0xB9, 0xED, 0x1B, 0x3D, 0x52, 0x4F, 0x22, 0x07, 0x00,
                            0x00, 0x00, 0x02, 0x61, 0x00, 0x62, 0x00, 0x63, 0x00};
    EXPECT_EQ(contents(request), expected);
    // The body is appended, not moved.
    EXPECT_EQ(body.length(), 11u);
}

TEST(SerializerWrite, BlocksEmptyStringsAndGrowth) {
    vserializer s;
    const uint32_t selector = 2;
    s.writeBlock(4, &selector);
    s.writeBlock(0, nullptr);
    s.writeString(L"");
    EXPECT_EQ(contents(s), concat({u32(4), u32(2), u32(0), Bytes{1, 0, 0, 0, 2}}));

    // Growth keeps the capacity a multiple of 16 that covers the data.
    vserializer big;
    big.writeString(std::wstring(1000, L'x'));
    EXPECT_EQ(big.length(), 4u + 1u + 2000u);
    EXPECT_EQ(big.capacity(), 2016u);
}

TEST(SerializerRead, StringsOfBothCharacterSizes) {
    auto r = reader(concat({wideField(L"\u0436\u00e9z"), servicetest::narrowField("abc"),
                            Bytes{1, 0, 0, 0, 2}, Bytes{4, 0, 0, 0, 2, 0x41, 0x00, 0x42}}));
    EXPECT_EQ(r->readString(), L"\u0436\u00e9z");
    EXPECT_EQ(r->readString(), L"abc");
    // Length 1: only the size byte, the empty string.
    EXPECT_EQ(r->readString(), L"");
    // Length 4 with size 2: one code unit, the odd byte ignored.
    EXPECT_EQ(r->readString(), L"A");
    EXPECT_EQ(r->position(), r->length());
}

TEST(SerializerRead, NarrowTextUsesTheAnsiCodePage) {
    auto r = reader(servicetest::narrowField("\xe9t\xe9"));
    EXPECT_EQ(r->readString(), wstr("\xe9t\xe9", 0));
}

TEST(SerializerRead, BlocksAndRawReads) {
    auto r = reader(concat({u32(3), Bytes{9, 8, 7}, u32(0), Bytes{1, 2}}));
    vserializer::Block block = r->readBlock();
    ASSERT_TRUE(block.data);
    EXPECT_EQ(block.length, 3u);
    EXPECT_EQ(Bytes(block.data.get(), block.data.get() + 3), (Bytes{9, 8, 7}));
    EXPECT_FALSE(r->readBlock().data);
    uint8_t two[2] = {};
    r->readRaw(2, two);
    EXPECT_EQ(two[1], 2);
    EXPECT_EQ(failureOf([&] { r->readRaw(1, two); }),
              L"Unexpected end of data when read from serializer.");
}

TEST(SerializerRead, ProtocolErrors) {
    const std::wstring endOfData = L"Unexpected end of data when read from serializer.";
    struct Case {
        Bytes bytes;
        std::wstring message;
    };
    const Case cases[] = {
        {{}, endOfData},
        {{7, 0, 0}, endOfData},
        {{7, 0, 0, 0, 2, 0x61, 0}, endOfData},
        {u32(0), L"Unexpected end of data when read C-string from serializer."},
        {{2, 0, 0, 0, 3, 0}, L"Unsupported char size when read C-string from serializer."},
        {{2, 0, 0, 0, 0, 0}, L"Unsupported char size when read C-string from serializer."},
        // A NUL inside a string of either size: wide text read as narrow, or garbled wide text.
        {{5, 0, 0, 0, 1, 'C', 0, ':', 0}, L"Invalid Protocol when read C-string from serializer."},
        {{5, 0, 0, 0, 2, 'a', 0, 0, 0}, L"Invalid Protocol when read C-string from serializer."},
        {concat({u32(0xFFFFFFFF), u32(0xFFFFFFFF), wideField(L"x")}),
         L"Double exception on read from serializer"},
        {concat({u32(0xFFFFFFFF), u32(0)}), L"Double exception on read from serializer"},
        {concat({u32(0xFFFFFFFF), u32(9), Bytes{2, 0}}),
         L"Double exception on read from serializer"},
    };
    for (const Case& c : cases) {
        auto r = reader(c.bytes);
        try {
            r->readString();
            ADD_FAILURE() << "no exception";
        } catch (const vserializer::invalidprotocol& e) {
            EXPECT_EQ(e.message(), c.message);
            EXPECT_TRUE(e.locations().empty());
        }
    }
}

TEST(SerializerRead, ErrorMarkerCarriesTheServiceMessage) {
    auto r = reader(servicetest::errorField(L"Value not found"));
    try {
        r->readString();
        FAIL();
    } catch (const vserializer::invalidprotocol&) {
        FAIL() << "the service's error is not a protocol error";
    } catch (const vexception& e) {
        EXPECT_EQ(e.message(), L"Value not found");
        EXPECT_TRUE(e.locations().empty());
    }
    // The same marker in place of a block's length.
    auto b = reader(concat({u32(0xFFFFFFFF), servicetest::narrowField("no")}));
    EXPECT_EQ(failureOf([&] { b->readBlock(); }), L"no");
}

// ---------------------------------------------------------------------------------------------
// Malformed replies: the lengths come from the other process and must not drive allocations.

namespace {

struct AllocationLedger {
    size_t calls = 0;
    size_t largest = 0;
    size_t excessive = 0; // requests larger than the bytes the reader holds
};
AllocationLedger g_ledger;

void recordAllocation(size_t requested, uint32_t held) {
    ++g_ledger.calls;
    if (requested > g_ledger.largest)
        g_ledger.largest = requested;
    if (requested > held)
        ++g_ledger.excessive;
}

class ObserveAllocations {
public:
    ObserveAllocations() : previous_(vserializer::setAllocationObserver(&recordAllocation)) {
        g_ledger = AllocationLedger();
    }
    ~ObserveAllocations() { vserializer::setAllocationObserver(previous_); }

private:
    vserializer::AllocationObserver previous_;
};

} // namespace

TEST(SerializerRead, AnnouncedLengthIsCheckedBeforeAllocating) {
    ObserveAllocations observe;
    for (uint32_t length : {0x7FFFFFFFu, 0xFFFFFFFEu, 0x10000000u, 6u}) {
        auto r = reader(concat({u32(length), Bytes{2, 'a', 0, 'b', 0}}));
        EXPECT_EQ(failureOf([&] { r->readBlock(); }),
                  L"Unexpected end of data when read from serializer.");
    }
    EXPECT_EQ(g_ledger.calls, 0u);
}

TEST(SerializerRead, ReplyOfErrorMarkersDoesNotRecurse) {
    // A megabyte of 0xFF would nest a quarter of a million message reads if each marker's message
    // were read like any other string.
    const Bytes markers(1 << 20, 0xFF);
    auto r = reader(markers);
    EXPECT_EQ(failureOf([&] { r->readString(); }), L"Double exception on read from serializer");
}

TEST(SerializerRead, MutatedRepliesEndInAnExceptionOrAValue) {
    const std::vector<Bytes> seeds = {
        wideField(L"C:\\Program Files\\Varno"),
        servicetest::narrowField("11.6.0"),
        servicetest::errorField(L"Access denied to the value"),
        concat({wideField(L"php"), u32(4), u32(2)}),
        concat({u32(0xFFFFFFFF), servicetest::narrowField("narrow error")}),
        Bytes{1, 0, 0, 0, 2},
        concat({wideField(L""), wideField(L"x"), u32(0)}),
    };
    const uint32_t interesting[] = {0,          1,          2,          3,          4,
                                    0x7F,       0xFF,       0xFFFF,     0x7FFFFFFF, 0x80000000,
                                    0xFFFFFFFE, 0xFFFFFFFF, 0x10000000, 0x00010000};

    std::mt19937 random(20240611u);
    ObserveAllocations observe;
    size_t values = 0;
    size_t failures = 0;
    const int kReplies = 120000;
    for (int i = 0; i < kReplies; ++i) {
        Bytes reply = seeds[random() % seeds.size()];
        const int mutations = 1 + static_cast<int>(random() % 4);
        for (int m = 0; m < mutations; ++m) {
            switch (random() % 6) {
            case 0: // truncate
                reply.resize(reply.empty() ? 0 : random() % reply.size());
                break;
            case 1: // flip a byte
                if (!reply.empty())
                    reply[random() % reply.size()] ^= static_cast<uint8_t>(1 + random() % 255);
                break;
            case 2: { // overwrite a length-sized word with an interesting value
                if (reply.size() < 4)
                    break;
                const size_t at = random() % (reply.size() - 3);
                const Bytes word = u32(interesting[random() % std::size(interesting)]);
                std::copy(word.begin(), word.end(), reply.begin() + at);
                break;
            }
            case 3: // insert random bytes
                reply.insert(reply.begin() + (reply.empty() ? 0 : random() % reply.size()),
                             1 + random() % 6, static_cast<uint8_t>(random()));
                break;
            case 4: // set the character size byte to something else
                if (reply.size() > 4)
                    reply[4] = static_cast<uint8_t>(random() % 4);
                break;
            default: // append a tail
                reply.push_back(static_cast<uint8_t>(random()));
                break;
            }
        }
        auto r = reader(reply);
        try {
            // Up to three fields, as a reply with trailing data would be read by a caller.
            for (int field = 0; field < 3 && r->position() < r->length(); ++field) {
                if (random() % 2)
                    r->readString();
                else
                    r->readBlock();
            }
            ++values;
        } catch (const vexception&) {
            ++failures;
        }
        ASSERT_LE(r->position(), r->length());
    }
    EXPECT_EQ(values + failures, static_cast<size_t>(kReplies));
    EXPECT_GT(values, 0u);
    EXPECT_GT(failures, 0u);
    EXPECT_GT(g_ledger.calls, 0u);
    EXPECT_EQ(g_ledger.excessive, 0u) << "largest request " << g_ledger.largest;
}
