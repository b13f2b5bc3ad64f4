#pragma once
#include <cstddef>
#include <cstdint>
#include <exception>
#include <vector>
#include <QString>
#include "varnik/Error.h"

namespace varnik {

/// Host memory accounting: named blocks whose bytes are summed per name.
/// A block registers on construction and unregisters on destruction.
class Block
{
public:
    Block(const QString& sName, size_t iBytes);
    ~Block();
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    const QString& Name() const { return m_sName; }
    size_t Bytes() const { return m_iBytes; }
    /// Changes the size of this block; throws `&Error::s_cBadAlloc` when the
    /// accounting limit would be passed (nothing changes then).
    void Resize(size_t iBytes);

    /// Bytes held now under a name, and in all blocks.
    static size_t BytesUnder(const QString& sName);
    static size_t TotalBytes();
    /// A cap on the total; 0 (the default) means no cap. Tests use it to make
    /// the accounting refuse a block.
    static void SetLimit(size_t iBytes);
    static size_t Limit();
    /// Logs every name holding more than `fFraction` of the total (sorted by
    /// size); with `bAll` every name.
    static void LogAll(double fFraction, bool bAll);

private:
    QString m_sName;   ///< accounting name
    size_t m_iBytes;   ///< bytes accounted
};

/// A host array accounted under a block name. Copying copies the elements and
/// accounts the copy under the source's name.
template <typename T>
class Store
{
public:
    explicit Store(const QString& sName = QStringLiteral("unknown"), size_t iCount = 0)
        : m_cBlock(sName, 0) { SetCount(iCount); }
    Store(const Store& o) : m_cBlock(o.m_cBlock.Name(), 0) { *this = o; }
    Store& operator=(const Store& o)
    {
        if (this != &o) { SetCount(o.Count()); m_aData = o.m_aData; }
        return *this;
    }

    /// Resizes; new elements are value-initialised. Throws `&Error::s_cBadAlloc`
    /// when accounting refuses the size or the allocation fails.
    void SetCount(size_t iCount)
    {
        // A count whose bytes do not fit a size_t would be accounted wrapped.
        if (iCount > m_aData.max_size())
            throw &Error::s_cBadAlloc;
        m_cBlock.Resize(iCount * sizeof(T));
        try { m_aData.resize(iCount); }
        catch (const std::exception&) {  // bad_alloc, or length_error from the library
            Block::LogAll(0.01, false);
            m_cBlock.Resize(m_aData.size() * sizeof(T));
            throw &Error::s_cBadAlloc;
        }
    }
    size_t Count() const { return m_aData.size(); }
    bool IsEmpty() const { return m_aData.empty(); }
    T& operator[](size_t i) { return m_aData[i]; }
    const T& operator[](size_t i) const { return m_aData[i]; }
    T* Data() { return m_aData.data(); }
    const T* Data() const { return m_aData.data(); }
    const QString& Name() const { return m_cBlock.Name(); }

private:
    Block m_cBlock;          ///< accounting entry, resized with the data
    std::vector<T> m_aData;  ///< the elements
};

} // namespace varnik
