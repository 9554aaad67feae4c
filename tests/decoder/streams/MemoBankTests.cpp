#include "platform/SysUtils.h"
#include "streams/MemoBankUnit_v3.h"

#include <gtest/gtest.h>

namespace {

constexpr int32_t Page = 1048576;

// Simulates a machine that has no memory to spare while the guard lives.
struct NoFreeMemory {
    NoFreeMemory() {
        SetFreePhysicalMemoryProvider([] { return int64_t{3} * Page; });
    }
    ~NoFreeMemory() { SetFreePhysicalMemoryProvider({}); }
};

} // namespace

TEST(MemoBank, PreallocatesAndReusesFreePagesFirstInFirstOut) {
    TMemoBank bank(Page, "test", 3);
    EXPECT_EQ(bank.FreeCount(), 3);
    EXPECT_EQ(bank.BufferCount(), 0);

    uint8_t* a = bank.GetBuffer();
    uint8_t* b = bank.GetBuffer();
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(bank.BufferCount(), 2);
    EXPECT_EQ(bank.FreeCount(), 1);

    bank.Retrieve(a, false);
    bank.Retrieve(b, false);
    EXPECT_EQ(bank.BufferCount(), 0);
    EXPECT_EQ(bank.FreeCount(), 3);
    // The page preallocated third was at the front; a and b went to the back in that order.
    uint8_t* third = bank.GetBuffer();
    EXPECT_NE(third, a);
    EXPECT_NE(third, b);
    EXPECT_EQ(bank.GetBuffer(), a);
    EXPECT_EQ(bank.GetBuffer(), b);
    bank.Retrieve(third, false);
    bank.Retrieve(a, false);
    bank.Retrieve(b, false);
}

TEST(MemoBank, KeepsAtMostTheLimitUnlessTheCallerInsists) {
    TMemoBank bank(Page, "test", 3);
    uint8_t* extra1 = nullptr;
    uint8_t* extra2 = nullptr;
    {
        // Take all three free pages and two fresh ones.
        uint8_t* p[5];
        for (auto& page : p)
            page = bank.GetBuffer();
        EXPECT_EQ(bank.BufferCount(), 5);
        for (int i = 0; i < 3; ++i)
            bank.Retrieve(p[i], false);
        extra1 = p[3];
        extra2 = p[4];
    }
    EXPECT_EQ(bank.FreeCount(), 3);
    bank.Retrieve(extra1, false); // freed to the system
    EXPECT_EQ(bank.FreeCount(), 3);
    bank.Retrieve(extra2, true); // kept as a fourth free page
    EXPECT_EQ(bank.FreeCount(), 4);
    EXPECT_EQ(bank.BufferCount(), 0);

    bank.Retrieve(nullptr, false);
    EXPECT_EQ(bank.BufferCount(), 0);
}

TEST(MemoBank, YieldsNoPageWhenMemoryIsShort) {
    TMemoBank bank(Page, "test", 1);
    NoFreeMemory shortage;
    uint8_t* kept = bank.GetBuffer(); // the preallocated page is still there
    ASSERT_NE(kept, nullptr);
    EXPECT_EQ(bank.GetBuffer(), nullptr);
    EXPECT_EQ(bank.BufferCount(), 1);
    bank.Retrieve(kept, false);

    TMemoBank empty(Page, "starved", 3);
    EXPECT_EQ(empty.FreeCount(), 0);
}

TEST(MemoBank, CommonBankIsOneSharedPoolOfMegabytePages) {
    EXPECT_EQ(&CommonBank(), &CommonBank());
    EXPECT_EQ(CommonBank().BufferSize, Page);
    EXPECT_EQ(CommonBank().UnTerminatedLimit, 3);
    EXPECT_EQ(CommonBank().Master, "CommonBank");
}
