// CString driven by fuzzed sequences of operations on a few strings, checked after every step
// against a std::string model: contents and lengths, the terminator, and the sharing of blocks
// (a block's count is the number of strings that point at it; the empty string is the one
// static record).
//
// Input: a sequence of steps, each an operation byte followed by its operands.
#include "FuzzCheck.h"
#include "OvString.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <array>
#include <climits>
#include <cstring>
#include <map>
#include <optional>
#include <string>

namespace {

constexpr size_t kStrings = 4;

CStringData const* Header(CString const& s) {
    return reinterpret_cast<CStringData const*>(s.GetString()) - 1;
}

// The text a C function sees: up to the first NUL.
std::string CText(std::string const& s) {
    return s.substr(0, s.find('\0'));
}

int Sign(int v) {
    return (v > 0) - (v < 0);
}

int FoldedCompare(std::string a, std::string b) {
    for (auto* s : {&a, &b})
        for (char& c : *s)
            if (c >= 'a' && c <= 'z')
                c = static_cast<char>(c - 0x20);
    return Sign(std::strcmp(a.c_str(), b.c_str()));
}

struct State {
    std::array<std::optional<CString>, kStrings> strings;
    std::array<std::string, kStrings> model;

    void Check() const {
        std::map<CStringData const*, int> sharers;
        for (size_t i = 0; i < kStrings; ++i) {
            CString const& s = *strings[i];
            CStringData const* h = Header(s);
            FUZZ_CHECK(s.GetString() != nullptr, "null string");
            FUZZ_CHECK(s.GetLength() == static_cast<int>(model[i].size()), "length %d, model %zu",
                       s.GetLength(), model[i].size());
            FUZZ_CHECK(std::memcmp(s.GetString(), model[i].data(), model[i].size()) == 0,
                       "contents differ from the model");
            FUZZ_CHECK(s.GetString()[s.GetLength()] == '\0', "no terminator");
            FUZZ_CHECK(h->nDataLength <= h->nAllocLength, "length above capacity");
            if (h == _atltmpDataNil) {
                FUZZ_CHECK(h->nRefs == -1 && h->nDataLength == 0 && h->nAllocLength == 0 &&
                               _atltmpPchNil[0] == '\0',
                           "the static empty record changed");
            } else {
                ++sharers[h];
            }
        }
        for (auto [h, n] : sharers)
            FUZZ_CHECK(h->nRefs == n, "block counted %d, shared by %d", h->nRefs, n);
    }
};

int Count(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange(0, 5)) {
    case 0:
        return INT_MAX;
    case 1:
        return INT_MIN;
    case 2:
        return -1;
    default:
        return in.ConsumeIntegralInRange(-3, 70);
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(uint8_t const* data, size_t size) {
    FuzzedDataProvider in(data, size);
    State st;
    for (auto& s : st.strings)
        s.emplace();
    st.Check();
    int steps = 0;
    while (in.remaining_bytes() > 0 && ++steps < 200) {
        size_t const i = in.ConsumeIntegralInRange<size_t>(0, kStrings - 1);
        size_t const j = in.ConsumeIntegralInRange<size_t>(0, kStrings - 1);
        CString& s = *st.strings[i];
        std::string& m = st.model[i];
        switch (in.ConsumeIntegralInRange(0, 8)) {
        case 0: { // from a C string, or null
            bool const null = in.ConsumeBool();
            std::string const text = in.ConsumeRandomLengthString(80);
            st.strings[i].reset();
            st.strings[i].emplace(null ? nullptr : text.c_str());
            m = null ? std::string() : CText(text);
            break;
        }
        case 1: // copy construction
            if (i != j) {
                st.strings[i].reset();
                st.strings[i].emplace(*st.strings[j]);
                m = st.model[j];
            }
            break;
        case 2: // assignment, itself included
            s = *st.strings[j];
            m = st.model[j];
            break;
        case 3: {
            int const n = Count(in);
            s = st.strings[j]->Left(n);
            std::string const& src = st.model[j];
            m = n <= 0 ? std::string() : src.substr(0, std::min<size_t>(size_t(n), src.size()));
            break;
        }
        case 4: {
            int const n = Count(in);
            s = st.strings[j]->Right(n);
            std::string const& src = st.model[j];
            size_t const k = n <= 0 ? 0 : std::min<size_t>(size_t(n), src.size());
            m = src.substr(src.size() - k);
            break;
        }
        case 5: { // compare with another string, a C string or null
            int const how = in.ConsumeIntegralInRange(0, 2);
            std::string const text = in.ConsumeRandomLengthString(40);
            char const* other = how == 0   ? st.strings[j]->GetString()
                                : how == 1 ? text.c_str()
                                           : nullptr;
            std::string const otherModel = how == 0   ? CText(st.model[j])
                                           : how == 1 ? CText(text)
                                                      : std::string();
            FUZZ_CHECK(Sign(s.CompareNoCase(other)) == FoldedCompare(CText(m), otherModel),
                       "CompareNoCase");
            break;
        }
        case 6: { // write through the buffer, then release it
            int const want = in.ConsumeIntegralInRange(-2, 70);
            char* p = s.GetBuffer(want);
            if (want < 0) {
                FUZZ_CHECK(p == nullptr, "a buffer for a negative length");
                break;
            }
            if (p == nullptr) {
                // Only an empty block shared with others: a capacity of 0 is never allocated.
                FUZZ_CHECK(want == 0 && m.empty(), "no buffer for %d", want);
                break;
            }
            size_t const room = std::max<size_t>(size_t(want), m.size());
            std::string const written = in.ConsumeRandomLengthString(room);
            std::memcpy(p, written.data(), written.size());
            p[written.size()] = '\0';
            // What the buffer holds now, as far as it is known.
            std::string known = m + '\0';
            known.replace(0, std::min(known.size(), written.size() + 1), written + '\0');
            known.pop_back(); // the last known NUL: a terminator
            int newLength = -1;
            if (in.ConsumeBool())
                newLength = in.ConsumeIntegralInRange<int>(0, static_cast<int>(known.size()));
            s.ReleaseBuffer(newLength);
            m = newLength < 0 ? CText(known) : known.substr(0, size_t(newLength));
            break;
        }
        case 7: // emptied by assigning the empty string
            s = CString();
            m.clear();
            break;
        case 8: { // refused lengths change nothing
            int const refused = in.ConsumeBool() ? 0x7FFFFFFE : 0x7FFFFFFF;
            FUZZ_CHECK(s.GetBuffer(refused) == nullptr, "a buffer of a refused length");
            FUZZ_CHECK(s.GetBuffer(-5) == nullptr, "a buffer of a negative length");
            break;
        }
        }
        st.Check();
    }
    return 0;
}
