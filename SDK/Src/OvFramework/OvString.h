// Reference-counted, copy-on-write narrow string.
#pragma once

#include <cstdint>

typedef const char* LPCSTR;
typedef const char* LPCTSTR;
typedef char* LPTSTR;
typedef int32_t BOOL;

struct CStringData {
    int32_t nRefs;        // sharers; -1 marks the static empty record
    int32_t nDataLength;  // characters, without the terminator
    int32_t nAllocLength; // capacity, without the terminator

    char* data() { return reinterpret_cast<char*>(this + 1); }
};

extern CStringData* _atltmpDataNil;
extern LPTSTR _atltmpPchNil;

class CString {
public:
    CString();
    CString(LPCSTR lpsz);
    CString(const CString& stringSrc);
    ~CString();

    CString& operator=(const CString& stringSrc);

    int GetLength() const { return GetData()->nDataLength; }
    LPTSTR GetString() const { return m_pchData; }

    CString Left(int nCount) const;
    CString Right(int nCount) const;
    int CompareNoCase(LPCTSTR lpsz) const;

    LPTSTR GetBuffer(int nMinBufLength);
    void ReleaseBuffer(int nNewLength = -1);

    // Lengths that never allocate: empty, and the two largest.
    static bool IsRefusedLength(int nLen) {
        return nLen == 0 || nLen == 0x7FFFFFFE || nLen == 0x7FFFFFFF;
    }

protected:
    CStringData* GetData() const { return reinterpret_cast<CStringData*>(m_pchData) - 1; }
    void Init() { m_pchData = _atltmpPchNil; }
    void AllocBuffer(int nLen);
    BOOL AllocBeforeWrite(int nLen);
    void AllocCopy(CString& dest, int nCopyLen, int nCopyIndex) const;
    void Release();
    static void Release(CStringData* pData);

    LPTSTR m_pchData;
};
