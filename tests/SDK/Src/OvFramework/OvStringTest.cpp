#include "OvString.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

// Counts array allocations so that the tests can see which operations allocate.
static std::atomic<int> g_arrayNews{0};
static std::atomic<int> g_arrayDeletes{0};

void* operator new[](size_t n) {
    ++g_arrayNews;
    if (void* p = std::malloc(n ? n : 1))
        return p;
    throw std::bad_alloc();
}
void operator delete[](void* p) noexcept {
    if (p)
        ++g_arrayDeletes;
    std::free(p);
}
void operator delete[](void* p, size_t) noexcept { operator delete[](p); }

namespace {

// Exposes the block header for inspection.
struct Probe : CString {
    using CString::CString;
    Probe(const CString& s) : CString(s) {}
    CStringData* Data() const { return GetData(); }
    BOOL BeforeWrite(int n) { return AllocBeforeWrite(n); }
};

int RefsOf(const CString& s) { return Probe(s).Data()->nRefs - 1; } // minus the probe's own copy

TEST(OvString, NullAndEmptyShareTheStaticRecordWithoutAllocating) {
    int before = g_arrayNews;
    CString a(nullptr), b(""), c;
    CString d(a);
    d = b;
    EXPECT_EQ(g_arrayNews, before);
    for (const CString* s : {&a, &b, &c, &d}) {
        EXPECT_EQ(s->GetString(), _atltmpPchNil);
        EXPECT_EQ(s->GetLength(), 0);
        EXPECT_EQ(*s->GetString(), '\0');
    }
    EXPECT_EQ(_atltmpDataNil->nRefs, -1);
}

TEST(OvString, CopySharesTheBlockAndFreesItOnce) {
    int news = g_arrayNews, deletes = g_arrayDeletes;
    {
        CString a("hello");
        EXPECT_EQ(g_arrayNews, news + 1);
        {
            CString b(a);
            EXPECT_EQ(b.GetString(), a.GetString());
            EXPECT_EQ(RefsOf(a), 2);
        }
        EXPECT_EQ(RefsOf(a), 1);
        EXPECT_EQ(g_arrayDeletes, deletes);
    }
    EXPECT_EQ(g_arrayNews, news + 1);
    EXPECT_EQ(g_arrayDeletes, deletes + 1);
}

TEST(OvString, AssignmentToItselfOrASharerKeepsTheCount) {
    CString a("abc");
    CString b(a);
    a = a;
    EXPECT_EQ(RefsOf(a), 2);
    b = a;
    EXPECT_EQ(RefsOf(a), 2);
    CString c("xyz");
    b = c; // b leaves a's block for c's
    EXPECT_EQ(RefsOf(a), 1);
    EXPECT_EQ(RefsOf(c), 2);
    EXPECT_STREQ(b.GetString(), "xyz");
}

TEST(OvString, AssigningEmptyKeepsAnUnsharedBlockAndDropsASharedOne) {
    CString a("abcdef");
    const char* block = a.GetString();
    a = CString();
    EXPECT_EQ(a.GetString(), block); // kept, with length 0
    EXPECT_EQ(a.GetLength(), 0);
    EXPECT_EQ(*a.GetString(), '\0');

    CString b("shared"), c(b);
    b = CString();
    EXPECT_EQ(b.GetString(), _atltmpPchNil);
    EXPECT_STREQ(c.GetString(), "shared");
    EXPECT_EQ(RefsOf(c), 1);
}

TEST(OvString, LeftAndRightClampAndRefuse) {
    struct Case {
        const char* src;
        bool left;
        int count;
        const char* want;
    } cases[] = {
        {"abcde", true, 11, "abcde"}, {"abcde", true, 2, "ab"},      {"abcde", true, -1, ""},
        {"abcde", true, 0, ""},       {"abcdef", false, 3, "def"},   {"abcdef", false, 0, ""},
        {"abcdef", false, -1, ""},    {"abcdef", false, 99, "abcdef"}, {"", true, 5, ""},
        {"abc", true, 0x7FFFFFFE, "abc"},
    };
    for (auto& c : cases) {
        CString s(c.src);
        CString r = c.left ? s.Left(c.count) : s.Right(c.count);
        EXPECT_STREQ(r.GetString(), c.want) << c.src << " " << c.left << " " << c.count;
        EXPECT_EQ(r.GetLength(), static_cast<int>(std::string(c.want).size()));
        if (*c.want)
            EXPECT_NE(r.GetString(), s.GetString()); // a block of its own
        else
            EXPECT_EQ(r.GetString(), _atltmpPchNil);
        EXPECT_STREQ(s.GetString(), c.src);
    }
}

TEST(OvString, CompareNoCaseFoldsAsciiLettersOnly) {
    EXPECT_EQ(CString("-umRuntime=").CompareNoCase("-UMRUNTIME="), 0);
    EXPECT_EQ(CString("-UmRuNtImE=").CompareNoCase("-umruntime="), 0);
    EXPECT_NE(CString("\xc3\xa4").CompareNoCase("\xc3\x84"), 0); // a-umlaut vs A-umlaut
    EXPECT_NE(CString("[").CompareNoCase("{"), 0);              // 0x5B vs 0x7B: not letters
    EXPECT_EQ(CString().CompareNoCase(nullptr), 0);
    EXPECT_LT(CString("abc").CompareNoCase("ABD"), 0);
    CString s("MiXeD");
    s.CompareNoCase("mixed");
    EXPECT_STREQ(s.GetString(), "MiXeD"); // unchanged
}

TEST(OvString, GetBufferRefusesLengthsAndCopiesBeforeWrite) {
    CString s("abc");
    EXPECT_EQ(s.GetBuffer(-1), nullptr);
    EXPECT_STREQ(s.GetString(), "abc");

    CString e;
    EXPECT_EQ(e.GetBuffer(0x7FFFFFFF), nullptr);
    EXPECT_EQ(e.GetBuffer(0x7FFFFFFE), nullptr);
    EXPECT_EQ(e.GetString(), _atltmpPchNil);

    // A shared block is copied before it is handed out for writing.
    CString t(s);
    char* p = t.GetBuffer(2);
    ASSERT_NE(p, nullptr);
    EXPECT_NE(p, s.GetString());
    EXPECT_STREQ(p, "abc");
    p[0] = 'X';
    t.ReleaseBuffer(-1);
    EXPECT_STREQ(s.GetString(), "abc");
    EXPECT_STREQ(t.GetString(), "Xbc");
    EXPECT_EQ(RefsOf(s), 1);

    char* q = t.GetBuffer(10);
    strcpy(q, "0123456789");
    t.ReleaseBuffer(4);
    EXPECT_STREQ(t.GetString(), "0123");
    EXPECT_EQ(t.GetLength(), 4);
}

TEST(OvString, AllocBeforeWriteReleasesFirst) {
    Probe s("abcdef");
    EXPECT_TRUE(s.BeforeWrite(3)); // unshared, fits: block kept
    EXPECT_STREQ(s.GetString(), "abcdef");

    Probe shared("xyz");
    CString other(shared);
    EXPECT_FALSE(shared.BeforeWrite(0)); // released, then nothing to allocate
    EXPECT_EQ(shared.GetString(), _atltmpPchNil);
    EXPECT_EQ(RefsOf(other), 1);

    EXPECT_FALSE(s.BeforeWrite(0x7FFFFFFF));
    EXPECT_EQ(s.GetString(), _atltmpPchNil);
    EXPECT_TRUE(s.BeforeWrite(5));
    EXPECT_EQ(s.Data()->nAllocLength, 5);
    EXPECT_EQ(s.Data()->nRefs, 1);
}

} // namespace
