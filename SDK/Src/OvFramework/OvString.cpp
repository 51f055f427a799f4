#include "OvString.h"

#include "OvInterlocked.h"

#include <algorithm>
#include <cstring>

// The shared empty string: a header {-1, 0, 0} followed by a zero word (the terminator).
static int32_t rgInitData[] = {-1, 0, 0, 0};
CStringData* _atltmpDataNil = reinterpret_cast<CStringData*>(&rgInitData);
LPTSTR _atltmpPchNil = reinterpret_cast<LPTSTR>(rgInitData + 3);

CString::CString() {
    Init();
}

CString::CString(LPCSTR lpsz) {
    Init();
    if (lpsz == nullptr)
        return;
    size_t nLen = strlen(lpsz);
    if (nLen == 0 || nLen > 0x7FFFFFFF)
        return;
    if (GetBuffer(static_cast<int>(nLen)) == nullptr)
        return;
    memcpy(m_pchData, lpsz, nLen + 1);
    ReleaseBuffer(-1);
}

CString::CString(const CString& stringSrc) {
    if (stringSrc.GetData()->nRefs >= 0) {
        m_pchData = stringSrc.m_pchData;
        InterlockedIncrement(&GetData()->nRefs);
    } else {
        Init();
    }
}

CString::~CString() {
    Release();
}

CString& CString::operator=(const CString& stringSrc) {
    if (m_pchData == stringSrc.m_pchData)
        return *this;
    if (stringSrc.GetData() == _atltmpDataNil) {
        // Emptying: an unshared block is kept with length 0; the static record is never written.
        if (AllocBeforeWrite(0) && GetData() != _atltmpDataNil) {
            GetData()->nDataLength = 0;
            m_pchData[0] = '\0';
        }
        return *this;
    }
    Release();
    m_pchData = stringSrc.m_pchData;
    InterlockedIncrement(&GetData()->nRefs);
    return *this;
}

void CString::AllocBuffer(int nLen) {
    char* pBlock = new char[sizeof(CStringData) + static_cast<size_t>(nLen) + 1];
    CStringData* pData = reinterpret_cast<CStringData*>(pBlock);
    pData->nRefs = 1;
    pData->nDataLength = nLen;
    pData->nAllocLength = nLen;
    pData->data()[nLen] = '\0';
    m_pchData = pData->data();
}

void CString::Release(CStringData* pData) {
    if (pData == _atltmpDataNil)
        return;
    if (InterlockedDecrement(&pData->nRefs) <= 0)
        delete[] reinterpret_cast<char*>(pData);
}

void CString::Release() {
    Release(GetData());
    Init();
}

BOOL CString::AllocBeforeWrite(int nLen) {
    CStringData* pData = GetData();
    if (nLen >= 0 && pData->nRefs <= 1 && nLen <= pData->nAllocLength)
        return 1;
    Release();
    if (nLen < 0 || IsRefusedLength(nLen))
        return 0;
    AllocBuffer(nLen);
    return 1;
}

void CString::AllocCopy(CString& dest, int nCopyLen, int nCopyIndex) const {
    if (nCopyLen <= 0 || IsRefusedLength(nCopyLen))
        return;
    dest.AllocBuffer(nCopyLen);
    memcpy(dest.m_pchData, m_pchData + nCopyIndex, static_cast<size_t>(nCopyLen));
}

CString CString::Left(int nCount) const {
    CString dest;
    if (nCount < 0)
        return dest;
    AllocCopy(dest, std::min(nCount, GetLength()), 0);
    return dest;
}

CString CString::Right(int nCount) const {
    CString dest;
    if (nCount < 0)
        return dest;
    int nCopy = std::min(nCount, GetLength());
    AllocCopy(dest, nCopy, GetLength() - nCopy);
    return dest;
}

int CString::CompareNoCase(LPCTSTR lpsz) const {
    CString sOther(lpsz);
    CString sSelf(m_pchData);
    auto fold = [](CString& s) {
        for (int i = 0; i < s.GetLength(); ++i) {
            unsigned char c = static_cast<unsigned char>(s.m_pchData[i]);
            if (c >= 0x61 && c <= 0x7A)
                s.m_pchData[i] = static_cast<char>(c - 0x20);
        }
    };
    fold(sSelf);
    fold(sOther);
    return strcmp(sSelf.m_pchData, sOther.m_pchData);
}

LPTSTR CString::GetBuffer(int nMinBufLength) {
    if (nMinBufLength < 0)
        return nullptr;
    CStringData* pOld = GetData();
    if (pOld->nRefs > 1 || nMinBufLength > pOld->nAllocLength) {
        int nNewCap = std::max(nMinBufLength, pOld->nDataLength);
        if (IsRefusedLength(nNewCap))
            return nullptr;
        // Allocate first: a failed allocation leaves the string as it was.
        AllocBuffer(nNewCap);
        memcpy(m_pchData, pOld->data(), static_cast<size_t>(pOld->nDataLength) + 1);
        GetData()->nDataLength = pOld->nDataLength;
        Release(pOld);
    }
    return m_pchData;
}

void CString::ReleaseBuffer(int nNewLength) {
    CStringData* pData = GetData();
    if (pData == _atltmpDataNil)
        return;
    if (nNewLength == -1)
        nNewLength = static_cast<int>(strnlen(m_pchData, static_cast<size_t>(pData->nAllocLength)));
    nNewLength = std::clamp(nNewLength, 0, pData->nAllocLength);
    pData->nDataLength = nNewLength;
    m_pchData[nNewLength] = '\0';
}
